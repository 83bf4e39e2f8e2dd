#include "export/TagParser.h"

#include "log/Log.h"
#include "platform/url.h"

namespace {

void ReplaceAll(std::u16string& text, const std::u16string& from, const std::u16string& to) {
    size_t at = 0;
    while ((at = text.find(from, at)) != std::u16string::npos) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
}

std::u16string Unescape(std::u16string text) {
    ReplaceAll(text, u"\\\\", u"\\");
    ReplaceAll(text, u"\\=", u"=");
    ReplaceAll(text, u"\\;", u";");
    return text;
}

}  // namespace

int32_t CTagParser::ParseRoleString(const char16_t* text, int32_t length) {
    if (!text || length < 1) return -1;
    mPairs.clear();
    const char16_t* const end = text + length;
    const char16_t* start = text;
    const char16_t* cursor = text;
    for (;;) {
        if (cursor >= end) return 0;
        // The next ";" within the considered characters (and before the
        // terminating NUL, which ends the text).
        const char16_t* semicolon = cursor;
        while (semicolon < end && *semicolon != u';' && *semicolon != 0) ++semicolon;
        if (semicolon >= end || *semicolon == 0) break;
        if (semicolon != text && semicolon[-1] == u'\\') {
            cursor = semicolon + 1;  // escaped: the segment goes on
            continue;
        }
        if (ParsePair(start, static_cast<int32_t>(semicolon - start)) != 0)
            QS_LOG_COMPONENT("CTagParser::ParseRoleString");
        start = cursor = semicolon + 1;
    }
    if (ParsePair(start, static_cast<int32_t>(end - start)) != 0)
        QS_LOG_COMPONENT("CTagParser::ParseRoleString");
    return 0;
}

int32_t CTagParser::ParsePair(const char16_t* segment, int32_t length) {
    if (!segment || length < 1) return -1;
    int32_t equals = -1;
    for (int32_t i = 0; i < length; ++i) {
        if (segment[i] != u'=') continue;
        if (i > 0 && segment[i - 1] == u'\\') continue;  // escaped
        equals = i;
        break;
    }
    if (equals < 0) return -1;
    std::u16string key = Unescape(std::u16string(segment, static_cast<size_t>(equals)));
    std::u16string value =
        Unescape(std::u16string(segment + equals + 1, static_cast<size_t>(length - equals - 1)));
    mPairs.emplace(std::move(key), std::move(value));  // keeps the first value of a key
    return 0;
}

std::u16string CTagParser::GetString(const std::u16string& key) const {
    const auto found = mPairs.find(key);
    return found == mPairs.end() ? std::u16string() : found->second;
}

int32_t CTagParser::GetInt(const std::u16string& key) const {
    const auto found = mPairs.find(key);
    return found == mPairs.end() ? -1 : platform::WideToInt(found->second);
}
