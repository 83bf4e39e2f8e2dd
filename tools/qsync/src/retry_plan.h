// Rounds of a job that did not finish: which items the next round takes, in
// which order, whether there is a next round, and how long to wait first.
#pragma once

#include <chrono>
#include <cstddef>
#include <vector>

#include "quellsync_http.h"

namespace qsync {

// The library starts uploads in list order, at most this many at once.
constexpr size_t kUploadsAtOnce = QS_FILES_AT_ONCE;

// The items of the next round, given the ordered items of a round (ids, each
// once, none done before it) and which items the library reported done
// (done[id]). The items under way when the job failed are the first
// unreported ones in list order, at most `underWay`; they go to the end of
// the list, the others keep their order.
//
// The first unreported item certainly failed: uploads start in list order,
// so it had started, and every started upload that did not fail is
// reported. It goes last of all; moving the group alone changes nothing
// when the group is all that is left. After a round that completed nothing
// only that item moves: the others of the group may never have started (the
// failure came first), and moving them too could put them behind items that
// fail every time, round after round, until the retries run out. So each
// round without progress puts a different failing item last, and an item
// that does not fail is first within as many rounds as there are items that
// do.
std::vector<size_t> NextRoundItems(const std::vector<size_t>& round, const std::vector<bool>& done,
                                   size_t underWay = kUploadsAtOnce);

struct RetryPolicy {
    // --retries: how many retry rounds in a row may complete nothing before
    // qsync gives up. 0: no retries at all.
    int retries = 3;
    std::chrono::milliseconds delay{1000};     // --retry-delay
    std::chrono::milliseconds maxDelay{30000};  // the doubling stops here
    // Rounds at most, the first included (0: no such limit). Removals: 2.
    int maxRounds = 0;
};

// The count of rounds and the waits between them. Jobs that rerun whole
// (fetch, backup, ...) report no progress: they get `retries` reruns.
class RetryRounds {
public:
    explicit RetryRounds(RetryPolicy policy) : mPolicy(policy) {}

    struct Decision {
        bool again = false;                 // run another round
        std::chrono::milliseconds delay{0};  // wait this long before it
        int round = 0;                       // the number of that round (the first job is round 1)
    };
    // After a round that did not finish everything: completed is how many
    // items it completed. A round that completed something resets the count
    // of rounds without progress, and the next round starts at once: what
    // it could not complete is left to the next. Only a round without
    // progress waits: the delay after the first such round in a row,
    // doubling with each further one, up to maxDelay (or the delay itself,
    // when that is longer).
    Decision AfterRound(size_t completed);

    int roundsRun() const { return mRounds; }
    // Retry rounds in a row that completed nothing.
    int retriesWithoutProgress() const { return mRetriesWithoutProgress; }

private:
    RetryPolicy mPolicy;
    int mRounds = 0;                  // rounds finished so far
    int mRoundsWithoutProgress = 0;   // in a row, the first round included
    int mRetriesWithoutProgress = 0;  // in a row, the first round not included
};

}  // namespace qsync
