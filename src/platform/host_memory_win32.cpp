#include <windows.h>

#include <cstring>

#include "platform/host_memory.h"

namespace platform {

QS_WCHAR* AllocateHostText(const std::u16string& text) {
    const size_t bytes = (text.size() + 1) * sizeof(QS_WCHAR);
    auto* out = static_cast<QS_WCHAR*>(LocalAlloc(LMEM_FIXED, bytes));
    if (!out) return nullptr;
    std::memcpy(out, text.c_str(), bytes);
    return out;
}

void FreeHostText(QS_WCHAR* text) {
    if (text) LocalFree(text);
}

}  // namespace platform
