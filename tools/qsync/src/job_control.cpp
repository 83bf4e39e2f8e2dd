#include "job_control.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "errors.h"
#include "quellsync_http.h"
#include "report.h"

namespace qsync {

JobControl& JobControl::Instance() {
    static JobControl instance;
    return instance;
}

void JobControl::OnInterrupt(int count) {
    if (count >= 2) {
        std::fputs("\n", stderr);
        std::fflush(stderr);
        std::_Exit(kExitInterrupted);
    }
    std::function<void()> handler;
    {
        std::lock_guard<std::mutex> lock(mLock);
        handler = mInterruptHandler;
    }
    if (handler) return handler();
    std::lock_guard<std::mutex> lock(mLock);
    mInterrupted = true;
    if (mReporter) {
        mReporter->Notice("stopping\xE2\x80\xA6");
    } else {
        std::fputs("stopping\xE2\x80\xA6\n", stderr);
    }
    mChanged.notify_all();
}

bool JobControl::Interrupted() {
    std::lock_guard<std::mutex> lock(mLock);
    return mInterrupted;
}

void JobControl::Attach(Reporter* reporter) {
    std::lock_guard<std::mutex> lock(mLock);
    mReporter = reporter;
}

void JobControl::SetInterruptHandler(std::function<void()> handler) {
    std::lock_guard<std::mutex> lock(mLock);
    mInterruptHandler = std::move(handler);
}

void JobControl::BeginJob() {
    std::lock_guard<std::mutex> lock(mLock);
    mInterrupted = false;
    mChanged.notify_all();
}

void JobControl::StopJob() {
    std::lock_guard<std::mutex> lock(mLock);
    mInterrupted = true;
    mChanged.notify_all();
}

bool JobControl::Stopping() {
    std::lock_guard<std::mutex> lock(mLock);
    return mInterrupted && !mExportDone;
}

bool JobControl::WaitWhileStopping(const std::function<bool()>& giveUp) {
    std::unique_lock<std::mutex> lock(mLock);
    while (mInterrupted && !mExportDone) {
        if (giveUp()) return false;
        mChanged.wait_for(lock, std::chrono::milliseconds(100));
    }
    return true;
}

int32_t JobControl::Run(const std::function<int32_t()>& exportCall) {
    {
        std::lock_guard<std::mutex> lock(mLock);
        mExportDone = false;
    }
    std::thread stopper([this] {
        std::unique_lock<std::mutex> lock(mLock);
        mChanged.wait(lock, [this] { return mInterrupted || mExportDone; });
        while (!mExportDone) {  // ends when the export returns
            lock.unlock();
            Stop(nullptr, nullptr);
            lock.lock();
            mChanged.wait_for(lock, std::chrono::milliseconds(100), [this] { return mExportDone; });
        }
    });
    // However the export ends, the stopper learns it and is joined.
    struct JoinStopper {
        JobControl& control;
        std::thread& thread;
        ~JoinStopper() {
            {
                std::lock_guard<std::mutex> lock(control.mLock);
                control.mExportDone = true;
            }
            control.mChanged.notify_all();
            thread.join();
        }
    } joinStopper{*this, stopper};
    return exportCall();
}

bool JobControl::Wait(std::chrono::milliseconds delay) {
    std::unique_lock<std::mutex> lock(mLock);
    return !mChanged.wait_for(lock, delay, [this] { return mInterrupted; });
}

}  // namespace qsync
