#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "log/Log.h"
#include "transport/ByteArray.h"

namespace {

std::vector<uint8_t> Bytes(const ByteArray& buffer) {
    if (!buffer.GetData()) return {};
    return std::vector<uint8_t>(buffer.GetData(), buffer.GetData() + buffer.GetLength());
}

ByteArray FromBytes(const std::vector<uint8_t>& bytes) {
    ByteArray buffer;
    buffer.AppendData(bytes.data(), static_cast<int32_t>(bytes.size()));
    return buffer;
}

}  // namespace

TEST(ByteArrayTest, NewBufferIsEmpty) {
    ByteArray buffer;
    EXPECT_EQ(buffer.GetLength(), 0);
    EXPECT_EQ(buffer.GetRemain(), 0);
    EXPECT_EQ(buffer.GetData(), nullptr);
}

TEST(ByteArrayTest, IntegersAreBigEndian) {
    ByteArray buffer;
    EXPECT_EQ(buffer.AppendInt16(0x0102), 2);
    EXPECT_EQ(buffer.AppendInt32(1), 6);
    EXPECT_EQ(buffer.AppendInt64((uint64_t{1} << 32) + 2), 14);
    EXPECT_EQ(buffer.AppendInt32(0xFFFFFFFEu), 18);
    EXPECT_EQ(Bytes(buffer), (std::vector<uint8_t>{1, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 2, 0xFF,
                                                   0xFF, 0xFF, 0xFE}));
    EXPECT_EQ(buffer.ReadInt16(), 0x0102);
    EXPECT_EQ(buffer.ReadInt32(), 1u);
    EXPECT_EQ(buffer.ReadInt64(), (uint64_t{1} << 32) + 2);
    EXPECT_EQ(static_cast<int32_t>(buffer.ReadInt32()), -2);
    EXPECT_EQ(buffer.GetRemain(), 0);
    EXPECT_FALSE(buffer.HadShortRead());
}

TEST(ByteArrayTest, StringsAndBlocksCarryTheirCount) {
    ByteArray buffer;
    buffer.AppendString("abc");
    buffer.AppendString("");
    const uint8_t raw[] = {9, 8};
    buffer.AppendBlock(raw, 2);
    buffer.AppendBlock(raw, 0);
    EXPECT_EQ(Bytes(buffer),
              (std::vector<uint8_t>{0, 3, 'a', 'b', 'c', 0, 0, 0, 0, 0, 2, 9, 8, 0, 0, 0, 0}));
    EXPECT_EQ(buffer.ReadString(), "abc");
    EXPECT_EQ(buffer.ReadString(), "");
    auto block = buffer.ReadBlock();
    EXPECT_EQ(Bytes(*block), (std::vector<uint8_t>{9, 8}));
    auto empty = buffer.ReadBlock();
    EXPECT_EQ(empty->GetLength(), 0);
    EXPECT_EQ(empty->GetData(), nullptr);
    EXPECT_EQ(buffer.GetRemain(), 0);
}

TEST(ByteArrayTest, LongStringKeepsLow16BitsOfItsLength) {
    const std::string text(65536 + 3, 'x');
    ByteArray buffer;
    buffer.AppendString(text.c_str());
    EXPECT_EQ(Bytes(buffer), (std::vector<uint8_t>{0, 3, 'x', 'x', 'x'}));
}

TEST(ByteArrayTest, NonAsciiStringCountsBytes) {
    ByteArray buffer;
    buffer.AppendString("\xC3\xA4");  // one character, two bytes
    EXPECT_EQ(Bytes(buffer), (std::vector<uint8_t>{0, 2, 0xC3, 0xA4}));
}

TEST(ByteArrayTest, FramedMessageIsBuiltFromTheFront) {
    ByteArray buffer;
    buffer.AppendString("/a");
    buffer.AppendInt32Front(14);
    buffer.AppendInt32Front(static_cast<uint32_t>(buffer.GetLength()));
    const char marker[] = "<Hello Velmora Sync>";
    ASSERT_EQ(buffer.AppendDataFront(marker, 20), 0);
    std::vector<uint8_t> expected(marker, marker + 20);
    for (uint8_t b : std::vector<uint8_t>{0, 0, 0, 8, 0, 0, 0, 14, 0, 2, '/', 'a'}) expected.push_back(b);
    EXPECT_EQ(Bytes(buffer), expected);

    std::string head;
    EXPECT_EQ(buffer.ReadBytes(head, 20), buffer.GetLength() - 20);
    EXPECT_EQ(head, "<Hello Velmora Sync>");
    EXPECT_EQ(buffer.ReadInt32(), 8u);
    EXPECT_EQ(buffer.ReadInt32(), 14u);
    EXPECT_EQ(buffer.ReadString(), "/a");
}

