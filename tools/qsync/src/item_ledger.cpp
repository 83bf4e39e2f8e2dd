#include "item_ledger.h"

#include <algorithm>

namespace qsync {

const char* const ItemLedger::kNotStarted = "not started";

namespace {
// The removal of a phone copy that its upload then replaces is one item
// with that upload in the item counts.
bool Counted(const LedgerItem& item) { return !(item.action == ItemAction::kRemove && item.replacing); }
}  // namespace

size_t ItemLedger::Add(LedgerItem item) {
    item.state = ItemState::kPending;
    mTotals.bytesTotal += item.bytes;
    if (Counted(item)) ++mTotals.itemsTotal;
    mItems.push_back(std::move(item));
    mInJob.push_back(false);
    return mItems.size() - 1;
}

void ItemLedger::BeginJob(const std::vector<size_t>& indices) {
    mJobOrder.clear();
    std::fill(mInJob.begin(), mInJob.end(), false);
    // The library's passes: folder removals, file removals, uploads.
    auto pass = [this](size_t i) {
        const LedgerItem& item = mItems[i];
        if (item.action == ItemAction::kRemove) return item.folder ? 0 : 1;
        return 2;
    };
    for (int p = 0; p < 3; ++p)
        for (const size_t i : indices)
            if (i < mItems.size() && !mInJob[i] && mItems[i].state != ItemState::kDone && pass(i) == p) {
                mJobOrder.push_back(i);
                mInJob[i] = true;
                if (mItems[i].state == ItemState::kFailed && Counted(mItems[i])) --mTotals.itemsFailed;
                mItems[i].state = ItemState::kPending;
                mItems[i].reason.clear();
            }
    mSteps = 0;
    mJobDone = 0;
    mJobRunning = true;
}

void ItemLedger::OnStep() {
    if (mJobRunning && mSteps < mJobOrder.size()) ++mSteps;
}

bool ItemLedger::OnDone(size_t index, const std::string& storedPhonePath) {
    if (!mJobRunning || index >= mItems.size() || !mInJob[index]) return false;
    LedgerItem& item = mItems[index];
    if (item.state == ItemState::kDone) return false;
    item.state = ItemState::kDone;
    if (!storedPhonePath.empty()) item.phone = storedPhonePath;
    ++mJobDone;
    if (Counted(item)) ++mTotals.itemsDone;
    mTotals.bytesDone += item.bytes;
    ++(item.action == ItemAction::kStore ? mTotals.stored : mTotals.removed);
    return true;
}

std::vector<size_t> ItemLedger::EndJob(int32_t result, const std::string& failure) {
    std::vector<size_t> failed;
    for (size_t position = 0; position < mJobOrder.size(); ++position) {
        LedgerItem& item = mItems[mJobOrder[position]];
        if (item.state == ItemState::kDone) continue;
        // A step follows each reported removal, so a removal that failed sits
        // just past the steps; an upload counts as a step when it starts.
        const bool reached = position < mSteps ||
                             (position == mSteps && result != 0 && item.action == ItemAction::kRemove);
        item.state = ItemState::kFailed;
        if (Counted(item)) ++mTotals.itemsFailed;
        item.result = result;
        item.reason = reached ? failure : kNotStarted;
        failed.push_back(mJobOrder[position]);
    }
    mJobRunning = false;
    mJobOrder.clear();
    std::fill(mInJob.begin(), mInJob.end(), false);
    mSteps = 0;
    mJobDone = 0;
    return failed;
}

void ItemLedger::Fail(size_t index, int32_t result, const std::string& reason) {
    LedgerItem& item = mItems.at(index);
    if (item.state == ItemState::kDone || (mJobRunning && mInJob[index])) return;
    if (item.state != ItemState::kFailed && Counted(item)) ++mTotals.itemsFailed;
    item.state = ItemState::kFailed;
    item.result = result;
    item.reason = reason;
}

std::vector<size_t> ItemLedger::Failed() const {
    std::vector<size_t> out;
    for (size_t i = 0; i < mItems.size(); ++i)
        if (mItems[i].state == ItemState::kFailed) out.push_back(i);
    return out;
}

LedgerTotals ItemLedger::Totals() const {
    LedgerTotals t = mTotals;
    if (mJobRunning && mSteps > mJobDone) t.itemsInFlight = mSteps - mJobDone;
    return t;
}

}  // namespace qsync
