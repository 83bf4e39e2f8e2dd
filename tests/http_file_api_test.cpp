// The file service client against scripted loopback peers: the bytes of
// every request, every step of the response check, and result data that a
// broken or hostile phone gets wrong.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "filesync/HttpFileAPI.h"
#include "support/file_wire.h"
#include "support/log_capture.h"
#include "support/scripted_peer.h"

using namespace std::chrono_literals;
using namespace filewire;

namespace {

constexpr const char* kLoopback = "127.0.0.1";
constexpr int32_t kTimeout = 10;

PeerScript Answering(const std::string& body) {
    return PeerScript().ReadRequest().Respond(body).AwaitClientClose();
}

// One operation of the client, run against a port.
using Operation = std::function<int32_t(int port)>;

struct Named {
    const char* logName;
    Operation run;
};

std::vector<Named> EveryOperation() {
    return {
        {"CHttpFileAPI::GetInfo",
         [](int port) {
             RemoteFileInfo info;
             return CHttpFileAPI::GetInfo(kLoopback, port, "/sdcard/a", &info, nullptr, kTimeout);
         }},
        {"CHttpFileAPI::EnumDir",
         [](int port) {
             std::vector<RemoteFileInfo> list;
             return CHttpFileAPI::EnumDir(kLoopback, port, "/sdcard", &list, nullptr, true, kTimeout);
         }},
        {"CHttpFileAPI::DeleteFileW",
         [](int port) { return CHttpFileAPI::DeleteFileW(kLoopback, port, "/sdcard/a", nullptr, kTimeout); }},
        {"CHttpFileAPI::DeletePath",
         [](int port) { return CHttpFileAPI::DeletePath(kLoopback, port, "/sdcard/d", nullptr, kTimeout); }},
        {"CHttpFileAPI::DeleteEmptyPath",
         [](int port) { return CHttpFileAPI::DeleteEmptyPath(kLoopback, port, "/sdcard/d", nullptr, kTimeout); }},
        {"CHttpFileAPI::RenamePathFile",
         [](int port) {
             return CHttpFileAPI::RenamePathFile(kLoopback, port, "/sdcard/a", "/sdcard/b", nullptr, kTimeout);
         }},
        {"CHttpFileAPI::ScanMediaFile",
         [](int port) {
             std::vector<MediaScanEntry> out;
             return CHttpFileAPI::ScanMediaFile(kLoopback, port, {"/sdcard/a"}, &out, nullptr, kTimeout);
         }},
    };
}

// Runs op against a peer that gives every connection the same answer.
int32_t RunAgainst(const Operation& op, const std::string& answer) {
    ScriptedPeer peer(Answering(answer));
    return op(peer.port());
}

}  // namespace

TEST(HttpFileApiRequestTest, GetInfoSendsTheFramedStatAndReadsTheRecord) {
    const std::string record = InfoBytes({"/sdcard/a.mp3", 5ull << 32, false, 1700000000123ull});
    ScriptedPeer peer(Answering(Answer(1, I32(14) + I32(1) + record)));
    RemoteFileInfo info;
    testing::internal::CaptureStdout();
    ASSERT_EQ(CHttpFileAPI::GetInfo(kLoopback, peer.port(), "/sdcard/a.mp3", &info, nullptr, kTimeout), 0);
    const std::string printed = testing::internal::GetCapturedStdout();

    ASSERT_TRUE(peer.WaitForRequests(1, 5s));
    const std::string body = Request(14, Str("/sdcard/a.mp3"));
    ASSERT_EQ(body.size(), 43u);
    EXPECT_EQ(body.substr(20, 8), std::string("\0\0\0\x13\0\0\0\x0E", 8));
    EXPECT_EQ(peer.Requests()[0], HttpRequest(body));

    EXPECT_EQ(info.FileName, "/sdcard/a.mp3");
    EXPECT_EQ(info.mnFileSize, 5ull << 32);  // above 4 GiB, whole
    EXPECT_EQ(info.mnIsFile, 1);
    EXPECT_EQ(info.mnIsDir, 0);
    EXPECT_EQ(info.mnLastModify, 1700000000123ull);
    EXPECT_EQ(printed,
              " FileName:/sdcard/a.mp3 mnCanRead:1 mnCanWrite:1 mnFileSize:21474836480 mnIsFile:1"
              " mnIsDir:0 mnIsHidden:0 mnLastModify:1700000000123\n");
}

