// UTF-8 <-> UTF-16 conversion with the behaviour of code page 65001:
// ill-formed input never fails, each maximal ill-formed subsequence becomes
// one U+FFFD. One portable converter serves every platform.
#pragma once

#include <cstddef>
#include <string>

#include "quellsync_http.h"

namespace platform {

static_assert(sizeof(QS_WCHAR) == sizeof(char16_t), "host text is UTF-16");

std::string Utf16ToUtf8(const char16_t* text, size_t length);
std::string Utf16ToUtf8(const std::u16string& text);
std::u16string Utf8ToUtf16(const char* text, size_t length);
std::u16string Utf8ToUtf16(const std::string& text);

// Copies a NUL-terminated host text; null gives an empty string.
std::u16string FromHostText(const QS_WCHAR* text);
// Length in code units of a NUL-terminated host text; null gives 0.
size_t HostTextLength(const QS_WCHAR* text);
inline const QS_WCHAR* AsHostText(const std::u16string& text) {
    return reinterpret_cast<const QS_WCHAR*>(text.c_str());
}

// Plain ASCII convenience for fixed texts (log formats, keys).
std::u16string AsciiToUtf16(const char* text);

}  // namespace platform
