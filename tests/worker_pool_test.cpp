// The worker pool on its own: the width bound and thread reuse, deliveries,
// failures and exceptions of tasks.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "pool/WorkerPool.h"
#include "support/log_capture.h"

TEST(WorkerPoolTest, ManyTasksRunAtMostWidthAtOnceOnAtMostWidthThreads) {
    std::atomic<int> running{0}, most{0}, ran{0};
    int32_t threads = 0;
    {
        WorkerPool pool(5, "PoolTest");
        for (int i = 0; i < 4096; ++i) {
            while (pool.Unfinished() >= pool.Width()) pool.Wait(1000, pool.Width());
            pool.Submit([&] {
                const int now = ++running;
                int seen = most.load();
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                ++ran;
                --running;
                return 0;
            });
        }
        pool.WaitAll(1000);
        EXPECT_EQ(pool.Unfinished(), 0);
        EXPECT_EQ(pool.Failure(), 0);
        threads = pool.ThreadsStarted();
    }
    EXPECT_EQ(ran.load(), 4096);
    EXPECT_LE(most.load(), 5);
    EXPECT_GE(threads, 1);
    EXPECT_LE(threads, 5);
}

// A task that throws fails like a task that returns a failure: the pool
// keeps its result, logs it under the pool's name, and the tasks that run
// beside it still finish and deliver.
TEST(WorkerPoolTest, ThrowingTaskFailsWithMinusOneWhileTheOthersFinishAndDeliver) {
    for (const bool throwsBadAlloc : {false, true}) {
        LogCapture log;
        std::vector<int> delivered;
        std::mutex gate;
        std::unique_lock<std::mutex> held(gate);
        WorkerPool pool(5, "PoolTest::Thrower");
        for (int i = 0; i < 5; ++i) {
            pool.Submit([&, i]() -> int32_t {
                std::lock_guard<std::mutex> wait(gate);  // none ends before all five were handed over
                if (i == 2) {
                    if (throwsBadAlloc) throw std::bad_alloc();
                    throw std::runtime_error("task");
                }
                pool.Deliver([&delivered, i] { delivered.push_back(i); });
                return 0;
            });
        }
        held.unlock();
        pool.WaitAll(1000);
        EXPECT_EQ(pool.Failure(), -1);
        EXPECT_EQ(delivered.size(), 4u);
        EXPECT_EQ(log.Count("Function = PoolTest::Thrower GetLastError"), 1u);
    }
}

TEST(WorkerPoolTest, FailureIsTheLastNonzeroResultAndEveryDeliveryComesOnce) {
    WorkerPool pool(1, "PoolTest");
    std::vector<int> delivered;
    const int32_t results[] = {0, -6, 0, -2, 0};
    for (int i = 0; i < 5; ++i) {
        while (pool.Unfinished() >= pool.Width()) pool.Wait(1000, pool.Width());
        pool.Submit([&pool, &delivered, &results, i] {
            pool.Deliver([&delivered, i] { delivered.push_back(i); });
            return results[i];
        });
    }
    pool.WaitAll(1000);
    EXPECT_EQ(pool.Failure(), -2);
    EXPECT_EQ(delivered, (std::vector<int>{0, 1, 2, 3, 4}));  // one thread: in order
    EXPECT_EQ(pool.Wait(0, 1), 0);
    EXPECT_EQ(delivered.size(), 5u);
}
