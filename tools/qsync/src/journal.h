// The journal: what qsync pushed to one phone, so that a later push skips
// the files that have not changed since, re-sends the ones changed at the
// same size, and finds the phone copies of files deleted on the PC.
//
// One file per phone (service address and storage root). It is a text file
// of lines; the first is the header "qsync-journal 1", each further line one
// record of fields separated by tabs, appended and written through to the
// operating system as soon as its item is known to be done:
//
//   +  SIZE  MTIME  PC  PHONE  CRC   the entry (PC, PHONE) with the PC file's
//                                    size and modification time
//   -  PC  PHONE  CRC                the entry (PC, PHONE) is gone
//   @  IDENTITY  CRC                 the phone it belongs to ("host:port" and
//                                    the storage root), once, after the header
//
// for example (tabs shown as runs of blanks)
//
//   qsync-journal 1
//   +  4012345  1733731200123456789  /home/me/Pop/01 Intro.mp3  /sdcard/Music/home/me/Pop/01 Intro.mp3  158e23e4
//   -  /home/me/Pop/old.mp3  /sdcard/Music/home/me/Pop/old.mp3  45c2c887
//
// MTIME is in nanoseconds since 1970-01-01 UTC. PC and PHONE are the paths'
// bytes with "\" written "\\" and every control byte (tab and line end
// included) and DEL written "\xHH" in lower case; other bytes (UTF-8 or
// not) stand for themselves. CRC is the CRC-32 of the line up to the tab
// before it, in 8 lower-case hex digits. A later record of a key replaces an
// earlier one; a "-" record is how an entry is removed between rewrites.
// A qsync that knows no "@" record skips it as it skips a damaged one.
//
// Loading ignores a last line without its line end (a torn write) and cuts
// it off the file, and skips any line whose CRC does not match, so one
// damaged record never takes others with it. A file whose first line is not
// the header is refused and left alone. Rewrites (Compact) go to FILE.tmp,
// which is synced and then renamed over the file. The whole time a Journal
// is open it holds an exclusive lock on FILE.lock (flock; LockFileEx on
// Windows), so one process at a time reads and writes the journal.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "paths.h"

namespace qsync {

// ---- where the journal lives ------------------------------------------------

// The environment values the default place depends on, in UTF-8; empty when
// unset. Read once at start-up (ReadJournalEnvironment) and passed down.
struct JournalEnvironment {
    std::string xdgStateHome;  // POSIX: XDG_STATE_HOME
    std::string home;          // POSIX: HOME
    std::string localAppData;  // Windows: LOCALAPPDATA
    std::string userProfile;   // Windows: USERPROFILE
};
JournalEnvironment ReadJournalEnvironment();

// The folder of the journals: POSIX $XDG_STATE_HOME/qsync (an absolute value
// only), else $HOME/.local/state/qsync; Windows %LOCALAPPDATA%\qsync, else
// %USERPROFILE%\qsync. Empty when the environment names none of them.
std::string JournalFolder(PathStyle style, const JournalEnvironment& environment);

// The file name of one phone's journal, e.g. "127.0.0.1-8182-sdcard-414b05b5.journal"
// for 127.0.0.1:8182 and root "/sdcard": the address and root with every
// byte other than a letter, digit, "." or "_" turned into "-" (no ":", which
// Windows forbids), then a CRC of the exact address and root, so two phones
// never share a file.
std::string JournalFileName(const std::string& host, int port, const std::string& deviceRoot);

// Folder and file name together; empty when JournalFolder is empty.
std::string DefaultJournalPath(PathStyle style, const JournalEnvironment& environment, const std::string& host,
                               int port, const std::string& deviceRoot);

// ---- the PC files the entries describe ------------------------------------

enum class PcFileState {
    kFile,     // a regular file: size and mtime are set
    kAbsent,   // nothing of that name (nor its folder) exists
    kNotFile,  // something else of that name: a folder, a device, ...
    kUnknown,  // it could not be looked at (no permission, I/O error)
};
struct PcFileStat {
    PcFileState state = PcFileState::kUnknown;
    uint64_t size = 0;
    int64_t mtimeNs = 0;  // nanoseconds since 1970-01-01 UTC
};
// stat / GetFileAttributesExW of a UTF-8 PC path; links are followed.
PcFileStat StatPcFile(const std::string& path);

// ---- the journal ------------------------------------------------------------

struct JournalEntry {
    std::string pc;     // PC path in UTF-8 (on Windows converted from UTF-16)
    std::string phone;  // phone path
    uint64_t size = 0;
    int64_t mtimeNs = 0;
};

// How a PC file compares with its entry.
enum class JournalMatch {
    kNotRecorded,      // no entry for (pc, phone)
    kUnchanged,        // same size and modification time
    kChangedSameSize,  // same size, another modification time
    kChangedSize,      // another size
};

// The journal could not be used. The message names the file and says why,
// fit to be printed once before carrying on without a journal.
class JournalError : public std::runtime_error {
public:
    enum class Kind {
        kBusy,         // another process holds the lock (kFailIfBusy, or the wait ran out)
        kStopped,      // the stop predicate ended the wait for the lock
        kNotAJournal,  // the file exists but is no journal, or of a newer format: left alone
        kIo,           // it could not be created, read or written
    };
    JournalError(Kind kind, const std::string& message) : std::runtime_error(message), mKind(kind) {}
    Kind kind() const { return mKind; }

private:
    Kind mKind;
};

struct JournalOpenOptions {
    enum class LockMode { kWait, kFailIfBusy };
    LockMode lockMode = LockMode::kWait;
    // kWait: the lock is tried again every pollInterval until it is free,
    // `stop` returns true, or waitLimit (zero: none) has passed. onBusy is
    // called once, when the lock is first found taken (to say why qsync
    // waits).
    std::chrono::milliseconds pollInterval{100};
    std::chrono::milliseconds waitLimit{0};
    std::function<bool()> stop;
    std::function<void()> onBusy;
    // For a dry run: creates nothing, changes nothing (a torn last record is
    // ignored but left in place), and a missing journal is an empty one.
    // Put, Remove and Compact fail; Finish does nothing.
    bool readOnly = false;
};

class JournalFile;  // journal_file.h

class Journal {
public:
    // Creates the file and its folders when missing, takes the lock, loads
    // the entries. Throws JournalError.
    static std::unique_ptr<Journal> Open(const std::string& path, const JournalOpenOptions& options = {});
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    const std::string& path() const { return mPath; }

