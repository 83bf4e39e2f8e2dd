// What a job's end says: the texts of the library's results, the exit
// code, and the summary of a job's items or of the PC files it wrote.
#pragma once

#include <cstdint>
#include <string>

#include "folder_snapshot.h"
#include "item_ledger.h"
#include "report.h"

namespace qsync {

// What a nonzero result of each kind of export means, for the summary.
std::string SyncResultText(int32_t result);
std::string FetchResultText(int32_t result);
std::string BackupResultText(int32_t result);
std::string PlaylistResultText(int32_t result);

// The library's per-request retries made since the command began.
uint64_t RequestRetriesMade();

// The exit code of a job that ended with `result`: 130 after Ctrl-C.
int ExitCodeFor(int32_t result);

// Ends a job that is not a push or remove with its summary.
void Finish(Reporter& reporter, Summary summary, int32_t result, const std::string& failureText);

// The item line of an item the library reported done.
ItemEvent DoneEvent(const LedgerItem& item);

// The counts and failed items of a push or remove, from its ledger.
Summary ItemSummary(const std::string& job, const ItemLedger& ledger);

// The end of a push or remove: exit 0 only when every item is done.
int EndItems(Reporter& reporter, Summary summary, int32_t result, const std::string& failure);

// What a job that writes PC files did to the folder.
Summary FilesSummary(const std::string& job, const FolderSnapshot& before, const FolderSnapshot& after);

}  // namespace qsync
