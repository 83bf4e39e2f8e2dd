#include <windows.h>

#include "platform/thread.h"

namespace platform {

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

}  // namespace platform
