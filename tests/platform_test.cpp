#include <gtest/gtest.h>

#include <string>

#include "platform/host_memory.h"
#include "platform/path_style.h"
#include "platform/url.h"
#include "platform/utf.h"

using namespace platform;

TEST(UtfTest, RoundTripsNonAscii) {
    const std::u16string wide = u"Mus\u00e9e/\u97f3\u697d/\U0001F3B5.mp3";
    const std::string utf8 = Utf16ToUtf8(wide);
    EXPECT_EQ(utf8, "Mus\xC3\xA9" "e/\xE9\x9F\xB3\xE6\xA5\xBD/\xF0\x9F\x8E\xB5.mp3");
    EXPECT_EQ(Utf8ToUtf16(utf8), wide);
}

TEST(UtfTest, IllFormedUtf16BecomesReplacement) {
    const char16_t loneHigh[] = {u'a', 0xD800, u'b'};
    EXPECT_EQ(Utf16ToUtf8(loneHigh, 3), "a\xEF\xBF\xBD" "b");
    const char16_t loneLow[] = {0xDC00};
    EXPECT_EQ(Utf16ToUtf8(loneLow, 1), "\xEF\xBF\xBD");
    const char16_t highAtEnd[] = {u'x', 0xDBFF};
    EXPECT_EQ(Utf16ToUtf8(highAtEnd, 2), "x\xEF\xBF\xBD");
}

TEST(UtfTest, IllFormedUtf8BecomesOneReplacementPerMaximalSubpart) {
    EXPECT_EQ(Utf8ToUtf16(std::string("a\xFF" "b")), u"a\uFFFDb");
    EXPECT_EQ(Utf8ToUtf16(std::string("\xC0\xAF")), u"\uFFFD\uFFFD");       // overlong
    EXPECT_EQ(Utf8ToUtf16(std::string("\xED\xA0\x80")), u"\uFFFD\uFFFD\uFFFD");  // surrogate
    EXPECT_EQ(Utf8ToUtf16(std::string("\xE6\xA5")), u"\uFFFD");          // truncated
    EXPECT_EQ(Utf8ToUtf16(std::string("\xE6\xA5" "z")), u"\uFFFDz");
    EXPECT_EQ(Utf8ToUtf16(std::string("\xF4\x90\x80\x80")), u"\uFFFD\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(Utf8ToUtf16(std::string("\x80")), u"\uFFFD");
    const std::string withNul("a\0b", 3);
    EXPECT_EQ(Utf8ToUtf16(withNul), std::u16string(u"a\0b", 3));
}

TEST(UtfTest, HostTexts) {
    EXPECT_EQ(FromHostText(nullptr), u"");
    EXPECT_EQ(HostTextLength(nullptr), 0u);
    const std::u16string text = u"abc";
    EXPECT_EQ(FromHostText(AsHostText(text)), u"abc");
    QS_WCHAR* copy = AllocateHostText(u"/sdcard/\u00e4");
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(FromHostText(copy), u"/sdcard/\u00e4");
    FreeHostText(copy);
}

TEST(UrlTest, HostAndPortParts) {
    EXPECT_EQ(UrlHostPart(u"http://127.0.0.1:8182/"), u"127.0.0.1");
    EXPECT_EQ(UrlPortPart(u"http://127.0.0.1:8182/"), u"8182");
    EXPECT_EQ(UrlHostPart(u"http://10.0.0.7:99/x?y"), u"10.0.0.7");
    EXPECT_EQ(UrlPortPart(u"http://user:pw@10.0.0.7:99"), u"99");
    EXPECT_EQ(UrlHostPart(u"http://user:pw@10.0.0.7:99"), u"10.0.0.7");
    EXPECT_EQ(UrlPortPart(u"http://127.0.0.1/"), u"");
    EXPECT_EQ(UrlHostPart(u"http://127.0.0.1/"), u"127.0.0.1");
    EXPECT_EQ(UrlHostPart(u"127.0.0.1:8182"), u"");
    EXPECT_EQ(UrlPortPart(u""), u"");
    EXPECT_EQ(UrlHostPart(u"http://" + std::u16string(300, u'a') + u":1/"), u"");
}

TEST(UrlTest, WideToIntReadsLeadingNumber) {
    EXPECT_EQ(WideToInt(u"8182"), 8182);
    EXPECT_EQ(WideToInt(u""), 0);
    EXPECT_EQ(WideToInt(u"x1"), 0);
    EXPECT_EQ(WideToInt(u"  -12x"), -12);
    EXPECT_EQ(WideToInt(u"99999999999"), 2147483647);
    EXPECT_EQ(WideToInt(u"-99999999999"), -2147483647 - 1);
}

TEST(PathStyleTest, WindowsStyle) {
    const PathStyle w = PathStyle::kWindows;
    EXPECT_EQ(PathSeparator(w), u'\\');
    EXPECT_EQ(StripTrailingSeparators(w, u"D:\\"), u"D:");
    EXPECT_EQ(StripTrailingSeparators(w, u"C:\\a\\\\"), u"C:\\a");
    EXPECT_EQ(JoinPath(w, u"C:\\a", u"b.mp3"), u"C:\\a\\b.mp3");
    EXPECT_EQ(JoinPath(w, u"C:\\a\\", u"\\b"), u"C:\\a\\b");
    EXPECT_EQ(AddLongPathPrefix(w, u"C:\\a"), u"\\\\?\\C:\\a");
    EXPECT_EQ(AddLongPathPrefix(w, u"\\\\?\\C:\\a"), u"\\\\?\\C:\\a");
    EXPECT_EQ(AddLongPathPrefix(w, u"\\\\srv\\share\\f"), u"\\\\?\\UNC\\srv\\share\\f");
    EXPECT_EQ(ParentPart(w, u"C:\\a\\b.mp3"), u"C:\\a");
}

TEST(PathStyleTest, PosixStyle) {
    const PathStyle p = PathStyle::kPosix;
    EXPECT_EQ(PathSeparator(p), u'/');
    EXPECT_FALSE(IsPathSeparator(p, u'\\'));
    EXPECT_EQ(StripTrailingSeparators(p, u"/data/"), u"/data");
    EXPECT_EQ(StripTrailingSeparators(p, u"/"), u"/");
    EXPECT_EQ(JoinPath(p, u"/data", u"a b"), u"/data/a b");
    EXPECT_EQ(JoinPath(p, u"/", u"x"), u"/x");
    EXPECT_EQ(AddLongPathPrefix(p, u"/home/me"), u"/home/me");
    EXPECT_EQ(ParentPart(p, u"/x"), u"/");
    EXPECT_EQ(ParentPart(p, u"x"), u"");
}

TEST(PlatformTest, NativeStyleMatchesBuild) {
#ifdef _WIN32
    EXPECT_EQ(NativePathStyle(), PathStyle::kWindows);
#else
    EXPECT_EQ(NativePathStyle(), PathStyle::kPosix);
#endif
}
