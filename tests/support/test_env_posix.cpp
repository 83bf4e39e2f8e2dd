#include <cstdlib>

#include "support/test_env.h"

void SetTestEnv(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }
void UnsetTestEnv(const char* name) { unsetenv(name); }

#include <filesystem>

int CountProcessThreads() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)entry;
        ++count;
    }
    return count;
}
