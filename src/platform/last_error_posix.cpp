#include <cerrno>

#include "platform/last_error.h"

namespace platform {

int LastSystemError() { return errno; }
int LastSocketError() { return errno; }
void SetLastSystemError(int error) { errno = error; }

}  // namespace platform
