#include "support/recording_window.h"

namespace {

intptr_t Deliver(void* context, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return static_cast<RecordingWindow*>(context)->Handle(message, wParam, lParam);
}

}  // namespace

RecordingWindow::RecordingWindow() {
    mWindow.proc = Deliver;
    mWindow.context = this;
    mHandle = &mWindow;
}

RecordingWindow::~RecordingWindow() = default;
