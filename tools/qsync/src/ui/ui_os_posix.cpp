#include <fcntl.h>
#include <spawn.h>
#include <sys/random.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "ui/ui_os.h"

extern char** environ;

namespace qsync {
namespace ui {

std::string SecureRandomBytes(size_t bytes) {
    std::string raw(bytes, '\0');
    size_t got = 0;
    while (got < bytes) {
        const ssize_t n = getrandom(&raw[got], bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("the system's random source failed");
        got += static_cast<size_t>(n);
    }
    return raw;
}

bool OpenBrowser(const std::string& url) {
    // xdg-open may stay until the browser it started ends, so it is not
    // waited for: a shell starts it in the background and ends at once,
    // and is reaped here. xdg-open then belongs to init, which reaps it: no
    // zombie, and no thread left behind. The URL is the shell's "$1", never
    // part of its script. xdg-open's own output would land among qsync's; it
    // goes nowhere.
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return false;
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const char* argv[] = {"sh", "-c", "command -v xdg-open >/dev/null || exit 127; xdg-open \"$1\" &", "sh",
                          url.c_str(), nullptr};
    pid_t child = 0;
    const int failed = posix_spawn(&child, "/bin/sh", &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) return false;
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<std::string> FolderRoots() { return {}; }

std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    return home ? home : "";
}

std::string TemporaryFolder() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

bool StartedFromDesktop() { return false; }

}  // namespace ui
}  // namespace qsync
