#include "retry_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

using qsync::NextRoundItems;
using qsync::RetryPolicy;
using qsync::RetryRounds;
using std::chrono::milliseconds;

namespace {

// The upload job as the library runs it: items start in list order, at
// most five at once; after an item fails no new one starts, and the ones
// running finish (and are reported unless they fail too). Which running
// item ends next, and whether a start comes first, is up to `random`.
std::vector<size_t> RunJob(const std::vector<size_t>& list, const std::function<bool(size_t)>& fails,
                           std::mt19937& random) {
    std::vector<size_t> running, reported;
    size_t next = 0;
    bool failed = false;
    for (;;) {
        const bool canStart = !failed && next < list.size() && running.size() < qsync::kUploadsAtOnce;
        if (!canStart && running.empty()) return reported;
        if (canStart && (running.empty() || random() % 2)) {
            running.push_back(list[next++]);
            continue;
        }
        const size_t at = random() % running.size();
        const size_t id = running[at];
        running.erase(running.begin() + static_cast<std::ptrdiff_t>(at));
        if (fails(id))
            failed = true;
        else
            reported.push_back(id);
    }
}

struct Outcome {
    std::set<size_t> done;
    std::vector<size_t> left;  // the list the last round would have had
    int rounds = 0;
    int retriesWithoutProgress = 0;
};

// Rounds until everything is done or the rounds stop; checks on the way
// that no item is lost, reported twice, or listed twice.
Outcome RunRounds(size_t count, const std::function<bool(size_t)>& fails, RetryPolicy policy, std::mt19937& random) {
    Outcome outcome;
    RetryRounds rounds(policy);
    std::vector<size_t> list(count);
    for (size_t i = 0; i < count; ++i) list[i] = i;
    std::vector<bool> done(count, false);
    for (outcome.rounds = 1; outcome.rounds < 10000; ++outcome.rounds) {
        const std::vector<size_t> reported = RunJob(list, fails, random);
        for (const size_t id : reported) {
            EXPECT_FALSE(done[id]) << "item " << id << " reported twice";
            done[id] = true;
            outcome.done.insert(id);
        }
        const std::vector<size_t> next = NextRoundItems(list, done);
        std::vector<size_t> expected;
        for (const size_t id : list)
            if (!done[id]) expected.push_back(id);
        std::vector<size_t> sorted = next;
        std::sort(sorted.begin(), sorted.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(sorted, expected) << "round " << outcome.rounds;
        outcome.left = next;
        if (next.empty()) break;
        const RetryRounds::Decision decision = rounds.AfterRound(reported.size());
        EXPECT_EQ(decision.round, outcome.rounds + 1);
        if (!decision.again) break;
        list = next;
    }
    outcome.retriesWithoutProgress = rounds.retriesWithoutProgress();
    return outcome;
}

}  // namespace

// Over many lists, sets of items that fail every time, and interleavings:
// everything else gets done, nothing is lost or duplicated, and the rounds
// stop after exactly N retries that complete nothing.
TEST(RetryPlan, ItemsThatAlwaysFailHoldNoOneBack) {
    std::mt19937 random(2024);
    RetryPolicy policy;
    policy.retries = 5;  // no more than 4 rounds in a row can pass before a good item comes first
    for (const size_t count : {1, 2, 5, 6, 7, 11, 40}) {
        for (int pattern = 0; pattern < 60; ++pattern) {
            std::set<size_t> bad;
            if (pattern == 0) bad = {0};
            if (pattern == 1) bad = {count - 1};
            if (pattern == 2)
                for (size_t i = 0; i < std::min<size_t>(count, 5); ++i) bad.insert(i);
            if (pattern >= 3) {
                const size_t howMany = random() % 6;
                for (size_t k = 0; k < howMany; ++k) bad.insert(random() % count);
            }
            const Outcome outcome = RunRounds(count, [&](size_t id) { return bad.count(id) > 0; }, policy, random);
            std::set<size_t> left(outcome.left.begin(), outcome.left.end());
            EXPECT_EQ(left, bad) << "count " << count << " pattern " << pattern;
            EXPECT_EQ(outcome.done.size() + bad.size(), count);
            if (!bad.empty()) {
                EXPECT_EQ(outcome.retriesWithoutProgress, policy.retries);
            }
        }
    }
}

// A flaky link: every attempt fails at random, one in three. With retries
// going on while they make progress, everything arrives.
TEST(RetryPlan, FlakyItemsAllArrive) {
    std::mt19937 random(7);
    RetryPolicy policy;
    policy.retries = 20;
    for (int run = 0; run < 40; ++run) {
        const size_t count = 1 + random() % 60;
        const Outcome outcome = RunRounds(count, [&](size_t) { return random() % 3 == 0; }, policy, random);
        EXPECT_TRUE(outcome.left.empty()) << "run " << run << ": " << outcome.left.size() << " left";
        EXPECT_EQ(outcome.done.size(), count);
    }
}

// The next list: the unfinished items in order, the first five unfinished
// at the end, the first of those last; after a round without progress only
// that first one moves.
TEST(RetryPlan, NextRoundOrder) {
    const std::vector<size_t> round = {9, 3, 7, 1, 4, 8, 2, 6, 0, 5};
    std::vector<bool> done(10, false);
    done[9] = done[7] = done[2] = true;
    EXPECT_EQ(NextRoundItems(round, done), (std::vector<size_t>{0, 5, 1, 4, 8, 6, 3}));
    EXPECT_EQ(NextRoundItems(round, done, 1), (std::vector<size_t>{1, 4, 8, 6, 0, 5, 3}));
    // A round that completed nothing: its first item alone moves.
    EXPECT_EQ(NextRoundItems({4, 2}, std::vector<bool>(5, false)), (std::vector<size_t>{2, 4}));
    EXPECT_EQ(NextRoundItems({0, 1, 2, 3, 4, 5, 6}, std::vector<bool>(7, false)),
              (std::vector<size_t>{1, 2, 3, 4, 5, 6, 0}));
    EXPECT_TRUE(NextRoundItems(round, std::vector<bool>(10, true)).empty());
}

// The count of rounds without progress and the waits between rounds.
TEST(RetryPlan, CountAndDelays) {
    struct Case {
        std::vector<size_t> completed;  // per round
        RetryPolicy policy;
        std::vector<long long> delaysMs;  // before each next round; -1: no next round
    };
    RetryPolicy standard;
    RetryPolicy none;
    none.retries = 0;
    RetryPolicy many;
    many.retries = 10;
    RetryPolicy removals;
    removals.maxRounds = 2;
    RetryPolicy slow;
    slow.delay = milliseconds(60000);
    slow.retries = 10;
    const std::vector<Case> cases = {
        // 3 retries that complete nothing, the first round not counted.
        {{0, 0, 0, 0}, standard, {1000, 2000, 4000, -1}},
        // A round that completed something is followed at once.
        {{5, 0, 0, 0}, standard, {0, 1000, 2000, -1}},
        // Progress resets the count and the delay.
        {{0, 0, 3, 0, 0, 1, 0, 0, 0}, standard, {1000, 2000, 0, 1000, 2000, 0, 1000, 2000, -1}},
        {{1, 1, 1, 1, 1, 1}, standard, {0, 0, 0, 0, 0, 0}},
        {{7}, none, {-1}},
        {{0, 0, 0, 0, 0, 0, 0, 0}, many, {1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000}},
        {{4, 4}, removals, {0, -1}},
        {{0, 0}, slow, {60000, 60000}},
        {{2, 0, 0}, slow, {0, 60000, 60000}},
    };
    for (size_t c = 0; c < cases.size(); ++c) {
        RetryRounds rounds(cases[c].policy);
        for (size_t r = 0; r < cases[c].completed.size(); ++r) {
            const RetryRounds::Decision decision = rounds.AfterRound(cases[c].completed[r]);
            EXPECT_EQ(decision.again ? decision.delay.count() : -1, cases[c].delaysMs[r]) << "case " << c << " round " << r;
            EXPECT_EQ(decision.round, static_cast<int>(r) + 2);
        }
    }
}