TEST(HttpFileApiRequestTest, GetInfoOfAnAbsentPathOrWithoutRecordIsOne) {
    LogCapture log;
    RemoteFileInfo info;
    info.FileName = "untouched";
    {
        ScriptedPeer peer(Answering(Answer(1, I32(14) + I32(0))));
        EXPECT_EQ(CHttpFileAPI::GetInfo(kLoopback, peer.port(), "/x", &info, nullptr, kTimeout), 1);
    }
    EXPECT_EQ(info.FileName, "untouched");
    {
        ScriptedPeer peer(Answering(Answer(1, I32(14) + I32(1) + InfoBytes({"/x"}))));
        EXPECT_EQ(CHttpFileAPI::GetInfo(kLoopback, peer.port(), "/x", nullptr, nullptr, kTimeout), 1);
    }
    EXPECT_EQ(log.Count("CHttpFileAPI::GetInfo"), 0u);  // an ordinary result, not a failure
}

TEST(HttpFileApiRequestTest, PathOperationsSendTheirCommandAndPayload) {
    struct Case {
        std::function<int32_t(int)> run;
        std::string body;
    };
    const std::vector<Case> cases = {
        {[](int port) { return CHttpFileAPI::DeleteFileW(kLoopback, port, "/sdcard/a", nullptr, kTimeout); },
         Request(13, Str("/sdcard/a"))},
        {[](int port) { return CHttpFileAPI::DeletePath(kLoopback, port, "/sdcard/d/", nullptr, kTimeout); },
         Request(17, Str("/sdcard/d/"))},
        {[](int port) { return CHttpFileAPI::DeleteEmptyPath(kLoopback, port, "", nullptr, kTimeout); },
         Request(18, Str(""))},
        {[](int port) {
             return CHttpFileAPI::RenamePathFile(kLoopback, port, "/old", "/new name", nullptr, kTimeout);
         },
         Request(20, Str("/old") + Str("/new name"))},
        {[](int port) {
             std::vector<MediaScanEntry> out;
             return CHttpFileAPI::ScanMediaFile(kLoopback, port, {"/a.mp3", "/b c.mp3"}, &out, nullptr, kTimeout);
         },
         Request(16, I32(2) + Str("/a.mp3") + Str("/b c.mp3"))},
    };
    for (const Case& c : cases) {
        ScriptedPeer peer(Answering(Answer(1, I32(16) + I32(0))));
        EXPECT_EQ(c.run(peer.port()), 0);
        ASSERT_TRUE(peer.WaitForRequests(1, 5s));
        EXPECT_EQ(peer.Requests()[0], HttpRequest(c.body));
    }
    // An empty path is the bare count: the length word is 6.
    EXPECT_EQ(Request(18, Str("")).substr(20, 4), I32(6));
    // Two scan paths: 4 + 4 + (2 + 6) + (2 + 8).
    EXPECT_EQ(Request(16, I32(2) + Str("/a.mp3") + Str("/b c.mp3")).substr(20, 4), I32(26));
}

