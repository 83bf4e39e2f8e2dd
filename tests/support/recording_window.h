// A host window for tests: records every message sent to it, copying the
// ItemResult of item messages while it is still valid, and can run a hook
// inside its message handling (as a host may call Stop from there).
// On Windows it is a real message-only window, so SendMessageW delivers to it.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "quellsync_http.h"

struct RecordedMessage {
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
    ItemResult item{};  // copy of *lParam for item messages
};

class RecordingWindow {
public:
    RecordingWindow();
    ~RecordingWindow();
    RecordingWindow(const RecordingWindow&) = delete;
    RecordingWindow& operator=(const RecordingWindow&) = delete;

    HWND handle() const { return mHandle; }
    const std::vector<RecordedMessage>& messages() const { return mMessages; }
    std::function<void(const RecordedMessage&)> onMessage;

    intptr_t Handle(uint32_t message, uintptr_t wParam, intptr_t lParam);

private:
    HWND mHandle = nullptr;
    std::vector<RecordedMessage> mMessages;
#ifndef _WIN32
    QsHostWindow mWindow{};
#endif
};
