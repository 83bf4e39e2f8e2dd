#include <cstdlib>

#include "support/test_env.h"

void SetTestEnv(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }
void UnsetTestEnv(const char* name) { unsetenv(name); }

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

int CountProcessThreads() {
    // Runtimes that start helper threads of their own with the first thread
    // of the process (ThreadSanitizer does) have done so before the count.
    static const bool warmed = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)warmed;
    // A joined thread can still be listed for a moment: join returns once
    // the kernel has released the thread's memory, before it leaves the
    // task list. By then the thread is marked as exiting (PF_EXITING in the
    // flags of its stat line), so such a thread is not counted.
    constexpr unsigned long kExiting = 0x4;
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;  // gone meanwhile
        // After the name in parentheses: state, ppid, pgrp, session,
        // tty_nr, tpgid, then the flags.
        const auto close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(line.substr(close + 1));
        std::string state;
        long skipped = 0;
        unsigned long flags = 0;
        fields >> state;
        for (int i = 0; i < 5; ++i) fields >> skipped;
        if (!(fields >> flags)) continue;
        if (flags & kExiting) continue;
        ++count;
    }
    return count;
}

int CountOpenHandles() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}
