#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "export/TagParser.h"
#include "log/Log.h"

namespace {

using Pairs = std::map<std::u16string, std::u16string>;
using Keys = std::vector<std::u16string>;

struct Parsed {
    int32_t result;
    CTagParser parser;
    std::vector<std::u16string> logLines;
};

// Whether parser holds every pair of pairs and none of the keys in absent
// (the keys a wrong split would have made). GetInt tells an absent key (-1)
// from a present one whose value is empty.
::testing::AssertionResult Holds(const CTagParser& parser, const Pairs& pairs, const Keys& absent = {}) {
    for (const auto& [key, value] : pairs) {
        if (parser.GetInt(key) == -1)
            return ::testing::AssertionFailure() << "missing key of " << key.size() << " units";
        if (parser.GetString(key) != value)
            return ::testing::AssertionFailure() << "wrong value for a key of " << key.size() << " units";
    }
    for (const auto& key : absent)
        if (parser.GetInt(key) != -1)
            return ::testing::AssertionFailure() << "unexpected key of " << key.size() << " units";
    return ::testing::AssertionSuccess();
}

// Parsed in place: the result holds the parser, which is not copied.
void Parse(const std::u16string& text, Parsed& parsed) {
    qslog::SetCapture([&](qslog::Sink sink, const std::u16string& line) {
        EXPECT_EQ(sink, qslog::Sink::kComponent);
        parsed.logLines.push_back(line);
    });
    parsed.result = parsed.parser.ParseRoleString(text.c_str(), static_cast<int32_t>(text.size()));
    qslog::SetCapture(nullptr);
}

::testing::AssertionResult ParsesTo(const std::u16string& text, const Pairs& pairs, const Keys& absent = {}) {
    Parsed parsed;
    Parse(text, parsed);
    return Holds(parsed.parser, pairs, absent);
}

}  // namespace

TEST(TagParserTest, PlainPairs) {
    EXPECT_TRUE(ParsesTo(u"device=abc", {{u"device", u"abc"}}, {u"device=abc", u""}));
    Parsed trailing;
    Parse(u"a=1;b=2;", trailing);
    EXPECT_EQ(trailing.result, 0);
    EXPECT_TRUE(Holds(trailing.parser, {{u"a", u"1"}, {u"b", u"2"}}, {u"", u";"}));
    EXPECT_TRUE(trailing.logLines.empty());
}

TEST(TagParserTest, EscapesInKeysAndValues) {
    EXPECT_TRUE(ParsesTo(u"a=x\\;y;b=2", {{u"a", u"x;y"}, {u"b", u"2"}}, {u"y", u"x\\"}));
    EXPECT_TRUE(ParsesTo(u"k\\=1=v", {{u"k=1", u"v"}}, {u"k", u"k\\"}));
    EXPECT_TRUE(ParsesTo(u"k=a\\\\b", {{u"k", u"a\\b"}}));
    // Only the single preceding character decides: "\\;" still counts as an
    // escaped ";", so the segment goes on.
    EXPECT_TRUE(ParsesTo(u"a=1\\\\;b=2", {{u"a", u"1;b=2"}}, {u"b"}));
}

TEST(TagParserTest, DuplicateKeyKeepsFirstValue) {
    EXPECT_TRUE(ParsesTo(u"a=1;a=2", {{u"a", u"1"}}));
}

TEST(TagParserTest, RejectedSegmentIsLoggedAndSkipped) {
    Parsed parsed;
    Parse(u"abc;device=x", parsed);
    EXPECT_EQ(parsed.result, 0);
    EXPECT_TRUE(Holds(parsed.parser, {{u"device", u"x"}}, {u"abc", u"abc;device"}));
    ASSERT_EQ(parsed.logLines.size(), 1u);
    EXPECT_EQ(parsed.logLines[0].rfind(u".\\TagParser.cpp(", 0), 0u);
    EXPECT_NE(parsed.logLines[0].find(u") : Function = CTagParser::ParseRoleString GetLastError = "),
              std::u16string::npos);

    Parsed last;
    Parse(u"a=1;zzz", last);
    EXPECT_TRUE(Holds(last.parser, {{u"a", u"1"}}, {u"zzz"}));
    EXPECT_EQ(last.logLines.size(), 1u);
    Parsed empty;
    Parse(u"a=1;;b=2", empty);
    EXPECT_EQ(empty.logLines.size(), 1u);  // the empty segment
}

TEST(TagParserTest, EmptyKeyOrValue) {
    EXPECT_TRUE(ParsesTo(u"=v", {{u"", u"v"}}, {u"v"}));
    EXPECT_TRUE(ParsesTo(u"k=", {{u"k", u""}}, {u""}));
}

TEST(TagParserTest, EscapedFinalSemicolonEndsWithoutPair) {
    Parsed parsed;
    Parse(u"a=1\\;", parsed);
    EXPECT_EQ(parsed.result, 0);
    EXPECT_TRUE(Holds(parsed.parser, {}, {u"a", u""}));
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
    EXPECT_TRUE(Holds(parser, {{u"a", u"1"}}, {u"b"}));
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
