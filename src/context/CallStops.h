// Stop bytes of single calls. A call that must end on Stop, but must not
// share the library-wide stop flag, runs its requests with a byte of its own
// and registers it here while it runs; Stop raises every registered byte as
// well as the shared flag. Such a call never reads or clears the shared flag,
// so it cannot swallow a stop meant for a sync job, and a stop made before it
// began does not reach it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

class CallStops {
public:
    using StopFlag = std::atomic<uint8_t>;

    // Raises every byte registered now. Any thread.
    void RaiseAll();

    // One call's byte, registered from construction (clear) to destruction:
    // RaiseAll never touches it after the destructor has returned.
    class Scope {
    public:
        explicit Scope(CallStops& registry);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        const StopFlag* flag() const { return &mFlag; }
        bool Raised() const { return mFlag.load() != 0; }

    private:
        CallStops& mRegistry;
        StopFlag mFlag{0};
    };

private:
    std::mutex mLock;
    std::vector<StopFlag*> mFlags;
};

// The registry of the process; the entry points alone use it.
CallStops& GetCallStops();
