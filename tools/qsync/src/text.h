// Text helpers of qsync: the UTF-8 it works in and the UTF-16 the library takes.
#pragma once

#include <string>

#include "quellsync_http.h"

namespace qsync {

// Ill-formed input never fails: each bad sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(const std::string& text);
std::string Utf16ToUtf8(const std::u16string& text);
// A NUL-terminated text the library wrote; null gives "".
std::string HostTextToUtf8(const QS_WCHAR* text);
bool IsValidUtf8(const std::string& text);

inline const QS_WCHAR* AsHostText(const std::u16string& text) {
    static_assert(sizeof(QS_WCHAR) == sizeof(char16_t), "host texts are UTF-16");
    return reinterpret_cast<const QS_WCHAR*>(text.c_str());
}

}  // namespace qsync
