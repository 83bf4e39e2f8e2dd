#include <windows.h>

#include "journal.h"
#include "journal_file.h"
#include "text.h"

namespace qsync {
namespace {

std::wstring Wide(const std::string& utf8) {
    const std::u16string text = Utf8ToUtf16(utf8);
    return std::wstring(text.begin(), text.end());
}

std::string Narrow(const wchar_t* text, size_t length) {
    return Utf16ToUtf8(std::u16string(text, text + length));
}

std::string SystemMessage(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
        reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = text ? Narrow(text, length) : std::string();
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(code) : message;
}

std::string Failure(const std::string& what, const std::string& path, DWORD code) {
    return "cannot " + what + " " + path + ": " + SystemMessage(code);
}

HANDLE H(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

std::string Environment(const wchar_t* name) {
    wchar_t small[1];
    const DWORD needed = GetEnvironmentVariableW(name, small, 0);
    if (needed == 0) return std::string();
    std::wstring value(needed, L'\0');
    const DWORD length = GetEnvironmentVariableW(name, &value[0], needed);
    if (length == 0 || length >= needed) return std::string();
    return Narrow(value.c_str(), length);
}

int64_t UnixNanoseconds(const FILETIME& time) {
    // FILETIME counts 100 ns steps since 1601-01-01.
    const uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return (static_cast<int64_t>(ticks) - 116444736000000000LL) * 100;
}

}  // namespace

JournalEnvironment ReadJournalEnvironment() {
    JournalEnvironment environment;
    environment.localAppData = Environment(L"LOCALAPPDATA");
    environment.userProfile = Environment(L"USERPROFILE");
    return environment;
}

PcFileStat StatPcFile(const std::string& path) {
    PcFileStat result;
    const std::wstring wide = Wide(path);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) {
        const DWORD code = GetLastError();
        result.state = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? PcFileState::kAbsent
                                                                                     : PcFileState::kUnknown;
        return result;
    }
    DWORD attributes = data.dwFileAttributes;
    uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    FILETIME written = data.ftLastWriteTime;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // A link: describe what it points at.
        const HANDLE file = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            const DWORD code = GetLastError();
            result.state = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? PcFileState::kAbsent
                                                                                         : PcFileState::kUnknown;
            return result;
        }
        BY_HANDLE_FILE_INFORMATION info{};
        const bool known = GetFileInformationByHandle(file, &info) != 0;
        CloseHandle(file);
        if (!known) return result;
        attributes = info.dwFileAttributes;
        size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        written = info.ftLastWriteTime;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        result.state = PcFileState::kNotFile;
        return result;
    }
    result.state = PcFileState::kFile;
    result.size = size;
    result.mtimeNs = UnixNanoseconds(written);
    return result;
}

bool JournalFile::Open(const std::string& path, Mode mode, std::string& error) {
    Close();
    const DWORD access = mode == Mode::kOpenOrCreate    ? GENERIC_READ | GENERIC_WRITE
                         : mode == Mode::kReadExisting ? GENERIC_READ
                                                       : GENERIC_WRITE;
    const DWORD disposition = mode == Mode::kOpenOrCreate    ? OPEN_ALWAYS
                              : mode == Mode::kReadExisting ? OPEN_EXISTING
                                                            : CREATE_ALWAYS;
    const HANDLE file = CreateFileW(Wide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        const bool missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
        error = mode == Mode::kReadExisting && missing ? std::string() : Failure("open", path, code);
        return false;
    }
    mHandle = reinterpret_cast<std::intptr_t>(file);
    mPath = path;
    return true;
}

bool JournalFile::Read(char* buffer, size_t capacity, size_t& got, std::string& error) {
    DWORD read = 0;
    const DWORD want = capacity > 0x40000000 ? 0x40000000 : static_cast<DWORD>(capacity);
    if (!ReadFile(H(mHandle), buffer, want, &read, nullptr)) {
        error = Failure("read", mPath, GetLastError());
        return false;
    }
    got = read;
    return true;
}

bool JournalFile::Append(const std::string& data, std::string& error) {
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(H(mHandle), zero, nullptr, FILE_END)) {
        error = Failure("write", mPath, GetLastError());
        return false;
    }
    for (size_t done = 0; done < data.size();) {
        const size_t left = data.size() - done;
        DWORD written = 0;
        if (!WriteFile(H(mHandle), data.data() + done, left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left),
                       &written, nullptr) ||
            written == 0) {
            error = Failure("write", mPath, GetLastError());
            return false;
        }
        done += written;
    }
    return true;
}

bool JournalFile::Truncate(uint64_t size, std::string& error) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(H(mHandle), at, nullptr, FILE_BEGIN) || !SetEndOfFile(H(mHandle))) {
        error = Failure("truncate", mPath, GetLastError());
        return false;
    }
    return true;
}

bool JournalFile::Sync(std::string& error) {
    if (!FlushFileBuffers(H(mHandle))) {
        error = Failure("sync", mPath, GetLastError());
        return false;
    }
    return true;
}

JournalFile::LockResult JournalFile::TryLock(std::string& error) {
    OVERLAPPED at{};
    if (LockFileEx(H(mHandle), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
        return LockResult::kLocked;
    const DWORD code = GetLastError();
    if (code == ERROR_LOCK_VIOLATION || code == ERROR_SHARING_VIOLATION) return LockResult::kBusy;
    error = Failure("lock", mPath, code);
    return LockResult::kFailed;
}

void JournalFile::Close() {
    if (mHandle == kInvalid) return;
    CloseHandle(H(mHandle));
    mHandle = kInvalid;
}

namespace journal_os {
namespace {

bool MakeFolders(const std::string& folder, std::string& error) {
    const std::wstring wide = Wide(folder);
    if (CreateDirectoryW(wide.c_str(), nullptr)) return true;
    DWORD code = GetLastError();
    if (code == ERROR_ALREADY_EXISTS) {
        const DWORD attributes = GetFileAttributesW(wide.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
        error = Failure("use the folder", folder, ERROR_DIRECTORY);
        return false;
    }
    if (code == ERROR_PATH_NOT_FOUND) {
        const size_t slash = folder.find_last_of("/\\");
        if (slash != std::string::npos && slash > 0 && MakeFolders(folder.substr(0, slash), error)) {
            if (CreateDirectoryW(wide.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) return true;
            code = GetLastError();
        } else if (slash != std::string::npos && slash > 0) {
            return false;
        }
    }
    error = Failure("create the folder", folder, code);
    return false;
}

}  // namespace

bool MakeParentFolders(const std::string& file, std::string& error) {
    const size_t slash = file.find_last_of("/\\");
    if (slash == std::string::npos || slash == 0 || file[slash - 1] == ':') return true;  // a drive's root
    return MakeFolders(file.substr(0, slash), error);
}

bool RenameOver(const std::string& from, const std::string& to, std::string& error) {
    if (!MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = Failure("rename " + from + " to", to, GetLastError());
        return false;
    }
    return true;
}

void RemoveFileQuietly(const std::string& path) { DeleteFileW(Wide(path).c_str()); }

}  // namespace journal_os
}  // namespace qsync
