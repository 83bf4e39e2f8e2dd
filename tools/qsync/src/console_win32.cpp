#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include "console.h"
#include "text.h"

namespace qsync {

// The narrow argv is in the ANSI code page; the wide command line is not.
std::vector<std::string> Utf8Arguments(int, char**) {
    std::vector<std::string> out;
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return out;
    for (int i = 1; i < count; ++i) {
        std::u16string text;
        for (const wchar_t* p = wide[i]; *p; ++p) text.push_back(static_cast<char16_t>(*p));
        out.push_back(Utf16ToUtf8(text));
    }
    LocalFree(wide);
    return out;
}

std::FILE* TakeOverStandardOutput(bool toStandardError) {
    std::fflush(stdout);
    const int copy = _dup(_fileno(stdout));
    if (copy < 0) return stdout;
    std::FILE* own = _fdopen(copy, "w");
    if (!own) {
        _close(copy);
        return stdout;
    }
    if (toStandardError) {
        _dup2(_fileno(stderr), _fileno(stdout));
        setvbuf(stdout, nullptr, _IONBF, 0);  // the C runtime has no line buffering
    } else {
        const int null = _open("NUL", _O_WRONLY);
        if (null >= 0) {
            _dup2(null, _fileno(stdout));
            _close(null);
        }
    }
    return own;
}

bool PrepareTerminal(std::FILE* stream) {
    if (!_isatty(_fileno(stream))) return false;
    SetConsoleOutputCP(CP_UTF8);
    const HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    // The bar redraws itself with escape sequences; a console that cannot
    // take them gets plain lines.
    if (!GetConsoleMode(console, &mode)) return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int TerminalColumns(std::FILE* stream) {
    const HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(console, &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

}  // namespace qsync
