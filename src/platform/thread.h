// Thread identity, for log lines.
#pragma once

#include <cstdint>

namespace platform {

uint32_t CurrentThreadId();

}  // namespace platform
