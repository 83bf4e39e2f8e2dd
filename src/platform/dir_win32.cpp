#include <windows.h>

#include "platform/dir.h"
#include "platform/fault.h"

namespace platform {
namespace {

const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

int64_t SizeOf(const WIN32_FIND_DATAW& data) {
    return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Owns one directory search.
class FindHandle {
public:
    explicit FindHandle(HANDLE handle) : mHandle(handle) {}
    ~FindHandle() {
        if (mHandle != INVALID_HANDLE_VALUE) {
            const DWORD saved = GetLastError();
            FindClose(mHandle);
            SetLastError(saved);
        }
    }
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;
    HANDLE get() const { return mHandle; }
    bool valid() const { return mHandle != INVALID_HANDLE_VALUE; }

private:
    HANDLE mHandle;
};

}  // namespace

Probe ProbeEntry(const std::u16string& path, int64_t* size) {
    if (FaultHits(FaultKind::kFolderSearch)) return Probe::kFailed;
    WIN32_FIND_DATAW data;
    FindHandle search(FindFirstFileW(Wide(path), &data));
    if (!search.valid()) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_NO_MORE_FILES
                   ? Probe::kAbsent
                   : Probe::kFailed;
    }
    if (size) *size = SizeOf(data);
    return Probe::kFound;
}

bool FindEntry(const std::u16string& path, int64_t* size) { return ProbeEntry(path, size) == Probe::kFound; }

bool IsDirectory(const std::u16string& path) {
    const DWORD attributes = GetFileAttributesW(Wide(path));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool CreateOneDirectory(const std::u16string& path) {
    if (FaultHits(FaultKind::kCreateFolder)) return false;
    return CreateDirectoryW(Wide(path), nullptr) != 0;
}

ListResult ListDirectory(const std::u16string& folder, const std::function<void(const DirEntry&)>& visit) {
    if (FaultHits(FaultKind::kFolderSearch)) return ListResult::kCannotOpen;
    std::u16string pattern = folder;
    if (pattern.empty() || pattern.back() != u'\\') pattern.push_back(u'\\');
    pattern += u"*.*";
    WIN32_FIND_DATAW data;
    FindHandle search(FindFirstFileW(Wide(pattern), &data));
    if (!search.valid()) return ListResult::kCannotOpen;
    for (;;) {
        DirEntry entry;
        entry.name = reinterpret_cast<const char16_t*>(data.cFileName);
        entry.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entry.isLink = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        entry.size = SizeOf(data);
        visit(entry);
        if (!FindNextFileW(search.get(), &data))
            return GetLastError() == ERROR_NO_MORE_FILES ? ListResult::kDone : ListResult::kReadFailed;
    }
}

}  // namespace platform
