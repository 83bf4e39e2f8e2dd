// Process environment and scratch folders for tests.
#pragma once

#include <filesystem>
#include <string>

void SetTestEnv(const char* name, const std::string& value);
void UnsetTestEnv(const char* name);

// A fresh empty folder, removed with its content when the object dies.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return mPath; }

private:
    std::filesystem::path mPath;
};

std::string ReadWholeFile(const std::filesystem::path& path);

// Threads of this process right now.
int CountProcessThreads();

// Open descriptors (POSIX) or handles (Windows) of this process right now.
int CountOpenHandles();
