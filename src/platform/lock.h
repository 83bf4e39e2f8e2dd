// The library's lock: guards the worker counters and the write position of a
// downloaded file. Waiters use a condition variable bound to it, so a count
// change wakes them at once instead of at their next poll.
#pragma once

#include <condition_variable>
#include <mutex>

namespace platform {

using Lock = std::mutex;
using LockGuard = std::lock_guard<std::mutex>;
using UniqueLock = std::unique_lock<std::mutex>;
using Condition = std::condition_variable;

}  // namespace platform
