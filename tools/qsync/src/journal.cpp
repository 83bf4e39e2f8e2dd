#include "journal.h"

#include <algorithm>
#include <array>
#include <thread>
#include <unordered_set>

#include "journal_file.h"

namespace qsync {
namespace {

const std::string kHeader = "qsync-journal 1";
const std::string kHeaderPrefix = "qsync-journal ";
constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kMaxLine = 1024 * 1024;

// CRC-32 (the polynomial of zlib and PNG), table driven.
uint32_t Crc32(const char* data, size_t size) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) crc = table[(crc ^ static_cast<unsigned char>(data[i])) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

const char kHexDigits[] = "0123456789abcdef";

std::string Hex8(uint32_t value) {
    std::string out(8, '0');
    for (int i = 7; i >= 0; --i, value >>= 4) out[static_cast<size_t>(i)] = kHexDigits[value & 0xF];
    return out;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;  // upper case is never written, so never read
}

// A path as one field: no tab, no line end, no other control byte.
void AppendEscaped(std::string& out, const std::string& text) {
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (u < 0x20 || u == 0x7F) {
            out += "\\x";
            out.push_back(kHexDigits[u >> 4]);
            out.push_back(kHexDigits[u & 0xF]);
        } else {
            out.push_back(c);
        }
    }
}

bool Unescape(const char* begin, const char* end, std::string& out) {
    out.clear();
    out.reserve(static_cast<size_t>(end - begin));
    for (const char* p = begin; p < end; ++p) {
        if (*p != '\\') {
            out.push_back(*p);
            continue;
        }
        if (p + 1 < end && p[1] == '\\') {
            out.push_back('\\');
            p += 1;
            continue;
        }
        if (end - p < 4 || p[1] != 'x') return false;
        const int high = HexValue(p[2]);
        const int low = HexValue(p[3]);
        if (high < 0 || low < 0) return false;
        out.push_back(static_cast<char>(high * 16 + low));
        p += 3;
    }
    return true;
}

bool ParseUnsigned(const char* begin, const char* end, uint64_t& value) {
    if (begin == end || end - begin > 20) return false;
    value = 0;
    for (const char* p = begin; p < end; ++p) {
        if (*p < '0' || *p > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

bool ParseSigned(const char* begin, const char* end, int64_t& value) {
    const bool negative = begin != end && *begin == '-';
    uint64_t magnitude = 0;
    if (!ParseUnsigned(begin + (negative ? 1 : 0), end, magnitude)) return false;
    const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    if (magnitude > limit) return false;
    value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

std::string MakeKey(const std::string& pc, const std::string& phone) {
    std::string key;
    key.reserve(pc.size() + phone.size() + 3);
    size_t length = pc.size();
    do {
        const auto low = static_cast<unsigned char>(length & 0x7F);
        length >>= 7;
        key.push_back(static_cast<char>(length ? (low | 0x80) : low));
    } while (length);
    key += pc;
    key += phone;
    return key;
}

void SplitKey(const std::string& key, std::string& pc, std::string& phone) {
    size_t length = 0;
    size_t at = 0;
    for (int shift = 0; at < key.size(); shift += 7) {
        const auto byte = static_cast<unsigned char>(key[at++]);
        length |= static_cast<size_t>(byte & 0x7F) << shift;
        if (!(byte & 0x80)) break;
    }
    pc.assign(key, at, length);
    phone.assign(key, at + length, std::string::npos);
}

void Seal(std::string& line) {
    const uint32_t crc = Crc32(line.data(), line.size());
    line.push_back('\t');
    line += Hex8(crc);
    line.push_back('\n');
}

std::string PutLine(const JournalEntry& entry) {
    std::string line = "+\t" + std::to_string(entry.size) + "\t" + std::to_string(entry.mtimeNs) + "\t";
    AppendEscaped(line, entry.pc);
    line.push_back('\t');
    AppendEscaped(line, entry.phone);
    Seal(line);
    return line;
}

std::string IdentityLine(const std::string& identity) {
    std::string line = "@\t";
    AppendEscaped(line, identity);
    Seal(line);
    return line;
}

std::string RemoveLine(const std::string& pc, const std::string& phone) {
    std::string line = "-\t";
    AppendEscaped(line, pc);
    line.push_back('\t');
    AppendEscaped(line, phone);
    Seal(line);
    return line;
}

struct ParsedRecord {
    enum class Kind { kPut, kRemove, kIdentity } kind = Kind::kPut;
    JournalEntry entry;  // kIdentity: the identity in entry.pc
};

// One line without its line end. False for a damaged or unknown record.
bool ParseLine(const char* begin, const char* end, ParsedRecord& record) {
    if (end - begin < 10 || end[-9] != '\t') return false;
    uint32_t stored = 0;
    for (const char* p = end - 8; p < end; ++p) {
        const int digit = HexValue(*p);
        if (digit < 0) return false;
        stored = stored << 4 | static_cast<uint32_t>(digit);
    }
    const char* bodyEnd = end - 9;
    if (Crc32(begin, static_cast<size_t>(bodyEnd - begin)) != stored) return false;
    const char* fields[6];
    const char* fieldEnds[6];
    size_t count = 0;
    for (const char* p = begin; count < 6;) {
        const char* tab = std::find(p, bodyEnd, '\t');
        fields[count] = p;
        fieldEnds[count++] = tab;
        if (tab == bodyEnd) break;
        p = tab + 1;
    }
    const std::string kind(fields[0], fieldEnds[0]);
    if (kind == "+" && count == 5) {
        record.kind = ParsedRecord::Kind::kPut;
        return ParseUnsigned(fields[1], fieldEnds[1], record.entry.size) &&
               ParseSigned(fields[2], fieldEnds[2], record.entry.mtimeNs) &&
               Unescape(fields[3], fieldEnds[3], record.entry.pc) &&
               Unescape(fields[4], fieldEnds[4], record.entry.phone);
    }
    if (kind == "@" && count == 2) {
        record.kind = ParsedRecord::Kind::kIdentity;
        return Unescape(fields[1], fieldEnds[1], record.entry.pc);
    }
    if (kind == "-" && count == 3) {
        record.kind = ParsedRecord::Kind::kRemove;
        return Unescape(fields[1], fieldEnds[1], record.entry.pc) &&
               Unescape(fields[2], fieldEnds[2], record.entry.phone);
    }
    return false;
}

bool IsSeparator(char c, PathStyle style) { return c == '/' || (style == PathStyle::kWindows && c == '\\'); }

// `path` is `folder` itself or lies below it.
bool IsAtOrBelow(const std::string& path, const std::string& folder, PathStyle style) {
    if (folder.empty() || path.compare(0, folder.size(), folder) != 0) return false;
    return path.size() == folder.size() || IsSeparator(folder.back(), style) ||
           IsSeparator(path[folder.size()], style);
}

// Phone storage ignores the case of letters; ASCII ones are folded here.
std::string FoldCase(const std::string& path) {
    std::string folded = path;
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

size_t PhoneHash(const std::string& key) {
    std::string pc, phone;
    SplitKey(key, pc, phone);
    return std::hash<std::string>()(FoldCase(phone));
}

// Never the modification time of a PC file (1677-09-21).
constexpr int64_t kSpoiledMtime = INT64_MIN;

std::string WithoutTrailingSeparators(std::string path, PathStyle style) {
    while (path.size() > 1 && IsSeparator(path.back(), style)) path.pop_back();
    return path;
}

}  // namespace

// ---- where the journal lives ------------------------------------------------

std::string JournalFolder(PathStyle style, const JournalEnvironment& environment) {
    if (style == PathStyle::kPosix) {
        if (!environment.xdgStateHome.empty() && environment.xdgStateHome[0] == '/')
            return WithoutTrailingSeparators(environment.xdgStateHome, style) + "/qsync";
        if (!environment.home.empty())
            return WithoutTrailingSeparators(environment.home, style) + "/.local/state/qsync";
        return std::string();
    }
    for (const std::string* base : {&environment.localAppData, &environment.userProfile})
        if (!base->empty()) return WithoutTrailingSeparators(*base, style) + "\\qsync";
    return std::string();
}

std::string JournalFileName(const std::string& host, int port, const std::string& deviceRoot) {
    const std::string exact = host + ":" + std::to_string(port) + deviceRoot;
    std::string name = host + "-" + std::to_string(port) + deviceRoot;
    for (char& c : name) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                          c == '_';
        if (!keep) c = '-';
    }
    if (name.size() > 80) name.resize(80);
    return name + "-" + Hex8(Crc32(exact.data(), exact.size())) + ".journal";
}

std::string DefaultJournalPath(PathStyle style, const JournalEnvironment& environment, const std::string& host,
                               int port, const std::string& deviceRoot) {
    const std::string folder = JournalFolder(style, environment);
    if (folder.empty()) return folder;
    return folder + (style == PathStyle::kWindows ? "\\" : "/") + JournalFileName(host, port, deviceRoot);
}

// ---- opening and loading ------------------------------------------------------

Journal::Journal(std::string path) : mPath(std::move(path)) {}

Journal::~Journal() = default;

JournalError Journal::Error(JournalError::Kind kind, const std::string& detail) const {
    return JournalError(kind, "journal " + mPath + ": " + detail);
}

std::unique_ptr<Journal> Journal::Open(const std::string& path, const JournalOpenOptions& options) {
    using Kind = JournalError::Kind;
    std::unique_ptr<Journal> journal(new Journal(path));
    journal->mReadOnly = options.readOnly;
    const JournalFile::Mode mode =
        options.readOnly ? JournalFile::Mode::kReadExisting : JournalFile::Mode::kOpenOrCreate;
    std::string error;
    if (!options.readOnly && !journal_os::MakeParentFolders(path, error)) throw journal->Error(Kind::kIo, error);

    // Read-only, a missing file is no error: nothing was recorded yet.
    journal->mLock = std::make_unique<JournalFile>();
    if (!journal->mLock->Open(path + ".lock", mode, error) && !error.empty()) throw journal->Error(Kind::kIo, error);
    const auto start = std::chrono::steady_clock::now();
    for (bool told = false; journal->mLock->isOpen();) {
        const JournalFile::LockResult locked = journal->mLock->TryLock(error);
        if (locked == JournalFile::LockResult::kLocked) break;
        if (locked == JournalFile::LockResult::kFailed) throw journal->Error(Kind::kIo, error);
        const std::string busy = "in use by another qsync";
        if (options.lockMode == JournalOpenOptions::LockMode::kFailIfBusy) throw journal->Error(Kind::kBusy, busy);
        if (!told && options.onBusy) options.onBusy();
        told = true;
        if (options.stop && options.stop()) throw journal->Error(Kind::kStopped, busy + " (stopped waiting)");
        if (options.waitLimit.count() > 0 && std::chrono::steady_clock::now() - start >= options.waitLimit)
            throw journal->Error(Kind::kBusy, busy);
        std::this_thread::sleep_for(options.pollInterval);
    }

    journal->mFile = std::make_unique<JournalFile>();
    if (!journal->mFile->Open(path, mode, error)) {
        if (!error.empty()) throw journal->Error(Kind::kIo, error);
        return journal;
    }
    journal->Load();
    return journal;
}

void Journal::Load() {
    using Kind = JournalError::Kind;
    std::string error;
    std::string pending;  // bytes after the last line end read so far
    std::vector<char> buffer(kReadChunk);
    uint64_t fileSize = 0;
    uint64_t consumed = 0;  // the file offset of pending[0]
    uint64_t validEnd = 0;  // just past the last line end
    bool headerSeen = false;
    bool skipping = false;  // in a line too long to be a record
    ParsedRecord record;
    for (;;) {
        size_t got = 0;
        if (!mFile->Read(buffer.data(), buffer.size(), got, error)) throw Error(Kind::kIo, error);
        if (got == 0) break;
        fileSize += got;
        pending.append(buffer.data(), got);
        size_t from = 0;
        for (size_t newline; (newline = pending.find('\n', from)) != std::string::npos; from = newline + 1) {
            validEnd = consumed + newline + 1;
            if (skipping) {
                skipping = false;
                ++mRecords;
                continue;
            }
            const char* begin = pending.data() + from;
            const char* end = pending.data() + newline;
            if (!headerSeen) {
                const std::string first(begin, end);
                if (first.compare(0, kHeaderPrefix.size(), kHeaderPrefix) == 0 && first != kHeader)
                    throw Error(Kind::kNotAJournal,
                                "written in the format '" + first + "', which this qsync does not know; left alone");
                if (first != kHeader) throw Error(Kind::kNotAJournal, "not a qsync journal; left alone");
                headerSeen = true;
                continue;
            }
            ++mRecords;
            if (!ParseLine(begin, end, record)) continue;  // damaged: this record alone is lost
            if (record.kind == ParsedRecord::Kind::kIdentity) {
                if (mIdentity.empty()) mIdentity = record.entry.pc;
                continue;
            }
            std::string key = MakeKey(record.entry.pc, record.entry.phone);
            if (record.kind == ParsedRecord::Kind::kPut) {
                const auto placed = mEntries.insert_or_assign(std::move(key), Record{record.entry.size, record.entry.mtimeNs});
                if (placed.second) IndexLocked(placed.first->first);
            } else {
                const auto it = mEntries.find(key);
                if (it == mEntries.end()) continue;
                UnindexLocked(it->first);
                mEntries.erase(it);
            }
        }
        consumed += from;
        pending.erase(0, from);
        if (!headerSeen && pending.size() > kHeader.size())
            throw Error(Kind::kNotAJournal, "not a qsync journal; left alone");
        // A line longer than any record qsync writes is damage: its bytes
        // are dropped up to the next line end (where it ends, one record).
        if (pending.size() > kMaxLine) {
            consumed += pending.size();
            pending.clear();
            skipping = true;
        }
    }
    if (!headerSeen) {
        // Empty, or the header itself was torn: a new journal. Anything else
        // is someone else's file.
        const std::string whole = kHeader + "\n";
        if (whole.compare(0, pending.size(), pending) != 0)
            throw Error(Kind::kNotAJournal, "not a qsync journal; left alone");
        if (mReadOnly) return;
        if ((fileSize > 0 && !mFile->Truncate(0, error)) || !mFile->Append(whole, error)) throw Error(Kind::kIo, error);
        return;
    }
    // A torn last record: cut it off, so the next record starts a line.
    if (!mReadOnly && fileSize > validEnd && !mFile->Truncate(validEnd, error)) throw Error(Kind::kIo, error);
}

// ---- queries ------------------------------------------------------------------

size_t Journal::size() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mEntries.size();
}

bool Journal::Find(const std::string& pc, const std::string& phone, JournalEntry& entry) const {
    std::lock_guard<std::mutex> lock(mMutex);
    const auto it = mEntries.find(MakeKey(pc, phone));
    if (it == mEntries.end()) return false;
    entry = JournalEntry{pc, phone, it->second.size, it->second.mtimeNs};
    return true;
}

JournalMatch Journal::Compare(const std::string& pc, const std::string& phone, uint64_t size, int64_t mtimeNs) const {
    JournalEntry entry;
    if (!Find(pc, phone, entry)) return JournalMatch::kNotRecorded;
    if (entry.size != size) return JournalMatch::kChangedSize;
    return entry.mtimeNs == mtimeNs ? JournalMatch::kUnchanged : JournalMatch::kChangedSameSize;
}

std::vector<const std::pair<const std::string, Journal::Record>*> Journal::SortedLocked() const {
    std::vector<const std::pair<const std::string, Record>*> sorted;
    sorted.reserve(mEntries.size());
    for (const auto& entry : mEntries) sorted.push_back(&entry);
    // Key order is PC length first; order by the paths themselves instead.
    std::string pcA, phoneA, pcB, phoneB;
    std::sort(sorted.begin(), sorted.end(), [&](const auto* a, const auto* b) {
        SplitKey(a->first, pcA, phoneA);
        SplitKey(b->first, pcB, phoneB);
        return pcA != pcB ? pcA < pcB : phoneA < phoneB;
    });
    return sorted;
}

std::vector<JournalEntry> Journal::Entries() const {
    std::lock_guard<std::mutex> lock(mMutex);
    std::vector<JournalEntry> entries;
    entries.reserve(mEntries.size());
    for (const auto* item : SortedLocked()) {
        JournalEntry entry{std::string(), std::string(), item->second.size, item->second.mtimeNs};
        SplitKey(item->first, entry.pc, entry.phone);
        entries.push_back(std::move(entry));
    }
    return entries;
}

void Journal::IndexLocked(const std::string& key) { mByPhone.emplace(PhoneHash(key), &key); }

void Journal::UnindexLocked(const std::string& key) {
    const auto range = mByPhone.equal_range(PhoneHash(key));
    for (auto it = range.first; it != range.second; ++it)
        if (it->second == &key) {
            mByPhone.erase(it);
            return;
        }
}

std::vector<const std::pair<const std::string, Journal::Record>*> Journal::AtOrBelowPhoneLocked(
    const std::string& phonePath, bool folder) const {
    const std::string root = FoldCase(WithoutTrailingSeparators(phonePath, PathStyle::kPosix));
    std::vector<const std::pair<const std::string, Record>*> found;
    std::string pc, phone;
    if (!folder) {
        // A file: its entries through the index, no scan.
        const auto range = mByPhone.equal_range(std::hash<std::string>()(root));
        for (auto it = range.first; it != range.second; ++it) {
            SplitKey(*it->second, pc, phone);
            if (FoldCase(phone) == root) found.push_back(&*mEntries.find(*it->second));
        }
        return found;
    }
    for (const auto& item : mEntries) {
        SplitKey(item.first, pc, phone);
        if (IsAtOrBelow(FoldCase(phone), root, PathStyle::kPosix)) found.push_back(&item);
    }
    return found;
}

namespace {
// Entries in the order the queries return them: by PC path, then phone path.
void SortByKey(std::vector<JournalEntry>& entries) {
    std::sort(entries.begin(), entries.end(), [](const JournalEntry& a, const JournalEntry& b) {
        return a.pc != b.pc ? a.pc < b.pc : a.phone < b.phone;
    });
}
}  // namespace

std::vector<JournalEntry> Journal::AtOrBelowPhone(const std::string& phonePath, bool folder) const {
    std::vector<JournalEntry> entries;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        for (const auto* item : AtOrBelowPhoneLocked(phonePath, folder)) {
            JournalEntry entry{std::string(), std::string(), item->second.size, item->second.mtimeNs};
            SplitKey(item->first, entry.pc, entry.phone);
            entries.push_back(std::move(entry));
        }
    }
    SortByKey(entries);
    return entries;
}

std::string Journal::identity() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mIdentity;
}

std::vector<JournalEntry> Journal::Vanished(const std::vector<std::string>& pcFolders, const std::string& phoneFolder,
                                            PathStyle style, const std::vector<std::string>& currentPhones,
                                            const std::function<bool(const std::string& pc)>& pcFileGone) const {
    std::unordered_set<std::string> current;
    for (const std::string& phone : currentPhones) current.insert(FoldCase(phone));
    std::vector<std::string> pcRoots;
    for (const std::string& folder : pcFolders) pcRoots.push_back(WithoutTrailingSeparators(folder, style));
    std::vector<JournalEntry> below;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        const std::string phoneRoot = WithoutTrailingSeparators(phoneFolder, PathStyle::kPosix);
        JournalEntry entry;
        for (const auto& item : mEntries) {
            SplitKey(item.first, entry.pc, entry.phone);
            if (!IsAtOrBelow(entry.phone, phoneRoot, PathStyle::kPosix) || entry.phone.size() == phoneRoot.size())
                continue;
            const bool named = std::any_of(pcRoots.begin(), pcRoots.end(), [&](const std::string& root) {
                return IsAtOrBelow(entry.pc, root, style);
            });
            // The phone file of a file this push stores (a PC file renamed
            // only in letter case is one phone file): never removed.
            if (!named || current.count(FoldCase(entry.phone))) continue;
            entry.size = item.second.size;
            entry.mtimeNs = item.second.mtimeNs;
            below.push_back(entry);
        }
    }
    // Outside the lock: the predicate looks at the disk.
    below.erase(std::remove_if(below.begin(), below.end(), [&](const JournalEntry& e) { return !pcFileGone(e.pc); }),
                below.end());
    SortByKey(below);
    return below;
}

