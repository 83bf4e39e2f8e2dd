// Host and port parts of a URL, read as the shell's URL part query reads
// them: "http://127.0.0.1:8182/" gives host "127.0.0.1" and port text "8182".
// A URL without a port gives an empty port text; a text that is not a URL
// with an authority ("scheme://...") gives empty parts.
#pragma once

#include <string>

namespace platform {

std::u16string UrlHostPart(const std::u16string& url);
std::u16string UrlPortPart(const std::u16string& url);

// Leading decimal number of a text as the C runtime's _wtoi reads it: leading
// blanks skipped, an optional sign, digits; 0 when there are none; clamped to
// the 32-bit range.
int WideToInt(const std::u16string& text);

}  // namespace platform
