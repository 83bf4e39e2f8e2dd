#include "retry_plan.h"

#include <algorithm>

namespace qsync {

std::vector<size_t> NextRoundItems(const std::vector<size_t>& round, const std::vector<bool>& done,
                                   size_t underWay) {
    std::vector<size_t> rest;
    std::vector<size_t> moved;
    const bool progress = std::any_of(round.begin(), round.end(), [&](size_t id) { return id < done.size() && done[id]; });
    const size_t move = progress ? underWay : 1;
    for (const size_t id : round) {
        if (id < done.size() && done[id]) continue;
        (moved.size() < move ? moved : rest).push_back(id);
    }
    if (!moved.empty()) std::rotate(moved.begin(), moved.begin() + 1, moved.end());
    rest.insert(rest.end(), moved.begin(), moved.end());
    return rest;
}

RetryRounds::Decision RetryRounds::AfterRound(size_t completed) {
    const bool firstRound = mRounds == 0;
    ++mRounds;
    if (completed > 0) {
        mRoundsWithoutProgress = 0;
        mRetriesWithoutProgress = 0;
    } else {
        ++mRoundsWithoutProgress;
        if (!firstRound) ++mRetriesWithoutProgress;
    }
    Decision decision;
    decision.round = mRounds + 1;
    if (mPolicy.retries <= 0 || mRetriesWithoutProgress >= mPolicy.retries) return decision;
    if (mPolicy.maxRounds > 0 && mRounds >= mPolicy.maxRounds) return decision;
    decision.again = true;
    if (completed > 0) return decision;  // no wait
    const auto cap = std::max(mPolicy.maxDelay, mPolicy.delay);
    auto delay = mPolicy.delay;
    for (int i = 1; i < mRoundsWithoutProgress && delay < cap; ++i) delay *= 2;
    decision.delay = std::min(delay, cap);
    return decision;
}

}  // namespace qsync
