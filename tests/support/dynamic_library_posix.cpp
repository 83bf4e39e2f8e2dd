#include <dlfcn.h>

#include "support/dynamic_library.h"

DynamicLibrary::DynamicLibrary(const std::string& path) : mHandle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {}

DynamicLibrary::~DynamicLibrary() {
    if (mHandle) dlclose(mHandle);
}

void* DynamicLibrary::Symbol(const char* name) const { return mHandle ? dlsym(mHandle, name) : nullptr; }
