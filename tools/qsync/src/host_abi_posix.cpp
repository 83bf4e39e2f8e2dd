#include <cstdlib>

#include "host_abi.h"

namespace qsync {

struct HostWindow::Impl {
    Handler handler;
    QsHostWindow window{};
};

namespace {

intptr_t WindowProc(void* context, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    auto* impl = static_cast<HostWindow::Impl*>(context);
    // Nothing may unwind into the library's frames.
    try {
        if (message == QS_PROGRESS_MESSAGE && impl->handler) impl->handler(wParam, lParam);
    } catch (...) {
    }
    return 0;
}

}  // namespace

HostWindow::HostWindow(Handler handler) : mImpl(std::make_unique<Impl>()) {
    mImpl->handler = std::move(handler);
    mImpl->window.proc = &WindowProc;
    mImpl->window.context = mImpl.get();
}

HostWindow::~HostWindow() = default;

HWND HostWindow::handle() const { return &mImpl->window; }

void FreeLibraryText(QS_WCHAR* text) { std::free(text); }

}  // namespace qsync
