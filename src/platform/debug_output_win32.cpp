#include <windows.h>

#include "platform/debug_output.h"

namespace platform {

void WriteDebugOutput(const std::u16string& text) {
    OutputDebugStringW(reinterpret_cast<const wchar_t*>(text.c_str()));
}

}  // namespace platform