// ---- changes --------------------------------------------------------------------

std::string Journal::error() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mError;
}

bool Journal::Fail(const std::string& error) {
    if (!mFailed) mError = "journal " + mPath + ": " + error;
    mFailed = true;
    return false;
}

bool Journal::AppendLocked(const std::string& line) {
    if (mFailed) return false;
    if (mReadOnly) {
        mError = "journal " + mPath + ": opened read-only";
        return false;
    }
    std::string error;
    if (!mFile || !mFile->isOpen()) return Fail("not open");
    if (!mFile->Append(line, error)) return Fail(error);
    ++mRecords;
    return true;
}

bool Journal::Put(const JournalEntry& entry) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (!AppendLocked(PutLine(entry))) return false;
    const auto placed = mEntries.insert_or_assign(MakeKey(entry.pc, entry.phone), Record{entry.size, entry.mtimeNs});
    if (placed.second) IndexLocked(placed.first->first);
    return true;
}

bool Journal::RemovePhone(const std::string& phonePath, bool folder) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mFailed) return false;
    std::string pc, phone;
    for (const auto* item : AtOrBelowPhoneLocked(phonePath, folder)) {
        SplitKey(item->first, pc, phone);
        if (!AppendLocked(RemoveLine(pc, phone))) return false;
        UnindexLocked(item->first);
        mEntries.erase(mEntries.find(item->first));
    }
    return true;
}

