#include "context/Progress.h"

#include "platform/window.h"

intptr_t ReportItem(HWND window, uint32_t identifier, ItemResult* record) {
    return platform::SendHostMessage(window, QS_PROGRESS_MESSAGE, identifier, reinterpret_cast<intptr_t>(record));
}

intptr_t ReportPercent(HWND window, uint32_t percentage) {
    return platform::SendHostMessage(window, QS_PROGRESS_MESSAGE, QS_PROGRESS_PERCENT,
                                     static_cast<intptr_t>(percentage));
}
