#include "transport/RetryPolicy.h"

#include <algorithm>
#include <chrono>
#include <climits>

void StopSignal::Notify() const {
    // Taking the lock orders the flag's store before any waiter's check of
    // it: a waiter has either seen the flag or is waiting when this wakes it.
    { std::lock_guard<std::mutex> guard(mLock); }
    mRaised.notify_all();
}

bool StopSignal::WaitFor(const Flag* flag, uint32_t ms) const {
    const auto raised = [flag] { return flag != nullptr && flag->load() != 0; };
    std::unique_lock<std::mutex> guard(mLock);
    return mRaised.wait_for(guard, std::chrono::milliseconds(ms), raised);
}

uint32_t RetryPolicy::DelayBefore(int32_t retry) const {
    // Doubling stops at kMaxDelayMs; a first wait longer than that, asked
    // for by the option, stays as it is.
    uint64_t delay = delayMs;
    for (int32_t i = 1; i < retry && delay < kMaxDelayMs; ++i) delay = std::min<uint64_t>(delay * 2, kMaxDelayMs);
    return static_cast<uint32_t>(delay);
}

void RetryPolicy::CountRetry() const {
    if (made == nullptr) return;
    int32_t now = made->load();
    while (now < INT32_MAX && !made->compare_exchange_weak(now, now + 1)) {
    }
}
