#include "pool/WorkerPool.h"

#include <chrono>
#include <utility>

#include "log/Log.h"

namespace {

std::mutex gHookLock;
std::function<void(const char*)> gTaskHook;

void RunTaskHook(const char* poolName) {
    std::function<void(const char*)> hook;
    {
        std::lock_guard<std::mutex> guard(gHookLock);
        hook = gTaskHook;
    }
    if (hook) hook(poolName);
}

}  // namespace

void WorkerPool::SetTaskHookForTesting(std::function<void(const char* poolName)> hook) {
    std::lock_guard<std::mutex> guard(gHookLock);
    gTaskHook = std::move(hook);
}

WorkerPool::WorkerPool(int32_t width, const char* name) : mnWidth(width > 0 ? width : 1), mName(name) {
    mThreads.reserve(static_cast<size_t>(mnWidth));
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> guard(mLock);
        mbClosing = true;
    }
    mWorkReady.notify_all();
    // Queued work still runs (a worker leaves only once the queue is
    // empty), so every task the owner handed over gets its result.
    for (std::thread& thread : mThreads) thread.join();
}

int32_t WorkerPool::RunGuarded(Work& work) {
    try {
        RunTaskHook(mName);
        return work();
    } catch (...) {
        try {
            QS_LOG_COMPONENT(mName);
        } catch (...) {
        }
        return -1;
    }
}

void WorkerPool::RunCounted(Work& work) {
    const int32_t result = RunGuarded(work);
    work = nullptr;  // whatever the task captured goes before it counts as finished
    std::lock_guard<std::mutex> guard(mLock);
    if (result != 0) mnFailure = result;
    --mnUnfinished;
    mChanged.notify_all();
}

void WorkerPool::WorkerLoop() {
    std::unique_lock<std::mutex> lock(mLock);
    for (;;) {
        ++mnIdle;
        mWorkReady.wait(lock, [this] { return mbClosing || !mQueue.empty(); });
        --mnIdle;
        if (mQueue.empty()) return;  // closing, and nothing left to do
        Work work = std::move(mQueue.front());
        mQueue.pop_front();
        lock.unlock();
        RunCounted(work);
        lock.lock();
    }
}

void WorkerPool::Submit(Work work) {
    std::unique_lock<std::mutex> lock(mLock);
    mQueue.push_back(std::move(work));
    ++mnUnfinished;
    if (mnIdle >= static_cast<int32_t>(mQueue.size()) ||
        static_cast<int32_t>(mThreads.size()) >= mnWidth) {
        mWorkReady.notify_one();
        return;
    }
    try {
        mThreads.emplace_back([this] { WorkerLoop(); });
        return;
    } catch (...) {
        // No thread (std::system_error, or no memory for one): the threads
        // there are will take the work in turn.
        if (!mThreads.empty()) {
            mWorkReady.notify_one();
            return;
        }
    }
    // Not a single thread: the work runs on the owner's thread.
    Work here = std::move(mQueue.back());
    mQueue.pop_back();
    lock.unlock();
    RunCounted(here);
}

void WorkerPool::Deliver(Delivery delivery) {
    std::lock_guard<std::mutex> guard(mLock);
    mDeliveries.push_back(std::move(delivery));
    mChanged.notify_all();
}

int32_t WorkerPool::Wait(uint32_t waitMs, int32_t wakeBelow) {
    std::vector<Delivery> ready;
    int32_t unfinished;
    {
        std::unique_lock<std::mutex> lock(mLock);
        mChanged.wait_for(lock, std::chrono::milliseconds(waitMs),
                          [&] { return mnUnfinished < wakeBelow || !mDeliveries.empty(); });
        ready.swap(mDeliveries);
        unfinished = mnUnfinished;
    }
    for (Delivery& delivery : ready) delivery();
    return unfinished;
}

void WorkerPool::WaitAll(uint32_t waitMs) {
    while (Wait(waitMs, 1) != 0) {
    }
}

int32_t WorkerPool::Unfinished() {
    std::lock_guard<std::mutex> guard(mLock);
    return mnUnfinished;
}

int32_t WorkerPool::Failure() {
    std::lock_guard<std::mutex> guard(mLock);
    return mnFailure;
}

int32_t WorkerPool::ThreadsStarted() {
    std::lock_guard<std::mutex> guard(mLock);
    return static_cast<int32_t>(mThreads.size());
}