TEST(HttpFileApiRequestTest, ScanMediaFileReadsEntriesInOrder) {
    const std::string result = I32(16) + I32(2) + Str("/a.mp3") + Str("audio/mpeg") + Str("17") +
                               Str("/b.mp3") + Str("audio/mpeg") + Str("18");
    ScriptedPeer peer(Answering(Answer(1, result)));
    std::vector<MediaScanEntry> out;
    ASSERT_EQ(CHttpFileAPI::ScanMediaFile(kLoopback, peer.port(), {"/a.mp3", "/b.mp3"}, &out, nullptr, kTimeout), 0);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].Path, "/a.mp3");
    EXPECT_EQ(out[0].MediaId, "17");
    EXPECT_EQ(out[1].Path, "/b.mp3");
    EXPECT_EQ(out[1].Info, "audio/mpeg");

    // An empty list is one word 0 on the wire; an answer of count 0 adds nothing.
    ScriptedPeer empty(Answering(Answer(1, I32(16) + I32(0))));
    std::vector<MediaScanEntry> none;
    EXPECT_EQ(CHttpFileAPI::ScanMediaFile(kLoopback, empty.port(), {}, &none, nullptr, kTimeout), 0);
    ASSERT_TRUE(empty.WaitForRequests(1, 5s));
    EXPECT_EQ(empty.Requests()[0], HttpRequest(Request(16, I32(0))));
    EXPECT_TRUE(none.empty());
}

TEST(HttpFileApiCheckTest, EveryStepFailsWithItsCodeAndLogsTheOperation) {
    std::string wrongMarker = Marker() + I32(4) + I32(1);
    wrongMarker[1] = 'h';
    const std::vector<std::pair<std::string, int32_t>> answers = {
        {Marker().substr(0, 19), -2}, {wrongMarker, -3},          {Marker(), -4},
        {Marker() + I32(4), -5},      {Answer(0), -6},             {Answer(2), -6},
        {Answer(-1), -6},
    };
    for (const Named& op : EveryOperation()) {
        SCOPED_TRACE(op.logName);
        for (const auto& [answer, code] : answers) {
            LogCapture log;
            EXPECT_EQ(RunAgainst(op.run, answer), code);
            EXPECT_EQ(log.Count(std::string("Function = ") + op.logName), 1u);
        }
        // Step 1: the request itself failed (the peer closes without answering).
        LogCapture log;
        ScriptedPeer closing(PeerScript().ReadRequest().Close());
        EXPECT_EQ(op.run(closing.port()), -1);
        EXPECT_EQ(log.Count(std::string("Function = ") + op.logName), 1u);
    }
}

TEST(HttpFileApiCheckTest, RaisedStopFlagFailsWithMinusOne) {
    std::atomic<uint8_t> stop{1};
    ScriptedPeer peer(Answering(Answer(1, I32(14) + I32(0))));
    RemoteFileInfo info;
    EXPECT_EQ(CHttpFileAPI::GetInfo(kLoopback, peer.port(), "/x", &info, &stop, kTimeout), -1);
    EXPECT_EQ(CHttpFileAPI::DeleteFileW(kLoopback, peer.port(), "/x", &stop, kTimeout), -1);
    EXPECT_EQ(peer.Requests().size(), 0u);
}

TEST(HttpFileApiCheckTest, PathTooLongForTheWireIsRefusedUnsent) {
    // The wire count is 16 bits: 65,537 bytes would go out as a 1-byte path.
    const std::string longPath = "/" + std::string(65536, 'a');
    ScriptedPeer peer(Answering(Answer(1)));
    LogCapture log;
    EXPECT_EQ(CHttpFileAPI::DeletePath(kLoopback, peer.port(), longPath.c_str(), nullptr, kTimeout), -12);
    std::vector<MediaScanEntry> out;
    EXPECT_EQ(CHttpFileAPI::ScanMediaFile(kLoopback, peer.port(), {"/ok", longPath}, &out, nullptr, kTimeout), -12);
    EXPECT_EQ(peer.AcceptedConnections(), 0u);
    EXPECT_EQ(log.Count("CHttpFileAPI::DeletePath"), 1u);
}

