// Local files: a move-only owner of one open OS file, the few operations the
// transfers need, and the helpers that let a download appear under its final
// name in one step. PC paths are UTF-16; on POSIX they are converted to UTF-8.
//
// On failure the calls leave the thread's last system error set
// (LastSystemError) for log lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

enum class FileOpen {
    // Read only; the file must exist. Windows: no sharing while open.
    kReadExisting,
    // Write only; created, or emptied when it exists. Windows: no sharing.
    kWriteCreateAlways,
    // Write only; fails when anything exists under the name. Windows: no
    // sharing. For temporary files, so that a name clash never clobbers.
    kWriteCreateNew,
};

class File {
public:
    using Handle = std::intptr_t;
    // All bits set: INVALID_HANDLE_VALUE on Windows, -1 on POSIX.
    static constexpr Handle kInvalid = -1;

    File() = default;
    ~File() { Close(); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File(File&& other) noexcept : mHandle(other.mHandle) { other.mHandle = kInvalid; }
    File& operator=(File&& other) noexcept {
        if (this != &other) {
            Close();
            mHandle = other.mHandle;
            other.mHandle = kInvalid;
        }
        return *this;
    }

    // Not open on failure.
    static File Open(const std::u16string& path, FileOpen mode);

    bool IsOpen() const { return mHandle != kInvalid; }
    // Closes the file if one is owned; the last system error is preserved.
    void Close();

    // The file's size in bytes; false on failure.
    bool Size(int64_t* size) const;
    // Moves the position to offset bytes from the start; false on failure
    // (also for a negative offset).
    bool Seek(int64_t offset);
    // Reads up to length bytes at the position into data and advances it;
    // *got receives the count, 0 at the end of the file. Loops over partial
    // reads, so fewer bytes than asked means the end was reached.
    bool Read(void* data, size_t length, size_t* got);
    // Writes all length bytes at the position and advances it.
    bool Write(const void* data, size_t length);

private:
    explicit File(Handle handle) : mHandle(handle) {}
    Handle mHandle = kInvalid;
};

// Removes a file; false when it could not be removed (also when absent).
bool RemoveFile(const std::u16string& path);

// Puts the finished file `from` in the place of `to` in one step, replacing
// a file that is already there: a reader of `to` sees the old file or the
// new one, never a mix. Both must be in the same folder (or at least on the
// same volume).
bool ReplaceFileWith(const std::u16string& from, const std::u16string& to);

// Puts the finished file `from` under the name `to` in one step only when
// nothing stands under `to`: false, with `from` left as it was, when
// something does (also when it appeared after the caller looked) or the
// move failed.
bool PlaceFileWithoutReplacing(const std::u16string& from, const std::u16string& to);

// A name for a temporary file beside target, in the same folder: the
// folder part of target + ".qs<random>.tmp", at most 19 characters longer
// than the folder, so it fits wherever the target's own name does. Open it
// with kWriteCreateNew.
std::u16string TemporarySiblingName(const std::u16string& target);

}  // namespace platform
