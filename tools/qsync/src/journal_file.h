// The file operations the journal needs, one implementation per platform
// (journal_posix.cpp, journal_win32.cpp). Paths are UTF-8; on Windows they
// are opened through the wide API. Every call that can fail returns false
// (or kFailed) and sets `error` to a message naming the path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qsync {

class JournalFile {
public:
    enum class Mode {
        kOpenOrCreate,    // read and write; created (owner only) when missing
        kCreateTruncate,  // write; created or emptied
        kReadExisting,    // read only; a missing file is false with an empty error
    };
    enum class LockResult { kLocked, kBusy, kFailed };

    JournalFile() = default;
    ~JournalFile() { Close(); }
    JournalFile(const JournalFile&) = delete;
    JournalFile& operator=(const JournalFile&) = delete;

    bool Open(const std::string& path, Mode mode, std::string& error);
    // Reads on from the current position (the start after Open); got is 0
    // at the end of the file.
    bool Read(char* buffer, size_t capacity, size_t& got, std::string& error);
    // Writes all of data at the end of the file, with no buffering of ours.
    bool Append(const std::string& data, std::string& error);
    bool Truncate(uint64_t size, std::string& error);
    bool Sync(std::string& error);  // fsync / FlushFileBuffers
    // An exclusive lock of the whole file that this process holds until
    // Close; a second open of the same file, even in this process, finds it
    // busy.
    LockResult TryLock(std::string& error);
    void Close();
    bool isOpen() const { return mHandle != kInvalid; }

private:
    static constexpr std::intptr_t kInvalid = -1;  // -1 and INVALID_HANDLE_VALUE
    std::intptr_t mHandle = kInvalid;
    std::string mPath;
};

namespace journal_os {
// Creates the folder a file goes in, and its missing parents (owner only on
// POSIX).
bool MakeParentFolders(const std::string& file, std::string& error);
// Renames `from` over `to` in one step (rename; MoveFileExW with
// MOVEFILE_REPLACE_EXISTING and MOVEFILE_WRITE_THROUGH), then makes the
// rename itself durable where that takes a sync of the folder.
bool RenameOver(const std::string& from, const std::string& to, std::string& error);
void RemoveFileQuietly(const std::string& path);
// Replaces the file at `path` with `text` in one step: written to a
// temporary sibling (path + ".tmp"), synced, then renamed over it. A reader
// meets the old text or the new, never a part; on failure the temporary is
// removed and the old file stays.
bool ReplaceFile(const std::string& path, const std::string& text, std::string& error);
}  // namespace journal_os

}  // namespace qsync