TEST(HttpFileApiMalformedTest, ResultDataThatEndsEarlyIsMinusNine) {
    const std::string record = InfoBytes({"/sdcard/a.mp3", 7});
    RemoteFileInfo info;
    info.FileName = "untouched";
    auto getInfo = [&info](int port) {
        return CHttpFileAPI::GetInfo(kLoopback, port, "/sdcard/a.mp3", &info, nullptr, kTimeout);
    };
    std::vector<RemoteFileInfo> list;
    auto enumDir = [&list](int port) {
        return CHttpFileAPI::EnumDir(kLoopback, port, "/sdcard", &list, nullptr, false, kTimeout);
    };
    std::vector<MediaScanEntry> scanned;
    auto scan = [&scanned](int port) {
        return CHttpFileAPI::ScanMediaFile(kLoopback, port, {"/a"}, &scanned, nullptr, kTimeout);
    };

    LogCapture log;
    EXPECT_EQ(RunAgainst(getInfo, Answer(1)), -9);                                    // no found flag
    EXPECT_EQ(RunAgainst(getInfo, Answer(1, I32(14) + I32(1) + record.substr(0, 30))), -9);
    EXPECT_EQ(RunAgainst(getInfo, Answer(1, I32(14) + I32(1) + Str("/abc").substr(0, 4))), -9);
    EXPECT_EQ(info.FileName, "untouched");
    EXPECT_EQ(log.Count("CHttpFileAPI::GetInfo"), 3u);

    // A count that needs more bytes than remain is refused before any entry.
    EXPECT_EQ(RunAgainst(enumDir, Answer(1, I32(15) + I32(1) + I32(0x7FFFFFFF))), -9);
    EXPECT_EQ(RunAgainst(enumDir, Answer(1, I32(15) + I32(1))), -9);
    EXPECT_TRUE(list.empty());
    // Entries before the cut stay in the list.
    EXPECT_EQ(RunAgainst(enumDir, Answer(1, I32(15) + I32(1) + I32(2) + record + record.substr(0, 40))), -9);
    EXPECT_EQ(list.size(), 1u);

    EXPECT_EQ(RunAgainst(scan, Answer(1, I32(16) + I32(100000))), -9);
    EXPECT_EQ(RunAgainst(scan, Answer(1, I32(16) + I32(1) + Str("/a") + Str("x") + std::string(1, '\0'))), -9);
    EXPECT_TRUE(scanned.empty());
    EXPECT_EQ(log.Count("CHttpFileAPI::ScanMediaFile"), 2u);
}

// --- listings ---------------------------------------------------------------

namespace {

// A phone that answers each listing from a table of folder -> result data;
// a listing is sequential, so the connection order is the request order.
class ListingPhone {
public:
    explicit ListingPhone(std::vector<std::string> answers)
        : mAnswers(std::move(answers)),
          mPeer([this](int i) {
              return Answering(i < static_cast<int>(mAnswers.size()) ? mAnswers[i] : Answer(0));
          }) {}
    int port() const { return mPeer.port(); }
    ScriptedPeer& peer() { return mPeer; }

private:
    std::vector<std::string> mAnswers;
    ScriptedPeer mPeer;
};

std::vector<std::string> Names(const std::vector<RemoteFileInfo>& list) {
    std::vector<std::string> names;
    for (const RemoteFileInfo& info : list) names.push_back(info.FileName);
    return names;
}

}  // namespace

TEST(HttpFileApiListingTest, RecursiveListingPutsSubfolderEntriesBeforeTheSubfolder) {
    const Info a{"/d/a"}, s{"/d/s", 0, true}, b{"/d/s/b"};
    {
        ListingPhone phone({Answer(1, ListResult({a, s})), Answer(1, ListResult({b}))});
        std::vector<RemoteFileInfo> list;
        ASSERT_EQ(CHttpFileAPI::EnumDir(kLoopback, phone.port(), "/d", &list, nullptr, true, kTimeout), 0);
        EXPECT_EQ(Names(list), (std::vector<std::string>{"/d/a", "/d/s/b", "/d/s"}));
        ASSERT_TRUE(phone.peer().WaitForRequests(2, 5s));
        EXPECT_EQ(phone.peer().Requests()[1], HttpRequest(Request(15, Str("/d/s"))));
    }
    {
        ListingPhone phone({Answer(1, ListResult({s, a})), Answer(1, ListResult({b}))});
        std::vector<RemoteFileInfo> list;
        ASSERT_EQ(CHttpFileAPI::EnumDir(kLoopback, phone.port(), "/d", &list, nullptr, true, kTimeout), 0);
        EXPECT_EQ(Names(list), (std::vector<std::string>{"/d/s/b", "/d/s", "/d/a"}));
    }
    {
        // Not recursive: one request, the folder's own entries.
        ListingPhone phone({Answer(1, ListResult({s, a}))});
        std::vector<RemoteFileInfo> list;
        ASSERT_EQ(CHttpFileAPI::EnumDir(kLoopback, phone.port(), "/d", &list, nullptr, false, kTimeout), 0);
        EXPECT_EQ(Names(list), (std::vector<std::string>{"/d/s", "/d/a"}));
    }
}

