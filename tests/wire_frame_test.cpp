#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/ByteArray.h"
#include "transport/WireFrame.h"

namespace {

std::string Text(const ByteArray& buffer) {
    return buffer.GetData() ? std::string(reinterpret_cast<const char*>(buffer.GetData()),
                                          static_cast<size_t>(buffer.GetLength()))
                            : std::string();
}

std::string Be32(uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
            static_cast<char>(value)};
}

}  // namespace

// A frame written in wire order is byte for byte the one built from the back
// (payload, word in front, length in front, marker in front), for payloads
// of every size around the edges, in a buffer reused message after message.
TEST(WireFrameTest, FrameWrittenInOrderEqualsTheOneBuiltFromTheBack) {
    ByteArray reused;
    reused.Reserve(1);
    for (size_t size : {0u, 1u, 2u, 3u, 4u, 19u, 20u, 255u, 256u, 65535u, 65536u, 65537u, 3u}) {
        std::string payload(size, '\0');
        for (size_t i = 0; i < size; ++i) payload[i] = static_cast<char>(i * 7 + size);
        const uint32_t word = static_cast<uint32_t>(size * 2654435761u);

        ByteArray fromBack;
        if (size > 0) fromBack.AppendData(payload.data(), static_cast<int32_t>(size));
        fromBack.AppendInt32Front(word);
        fromBack.AppendInt32Front(static_cast<uint32_t>(fromBack.GetLength()));
        fromBack.AppendDataFront(SyncMarker, static_cast<int32_t>(SyncMarkerLength));

        WireFrame::Start(reused, word);
        EXPECT_EQ(reused.GetLength(), WireFrame::kHeadBytes);
        if (size > 0) reused.AppendData(payload.data(), static_cast<int32_t>(size));
        WireFrame::Finish(reused);
        ASSERT_EQ(Text(reused), Text(fromBack)) << "payload of " << size << " bytes";
        EXPECT_EQ(Text(reused), std::string(SyncMarker) + Be32(static_cast<uint32_t>(4 + size)) + Be32(word) + payload);
    }
}

// Every cut of an answer's head gives the fault of the first field it lacks,
// every wrong marker byte the marker's fault, and only a whole head reads
// its two words.
TEST(WireFrameTest, AnswerHeadFaultsFollowTheFieldThatIsMissing) {
    const WireFrame::HeadFaults faults{-11, -12, -13, -14};
    const std::string head = std::string(SyncMarker) + Be32(0x01020304) + Be32(0xFFFFFFFF) + "result";
    for (size_t cut = 0; cut <= head.size(); ++cut) {
        ByteReader in(reinterpret_cast<const uint8_t*>(head.data()), cut);
        uint32_t length = 7, word = 7;
        const int32_t read = WireFrame::ReadHead(in, faults, length, word);
        const int32_t expected = cut < 20 ? -11 : cut < 24 ? -13 : cut < 28 ? -14 : 0;
        ASSERT_EQ(read, expected) << "cut at " << cut;
        if (read == 0) {
            EXPECT_EQ(length, 0x01020304u);
            EXPECT_EQ(word, 0xFFFFFFFFu);
            EXPECT_EQ(in.Pos(), 28u);
        } else {
            EXPECT_EQ(length, 7u);
            EXPECT_EQ(word, 7u);
        }
    }
    for (size_t at = 0; at < SyncMarkerLength; ++at) {
        std::string wrong = head;
        wrong[at] ^= 0x20;
        ByteReader in(reinterpret_cast<const uint8_t*>(wrong.data()), wrong.size());
        uint32_t length = 0, word = 0;
        EXPECT_EQ(WireFrame::ReadHead(in, faults, length, word), -12) << "marker byte " << at;
    }
}

// A run of every kind of field, cut at every length: the reader takes the
// fields that lie whole within the cut and fails from the first that does
// not, without reading past it; ByteArray's reads, which go through the
// same reader, agree field by field and mark the short read.
TEST(WireFrameTest, ReadsStopAtTheFirstFieldThatDoesNotFit) {
    ByteArray whole;
    whole.AppendInt16(0xBEEF);
    whole.AppendInt32(0x89ABCDEF);
    whole.AppendInt64(0x0102030405060708ull);
    whole.AppendString("text");
    const uint8_t raw[] = {9, 8, 7};
    whole.AppendBlock(raw, 3);
    const size_t ends[] = {2, 6, 14, 20, 27};
    const std::string bytes = Text(whole);

    for (size_t cut = 0; cut <= bytes.size(); ++cut) {
        // A copy of just the cut, so that a read past it is a read past the
        // allocation (caught under ASan).
        const std::vector<uint8_t> part(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
        ByteReader in(part.data(), part.size());
        uint16_t a = 0;
        uint32_t b = 0;
        uint64_t c = 0;
        std::string d;
        const uint8_t* e = nullptr;
        uint32_t eCount = 0;
        const bool got[] = {in.Int16(a), in.Int32(b), in.Int64(c), in.String(d), in.Block(&e, eCount)};
        size_t fit = 0;
        while (fit < 5 && ends[fit] <= cut) ++fit;
        for (size_t i = 0; i < 5; ++i) ASSERT_EQ(got[i], i < fit) << "cut " << cut << " field " << i;
        EXPECT_EQ(in.Failed(), fit < 5);
        EXPECT_EQ(in.Pos(), fit == 0 ? 0 : ends[fit - 1]);

        ByteArray buffer;
        if (cut > 0) buffer.AppendData(part.data(), static_cast<int32_t>(cut));
        EXPECT_EQ(buffer.ReadInt16(), fit > 0 ? 0xBEEF : 0);
        EXPECT_EQ(buffer.ReadInt32(), fit > 1 ? 0x89ABCDEFu : 0u);
        EXPECT_EQ(buffer.ReadInt64(), fit > 2 ? 0x0102030405060708ull : 0u);
        EXPECT_EQ(buffer.ReadString(), fit > 3 ? "text" : "");
        EXPECT_EQ(buffer.ReadBlock()->GetLength(), fit > 4 ? 3 : 0);
        EXPECT_EQ(buffer.HadShortRead(), fit < 5);
        EXPECT_LE(buffer.GetReadPos(), buffer.GetLength());
    }
}

// Counts from the peer are checked against what remains, never added to a
// position first: a block count near 2^32 fails instead of wrapping where
// size_t is 32 bits.
TEST(WireFrameTest, HugeCountsFailWithoutWrapping) {
    for (uint32_t count : {0xFFFFFFFFu, 0xFFFFFFFCu, 0xFFFFFFFBu, 0x80000000u, 5u}) {
        const std::string body = Be32(count) + "abcd";
        ByteReader in(reinterpret_cast<const uint8_t*>(body.data()), body.size());
        const uint8_t* at = nullptr;
        uint32_t got = 0;
        EXPECT_FALSE(in.Block(&at, got)) << count;
        EXPECT_EQ(in.Pos(), 0u);
    }
}
