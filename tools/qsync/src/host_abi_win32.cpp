#include <windows.h>

#include "host_abi.h"

namespace qsync {

struct HostWindow::Impl {
    Handler handler;
    HWND window = nullptr;
};

namespace {

constexpr wchar_t kClassName[] = L"QsyncProgressWindow";

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* impl = reinterpret_cast<HostWindow::Impl*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == QS_PROGRESS_MESSAGE && impl && impl->handler) {
        // Nothing may unwind into the library's frames.
        try {
            impl->handler(static_cast<uintptr_t>(wParam), static_cast<intptr_t>(lParam));
        } catch (...) {
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

bool RegisterClassOnce() {
    static const bool registered = [] {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = WindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kClassName;
        return RegisterClassW(&windowClass) != 0;
    }();
    return registered;
}

}  // namespace

// A message-only window of the thread that runs the exports: the library's
// SendMessageW from that thread calls WindowProc directly.
HostWindow::HostWindow(Handler handler) : mImpl(std::make_unique<Impl>()) {
    mImpl->handler = std::move(handler);
    if (!RegisterClassOnce()) return;
    mImpl->window = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    GetModuleHandleW(nullptr), nullptr);
    if (mImpl->window) SetWindowLongPtrW(mImpl->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(mImpl.get()));
}

HostWindow::~HostWindow() {
    if (mImpl->window) DestroyWindow(mImpl->window);
}

HWND HostWindow::handle() const { return mImpl->window; }

void FreeLibraryText(QS_WCHAR* text) {
    if (text) LocalFree(text);
}

}  // namespace qsync