TEST(HttpFileApiListingTest, EmptyAndFlaglessListingsAddNothing) {
    for (const std::string& result : {I32(15) + I32(1) + I32(0), I32(15) + I32(0)}) {
        ListingPhone phone({Answer(1, result)});
        std::vector<RemoteFileInfo> list;
        EXPECT_EQ(CHttpFileAPI::EnumDir(kLoopback, phone.port(), "/d", &list, nullptr, true, kTimeout), 0);
        EXPECT_TRUE(list.empty());
    }
}

TEST(HttpFileApiListingTest, FailedNestedListingIsMinusSevenAndKeepsFinishedEntries) {
    const Info a{"/d/a"}, s{"/d/s", 0, true}, z{"/d/z"};
    ListingPhone phone({Answer(1, ListResult({a, s, z})), Answer(0)});
    std::vector<RemoteFileInfo> list;
    LogCapture log;
    EXPECT_EQ(CHttpFileAPI::EnumDir(kLoopback, phone.port(), "/d", &list, nullptr, true, kTimeout), -7);
    EXPECT_EQ(Names(list), (std::vector<std::string>{"/d/a"}));
    EXPECT_EQ(log.Count("CHttpFileAPI::EnumDir"), 2u);  // the nested -6, then the -7
}

TEST(HttpFileApiListingTest, AFolderListingItselfOrAnAncestorEndsWithMinusSeven) {
    {
        ListingPhone phone({Answer(1, ListResult({{"/d/", 0, true}}))});
        std::vector<RemoteFileInfo> list;
        EXPECT_EQ(CHttpFileAPI::EnumDir(kLoopback, phone.port(), "/d", &list, nullptr, true, kTimeout), -7);
        EXPECT_EQ(phone.peer().AcceptedConnections(), 1u);
    }
    {
        ListingPhone phone({Answer(1, ListResult({{"/d/s", 0, true}})), Answer(1, ListResult({{"/d", 0, true}}))});
        std::vector<RemoteFileInfo> list;
        EXPECT_EQ(CHttpFileAPI::EnumDir(kLoopback, phone.port(), "/d", &list, nullptr, true, kTimeout), -7);
        EXPECT_EQ(phone.peer().AcceptedConnections(), 2u);
    }
}

TEST(HttpFileApiListingTest, NestingBeyondTheDepthBoundEndsWithMinusSeven) {
    // Every folder holds one deeper folder, without end.
    std::vector<std::string> answers;
    std::string path = "/d";
    for (int i = 0; i < CHttpFileAPI::kMaxListingDepth + 5; ++i) {
        path += "/s";
        answers.push_back(Answer(1, ListResult({{path, 0, true}})));
    }
    ListingPhone phone(answers);
    std::vector<RemoteFileInfo> list;
    testing::internal::CaptureStdout();
    EXPECT_EQ(CHttpFileAPI::EnumDir(kLoopback, phone.port(), "/d", &list, nullptr, true, kTimeout), -7);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(phone.peer().AcceptedConnections(), static_cast<size_t>(CHttpFileAPI::kMaxListingDepth));
}
