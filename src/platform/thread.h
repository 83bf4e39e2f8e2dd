// Threads, sleeping and thread identity.
#pragma once

#include <cstdint>
#include <functional>

namespace platform {

void SleepMilliseconds(uint32_t milliseconds);

// Starts body on a new thread that is never joined; its handle is released at
// once. Returns false (and runs nothing) when no thread could be started.
bool StartDetachedThread(std::function<void()> body);

uint32_t CurrentThreadId();

}  // namespace platform
