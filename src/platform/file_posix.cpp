#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fault.h"
#include "platform/file.h"
#include "platform/utf.h"

namespace platform {
namespace {

int Descriptor(File::Handle handle) { return static_cast<int>(handle); }

}  // namespace

File File::Open(const std::u16string& path, FileOpen mode) {
    if (FaultHits(FaultKind::kFileOpen)) return File();
    const std::string native = Utf16ToUtf8(path);
    int flags = O_CLOEXEC;
    switch (mode) {
        case FileOpen::kReadExisting: flags |= O_RDONLY; break;
        case FileOpen::kWriteCreateAlways: flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
        case FileOpen::kWriteCreateNew: flags |= O_WRONLY | O_CREAT | O_EXCL; break;
    }
    int fd;
    do {
        fd = ::open(native.c_str(), flags, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return File();
    // Only regular files are transferred: a folder opens for reading on
    // POSIX but cannot be read.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = S_ISDIR(st.st_mode) ? EISDIR : errno;
        ::close(fd);
        errno = error;
        return File();
    }
    return File(static_cast<Handle>(fd));
}

void File::Close() {
    if (mHandle == kInvalid) return;
    const int saved = errno;
    ::close(Descriptor(mHandle));
    mHandle = kInvalid;
    errno = saved;
}

bool File::Size(int64_t* size) const {
    struct stat st {};
    if (!IsOpen() || ::fstat(Descriptor(mHandle), &st) != 0) return false;
    *size = static_cast<int64_t>(st.st_size);
    return true;
}

bool File::Seek(int64_t offset) {
    if (FaultHits(FaultKind::kSeek)) return false;
    if (!IsOpen() || offset < 0) {
        errno = EINVAL;
        return false;
    }
    return ::lseek(Descriptor(mHandle), static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

bool File::Read(void* data, size_t length, size_t* got) {
    *got = 0;
    if (FaultHits(FaultKind::kRead) || !IsOpen()) return false;
    auto* bytes = static_cast<unsigned char*>(data);
    while (*got < length) {
        const ssize_t n = ::read(Descriptor(mHandle), bytes + *got, length - *got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        *got += static_cast<size_t>(n);
    }
    return true;
}

bool File::Write(const void* data, size_t length) {
    if (FaultHits(FaultKind::kWrite) || !IsOpen()) return false;
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (length > 0) {
        const ssize_t n = ::write(Descriptor(mHandle), bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool RemoveFile(const std::u16string& path) {
    if (FaultHits(FaultKind::kRemove)) return false;
    return ::unlink(Utf16ToUtf8(path).c_str()) == 0;
}

bool ReplaceFileWith(const std::u16string& from, const std::u16string& to) {
    if (FaultHits(FaultKind::kReplace)) return false;
    return ::rename(Utf16ToUtf8(from).c_str(), Utf16ToUtf8(to).c_str()) == 0;
}

bool PlaceFileWithoutReplacing(const std::u16string& from, const std::u16string& to) {
    if (FaultHits(FaultKind::kReplace)) return false;
    const std::string source = Utf16ToUtf8(from);
    // link() fails with EEXIST instead of replacing: the check and the
    // placing are one step.
    if (::link(source.c_str(), Utf16ToUtf8(to).c_str()) != 0) return false;
    ::unlink(source.c_str());
    return true;
}

}  // namespace platform
