#include <windows.h>

#include "platform/utf.h"
#include "support/dynamic_library.h"

DynamicLibrary::DynamicLibrary(const std::string& path) {
    const std::u16string wide = platform::Utf8ToUtf16(path);
    mHandle = reinterpret_cast<void*>(LoadLibraryW(reinterpret_cast<const wchar_t*>(wide.c_str())));
}

DynamicLibrary::~DynamicLibrary() {
    if (mHandle) FreeLibrary(reinterpret_cast<HMODULE>(mHandle));
}

void* DynamicLibrary::Symbol(const char* name) const {
    return mHandle ? reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(mHandle), name)) : nullptr;
}