TEST(ByteArrayTest, FrontInsertionOnEmptyBufferAppends) {
    ByteArray a;
    a.AppendInt32Front(7);
    EXPECT_EQ(Bytes(a), (std::vector<uint8_t>{0, 0, 0, 7}));
    ByteArray b;
    const uint8_t raw[] = {1, 2};
    EXPECT_EQ(b.AppendDataFront(raw, 2), 0);
    EXPECT_EQ(Bytes(b), (std::vector<uint8_t>{1, 2}));
}

TEST(ByteArrayTest, EmptyAppendsAreRefusedAndLogged) {
    std::vector<std::u16string> lines;
    qslog::SetCapture([&](qslog::Sink sink, const std::u16string& line) {
        EXPECT_EQ(sink, qslog::Sink::kDebugger);
        lines.push_back(line);
    });
    ByteArray buffer;
    const uint8_t raw[] = {1};
    EXPECT_EQ(buffer.AppendData(nullptr, 1), -1);
    EXPECT_EQ(buffer.AppendData(raw, 0), -1);
    EXPECT_EQ(buffer.AppendDataFront(nullptr, 3), -1);
    qslog::SetCapture(nullptr);
    EXPECT_EQ(buffer.GetLength(), 0);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find(u".\\ByteArray.cpp("), std::u16string::npos);
    EXPECT_NE(lines[0].find(u"Function = ByteArray::AppendData GetLastError"), std::u16string::npos);
    EXPECT_NE(lines[2].find(u"Function = ByteArray::AppendDataFront GetLastError"),
              std::u16string::npos);
}

TEST(ByteArrayTest, ReadStringStopsAtZeroButConsumesAll) {
    ByteArray buffer = FromBytes({0, 3, 'a', 0, 'b', 0x7F});
    EXPECT_EQ(buffer.ReadString(), "a");
    EXPECT_EQ(buffer.GetReadPos(), 5);
    EXPECT_EQ(buffer.GetRemain(), 1);
}

TEST(ByteArrayTest, ShortReadsYieldZeroAndStopAtTheEnd) {
    ByteArray ints = FromBytes({1, 2, 3});
    EXPECT_EQ(ints.ReadInt32(), 0u);
    EXPECT_TRUE(ints.HadShortRead());
    EXPECT_EQ(ints.GetRemain(), 0);
    EXPECT_EQ(ints.ReadInt16(), 0);

    ByteArray wide = FromBytes({0, 0, 0, 1, 0, 0, 0});
    EXPECT_EQ(wide.ReadInt64(), 0u);
    EXPECT_EQ(wide.GetRemain(), 0);

    // A string count larger than what remains must not read past the end.
    ByteArray text = FromBytes({0xFF, 0xFF, 'a', 'b'});
    EXPECT_EQ(text.ReadString(), "");
    EXPECT_TRUE(text.HadShortRead());
    EXPECT_EQ(text.GetRemain(), 0);

    ByteArray block = FromBytes({0x7F, 0xFF, 0xFF, 0xFF, 1});
    auto inner = block.ReadBlock();
    EXPECT_EQ(inner->GetLength(), 0);
    EXPECT_TRUE(block.HadShortRead());

    ByteArray huge = FromBytes({0xFF, 0xFF, 0xFF, 0xFF, 1});  // count 4 GiB - 1
    EXPECT_EQ(huge.ReadBlock()->GetLength(), 0);
    EXPECT_EQ(huge.GetRemain(), 0);

    ByteArray bytes = FromBytes({1, 2});
    std::string out = "old";
    EXPECT_EQ(bytes.ReadBytes(out, 3), 0);
    EXPECT_EQ(out, "");
    ByteArray negative = FromBytes({1, 2});
    EXPECT_EQ(negative.ReadBytes(out, -1), 0);
    EXPECT_TRUE(negative.HadShortRead());
}
