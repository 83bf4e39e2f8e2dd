// The process's debugger output: OutputDebugStringW on Windows; elsewhere the
// text is appended as UTF-8 to the file named by QS_DEBUG_OUTPUT when that is
// set, and goes nowhere otherwise. Never fails from the caller's view.
#pragma once

#include <string>

namespace platform {

void WriteDebugOutput(const std::u16string& text);

}  // namespace platform
