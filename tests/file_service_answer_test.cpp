// The file service answer parsers: every cut of a valid answer of each kind,
// frame faults, hostile counts and lengths, the scan's memory bound, and the
// body bounds per request. Inputs are copied into buffers of exactly their
// size, so the sanitizer build catches any read past the end.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "filesync/FileServiceAnswer.h"
#include "filesync/HttpFileAPI.h"
#include "support/file_wire.h"
#include "transport/HttpClient.h"

using namespace filewire;

namespace {

using Answers = CFileServiceAnswer;

// One parser seen through one signature: the result for a body.
using Parse = std::function<int32_t(const uint8_t*, size_t)>;

int32_t Parsed(const Parse& parse, const std::string& bytes) {
    const std::vector<uint8_t> exact(bytes.begin(), bytes.end());
    return parse(exact.data(), exact.size());
}

const Info kFile{"/sdcard/a.mp3", 5ull << 32, false, 1700000000123ull};
const std::string kScanEntries = Str("/a.mp3") + Str("audio/mpeg") + Str("17") + Str("/b.mp3") + Str("") + Str("18");

struct Kind {
    const char* name;
    std::string valid;  // a complete answer
    int32_t success;    // what the parser gives for it
    Parse parse;
};

std::vector<Kind> EveryKind() {
    return {
        {"no data", Answer(1), 0, [](const uint8_t* d, size_t n) { return Answers::ParseNoData(d, n, nullptr); }},
        {"stat", Answer(1, I32(14) + I32(1) + InfoBytes(kFile)), 0,
         [](const uint8_t* d, size_t n) {
             RemoteFileInfo info;
             return Answers::ParseStat(d, n, &info);
         }},
        {"listing", Answer(1, ListResult({kFile, {"/d/s", 0, true}})), 0,
         [](const uint8_t* d, size_t n) {
             std::vector<RemoteFileInfo> records;
             return Answers::ParseListing(d, n, records);
         }},
        {"scan", Answer(1, I32(16) + I32(2) + kScanEntries), 0,
         [](const uint8_t* d, size_t n) {
             std::vector<MediaScanEntry> out;
             return Answers::ParseMediaScan(d, n, 2, &out);
         }},
        {"chunk", Answer(1, Block("0123456789")), 0,
         [](const uint8_t* d, size_t n) { return Answers::ParseChunk(d, n, 10, nullptr); }},
    };
}

}  // namespace

TEST(FileServiceAnswerTest, EveryCutOfAValidAnswerFailsAtItsStep) {
    for (const Kind& kind : EveryKind()) {
        SCOPED_TRACE(kind.name);
        EXPECT_EQ(Parsed(kind.parse, kind.valid), kind.success);
        for (size_t cut = 0; cut < kind.valid.size(); ++cut) {
            SCOPED_TRACE(cut);
            const std::string part = kind.valid.substr(0, cut);
            const int32_t expected = cut < 20 ? -2 : cut < 24 ? -4 : cut < 28 ? -5 : -9;
            EXPECT_EQ(Parsed(kind.parse, part), expected);
            // The frame check gives what CheckResponse gives for the same bytes.
            ByteArray body;
            if (cut > 0) body.AppendData(part.data(), static_cast<int32_t>(cut));
            EXPECT_EQ(Parsed([](const uint8_t* d, size_t n) { return Answers::CheckFrame(d, n, nullptr); }, part),
                      CHttpFileAPI::CheckResponse(0, body));
        }
    }
}

