// Misbehaviour on request, for tests and benchmarks of the client's
// failure paths. Each fault names an action, optionally the requests it
// applies to, and optionally that only the k-th such request is hit.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace phone_service {

enum class FaultAction {
    kStatus0,   // answer status 0 without doing anything
    kClose,     // read the request, then close without answering or doing anything
    kDelay,     // do the work, then wait ms milliseconds before answering
    kTruncate,  // answer only the first `bytes` bytes of the body
    kMarker,    // answer with one letter of the marker changed
    kRecord0,   // "/tablesync": answer record `record` with code 0, not applied
};

// Which requests a fault applies to.
inline constexpr int kAnyRequest = -1;
inline constexpr int kTableRequest = -2;

struct Fault {
    FaultAction action = FaultAction::kStatus0;
    int target = kAnyRequest;  // a "/filesync" command code, kTableRequest or kAnyRequest
    int nth = 0;               // 0: every matching request; k: only the k-th
    int ms = 0;
    int bytes = 10;
    int record = 1;
    // 0: as nth says; p: each matching request with probability p per mille,
    // drawn from a generator seeded with seed (a soak prints it, so that a
    // run can be replayed).
    int rate = 0;
    int seed = 1;
    std::atomic<int> seen{0};
    std::mutex drawLock;
    std::mt19937 draws;
};

class FaultSet {
public:
    // Parses "ACTION[:key=value,...]"; false with a reason when malformed.
    bool Add(const std::string& text, std::string& error);

    // Counts the request against every fault that targets it and returns
    // the ones that fire for it. command: the "/filesync" command code,
    // kTableRequest, or kAnyRequest when the frame could not be read.
    std::vector<const Fault*> Match(int command);

    bool empty() const { return faults_.empty(); }

private:
    std::vector<std::unique_ptr<Fault>> faults_;
};

// The text that --help prints about faults.
extern const char* const kFaultHelp;

}  // namespace phone_service
