// The retry loops of the commands: the connection probe before a job, jobs
// run again as a whole, and the rounds of a push or remove over its items.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cli.h"
#include "command_journal.h"
#include "folder_snapshot.h"
#include "host_records.h"
#include "item_ledger.h"
#include "report.h"

namespace qsync {

// The probe before a job, tried again within the retry options and a
// budget of its own: a phone that is a moment away (Wi-Fi waking up) is
// waited for, one that is gone is reported promptly (UnreachableError).
// Ctrl-C during a wait throws InterruptedError.
void RequireReachable(const Options& o, Reporter& reporter);

// Runs a job that cannot be resumed item by item again as a whole, within
// the retry budget, until it succeeds or Ctrl-C; returns its last result.
// A result that `local` (when given) takes for a failure on the PC is not
// tried again: another try would fail the same way.
int32_t RunWhole(const Options& o, Reporter& reporter, const std::function<int32_t()>& call,
                 std::string (*resultText)(int32_t), bool (*local)(int32_t) = nullptr);

// Carries out the items of a push or remove: removals first, then uploads,
// each in rounds; the journal follows each item the library reports.
// before[i] is ledger item i's PC file as planned (uploads only). Reports
// the summary and returns the exit code.
int RunItems(const Options& o, Reporter& reporter, JournalSlot& journal, SyncExport run, ItemLedger& ledger,
             const std::vector<PcFileStat>& before, Summary summary);

}  // namespace qsync
