// The records the sync exports read: the connection's two texts, and the
// host list of a push or remove built from the ledger's items.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "cli.h"
#include "item_ledger.h"
#include "quellsync_http.h"

namespace qsync {

using SyncExport = int32_t(QS_CALL*)(ConnectParams*, JobParams*);

constexpr intptr_t kChangeCopy = 1;
constexpr intptr_t kChangeRemove = 3;

// The two texts every sync export reads from ConnectParams.
class Connection {
public:
    explicit Connection(const Options& o);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ConnectParams* params() { return &mParams; }

private:
    std::u16string mUrl, mRole;
    ConnectParams mParams{};
};

// The library's record of one item of a push or remove, with the texts it
// points to. What the item is and how it fared is kept in the ItemLedger.
struct Entry {
    size_t index = 0;  // in the ledger
    std::u16string pcText, phoneText;
    SyncItem record{};

    Entry() = default;
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    // An upload's phonePath is written by the library, which hands it over.
    ~Entry();
};

// The host list of one job over some of the ledger's items.
class EntryList {
public:
    EntryList(const ItemLedger& ledger, const std::vector<size_t>& indices);
    EntryList(const EntryList&) = delete;
    EntryList& operator=(const EntryList&) = delete;
    // The entry whose record the library reports on, or null.
    Entry* Find(const void* record) const;
    QsHostList* HostList();

private:
    std::vector<std::unique_ptr<Entry>> mEntries;
    std::vector<void*> mPointers;
    std::unordered_map<const void*, Entry*> mByRecord;
    QsHostList mList{};
};

}  // namespace qsync
