#include "job_rounds.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "errors.h"
#include "host_abi.h"
#include "job_control.h"
#include "job_results.h"
#include "probe.h"
#include "retry_plan.h"
#include "text.h"

namespace qsync {
namespace {

// The connection probe before a job, its retries included, ends within
// kProbeBudget: a phone that cannot be reached is reported promptly,
// whatever the retry options. One attempt waits at most kProbeTimeoutMs,
// and a retry is made only while kProbeLastTry is left for it.
constexpr int kProbeTimeoutMs = 5000;
constexpr std::chrono::milliseconds kProbeBudget{8000};
constexpr std::chrono::milliseconds kProbeLastTry{1000};

RetryPolicy PolicyOf(const Options& o) {
    RetryPolicy policy;
    policy.retries = o.retries;
    policy.delay = std::chrono::milliseconds(o.retryDelayMs);
    return policy;
}

// The most tries the probe can make: those of the retry options that fit
// in its budget when every try fails at once (a try that waits for its
// time-out leaves room for fewer).
int ProbeTriesAtMost(const RetryPolicy& policy) {
    using std::chrono::milliseconds;
    RetryRounds rounds(policy);
    milliseconds spent{0};
    int tries = 1;
    for (;;) {
        const RetryRounds::Decision next = rounds.AfterRound(0);
        const milliseconds room = kProbeBudget - kProbeLastTry - spent;
        if (!next.again || room.count() < 0) return tries;
        spent += std::min(next.delay, room) + milliseconds(1);  // a try takes a moment too
        ++tries;
    }
}

// One export call over the given items (none of them done yet), reporting
// each as the library announces it and passing it to onDone; the items it
// does not announce have failed, with the returned text as their reason.
int32_t RunJob(Reporter& reporter, SyncExport run, Connection& connection, ItemLedger& ledger,
               const std::vector<size_t>& indices, const std::function<void(size_t)>& onDone, std::string& failure) {
    EntryList entries(ledger, indices);
    HostWindow window([&](uintptr_t wParam, intptr_t lParam) {
        if (wParam == QS_PROGRESS_PERCENT) {
            ledger.OnStep();  // one per reported removal or started upload
            reporter.Percent(static_cast<int>(lParam));
            reporter.Progress(ledger.Totals());
            return;
        }
        const auto* result = reinterpret_cast<const ItemResult*>(lParam);
        const Entry* entry = result ? entries.Find(result->item) : nullptr;
        if (!entry || result->status != 0) return;
        const std::string stored =
            entry->record.changeKind == kChangeRemove ? std::string() : HostTextToUtf8(entry->record.phonePath);
        if (!ledger.OnDone(entry->index, stored)) return;
        onDone(entry->index);
        const LedgerTotals totals = ledger.Totals();
        const LedgerItem& item = ledger.at(entry->index);
        if (item.action == ItemAction::kRemove && item.replacing) reporter.Progress(totals);  // shown with its upload
        else reporter.Item(DoneEvent(item), &totals);
    });
    JobParams params{};
    params.window = window.handle();
    params.items = entries.HostList();
    ledger.BeginJob(indices);
    const int32_t result = JobControl::Instance().Run([&] { return run(connection.params(), &params); });
    failure = JobControl::Instance().Interrupted() ? "stopped by Ctrl-C"
              : result != 0                        ? SyncResultText(result)
                                                   : "the library did not report it done";
    ledger.EndJob(result, failure);
    return result;
}

// Rounds of jobs over `order` until each item is done, the retries run
// out, or Ctrl-C. Each next round takes the items not done, the ones under
// way when the job failed moved to the end (NextRoundItems). Rounds are
// numbered across the command: `roundsBefore` (the removals' rounds) come
// first, and it ends as the rounds run so far.
int32_t RunRounds(Reporter& reporter, SyncExport run, Connection& connection, ItemLedger& ledger,
                  std::vector<size_t> order, RetryPolicy policy, size_t underWay,
                  const std::function<void(size_t)>& onDone, std::string& failure, int& roundsBefore) {
    RetryRounds rounds(policy);
    const int offset = roundsBefore;
    int32_t result = 0;
    while (!order.empty() && !JobControl::Instance().Interrupted()) {
        result = RunJob(reporter, run, connection, ledger, order, onDone, failure);
        roundsBefore = offset + rounds.roundsRun() + 1;
        // After Ctrl-C no round starts: its export would clear the stop flag.
        if (result == 0 || JobControl::Instance().Interrupted()) break;
        std::vector<bool> done(ledger.size(), false);
        size_t completed = 0;  // none of `order` was done before the round
        for (const size_t i : order) {
            done[i] = ledger.at(i).state == ItemState::kDone;
            if (done[i]) ++completed;
        }
        const RetryRounds::Decision next = rounds.AfterRound(completed);
        if (!next.again) break;
        order = NextRoundItems(order, done, underWay);
        reporter.Retry(offset + next.round, order.size(), next.delay, &result, failure, 0, RequestRetriesMade());
        if (!JobControl::Instance().Wait(next.delay)) break;
    }
    return result;
}

// The removals of a push or remove go first, as a job of their own: in one
// job a failed removal would end it before any upload. A removal still
// failing after two rounds is given up.
int32_t RunRemovals(const Options& o, Reporter& reporter, SyncExport run, Connection& connection,
                    ItemLedger& ledger, std::vector<size_t> removals, const std::function<void(size_t)>& onDone,
                    std::string& failure, int& rounds) {
    // The library takes folder removals before file removals.
    std::stable_partition(removals.begin(), removals.end(), [&](size_t i) { return ledger.at(i).folder; });
    RetryPolicy policy = PolicyOf(o);
    policy.maxRounds = 2;
    return RunRounds(reporter, run, connection, ledger, removals, policy, 1, onDone, failure, rounds);
}

}  // namespace

void RequireReachable(const Options& o, Reporter& reporter) {
    using Clock = std::chrono::steady_clock;
    using std::chrono::milliseconds;
    if (o.verbose)
        std::fprintf(stderr, "qsync: phone service http://%s:%d/, device root '%s'\n", o.host.c_str(), o.port,
                     o.device.c_str());
    const std::string address = o.host + ":" + std::to_string(o.port);
    const std::string why = "the phone's service at " + address + " is not answering";
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + kProbeBudget;
    const auto left = [&] { return std::chrono::duration_cast<milliseconds>(deadline - Clock::now()); };
    const RetryPolicy policy = PolicyOf(o);
    const int most = ProbeTriesAtMost(policy);
    RetryRounds rounds(policy);
    for (int tries = 1;; ++tries) {
        const auto timeout = std::min(milliseconds(kProbeTimeoutMs), std::max(left(), milliseconds(1)));
        if (CanConnect(o.host, o.port, static_cast<int>(timeout.count()))) return;
        const RetryRounds::Decision next = rounds.AfterRound(0);
        const milliseconds room = left() - kProbeLastTry;
        if (!next.again || room.count() < 0) {
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            char spent[32];
            std::snprintf(spent, sizeof spent, "%.0f", seconds);
            throw UnreachableError(why + " (" + std::to_string(tries) + (tries == 1 ? " try" : " tries") + " in " +
                                   spent + " s); check that the sync service is running on the phone and that " +
                                   address + " is its address (--phone)");
        }
        const milliseconds delay = std::min(next.delay, room);
        reporter.Retry(next.round, 0, delay, nullptr, why, std::max(most, next.round));
        if (!JobControl::Instance().Wait(delay)) throw InterruptedError("interrupted");
    }
}

// Runs a job that cannot be resumed item by item again as a whole, within
// the retry budget, until it succeeds or Ctrl-C.
int32_t RunWhole(const Options& o, Reporter& reporter, const std::function<int32_t()>& call,
                 std::string (*resultText)(int32_t), bool (*local)(int32_t)) {
    RetryRounds rounds(PolicyOf(o));
    for (;;) {
        const int32_t result = JobControl::Instance().Run(call);
        if (result == 0 || JobControl::Instance().Interrupted() || (local && local(result))) return result;
        const RetryRounds::Decision next = rounds.AfterRound(0);
        if (!next.again) return result;
        reporter.Retry(next.round, 0, next.delay, &result, resultText(result), o.retries + 1, RequestRetriesMade());
        if (!JobControl::Instance().Wait(next.delay)) return result;
    }
}

int RunItems(const Options& o, Reporter& reporter, JournalSlot& journal, SyncExport run, ItemLedger& ledger,
             const std::vector<PcFileStat>& before, Summary summary) {
    std::vector<size_t> removals, uploads;
    for (size_t i = 0; i < ledger.size(); ++i)
        (ledger.at(i).action == ItemAction::kRemove ? removals : uploads).push_back(i);
    if (ledger.size() == 0) return EndItems(reporter, summary, 0, "");  // nothing to send: no request at all
    RequireReachable(o, reporter);
    Connection connection(o);
    if (JobControl::Instance().Interrupted()) throw InterruptedError("interrupted before the job started");
    reporter.Begin(ProgressSource::kItems, ledger.Totals());
    const auto onDone = [&](size_t i) {
        const LedgerItem& item = ledger.at(i);
        if (item.action == ItemAction::kRemove) {
            journal.RemoveAtOrBelow(item.phone, item.folder);
        } else if (i < before.size() && before[i].state == PcFileState::kFile) {
            // The file as it was before the job: one changed during the
            // upload is sent again next time.
            journal.Put({item.pc, item.phone, before[i].size, before[i].mtimeNs});
        }
    };
    std::string failure;
    int rounds = 0;
    int32_t result = RunRemovals(o, reporter, run, connection, ledger, removals, onDone, failure, rounds);
    std::string removalFailure = result != 0 ? failure : "";
    const int32_t removalResult = result;
    // A removal not reported done may still have been carried out (its
    // answer lost): its entries must not make the next push skip the file.
    for (const size_t r : removals)
        if (ledger.at(r).state != ItemState::kDone) journal.Spoil(ledger.at(r).phone, ledger.at(r).folder);
    // An upload that replaces a phone copy goes only once that copy is gone:
    // the library would take the old copy, of the same size, for this file.
    std::vector<size_t> ready;
    for (const size_t i : uploads) {
        const bool blocked = ledger.at(i).replacing && std::any_of(removals.begin(), removals.end(), [&](size_t r) {
            return ledger.at(r).replacing && ledger.at(r).pc == ledger.at(i).pc &&
                   ledger.at(r).state != ItemState::kDone;
        });
        if (blocked) ledger.Fail(i, removalResult, "its changed phone copy could not be removed first");
        else ready.push_back(i);
    }
    if (!JobControl::Instance().Interrupted()) {
        const int32_t uploadResult = RunRounds(reporter, run, connection, ledger, ready, PolicyOf(o), kUploadsAtOnce,
                                               onDone, failure, rounds);
        if (!ready.empty()) result = uploadResult;
    } else {
        for (const size_t i : ready) ledger.Fail(i, result, ItemLedger::kNotStarted);  // Ctrl-C during the removals
    }
    if (result == 0 && !removalFailure.empty()) {
        result = removalResult;
        failure = removalFailure;
    }
    Summary done = ItemSummary(summary.job, ledger);
    done.unchanged = summary.unchanged;
    done.skipped = summary.skipped;
    done.skippedWhy = summary.skippedWhy;
    done.notOnPhone = summary.notOnPhone;
    if (done.failed > 0 && failure.empty()) failure = "the library did not report every item done";
    return EndItems(reporter, done, result, failure);
}

}  // namespace qsync
