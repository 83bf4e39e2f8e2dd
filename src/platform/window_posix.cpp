#include "platform/window.h"

namespace platform {

intptr_t SendHostMessage(HWND window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (!window || !window->proc) return 0;
    return window->proc(window->context, message, wParam, lParam);
}

}  // namespace platform
