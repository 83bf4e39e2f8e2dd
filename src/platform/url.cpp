#include "platform/url.h"

#include <cstdint>
#include <limits>

namespace platform {
namespace {

// The part query writes into a caller buffer of 260 characters; a part that
// does not fit is not returned at all.
constexpr size_t kPartBufferChars = 260;

bool IsSchemeChar(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
           c == u'+' || c == u'-' || c == u'.';
}

// The "host[:port]" of the authority, without user information.
bool HostAndPort(const std::u16string& url, std::u16string& hostPort) {
    const size_t colon = url.find(u':');
    if (colon == std::u16string::npos || colon == 0) return false;
    for (size_t i = 0; i < colon; ++i)
        if (!IsSchemeChar(url[i])) return false;
    if (url.compare(colon + 1, 2, u"//") != 0) return false;
    const size_t start = colon + 3;
    size_t end = url.find_first_of(u"/?#\\", start);
    if (end == std::u16string::npos) end = url.size();
    std::u16string authority = url.substr(start, end - start);
    const size_t at = authority.rfind(u'@');
    if (at != std::u16string::npos) authority.erase(0, at + 1);
    hostPort = authority;
    return true;
}

std::u16string Fit(std::u16string part) {
    return part.size() < kPartBufferChars ? part : std::u16string();
}

}  // namespace

std::u16string UrlHostPart(const std::u16string& url) {
    std::u16string hostPort;
    if (!HostAndPort(url, hostPort)) return std::u16string();
    return Fit(hostPort.substr(0, hostPort.find(u':')));
}

std::u16string UrlPortPart(const std::u16string& url) {
    std::u16string hostPort;
    if (!HostAndPort(url, hostPort)) return std::u16string();
    const size_t colon = hostPort.find(u':');
    if (colon == std::u16string::npos) return std::u16string();
    return Fit(hostPort.substr(colon + 1));
}

int WideToInt(const std::u16string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
    int64_t value = 0;
    const int64_t limit = int64_t{std::numeric_limits<int>::max()} + 1;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i] - u'0');
        if (value > limit) value = limit;
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<int>::max()) value = std::numeric_limits<int>::max();
    return static_cast<int>(value);
}

}  // namespace platform
