#include "platform/fault.h"

#include <array>
#include <atomic>
#include <cstddef>

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
};

// Any kind armed at all: the one load a disarmed check costs.
std::atomic<int> gArmedKinds{0};
std::array<Armed, kFaultKinds> gFaults;

Armed& Of(FaultKind kind) { return gFaults[static_cast<size_t>(kind)]; }

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
    int count = 0;
    for (const Armed& each : gFaults) count += each.on.load() ? 1 : 0;
    gArmedKinds.store(count);
}

void DisarmFaultsForTesting() {
    for (Armed& armed : gFaults) armed.on.store(false);
    gArmedKinds.store(0);
}

bool FaultMetForTesting(FaultKind kind) { return Of(kind).met.load(); }

bool FaultHits(FaultKind kind) {
    if (gArmedKinds.load(std::memory_order_relaxed) == 0) return false;
    Armed& armed = Of(kind);
    if (!armed.on.load()) return false;
    const uint64_t call = armed.calls.fetch_add(1) + 1;
    const uint64_t n = armed.n.load();
    if (call != n && !(armed.fromThen.load() && call > n)) return false;
    armed.met.store(true);
    SetLastSystemError(armed.error.load());
    return true;
}

}  // namespace platform
