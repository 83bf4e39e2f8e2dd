#include <windows.h>

#include <limits>

#include "platform/fault.h"
#include "platform/file.h"

namespace platform {
namespace {

HANDLE Native(File::Handle handle) { return reinterpret_cast<HANDLE>(handle); }
const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

// ReadFile and WriteFile take at most a DWORD per call.
constexpr size_t kMaxPiece = 1u << 30;

}  // namespace

File File::Open(const std::u16string& path, FileOpen mode) {
    if (FaultHits(FaultKind::kFileOpen)) return File();
    DWORD access = GENERIC_READ;
    DWORD creation = OPEN_EXISTING;
    switch (mode) {
        case FileOpen::kReadExisting: break;
        case FileOpen::kWriteCreateAlways: access = GENERIC_WRITE; creation = CREATE_ALWAYS; break;
        case FileOpen::kWriteCreateNew: access = GENERIC_WRITE; creation = CREATE_NEW; break;
    }
    // Share mode 0: nobody else reads or writes the file while a transfer
    // has it open.
    HANDLE handle = CreateFileW(Wide(path), access, 0, nullptr, creation, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return File();
    return File(reinterpret_cast<Handle>(handle));
}

void File::Close() {
    if (mHandle == kInvalid) return;
    const DWORD saved = GetLastError();
    CloseHandle(Native(mHandle));
    mHandle = kInvalid;
    SetLastError(saved);
}

bool File::Size(int64_t* size) const {
    LARGE_INTEGER value;
    if (!IsOpen() || !GetFileSizeEx(Native(mHandle), &value)) return false;
    *size = static_cast<int64_t>(value.QuadPart);
    return true;
}

bool File::Seek(int64_t offset) {
    if (FaultHits(FaultKind::kSeek)) return false;
    if (!IsOpen() || offset < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    return SetFilePointerEx(Native(mHandle), distance, nullptr, FILE_BEGIN) != 0;
}

bool File::Read(void* data, size_t length, size_t* got) {
    *got = 0;
    if (FaultHits(FaultKind::kRead) || !IsOpen()) return false;
    auto* bytes = static_cast<unsigned char*>(data);
    while (*got < length) {
        const size_t piece = length - *got < kMaxPiece ? length - *got : kMaxPiece;
        DWORD n = 0;
        if (!ReadFile(Native(mHandle), bytes + *got, static_cast<DWORD>(piece), &n, nullptr)) return false;
        if (n == 0) break;
        *got += n;
    }
    return true;
}

bool File::Write(const void* data, size_t length) {
    if (FaultHits(FaultKind::kWrite) || !IsOpen()) return false;
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (length > 0) {
        const size_t piece = length < kMaxPiece ? length : kMaxPiece;
        DWORD n = 0;
        if (!WriteFile(Native(mHandle), bytes, static_cast<DWORD>(piece), &n, nullptr) || n == 0) return false;
        bytes += n;
        length -= n;
    }
    return true;
}

bool RemoveFile(const std::u16string& path) {
    if (FaultHits(FaultKind::kRemove)) return false;
    return DeleteFileW(Wide(path)) != 0;
}

bool ReplaceFileWith(const std::u16string& from, const std::u16string& to) {
    if (FaultHits(FaultKind::kReplace)) return false;
    return MoveFileExW(Wide(from), Wide(to), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool PlaceFileWithoutReplacing(const std::u16string& from, const std::u16string& to) {
    if (FaultHits(FaultKind::kReplace)) return false;
    // Without MOVEFILE_REPLACE_EXISTING the move fails when `to` exists.
    return MoveFileExW(Wide(from), Wide(to), 0) != 0;
}

}  // namespace platform
