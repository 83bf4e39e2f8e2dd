#include <windows.h>
#include <bcrypt.h>
#include <shellapi.h>

#include <stdexcept>

#include "text.h"
#include "ui/ui_os.h"

namespace qsync {
namespace ui {
namespace {

std::wstring Wide(const std::string& text) {
    const std::u16string utf16 = Utf8ToUtf16(text);
    return std::wstring(utf16.begin(), utf16.end());
}

std::string Narrow(const wchar_t* text) {
    const std::wstring wide(text);
    return Utf16ToUtf8(std::u16string(wide.begin(), wide.end()));
}

std::string EnvironmentValue(const wchar_t* name) {
    wchar_t buffer[32768];
    const DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
    if (length == 0 || length >= 32768) return "";
    return Narrow(buffer);
}

}  // namespace

std::string SecureRandomBytes(size_t bytes) {
    std::string raw(bytes, '\0');
    if (BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&raw[0]), static_cast<ULONG>(bytes),
                        BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
        throw std::runtime_error("the system's random source failed");
    return raw;
}

bool OpenBrowser(const std::string& url) {
    const HINSTANCE result = ShellExecuteW(nullptr, L"open", Wide(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

std::vector<std::string> FolderRoots() {
    std::vector<std::string> roots;
    const DWORD drives = GetLogicalDrives();
    for (int i = 0; i < 26; ++i)
        if (drives & (1u << i)) roots.push_back(std::string(1, static_cast<char>('A' + i)) + ":\\");
    return roots;
}

std::string HomeFolder() { return EnvironmentValue(L"USERPROFILE"); }

std::string TemporaryFolder() {
    wchar_t buffer[MAX_PATH + 2];
    const DWORD length = GetTempPathW(MAX_PATH + 2, buffer);
    if (length == 0 || length > MAX_PATH + 1) return EnvironmentValue(L"TEMP");
    std::string folder = Narrow(buffer);
    while (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
    return folder;
}

// A console that only this process is attached to was made for it: qsync
// was started from Explorer, not from a terminal.
bool StartedFromDesktop() {
    DWORD processes[2];
    return GetConsoleProcessList(processes, 2) == 1;
}

}  // namespace ui
}  // namespace qsync
