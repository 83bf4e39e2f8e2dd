#include "host_records.h"

#include "host_abi.h"
#include "text.h"

namespace qsync {

Connection::Connection(const Options& o)
    : mUrl(Utf8ToUtf16("http://" + o.host + ":" + std::to_string(o.port) + "/")),
      mRole(Utf8ToUtf16("device=" + o.device)) {
    mParams.url = AsHostText(mUrl);
    mParams.role = AsHostText(mRole);
}

Entry::~Entry() {
    if (record.changeKind != kChangeRemove) FreeLibraryText(record.phonePath);
}

EntryList::EntryList(const ItemLedger& ledger, const std::vector<size_t>& indices) {
    for (const size_t index : indices) {
        const LedgerItem& item = ledger.at(index);
        auto entry = std::make_unique<Entry>();
        entry->index = index;
        entry->pcText = Utf8ToUtf16(item.pc);
        entry->record.pcPath = AsHostText(entry->pcText);
        const bool remove = item.action == ItemAction::kRemove;
        entry->record.changeKind = remove ? kChangeRemove : kChangeCopy;
        entry->record.isFolder = item.folder ? 1 : 0;
        if (remove && !item.folder) {
            // The library removes a file by the phone path the item carries.
            entry->phoneText = Utf8ToUtf16(item.phone);
            entry->record.phonePath = reinterpret_cast<QS_WCHAR*>(entry->phoneText.data());
        }
        mByRecord[&entry->record] = entry.get();
        mPointers.push_back(&entry->record);
        mEntries.push_back(std::move(entry));
    }
}

Entry* EntryList::Find(const void* record) const {
    const auto found = mByRecord.find(record);
    return found == mByRecord.end() ? nullptr : found->second;
}

QsHostList* EntryList::HostList() {
    mList.first = mPointers.empty() ? nullptr : mPointers.data();
    mList.last = mPointers.data() + mPointers.size();
    return &mList;
}

}  // namespace qsync
