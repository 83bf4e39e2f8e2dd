// What the page server needs from the operating system, one file per
// platform (ui_os_posix.cpp, ui_os_win32.cpp).
#pragma once

#include <string>
#include <vector>

namespace qsync {
namespace ui {

// `bytes` bytes from the system's secure random source (getrandom,
// BCryptGenRandom). Throws std::runtime_error when the
// source fails: a guessable token is worse than none.
std::string SecureRandomBytes(size_t bytes);

// Opens the URL in the default browser (xdg-open, ShellExecuteW) without
// waiting for it; false when that could not even be started.
bool OpenBrowser(const std::string& url);

// The roots a folder browser starts from: the drives ("C:\\", ...) on
// Windows, empty on POSIX (where it starts at the home folder).
std::vector<std::string> FolderRoots();

// The user's home folder (HOME, USERPROFILE), or "" when unknown.
std::string HomeFolder();

// A folder for temporary files (uploads on their way to the phone).
std::string TemporaryFolder();

// Whether qsync was started without arguments from a desktop (Windows:
// by a double click, so that no console belongs to it alone).
bool StartedFromDesktop();

}  // namespace ui
}  // namespace qsync
