#include "support/recording_window.h"

intptr_t RecordingWindow::Handle(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    RecordedMessage recorded;
    recorded.message = message;
    recorded.wParam = wParam;
    recorded.lParam = lParam;
    if (message == QS_PROGRESS_MESSAGE && wParam != QS_PROGRESS_PERCENT && lParam != 0)
        recorded.item = *reinterpret_cast<const ItemResult*>(lParam);
    mMessages.push_back(recorded);
    if (onMessage) onMessage(recorded);
    return 0;
}
