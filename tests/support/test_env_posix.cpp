#include <cstdlib>

#include "support/test_env.h"

void SetTestEnv(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }
void UnsetTestEnv(const char* name) { unsetenv(name); }

#include <filesystem>
#include <thread>

int CountProcessThreads() {
    // Runtimes that start helper threads of their own with the first thread
    // of the process (ThreadSanitizer does) have done so before the count.
    static const bool warmed = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)warmed;
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)entry;
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
