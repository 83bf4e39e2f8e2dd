#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "journal.h"
#include "journal_file.h"

namespace qsync {
namespace {

std::string Failure(const std::string& what, const std::string& path, int code) {
    return "cannot " + what + " " + path + ": " + std::strerror(code);
}

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

JournalEnvironment ReadJournalEnvironment() {
    JournalEnvironment environment;
    environment.xdgStateHome = Environment("XDG_STATE_HOME");
    environment.home = Environment("HOME");
    return environment;
}

PcFileStat StatPcFile(const std::string& path) {
    PcFileStat result;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        result.state = errno == ENOENT || errno == ENOTDIR ? PcFileState::kAbsent : PcFileState::kUnknown;
        return result;
    }
    if (!S_ISREG(info.st_mode)) {
        result.state = PcFileState::kNotFile;
        return result;
    }
    result.state = PcFileState::kFile;
    result.size = static_cast<uint64_t>(info.st_size);
    result.mtimeNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return result;
}

bool JournalFile::Open(const std::string& path, Mode mode, std::string& error) {
    Close();
    const int flags = mode == Mode::kOpenOrCreate ? O_RDWR | O_CREAT
                      : mode == Mode::kReadExisting ? O_RDONLY
                                                    : O_WRONLY | O_CREAT | O_TRUNC;
    int fd;
    do fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = mode == Mode::kReadExisting && errno == ENOENT ? std::string() : Failure("open", path, errno);
        return false;
    }
    mHandle = fd;
    mPath = path;
    return true;
}

bool JournalFile::Read(char* buffer, size_t capacity, size_t& got, std::string& error) {
    for (;;) {
        const ssize_t n = ::read(Fd(mHandle), buffer, capacity);
        if (n >= 0) {
            got = static_cast<size_t>(n);
            return true;
        }
        if (errno != EINTR) {
            error = Failure("read", mPath, errno);
            return false;
        }
    }
}

bool JournalFile::Append(const std::string& data, std::string& error) {
    if (::lseek(Fd(mHandle), 0, SEEK_END) < 0) {
        error = Failure("write", mPath, errno);
        return false;
    }
    for (size_t done = 0; done < data.size();) {
        const ssize_t n = ::write(Fd(mHandle), data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = Failure("write", mPath, n < 0 ? errno : EIO);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool JournalFile::Truncate(uint64_t size, std::string& error) {
    if (::ftruncate(Fd(mHandle), static_cast<off_t>(size)) != 0) {
        error = Failure("truncate", mPath, errno);
        return false;
    }
    return true;
}

bool JournalFile::Sync(std::string& error) {
    if (::fsync(Fd(mHandle)) != 0) {
        error = Failure("sync", mPath, errno);
        return false;
    }
    return true;
}

JournalFile::LockResult JournalFile::TryLock(std::string& error) {
    for (;;) {
        if (::flock(Fd(mHandle), LOCK_EX | LOCK_NB) == 0) return LockResult::kLocked;
        if (errno == EWOULDBLOCK) return LockResult::kBusy;
        if (errno != EINTR) {
            error = Failure("lock", mPath, errno);
            return LockResult::kFailed;
        }
    }
}

void JournalFile::Close() {
    if (mHandle == kInvalid) return;
    ::close(Fd(mHandle));
    mHandle = kInvalid;
}

namespace journal_os {
namespace {

bool MakeFolders(const std::string& folder, std::string& error) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return true;
        error = Failure("use the folder", folder, ENOTDIR);
        return false;
    }
    const size_t slash = folder.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(folder.substr(0, slash), error)) return false;
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = Failure("create the folder", folder, errno);
        return false;
    }
    return true;
}

}  // namespace

bool MakeParentFolders(const std::string& file, std::string& error) {
    const size_t slash = file.find_last_of('/');
    return slash == std::string::npos || slash == 0 || MakeFolders(file.substr(0, slash), error);
}

bool RenameOver(const std::string& from, const std::string& to, std::string& error) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        error = Failure("rename " + from + " to", to, errno);
        return false;
    }
    // The rename is a change of the folder: sync it too (best effort; some
    // file systems refuse to open or sync folders).
    const size_t slash = to.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : to.substr(0, slash);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    return true;
}

void RemoveFileQuietly(const std::string& path) { ::unlink(path.c_str()); }

}  // namespace journal_os
}  // namespace qsync
