// A bounded pool of worker threads owned by one call: the uploads of a sync
// job, the downloads of a folder copy. (A file's chunks do not need threads:
// the transfer drives them itself over one readiness wait.)
//
// At most `width` tasks run at once. Threads are started only when a task
// finds none idle, and are reused for every later task, so a job of 4,096
// files starts at most `width` threads. The owner submits tasks in
// its own order, and a task is handed to a thread as soon as it is
// submitted, so requests leave in the order the owner issues them.
//
// The pool's destructor waits for every task and joins every thread: once
// the owning call has returned, no library code runs on any thread it
// started. Declare the pool after everything its tasks use, so that an
// exception in the owner unwinds the pool (and waits for the tasks) first.
//
// Each task runs inside a catch-all: an exception becomes the task's result
// -1 and one log line under the pool's name. A nonzero task result is kept
// as the pool's failure (the last one wins); owners stop submitting once it
// is set.
//
// Deliveries: a task may hand a function to the owner's thread (Deliver);
// the owner runs them, in the order they were handed over, inside its
// waits. A delivery handed over before a task finished is always run by the
// wait that sees that task finished, so nothing is lost at the end.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class WorkerPool {
public:
    using Work = std::function<int32_t()>;
    using Delivery = std::function<void()>;

    // name: the function name of the log line for a task that throws (a
    // string literal; the pool keeps the pointer).
    WorkerPool(int32_t width, const char* name);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int32_t Width() const { return mnWidth; }

    // Hands work to a worker thread. Call it when Unfinished() is below the
    // width; otherwise the work waits for a free thread. When no thread can
    // be started and none exists, the work runs here, before Submit returns.
    void Submit(Work work);

    // From a task: queues delivery for the owner's thread.
    void Deliver(Delivery delivery);

    // Owner side: waits at most waitMs until fewer than wakeBelow tasks are
    // unfinished or a delivery is queued, runs the queued deliveries (on this
    // thread, without the pool's lock held) and returns the unfinished count
    // seen when they were taken.
    int32_t Wait(uint32_t waitMs, int32_t wakeBelow);
    // Waits (delivering) until no task is unfinished; wakes at least every
    // waitMs, so the caller's bound holds for each wait.
    void WaitAll(uint32_t waitMs);

    int32_t Unfinished();
    // 0, or the last nonzero task result.
    int32_t Failure();
    // Threads started so far.
    int32_t ThreadsStarted();

    // Test seam: called with the pool's name at the start of every task, on
    // the task's thread; whatever it throws is the task's exception. Empty:
    // nothing is called.
    static void SetTaskHookForTesting(std::function<void(const char* poolName)> hook);

private:
    void WorkerLoop();
    int32_t RunGuarded(Work& work);
    // Runs a task already counted as unfinished, drops it, then counts it
    // finished and keeps its result.
    void RunCounted(Work& work);

    const int32_t mnWidth;
    const char* mName;
    std::mutex mLock;
    std::condition_variable mWorkReady;  // a task was queued, or the pool closes
    std::condition_variable mChanged;    // a task finished, or a delivery was queued
    std::deque<Work> mQueue;
    std::vector<Delivery> mDeliveries;
    std::vector<std::thread> mThreads;
    int32_t mnUnfinished = 0;  // submitted and not yet finished
    int32_t mnIdle = 0;        // threads waiting for work
    int32_t mnFailure = 0;
    bool mbClosing = false;
};