TEST(FileServiceAnswerTest, ValidAnswersYieldTheirFieldsAndLeaveOutAloneOnFaults) {
    const std::string stat = Answer(1, I32(14) + I32(1) + Str("/sd") + I32(3) + I32(-4) + I64(5ull << 32) + I32(6) +
                                           I32(7) + I32(8) + I64(1700000000123ull));
    RemoteFileInfo info;
    size_t offset = 0;
    ASSERT_EQ(Answers::CheckFrame(reinterpret_cast<const uint8_t*>(stat.data()), stat.size(), &offset), 0);
    EXPECT_EQ(offset, Answers::kFrameBytes);
    ASSERT_EQ(Parsed([&info](const uint8_t* d, size_t n) { return Answers::ParseStat(d, n, &info); }, stat), 0);
    EXPECT_EQ(info.FileName, "/sd");
    EXPECT_EQ(std::vector<int64_t>({info.mnCanRead, info.mnCanWrite, static_cast<int64_t>(info.mnFileSize),
                                    info.mnIsFile, info.mnIsDir, info.mnIsHidden,
                                    static_cast<int64_t>(info.mnLastModify)}),
              std::vector<int64_t>({3, -4, 5ll << 32, 6, 7, 8, 1700000000123ll}));

    // Absent, another flag, or nowhere to put the record: 1, record untouched.
    for (const std::string& answer : {Answer(1, I32(14) + I32(0)), Answer(1, I32(14) + I32(2) + InfoBytes(kFile))}) {
        EXPECT_EQ(Parsed([&info](const uint8_t* d, size_t n) { return Answers::ParseStat(d, n, &info); }, answer), 1);
    }
    EXPECT_EQ(Parsed([](const uint8_t* d, size_t n) { return Answers::ParseStat(d, n, nullptr); }, stat), 1);
    // A name is cut at its first zero byte, as ByteArray::ReadString reads it.
    const std::string zero = Answer(1, I32(14) + I32(1) + InfoBytes({std::string("/a\0b", 4)}));
    ASSERT_EQ(Parsed([&info](const uint8_t* d, size_t n) { return Answers::ParseStat(d, n, &info); }, zero), 0);
    EXPECT_EQ(info.FileName, "/a");

    // A listing cut inside its second record keeps the first.
    const std::string listing = Answer(1, ListResult({kFile, {"/d/s", 0, true}}));
    std::vector<RemoteFileInfo> records;
    auto list = [&records](const uint8_t* d, size_t n) { return Answers::ParseListing(d, n, records); };
    EXPECT_EQ(Parsed(list, listing.substr(0, listing.size() - 1)), -9);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].FileName, kFile.name);
    records.clear();
    ASSERT_EQ(Parsed(list, listing), 0);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].mnIsDir, 1);

    // A scan fault leaves out as it was; a whole answer appends in order.
    const std::string scan = Answer(1, I32(16) + I32(2) + kScanEntries);
    std::vector<MediaScanEntry> entries(1);
    auto scanTwo = [&entries](const uint8_t* d, size_t n) { return Answers::ParseMediaScan(d, n, 2, &entries); };
    EXPECT_EQ(Parsed(scanTwo, scan.substr(0, scan.size() - 1)), -9);
    EXPECT_EQ(entries.size(), 1u);
    ASSERT_EQ(Parsed(scanTwo, scan), 0);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[1].Path + entries[1].Info + entries[1].MediaId, "/a.mp3audio/mpeg17");
    EXPECT_EQ(entries[2].Path + entries[2].MediaId, "/b.mp318");

    // The chunk's bytes are pointed at inside the body, not copied.
    const std::string chunk = Answer(1, Block("0123456789") + "tail");
    ASSERT_EQ(Answers::ParseChunk(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size(), 10, &offset), 0);
    EXPECT_EQ(chunk.substr(offset, 10), "0123456789");
}

TEST(FileServiceAnswerTest, FrameFaultsGiveTheirStepForEveryKind) {
    for (const Kind& kind : EveryKind()) {
        SCOPED_TRACE(kind.name);
        for (size_t at = 0; at < 20; ++at) {
            std::string wrong = kind.valid;
            wrong[at] ^= 0x20;
            EXPECT_EQ(Parsed(kind.parse, wrong), -3);
        }
        for (uint32_t status : {0u, 2u, 0xFFFFFFFFu, 0x01000000u}) {
            std::string refused = kind.valid;
            refused.replace(24, 4, I32(status));
            EXPECT_EQ(Parsed(kind.parse, refused), -6);
        }
    }
}

TEST(FileServiceAnswerTest, HostileCountsAndLengthsAreRefusedBeforeAnyRecord) {
    const std::string record = InfoBytes({""});  // the smallest record
    struct Case {
        std::string answer;
        int32_t expected;
    };
    std::vector<RemoteFileInfo> records;
    auto list = [&records](const uint8_t* d, size_t n) { return Answers::ParseListing(d, n, records); };
    for (const Case& c : std::vector<Case>{
             {Answer(1, I32(15) + I32(1) + I32(0x7FFFFFFF) + record), -9},
             {Answer(1, I32(15) + I32(1) + I32(3) + record + record + std::string(Answers::kMinInfoBytes - 1, '\0')), -9},
             {Answer(1, I32(15) + I32(1) + I32(0x80000000) + record), 0},  // negative: nothing
             {Answer(1, I32(15) + I32(1) + I32(1) + Str(std::string(100, 'n')).substr(0, 60)), -9},
         }) {
        EXPECT_EQ(Parsed(list, c.answer), c.expected);
        EXPECT_TRUE(records.empty());
    }

    const std::string empty = Str("") + Str("") + Str("");
    std::vector<MediaScanEntry> entries;
    auto scan = [&entries](size_t asked) {
        return [&entries, asked](const uint8_t* d, size_t n) { return Answers::ParseMediaScan(d, n, asked, &entries); };
    };
    for (const auto& [asked, count, expected] : std::vector<std::tuple<size_t, uint32_t, int32_t>>{
             {1, 2, -9}, {0, 1, -9}, {2, 3, -9}, {100, 100, -9}, {3, 0x7FFFFFFF, -9}, {3, 0xFFFFFFFF, 0}}) {
        SCOPED_TRACE(count);
        EXPECT_EQ(Parsed(scan(asked), Answer(1, I32(16) + I32(count) + empty + empty + empty)), expected);
        EXPECT_TRUE(entries.empty());
    }

    // Each length word against asking for that length and for 10; 10 bytes follow.
    for (const auto& [length, askedSame, askedTen] : std::vector<std::tuple<uint32_t, int32_t, int32_t>>{
             {10, 0, 0}, {9, 0, -9}, {11, -9, -9}, {0xFFFFFFF6, -9, -9}, {0x7FFFFFFF, -9, -9}, {0x80000000, -9, -9}}) {
        SCOPED_TRACE(length);
        const std::string answer = Answer(1, I32(length) + "0123456789");
        auto chunk = [](int32_t asked) {
            return [asked](const uint8_t* d, size_t n) { return Answers::ParseChunk(d, n, asked, nullptr); };
        };
        EXPECT_EQ(Parsed(chunk(static_cast<int32_t>(length)), answer), askedSame);
        EXPECT_EQ(Parsed(chunk(10), answer), askedTen);
    }
}

