// Misbehaviour on request, for tests and benchmarks of the client's
// failure paths. Each fault names an action, optionally the requests it
// applies to, and optionally that only the k-th such request is hit.
// Faults come from the command line (--fault) or, while the service runs,
// from control requests ("/control"), which also wait for and release the
// requests a hold fault holds.
#pragma once

#include <atomic>
#include <condition_variable>
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
    kDrop,      // do the work, then close without answering: the answer is lost
    kDelay,     // do the work, then wait ms milliseconds before answering
    kTruncate,  // answer only the first `bytes` bytes of the body
    kMarker,    // answer with one letter of the marker changed
    kRecord0,   // "/tablesync": answer record `record` with code 0, not applied
    kHold,      // do the work, then hold the answer until the fault is released
};

// Which requests a fault applies to.
inline constexpr int kAnyRequest = -1;
inline constexpr int kTableRequest = -2;

struct Fault {
    int id = 0;  // 1, 2, ... in the order the faults were armed
    FaultAction action = FaultAction::kStatus0;
    int target = kAnyRequest;  // a "/filesync" command code, kTableRequest or kAnyRequest
    std::string path;          // non-empty: only "/filesync" requests with a path that begins with it
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
    // hold: guarded by the FaultSet's lock.
    int held = 0;           // requests held so far
    bool released = false;  // held requests go on, later ones are not held
};

class FaultSet {
public:
    // Parses "ACTION[:key=value,...]" and arms the fault: its id, or 0 with a
    // reason when malformed.
    int Add(const std::string& text, std::string& error);

    // Counts the request against every fault that targets it and returns
    // the ones that fire for it. command: the "/filesync" command code,
    // kTableRequest, or kAnyRequest when the frame could not be read; paths:
    // the paths a "/filesync" request names.
    std::vector<std::shared_ptr<Fault>> Match(int command, const std::vector<std::string>& paths = {});

    // Holds the calling request until the hold fault is released or
    // disarmed (true), or the service stops (false: leave unanswered).
    bool Hold(Fault& fault);

    // One control request: its text in, the answer's text out; the HTTP
    // status (200, 400 for a malformed or refused command, 404 for an
    // unknown fault).
    int Control(const std::string& command, std::string& answer);

    // Ends every hold and every control wait: the service is stopping.
    void Stop();

    bool empty() const;

private:
    std::shared_ptr<Fault> Find(int id) const;  // under lock_

    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool stopping_ = false;
    int next_id_ = 1;
    std::vector<std::shared_ptr<Fault>> faults_;
};

// The text that --help prints about faults and control requests.
extern const char* const kFaultHelp;

}  // namespace phone_service
