#include "platform/utf.h"

#include <cstdint>

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void AppendUtf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

// Decodes one scalar value at text[i], advancing i past it. An ill-formed
// sequence is consumed up to (not including) the first byte that cannot
// continue it, and yields U+FFFD: the "maximal subpart" rule.
char32_t DecodeUtf8(const unsigned char* text, size_t length, size_t& i) {
    const unsigned char lead = text[i++];
    if (lead < 0x80) return lead;
    int trail = 0;
    char32_t cp = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the first trail byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        trail = 1;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trail = 2;
        cp = lead & 0x0F;
        if (lead == 0xE0) lo = 0xA0;  // no overlong forms
        if (lead == 0xED) hi = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trail = 3;
        cp = lead & 0x07;
        if (lead == 0xF0) lo = 0x90;  // no overlong forms
        if (lead == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
        return kReplacement;
    }
    for (int k = 0; k < trail; ++k) {
        if (i >= length) return kReplacement;
        const unsigned char c = text[i];
        const unsigned char min = k == 0 ? lo : 0x80;
        const unsigned char max = k == 0 ? hi : 0xBF;
        if (c < min || c > max) return kReplacement;
        cp = (cp << 6) | (c & 0x3F);
        ++i;
    }
    return cp;
}

}  // namespace

std::string Utf16ToUtf8(const char16_t* text, size_t length) {
    std::string out;
    if (!text) return out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
                ++i;
            } else {
                cp = kReplacement;  // lone high surrogate
            }
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            cp = kReplacement;  // lone low surrogate
        }
        AppendUtf8(out, cp);
    }
    return out;
}

std::string Utf16ToUtf8(const std::u16string& text) {
    return Utf16ToUtf8(text.data(), text.size());
}

std::u16string Utf8ToUtf16(const char* text, size_t length) {
    std::u16string out;
    if (!text) return out;
    out.reserve(length);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t i = 0;
    while (i < length) AppendUtf16(out, DecodeUtf8(bytes, length, i));
    return out;
}

std::u16string Utf8ToUtf16(const std::string& text) {
    return Utf8ToUtf16(text.data(), text.size());
}

size_t HostTextLength(const QS_WCHAR* text) {
    if (!text) return 0;
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

std::u16string FromHostText(const QS_WCHAR* text) {
    if (!text) return std::u16string();
    return std::u16string(reinterpret_cast<const char16_t*>(text), HostTextLength(text));
}

std::u16string AsciiToUtf16(const char* text) {
    std::u16string out;
    for (; text && *text; ++text) out.push_back(static_cast<unsigned char>(*text));
    return out;
}

}  // namespace platform
