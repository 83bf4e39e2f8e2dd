#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "export/TagParser.h"
#include "log/Log.h"

namespace {

using Pairs = std::map<std::u16string, std::u16string>;

struct Parsed {
    int32_t result;
    Pairs pairs;
    std::vector<std::u16string> logLines;
};

Parsed Parse(const std::u16string& text) {
    Parsed parsed;
    qslog::SetCapture([&](qslog::Sink sink, const std::u16string& line) {
        EXPECT_EQ(sink, qslog::Sink::kComponent);
        parsed.logLines.push_back(line);
    });
    CTagParser parser;
    parsed.result = parser.ParseRoleString(text.c_str(), static_cast<int32_t>(text.size()));
    qslog::SetCapture(nullptr);
    parsed.pairs = parser.Pairs();
    return parsed;
}

}  // namespace

TEST(TagParserTest, PlainPairs) {
    EXPECT_EQ(Parse(u"device=abc").pairs, (Pairs{{u"device", u"abc"}}));
    const Parsed trailing = Parse(u"a=1;b=2;");
    EXPECT_EQ(trailing.result, 0);
    EXPECT_EQ(trailing.pairs, (Pairs{{u"a", u"1"}, {u"b", u"2"}}));
    EXPECT_TRUE(trailing.logLines.empty());
}

TEST(TagParserTest, EscapesInKeysAndValues) {
    EXPECT_EQ(Parse(u"a=x\\;y;b=2").pairs, (Pairs{{u"a", u"x;y"}, {u"b", u"2"}}));
    EXPECT_EQ(Parse(u"k\\=1=v").pairs, (Pairs{{u"k=1", u"v"}}));
    EXPECT_EQ(Parse(u"k=a\\\\b").pairs, (Pairs{{u"k", u"a\\b"}}));
    // Only the single preceding character decides: "\\;" still counts as an
    // escaped ";", so the segment goes on.
    EXPECT_EQ(Parse(u"a=1\\\\;b=2").pairs, (Pairs{{u"a", u"1;b=2"}}));
}

TEST(TagParserTest, DuplicateKeyKeepsFirstValue) {
    EXPECT_EQ(Parse(u"a=1;a=2").pairs, (Pairs{{u"a", u"1"}}));
}

TEST(TagParserTest, RejectedSegmentIsLoggedAndSkipped) {
    const Parsed parsed = Parse(u"abc;device=x");
    EXPECT_EQ(parsed.result, 0);
    EXPECT_EQ(parsed.pairs, (Pairs{{u"device", u"x"}}));
    ASSERT_EQ(parsed.logLines.size(), 1u);
    EXPECT_EQ(parsed.logLines[0].rfind(u".\\TagParser.cpp(", 0), 0u);
    EXPECT_NE(parsed.logLines[0].find(u") : Function = CTagParser::ParseRoleString GetLastError = "),
              std::u16string::npos);

    const Parsed last = Parse(u"a=1;zzz");
    EXPECT_EQ(last.pairs, (Pairs{{u"a", u"1"}}));
    EXPECT_EQ(last.logLines.size(), 1u);
    EXPECT_EQ(Parse(u"a=1;;b=2").logLines.size(), 1u);  // the empty segment
}

TEST(TagParserTest, EmptyKeyOrValue) {
    EXPECT_EQ(Parse(u"=v").pairs, (Pairs{{u"", u"v"}}));
    EXPECT_EQ(Parse(u"k=").pairs, (Pairs{{u"k", u""}}));
}

TEST(TagParserTest, EscapedFinalSemicolonEndsWithoutPair) {
    const Parsed parsed = Parse(u"a=1\\;");
    EXPECT_EQ(parsed.result, 0);
    EXPECT_TRUE(parsed.pairs.empty());
    EXPECT_TRUE(parsed.logLines.empty());
}

TEST(TagParserTest, NullOrEmptyTextFailsAndKeepsTable) {
    CTagParser parser;
    const std::u16string text = u"k=v";
    ASSERT_EQ(parser.ParseRoleString(text.c_str(), 3), 0);
    EXPECT_EQ(parser.ParseRoleString(nullptr, 3), -1);
    EXPECT_EQ(parser.ParseRoleString(text.c_str(), 0), -1);
    EXPECT_EQ(parser.GetString(u"k"), u"v");
    // A new parse clears the table first.
    const std::u16string other = u"x=1";
    ASSERT_EQ(parser.ParseRoleString(other.c_str(), 3), 0);
    EXPECT_EQ(parser.GetString(u"k"), u"");
}

TEST(TagParserTest, LengthLimitsTheText) {
    const std::u16string text = u"a=1;b=2";
    CTagParser parser;
    ASSERT_EQ(parser.ParseRoleString(text.c_str(), 3), 0);
    EXPECT_EQ(parser.Pairs(), (Pairs{{u"a", u"1"}}));
}

TEST(TagParserTest, ParsePairRules) {
    CTagParser parser;
    EXPECT_EQ(parser.ParsePair(nullptr, 3), -1);
    EXPECT_EQ(parser.ParsePair(u"a=b", 0), -1);
    EXPECT_EQ(parser.ParsePair(u"ab", 2), -1);
    EXPECT_EQ(parser.ParsePair(u"a\\=b", 4), -1);
    // The "=" beyond the given length does not count.
    EXPECT_EQ(parser.ParsePair(u"ab=c", 2), -1);
    EXPECT_EQ(parser.ParsePair(u"a=b", 3), 0);
    EXPECT_EQ(parser.ParsePair(u"a=c", 3), 0);  // already present: still 0
    EXPECT_EQ(parser.GetString(u"a"), u"b");
}

TEST(TagParserTest, Lookups) {
    CTagParser parser;
    const std::u16string text = u"n=12x;s=x;neg=-5; sp= 7";
    ASSERT_EQ(parser.ParseRoleString(text.c_str(), static_cast<int32_t>(text.size())), 0);
    EXPECT_EQ(parser.GetInt(u"n"), 12);
    EXPECT_EQ(parser.GetInt(u"s"), 0);
    EXPECT_EQ(parser.GetInt(u"neg"), -5);
    EXPECT_EQ(parser.GetInt(u" sp"), 7);
    EXPECT_EQ(parser.GetInt(u"missing"), -1);
    EXPECT_EQ(parser.GetString(u"missing"), u"");
    EXPECT_EQ(parser.GetString(u"N"), u"");  // keys are case-sensitive
}
