// Test seam for failure injection: makes the N-th call of one kind of
// platform operation fail, or every call of that kind from the N-th on, with
// a chosen system error, so that tests can reach the failure paths of every
// layer above without a broken disk or network. A test may also observe the
// calls of a kind, to act at the moment one has begun (a readiness wait is
// under way, say).
//
// Disarmed (the default, and always outside tests) a check costs one relaxed
// atomic load. Calls are counted only while a kind is armed, from 1.
#pragma once

#include <cstdint>
#include <functional>

namespace platform {

enum class FaultKind {
    kConnect,
    kSend,
    kReceive,
    kWait,
    kFileOpen,
    kRead,
    kWrite,
    kSeek,
    kReplace,
    kRemove,
    kCreateFolder,
    kFolderSearch,
};
inline constexpr int kFaultKinds = 12;

enum class FaultMode {
    kOnce,      // only the N-th call fails
    kFromThen,  // the N-th call and every later one fail
};

// Arms kind: its call counter restarts at 0, and call number n (1-based)
// fails with error as its last system error (errno, or GetLastError). Other
// kinds stay as they were.
void ArmFaultForTesting(FaultKind kind, uint64_t n, FaultMode mode, int error);
// Calls observer on the calling thread at the start of every call of kind,
// before an armed fault of that kind is applied, until it is replaced (an
// empty observer clears it) or DisarmFaultsForTesting.
void ObserveCallsForTesting(FaultKind kind, std::function<void()> observer);
// Disarms every kind and clears every observer.
void DisarmFaultsForTesting();
// Whether an armed kind has failed a call since it was armed.
bool FaultMetForTesting(FaultKind kind);

// Called by the platform operations at their start: true when this call
// must fail. The last system error is then already set.
bool FaultHits(FaultKind kind);

}  // namespace platform
