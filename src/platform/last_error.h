// The calling thread's last system and sockets error values, as log lines
// report them. On POSIX both are errno.
#pragma once

namespace platform {

int LastSystemError();
int LastSocketError();
// Sets the calling thread's last system error (errno, or SetLastError).
void SetLastSystemError(int error);

}  // namespace platform
