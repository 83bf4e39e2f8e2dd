#include <windows.h>

#include "platform/window.h"

namespace platform {

intptr_t SendHostMessage(HWND window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (!window) return 0;
    return SendMessageW(window, message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam));
}

}  // namespace platform
