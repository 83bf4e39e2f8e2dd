#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/debug_output.h"
#include "platform/utf.h"

namespace platform {

void WriteDebugOutput(const std::u16string& text) {
    const int savedErrno = errno;  // logging must not disturb the caller's error
    const char* path = std::getenv("QS_DEBUG_OUTPUT");
    if (path && *path) {
        const std::string line = Utf16ToUtf8(text);
        // O_APPEND with one write per line keeps lines whole across threads.
        const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ssize_t ignored = ::write(fd, line.data(), line.size());
            (void)ignored;
            ::close(fd);
        }
    }
    errno = savedErrno;
}

}  // namespace platform
