// Test seam for failure injection: makes the N-th call of one kind of
// platform operation fail, or every call of that kind from the N-th on, with
// a chosen system error, so that tests can reach the failure paths of every
// layer above without a broken disk or network.
//
// Disarmed (the default, and always outside tests) a check costs one relaxed
// atomic load. Calls are counted only while a kind is armed, from 1.
#pragma once

#include <cstdint>

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
// Disarms every kind.
void DisarmFaultsForTesting();
// Whether an armed kind has failed a call since it was armed.
bool FaultMetForTesting(FaultKind kind);

// Called by the platform operations at their start: true when this call
// must fail. The last system error is then already set.
bool FaultHits(FaultKind kind);

}  // namespace platform
