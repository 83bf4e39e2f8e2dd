// What qsync knows about the items of one push or remove, apart from how it
// is shown: each item's size, whether the library reported it done, and why
// an item that did not end done failed. One command may hand its items to the
// library in several jobs (each over the items not yet done); the totals
// cover them all, so progress carries on from one job to the next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qsync {

enum class ItemAction { kStore, kRemove };

enum class ItemState {
    kPending,  // not handed to a job yet, or handed to the job running now
    kDone,     // the library reported it carried out
    kFailed,   // a job ended without reporting it
};

struct LedgerItem {
    std::string pc;
    std::string phone;  // planned (uploads) or sent (removals); the stored path once done
    uint64_t bytes = 0; // the PC file's size for uploads; 0 for removals
    ItemAction action = ItemAction::kStore;
    bool folder = false;
    // Part of replacing a phone copy changed at the same size: the removal
    // of the old copy, or the upload that follows it.
    bool replacing = false;
    ItemState state = ItemState::kPending;
    int32_t result = 0;  // the result of the job it failed in
    std::string reason;  // why it failed
};

// The removal half of a replaced file is left out of the item counts: the
// file counts once, with its upload.
struct LedgerTotals {
    size_t itemsTotal = 0;
    size_t itemsDone = 0;
    size_t itemsFailed = 0;
    size_t itemsInFlight = 0;  // started by the running job and not reported yet
    uint64_t bytesTotal = 0;
    uint64_t bytesDone = 0;  // of the items reported done, never of running ones
    size_t stored = 0;
    size_t removed = 0;
};

class ItemLedger {
public:
    // The text for items the library never got to.
    static const char* const kNotStarted;

    size_t Add(LedgerItem item);

    // A job is about to run over these items. The library takes folder
    // removals, then file removals, then uploads, each in the given order;
    // OnStep then tells how far along that order it has got.
    void BeginJob(const std::vector<size_t>& indices);
    // The library's percentage message: it follows each reported removal and
    // each started upload, one message per step.
    void OnStep();
    // The library reported the item done. False when it is not an item of
    // the running job, or was reported already.
    bool OnDone(size_t index, const std::string& storedPhonePath);
    // Every item of the job the library did not report done has failed: one
    // it started (or the removal it stopped at) with `failure`, the ones it
    // never reached as "not started". Returns the items that failed.
    std::vector<size_t> EndJob(int32_t result, const std::string& failure);

    // An item that will not be handed to a job any more (what it depends on
    // failed) has failed, for this reason.
    void Fail(size_t index, int32_t result, const std::string& reason);

    std::vector<size_t> Failed() const;
    LedgerTotals Totals() const;
    const LedgerItem& at(size_t index) const { return mItems.at(index); }
    size_t size() const { return mItems.size(); }

private:
    std::vector<LedgerItem> mItems;
    std::vector<size_t> mJobOrder;  // the running job's items in the library's order
    size_t mSteps = 0;              // percentage messages of the running job
    size_t mJobDone = 0;            // items of the running job reported done
    bool mJobRunning = false;
    std::vector<bool> mInJob;
    LedgerTotals mTotals;  // kept as items change, without the in-flight count
};

}  // namespace qsync