bool Journal::SpoilPhone(const std::string& phonePath, bool folder) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mFailed) return false;
    JournalEntry entry;
    for (const auto* item : AtOrBelowPhoneLocked(phonePath, folder)) {
        SplitKey(item->first, entry.pc, entry.phone);
        entry.size = item->second.size;
        entry.mtimeNs = kSpoiledMtime;
        if (!AppendLocked(PutLine(entry))) return false;
        mEntries[item->first].mtimeNs = kSpoiledMtime;
    }
    return true;
}

bool Journal::SetIdentity(const std::string& identity) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mIdentity.empty() || mReadOnly) return true;
    if (!AppendLocked(IdentityLine(identity))) return false;
    mIdentity = identity;
    return true;
}

bool Journal::Remove(const std::string& pc, const std::string& phone) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mFailed) return false;
    const auto it = mEntries.find(MakeKey(pc, phone));
    if (it == mEntries.end()) return true;
    if (!AppendLocked(RemoveLine(pc, phone))) return false;
    UnindexLocked(it->first);
    mEntries.erase(it);
    return true;
}

bool Journal::Compact() {
    std::lock_guard<std::mutex> lock(mMutex);
    return CompactLocked();
}

bool Journal::CompactLocked() {
    if (mFailed) return false;
    if (mReadOnly) {
        mError = "journal " + mPath + ": opened read-only";
        return false;
    }
    const std::string temporary = mPath + ".tmp";
    std::string error;
    bool written = false;
    {
        JournalFile out;
        if (out.Open(temporary, JournalFile::Mode::kCreateTruncate, error)) {
            std::string chunk = kHeader + "\n";
            if (!mIdentity.empty()) chunk += IdentityLine(mIdentity);
            written = true;
            JournalEntry entry;
            for (const auto* item : SortedLocked()) {
                SplitKey(item->first, entry.pc, entry.phone);
                entry.size = item->second.size;
                entry.mtimeNs = item->second.mtimeNs;
                chunk += PutLine(entry);
                if (chunk.size() >= kReadChunk) {
                    written = out.Append(chunk, error);
                    chunk.clear();
                    if (!written) break;
                }
            }
            written = written && out.Append(chunk, error) && out.Sync(error);
        }
    }
    if (!written) {
        // The file is as it was and still open: later changes go on.
        journal_os::RemoveFileQuietly(temporary);
        mError = "journal " + mPath + ": " + error;
        return false;
    }
    // Windows cannot rename over a file this process holds open.
    mFile->Close();
    const bool replaced = journal_os::RenameOver(temporary, mPath, error);
    if (!replaced) journal_os::RemoveFileQuietly(temporary);
    std::string reopenError;
    if (!mFile->Open(mPath, JournalFile::Mode::kOpenOrCreate, reopenError)) return Fail(reopenError);
    if (!replaced) {
        mError = "journal " + mPath + ": " + error;
        return false;
    }
    mRecords = mEntries.size() + (mIdentity.empty() ? 0 : 1);
    return true;
}

bool Journal::Finish() {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mFailed) return false;
    if (mReadOnly) return true;
    const size_t dead = mRecords - std::min(mRecords, mEntries.size());
    if (dead > mEntries.size() && dead >= kCompactSlack && CompactLocked()) return true;
    if (mFailed) return false;
    // Not rewritten (or the rewrite failed, and error() says why): the
    // file as it is goes to disk.
    const bool rewriteFailed = dead > mEntries.size() && dead >= kCompactSlack;
    std::string error;
    if (!mFile->Sync(error)) return Fail(error);
    return !rewriteFailed;
}

bool journal_os::ReplaceFile(const std::string& path, const std::string& text, std::string& error) {
    const std::string temporary = path + ".tmp";
    bool written = false;
    {
        JournalFile file;
        written = file.Open(temporary, JournalFile::Mode::kCreateTruncate, error) && file.Append(text, error) &&
                  file.Sync(error);
    }
    if (written && RenameOver(temporary, path, error)) return true;
    RemoveFileQuietly(temporary);
    return false;
}

}  // namespace qsync
