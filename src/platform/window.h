// Sending a message to the host window, synchronously, on the calling thread.
#pragma once

#include <cstdint>

#include "quellsync_http.h"

namespace platform {

// Windows: SendMessageW. Elsewhere: window->proc(window->context, ...).
// A null window has no effect and yields 0.
intptr_t SendHostMessage(HWND window, uint32_t message, uintptr_t wParam, intptr_t lParam);

}  // namespace platform