TEST(FileServiceAnswerTest, ScanOfTheLargestBodyCostsOnlyWhatWasAsked) {
    // A body of the largest size the client accepts, all empty entries, and
    // a count claiming every one of them (about 11 million).
    const size_t head = Answers::kFrameBytes + 8;
    const size_t fits = (static_cast<size_t>(kMaxResponseBody) - head) / Answers::kMinScanEntryBytes;
    std::string body = Answer(1, I32(16) + I32(static_cast<uint32_t>(fits)));
    body.resize(head + fits * Answers::kMinScanEntryBytes, '\0');
    std::vector<MediaScanEntry> entries;
    auto scan = [&entries](size_t asked) {
        return [&entries, asked](const uint8_t* d, size_t n) { return Answers::ParseMediaScan(d, n, asked, &entries); };
    };
    EXPECT_EQ(Parsed(scan(3), body), -9);
    EXPECT_TRUE(entries.empty());
    // The same body answering the three paths asked yields three entries.
    body.replace(Answers::kFrameBytes + 4, 4, I32(3));
    EXPECT_EQ(Parsed(scan(3), body), 0);
    EXPECT_EQ(entries.size(), 3u);
}

TEST(FileServiceAnswerTest, BoundsHoldTheLargestLegitimateAnswerAndLittleMore) {
    const std::string name(0xFFFF, 'n');
    struct Case {
        int32_t command;
        int32_t chunk;
        std::string largest;
    };
    for (const Case& c : std::vector<Case>{
             {CMD_GET_INFO, 0, Answer(1, I32(14) + I32(1) + InfoBytes({name}))},
             {CMD_GET_CHUNK, 65536, Answer(1, Block(std::string(65536, 'c')))},
             {CMD_GET_CHUNK, 100, Answer(1, Block(std::string(100, 'c')))},
             {CMD_DELETE_FILE, 0, Answer(1)},
             {CMD_DELETE_PATH, 0, Answer(1)},
             {CMD_DELETE_EMPTY_PATH, 0, Answer(1)},
             {CMD_RENAME, 0, Answer(1)},
             {CMD_PUT_CHUNK, 0, Answer(1)},
             {CMD_PUT_MMS_PART, 0, Answer(1)},
         }) {
        SCOPED_TRACE(c.command);
        const int32_t bound = Answers::MaxAnswerBody(c.command, c.chunk);
        EXPECT_EQ(static_cast<size_t>(bound), c.largest.size() + Answers::kAnswerSlack);
    }
    RemoteFileInfo info;
    const std::string stat = Answer(1, I32(14) + I32(1) + InfoBytes({name}));
    EXPECT_EQ(Parsed([&info](const uint8_t* d, size_t n) { return Answers::ParseStat(d, n, &info); }, stat), 0);
    EXPECT_EQ(info.FileName.size(), 0xFFFFu);

    for (int32_t command : {CMD_ENUM_DIR, CMD_SCAN_MEDIA, CMD_GET_MMS_PART})
        EXPECT_EQ(Answers::MaxAnswerBody(command, 0), kMaxResponseBody);
    EXPECT_EQ(Answers::MaxAnswerBody(CMD_GET_CHUNK, 0x7FFFFFFF), kMaxResponseBody);
    EXPECT_EQ(Answers::MaxAnswerBody(CMD_GET_CHUNK, -5), Answers::MaxAnswerBody(CMD_GET_CHUNK, 0));
    for (int32_t command : {0, 19, 23, -1}) EXPECT_EQ(Answers::MaxAnswerBody(command, 65536), 0);
}
