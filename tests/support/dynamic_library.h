// Loads a shared library by path, looks up exports and unloads it, as a
// host application that loads the library on demand does.
#pragma once

#include <string>

class DynamicLibrary {
public:
    explicit DynamicLibrary(const std::string& path);  // UTF-8
    ~DynamicLibrary();
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    bool IsLoaded() const { return mHandle != nullptr; }
    void* Symbol(const char* name) const;
    template <typename Function>
    Function* Get(const char* name) const {
        return reinterpret_cast<Function*>(Symbol(name));
    }

private:
    void* mHandle = nullptr;
};
