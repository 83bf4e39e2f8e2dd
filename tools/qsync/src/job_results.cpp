#include "job_results.h"

#include <algorithm>

#include "errors.h"
#include "job_control.h"
#include "quellsync_http.h"

namespace qsync {

std::string SyncResultText(int32_t result) {
    switch (result) {
        case -1: return "an upload failed";
        case -2: return "removing a phone file failed, or the media scan after an upload";
        case -4: return "removing a phone folder failed";
        default: return "the job failed";
    }
}

std::string FetchResultText(int32_t result) {
    switch (result) {
        case -1: return "a download failed";
        case -2: return "the phone folder could not be listed";
        case -3: return "a PC folder could not be created";
        default: return "the job failed";
    }
}

std::string BackupResultText(int32_t result) {
    switch (result) {
        case 1: return "a listing failed, or a phone file could not be replaced or given a numbered name";
        case 21: return "stopped";
        case -1: return "a transfer failed: no answer from the phone";
        case -6: return "a transfer failed: the phone refused it";
        case -7: return "a PC file could not be opened or created";
        case -8: return "a PC file could not be read or written";
        case -10: return "a file is too large to transfer";
        case -11: return "the phone holds a longer file under the same name";
        case -12: return "a path is too long for the phone";
        default: return "a transfer failed";
    }
}

std::string PlaylistResultText(int32_t) {
    return "the phone refused a playlist change, or its songs could not be looked up";
}

uint64_t RequestRetriesMade() {
    const int32_t made = GetOption(QS_OPTION_RETRIES_MADE);
    return made > 0 ? static_cast<uint64_t>(made) : 0;
}

int ExitCodeFor(int32_t result) {
    if (JobControl::Instance().Interrupted()) return kExitInterrupted;
    return result == 0 ? kExitOk : kExitJobFailed;
}

void Finish(Reporter& reporter, Summary summary, int32_t result, const std::string& failureText) {
    summary.result = result;
    summary.retries = RequestRetriesMade();
    summary.exitCode = ExitCodeFor(result);
    if (summary.exitCode == kExitJobFailed) summary.resultText = failureText;
    reporter.End(summary);
}

ItemEvent DoneEvent(const LedgerItem& item) {
    if (item.action == ItemAction::kRemove) return ItemEvent("removed", item.pc, item.folder ? item.phone + "/" : item.phone);
    ItemEvent event(item.replacing ? "replaced" : "stored", item.pc, item.phone);
    event.hasBytes = true;
    event.bytes = item.bytes;
    return event;
}

Summary ItemSummary(const std::string& job, const ItemLedger& ledger) {
    Summary summary;
    summary.job = job;
    summary.kind = SummaryKind::kItems;
    const LedgerTotals totals = ledger.Totals();
    summary.bytes = totals.bytesDone;  // removals weigh nothing
    // The removal of a phone copy that is then replaced counts with its
    // upload, as one replaced item.
    for (size_t i = 0; i < ledger.size(); ++i) {
        const LedgerItem& item = ledger.at(i);
        if (item.state != ItemState::kDone) continue;
        if (item.action == ItemAction::kStore) ++(item.replacing ? summary.replaced : summary.stored);
        else if (!item.replacing) ++summary.removed;
    }
    for (const size_t i : ledger.Failed()) {
        const LedgerItem& item = ledger.at(i);
        if (item.action == ItemAction::kRemove && item.replacing) continue;  // its upload is listed
        summary.failedItems.push_back({item.pc, item.folder ? item.phone + "/" : item.phone, item.result, item.reason});
    }
    summary.failed = summary.failedItems.size();
    // The items that failed come before those that were never started.
    std::stable_partition(summary.failedItems.begin(), summary.failedItems.end(),
                          [](const FailedItem& f) { return f.reason != ItemLedger::kNotStarted; });
    return summary;
}

int EndItems(Reporter& reporter, Summary summary, int32_t result, const std::string& failure) {
    summary.result = result;
    summary.retries = RequestRetriesMade();
    summary.exitCode = JobControl::Instance().Interrupted() ? kExitInterrupted
                       : summary.failed > 0 || result != 0  ? kExitJobFailed
                                                            : kExitOk;
    if (summary.exitCode == kExitJobFailed) summary.resultText = failure;
    reporter.End(summary);
    return summary.exitCode;
}

Summary FilesSummary(const std::string& job, const FolderSnapshot& before, const FolderSnapshot& after) {
    const FolderChange change = CompareSnapshots(before, after);
    Summary summary;
    summary.job = job;
    summary.kind = SummaryKind::kFiles;
    summary.files = change.created + change.replaced;
    summary.replaced = change.replaced;
    summary.unchanged = change.unchanged;
    summary.bytes = change.bytes;
    return summary;
}

}  // namespace qsync
