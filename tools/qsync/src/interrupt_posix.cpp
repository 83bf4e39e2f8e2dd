#include <pthread.h>
#include <signal.h>

#include <thread>

#include "interrupt.h"

namespace qsync {

// SIGINT stays blocked in every thread; this one thread takes it with
// sigwait, so nothing runs in signal-handler context.
void WatchInterrupts(std::function<void(int count)> onInterrupt) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
    std::thread([set, onInterrupt = std::move(onInterrupt)] {
        for (int count = 1;; ++count) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0) return;
            onInterrupt(count);
        }
    }).detach();
}

}  // namespace qsync
