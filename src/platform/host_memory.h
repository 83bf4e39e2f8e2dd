// Texts handed to the host, allocated the way the host releases them:
// malloc/free on POSIX, LocalAlloc(LMEM_FIXED)/LocalFree on Windows.
#pragma once

#include <string>

#include "quellsync_http.h"

namespace platform {

// A NUL-terminated copy of text; null when memory is exhausted.
QS_WCHAR* AllocateHostText(const std::u16string& text);
// Releases a text as the host would (used by tests and the command-line host).
void FreeHostText(QS_WCHAR* text);

}  // namespace platform
