// How a job's requests are made again after the connection lost them: the
// number of attempts after the first, the wait before the first retry, the
// counter every retry adds one to, and what ends a wait early when Stop
// raises the stop flag. The export layer fills one from the options when a
// job starts and hands it down with the job's endpoint; the default makes
// no retry, as the design's exports do.
//
// What counts as lost (a drop), and which commands may be repeated, is
// decided where the requests are made (transport/Retry.h).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// Wakes the waits between attempts when the stop flag is raised: whoever
// raises the flag notifies the signal after it. The waits take the flag
// itself as their condition, so a stop raised before a wait began ends it
// at once too.
class StopSignal {
public:
    using Flag = std::atomic<uint8_t>;

    // Wakes every wait; call after raising the flag.
    void Notify() const;
    // Waits until flag is raised or ms have passed: true when it was raised.
    // A null flag is never raised.
    bool WaitFor(const Flag* flag, uint32_t ms) const;

private:
    mutable std::mutex mLock;
    mutable std::condition_variable mRaised;
};

struct RetryPolicy {
    // The longest wait between two attempts: the waits double up to it.
    static constexpr uint32_t kMaxDelayMs = 5000;

    int32_t retries = 0;       // attempts after a request's first
    uint32_t delayMs = 100;    // wait before the first retry
    // Counts each retry attempt, saturating at INT32_MAX; may be null.
    std::atomic<int32_t>* made = nullptr;
    // Ends the waits when the stop flag is raised; every caller whose
    // requests have a stop flag sets it. Null: a wait checks the flag when
    // it begins and otherwise runs its length.
    const StopSignal* stopSignal = nullptr;

    // The wait before retry number `retry` (1 for the first): delayMs,
    // doubled for each retry before it up to kMaxDelayMs (a delayMs above
    // that stays as it is).
    uint32_t DelayBefore(int32_t retry) const;
    // Adds one retry to the counter.
    void CountRetry() const;
};
