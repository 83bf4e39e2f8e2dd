#include <windows.h>

#include <atomic>

#include "interrupt.h"

namespace qsync {
namespace {

std::function<void(int)>& Callback() {
    static std::function<void(int)> callback;
    return callback;
}

std::atomic<int> gCount{0};

// The console runs this on a thread of its own for each Ctrl-C; it is no
// signal handler, so the callback may do ordinary work.
BOOL WINAPI ConsoleHandler(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    Callback()(++gCount);
    return TRUE;
}

}  // namespace

void WatchInterrupts(std::function<void(int count)> onInterrupt) {
    Callback() = std::move(onInterrupt);
    SetConsoleCtrlHandler(ConsoleHandler, TRUE);
}

}  // namespace qsync
