#include <sys/syscall.h>
#include <unistd.h>

#include "platform/thread.h"

namespace platform {

uint32_t CurrentThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

}  // namespace platform