    // ---- queries (on the entries in memory) ----
    size_t size() const;
    bool Find(const std::string& pc, const std::string& phone, JournalEntry& entry) const;
    JournalMatch Compare(const std::string& pc, const std::string& phone, uint64_t size, int64_t mtimeNs) const;
    // All entries, sorted by PC path, then phone path.
    std::vector<JournalEntry> Entries() const;
    // Phone paths are compared ignoring the case of ASCII letters: the
    // phone's shared storage takes "A.mp3" and "a.mp3" for one file. Other
    // bytes (non-ASCII letters too) are compared as they are.
    //
    // The entries whose phone path is phonePath (folder false) or is it or
    // lies below it (folder true): what a removal of that phone file or
    // folder takes away. Sorted as Entries().
    std::vector<JournalEntry> AtOrBelowPhone(const std::string& phonePath, bool folder = true) const;
    // The entries for `push --delete`: PC path equal to or below one of
    // pcFolders (compared bytewise, with the separators of `style`), phone
    // path below phoneFolder and unlike (ignoring case) each of
    // currentPhones (the phone paths of the files this push names: their
    // phone file is one of them), and pcFileGone(pc) true. Sorted as
    // Entries(). The caller passes StatPcFile(pc).state == kAbsent as
    // pcFileGone, so a file that cannot be looked at is never taken for
    // deleted.
    std::vector<JournalEntry> Vanished(const std::vector<std::string>& pcFolders, const std::string& phoneFolder,
                                       PathStyle style, const std::vector<std::string>& currentPhones,
                                       const std::function<bool(const std::string& pc)>& pcFileGone) const;
    // The phone and storage root that wrote the journal first ("" when it
    // does not say: written before it recorded that).
    std::string identity() const;

    // ---- changes: each is one line appended and handed to the operating
    // system before the call returns, so it survives the process being
    // killed. False when it could not be written: error() says why, and from
    // then on every change fails at once (the entries in memory still
    // answer queries). They may be called from any thread.
    bool Put(const JournalEntry& entry);
    // Without an entry for (pc, phone) nothing is written, and it is true.
    bool Remove(const std::string& pc, const std::string& phone);
    // The library removed this phone file or folder (the entries of
    // AtOrBelowPhone): its entries go.
    bool RemovePhone(const std::string& phonePath, bool folder);
    // A removal of this phone file or folder was sent but not reported done:
    // the phone may or may not hold the file now. Its entries stay, with a
    // modification time no PC file has, so no later push takes them for
    // unchanged: a push re-sends the file, `--delete` removes it again.
    bool SpoilPhone(const std::string& phonePath, bool folder);
    // Records which phone this journal belongs to, when it does not say yet.
    bool SetIdentity(const std::string& identity);
    // Rewrites the file with the live entries only (FILE.tmp, synced, then
    // renamed over FILE). When it fails the file stays as it was; only a
    // failure to reopen it after the rename ends later changes.
    bool Compact();
    // At the end of a command: compacts when more than half of the file's
    // records are dead (and there are at least kCompactSlack of them), else
    // (or when that fails) syncs the file to disk (fsync / FlushFileBuffers).
    bool Finish();
    std::string error() const;

    static constexpr size_t kCompactSlack = 1000;

private:
    struct Record {
        uint64_t size;
        int64_t mtimeNs;
    };
    explicit Journal(std::string path);
    JournalError Error(JournalError::Kind kind, const std::string& detail) const;
    void Load();
    bool AppendLocked(const std::string& line);
    bool CompactLocked();
    bool Fail(const std::string& error);
    std::vector<const std::pair<const std::string, Record>*> SortedLocked() const;
    std::vector<const std::pair<const std::string, Record>*> AtOrBelowPhoneLocked(const std::string& phonePath,
                                                                                 bool folder) const;
    void IndexLocked(const std::string& key);
    void UnindexLocked(const std::string& key);

    std::string mPath;
    mutable std::mutex mMutex;
    std::unique_ptr<JournalFile> mLock;  // FILE.lock, locked while open
    std::unique_ptr<JournalFile> mFile;  // FILE, appended to
    // Key: the PC path's length (7 bits a byte, lowest first, high bit set
    // on all but the last byte), the PC path, the phone path.
    std::unordered_map<std::string, Record> mEntries;
    // The keys of mEntries by the hash of their case-folded phone path, so
    // a removal finds its entries without a scan.
    std::unordered_multimap<size_t, const std::string*> mByPhone;
    std::string mIdentity;
    size_t mRecords = 0;  // records in the file, live or dead
    bool mReadOnly = false;
    bool mFailed = false;
    std::string mError;
};

}  // namespace qsync
