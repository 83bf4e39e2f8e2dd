#include "platform/fault.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <mutex>
#include <utility>

#include "platform/last_error.h"

namespace platform {
namespace {

struct Armed {
    std::atomic<bool> on{false};
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t> n{0};
    std::atomic<bool> fromThen{false};
    std::atomic<int> error{0};
    std::atomic<bool> met{false};
    std::atomic<bool> observed{false};
    std::function<void()> observer;  // under gObserversMutex
};

// Any kind armed or observed at all: the one load a disarmed check costs.
std::atomic<int> gActiveKinds{0};
std::array<Armed, kFaultKinds> gFaults;
std::mutex gObserversMutex;

Armed& Of(FaultKind kind) { return gFaults[static_cast<size_t>(kind)]; }

void CountActiveKinds() {
    int count = 0;
    for (const Armed& each : gFaults) count += each.on.load() || each.observed.load() ? 1 : 0;
    gActiveKinds.store(count);
}

// The observer of a call that has begun, called outside the lock so that it
// may block or raise a flag another thread waits on.
void Observe(Armed& armed) {
    std::function<void()> observer;
    {
        std::lock_guard<std::mutex> lock(gObserversMutex);
        observer = armed.observer;
    }
    if (observer) observer();
}

}  // namespace

void ArmFaultForTesting(FaultKind kind, uint64_t n, FaultMode mode, int error) {
    Armed& armed = Of(kind);
    armed.on.store(false);
    armed.calls.store(0);
    armed.n.store(n);
    armed.fromThen.store(mode == FaultMode::kFromThen);
    armed.error.store(error);
    armed.met.store(false);
    armed.on.store(true);
    CountActiveKinds();
}

void ObserveCallsForTesting(FaultKind kind, std::function<void()> observer) {
    Armed& armed = Of(kind);
    {
        std::lock_guard<std::mutex> lock(gObserversMutex);
        armed.observed.store(static_cast<bool>(observer));
        armed.observer = std::move(observer);
    }
    CountActiveKinds();
}

void DisarmFaultsForTesting() {
    {
        std::lock_guard<std::mutex> lock(gObserversMutex);
        for (Armed& armed : gFaults) {
            armed.on.store(false);
            armed.observed.store(false);
            armed.observer = nullptr;
        }
    }
    gActiveKinds.store(0);
}

bool FaultMetForTesting(FaultKind kind) { return Of(kind).met.load(); }

bool FaultHits(FaultKind kind) {
    if (gActiveKinds.load(std::memory_order_relaxed) == 0) return false;
    Armed& armed = Of(kind);
    if (armed.observed.load()) Observe(armed);
    if (!armed.on.load()) return false;
    const uint64_t call = armed.calls.fetch_add(1) + 1;
    const uint64_t n = armed.n.load();
    if (call != n && !(armed.fromThen.load() && call > n)) return false;
    armed.met.store(true);
    SetLastSystemError(armed.error.load());
    return true;
}

}  // namespace platform
