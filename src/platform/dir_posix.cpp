#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>

#include <memory>

#include "platform/dir.h"
#include "platform/fault.h"
#include "platform/utf.h"

namespace platform {
namespace {

std::string Native(const std::u16string& path) { return Utf16ToUtf8(path); }

struct DirCloser {
    void operator()(DIR* dir) const {
        const int saved = errno;
        closedir(dir);
        errno = saved;
    }
};

}  // namespace

Probe ProbeEntry(const std::u16string& path, int64_t* size) {
    if (FaultHits(FaultKind::kFolderSearch)) return Probe::kFailed;
    struct stat info;
    if (::stat(Native(path).c_str(), &info) != 0)
        return errno == ENOENT || errno == ENOTDIR ? Probe::kAbsent : Probe::kFailed;
    if (size) *size = S_ISDIR(info.st_mode) ? 0 : static_cast<int64_t>(info.st_size);
    return Probe::kFound;
}

bool FindEntry(const std::u16string& path, int64_t* size) { return ProbeEntry(path, size) == Probe::kFound; }

bool IsDirectory(const std::u16string& path) {
    struct stat info;
    return ::stat(Native(path).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool CreateOneDirectory(const std::u16string& path) {
    if (FaultHits(FaultKind::kCreateFolder)) return false;
    return ::mkdir(Native(path).c_str(), 0777) == 0;
}

ListResult ListDirectory(const std::u16string& folder, const std::function<void(const DirEntry&)>& visit) {
    if (FaultHits(FaultKind::kFolderSearch)) return ListResult::kCannotOpen;
    const std::string base = Native(folder);
    std::unique_ptr<DIR, DirCloser> dir(::opendir(base.c_str()));
    if (!dir) return ListResult::kCannotOpen;
    for (;;) {
        errno = 0;
        const dirent* found = ::readdir(dir.get());
        if (!found) return errno == 0 ? ListResult::kDone : ListResult::kReadFailed;
        DirEntry entry;
        entry.name = Utf8ToUtf16(found->d_name);
        struct stat info;
        const std::string full = base + (base.empty() || base.back() != '/' ? "/" : "") + found->d_name;
        entry.isLink = ::lstat(full.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
        if (::stat(full.c_str(), &info) == 0) {
            entry.isDirectory = S_ISDIR(info.st_mode);
            entry.size = entry.isDirectory ? 0 : static_cast<int64_t>(info.st_size);
        }
        visit(entry);
    }
}

}  // namespace platform
