#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "platform/thread.h"

namespace platform {
namespace {

void* ThreadEntry(void* parameter) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(parameter));
    (*body)();
    return nullptr;
}

}  // namespace

void SleepMilliseconds(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool StartDetachedThread(std::function<void()> body) {
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    pthread_t thread;
    if (pthread_create(&thread, nullptr, ThreadEntry, owned.get()) != 0) return false;
    owned.release();  // the new thread owns it now
    pthread_detach(thread);
    return true;
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

}  // namespace platform
