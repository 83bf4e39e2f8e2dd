#include <windows.h>

#include <memory>

#include "platform/thread.h"

namespace platform {
namespace {

DWORD WINAPI ThreadEntry(LPVOID parameter) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(parameter));
    (*body)();
    return 0;
}

}  // namespace

void SleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

bool StartDetachedThread(std::function<void()> body) {
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    HANDLE thread = CreateThread(nullptr, 0, ThreadEntry, owned.get(), 0, nullptr);
    if (!thread) return false;
    owned.release();  // the new thread owns it now
    CloseHandle(thread);
    return true;
}

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

}  // namespace platform
