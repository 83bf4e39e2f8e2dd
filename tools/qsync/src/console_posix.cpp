#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "console.h"

namespace qsync {

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

std::FILE* TakeOverStandardOutput(bool toStandardError) {
    std::fflush(stdout);
    const int copy = dup(STDOUT_FILENO);
    if (copy < 0) return stdout;
    fcntl(copy, F_SETFD, FD_CLOEXEC);
    std::FILE* own = fdopen(copy, "w");
    if (!own) {
        close(copy);
        return stdout;
    }
    if (toStandardError) {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);  // interleave with qsync's own lines
    } else {
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, STDOUT_FILENO);
            close(null);
        }
    }
    return own;
}

bool PrepareTerminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

int TerminalColumns(std::FILE* stream) {
    winsize size{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

}  // namespace qsync
