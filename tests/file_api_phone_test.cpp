// Phone file queries: what each one makes of the service's answers, against
// scripted peers and the phone-service stand-in.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "context/SyncContext.h"
#include "export/ContextSetUp.h"
#include "fileapi/FileApi.h"
#include "support/file_wire.h"
#include "support/log_capture.h"
#include "support/phone_service.h"
#include "support/scripted_peer.h"

using namespace std::chrono_literals;
using namespace filewire;

namespace {

// Points the sync context at a port for the life of the test.
class FileApiPhoneTest : public ::testing::Test {
protected:
    void UsePort(int port) {
        GetSyncContext().SetPhone("127.0.0.1", port);
        GetSyncContext().stopRequested = 0;
    }
    void TearDown() override {
        GetSyncContext().SetPhone(kInitialTestHost, kInitialPort);
    }
};

PeerScript Answering(const std::string& body) {
    return PeerScript().ReadRequest().Respond(body).AwaitClientClose();
}

}  // namespace

TEST_F(FileApiPhoneTest, ExistAndSizeTellAbsentFromFailed) {
    LogCapture log;
    {
        ScriptedPeer absent(Answering(Answer(1, I32(14) + I32(0))));
        UsePort(absent.port());
        EXPECT_FALSE(FILE_API_PHONE::PhoneFileExist(CurrentJobSetup().phone, "/sdcard/x"));
        EXPECT_EQ(log.Count("FILE_API_PHONE::PhoneFileExist"), 0u);
        EXPECT_EQ(FILE_API_PHONE::PhoneGetFileSize(CurrentJobSetup().phone, "/sdcard/x"), -1);
        EXPECT_EQ(log.Count("FILE_API_PHONE::PhoneGetFileSize"), 1u);
    }
    {
        ScriptedPeer refused(Answering(Answer(0)));
        UsePort(refused.port());
        EXPECT_FALSE(FILE_API_PHONE::PhoneFileExist(CurrentJobSetup().phone, "/sdcard/x"));
        EXPECT_EQ(log.Count("FILE_API_PHONE::PhoneFileExist"), 1u);
    }
    {
        ScriptedPeer found(Answering(Answer(1, I32(14) + I32(1) + InfoBytes({"/sdcard/x", 3ull << 30}))));
        UsePort(found.port());
        testing::internal::CaptureStdout();
        EXPECT_TRUE(FILE_API_PHONE::PhoneFileExist(CurrentJobSetup().phone, "/sdcard/x"));
        EXPECT_EQ(FILE_API_PHONE::PhoneGetFileSize(CurrentJobSetup().phone, "/sdcard/x"), 3ll << 30);
        testing::internal::GetCapturedStdout();
    }
    {
        // A size no signed 64-bit value holds is not passed on as a negative size.
        ScriptedPeer huge(Answering(Answer(1, I32(14) + I32(1) + InfoBytes({"/sdcard/x", ~0ull}))));
        UsePort(huge.port());
        testing::internal::CaptureStdout();
        EXPECT_EQ(FILE_API_PHONE::PhoneGetFileSize(CurrentJobSetup().phone, "/sdcard/x"), -1);
        testing::internal::GetCapturedStdout();
    }
}

TEST_F(FileApiPhoneTest, FolderOperationsSendOneTrailingSlash) {
    struct Case {
        std::string given, sent;
    };
    for (const Case& c : {Case{"/sdcard/Music", "/sdcard/Music/"}, Case{"/sdcard/Music/", "/sdcard/Music/"},
                          Case{"", "/"}}) {
        ScriptedPeer peer(Answering(Answer(1)));
        UsePort(peer.port());
        EXPECT_EQ(FILE_API_PHONE::PhoneDeletePath(CurrentJobSetup().phone, c.given), 0);
        EXPECT_EQ(FILE_API_PHONE::PhoneDeleteEmptyPath(CurrentJobSetup().phone, c.given), 0);
        ASSERT_TRUE(peer.WaitForRequests(2, 5s));
        EXPECT_EQ(peer.Requests()[0], HttpRequest(Request(17, Str(c.sent))));
        EXPECT_EQ(peer.Requests()[1], HttpRequest(Request(18, Str(c.sent))));
    }
    LogCapture log;
    ScriptedPeer refused(Answering(Answer(0)));
    UsePort(refused.port());
    EXPECT_EQ(FILE_API_PHONE::PhoneDeletePath(CurrentJobSetup().phone, "/sdcard/Music"), -4);
    EXPECT_EQ(log.Count("FILE_API_PHONE::PhoneDeletePath"), 1u);
    EXPECT_EQ(FILE_API_PHONE::PhoneDeleteEmptyPath(CurrentJobSetup().phone, "/sdcard/Music"), -6);  // the service's code
    EXPECT_FALSE(FILE_API_PHONE::PhoneDeleteFile(CurrentJobSetup().phone, "/sdcard/a"));
}

TEST_F(FileApiPhoneTest, ScansReportEntriesOrTheirAbsence) {
    LogCapture log;
    {
        ScriptedPeer one(Answering(Answer(1, I32(16) + I32(1) + Str("/a.mp3") + Str("audio/mpeg") + Str("7"))));
        UsePort(one.port());
        EXPECT_EQ(FILE_API_PHONE::ScanSingleMediaFile(CurrentJobSetup().phone, "/a.mp3", nullptr), 0);
        MediaScanEntry entry;
        EXPECT_EQ(FILE_API_PHONE::ScanSingleMediaFile(CurrentJobSetup().phone, "/a.mp3", &entry), 0);
        EXPECT_EQ(entry.MediaId, "7");
    }
    {
        ScriptedPeer none(Answering(Answer(1, I32(16) + I32(0))));
        UsePort(none.port());
        EXPECT_EQ(FILE_API_PHONE::ScanSingleMediaFile(CurrentJobSetup().phone, "/a.mp3", nullptr), -2);
        std::vector<MediaScanEntry> answers;
        EXPECT_EQ(FILE_API_PHONE::ScanListMediaFile(CurrentJobSetup().phone, {"/a.mp3"}, &answers), 0);
        EXPECT_TRUE(answers.empty());
    }
    {
        ScriptedPeer refused(Answering(Answer(0)));
        UsePort(refused.port());
        EXPECT_EQ(FILE_API_PHONE::ScanSingleMediaFile(CurrentJobSetup().phone, "/a.mp3", nullptr), -1);
        std::vector<MediaScanEntry> answers;
        EXPECT_EQ(FILE_API_PHONE::ScanListMediaFile(CurrentJobSetup().phone, {"/a.mp3"}, &answers), -1);
    }
    EXPECT_EQ(log.Count("FILE_API_PHONE::ScanSingleMediaFile"), 2u);
    EXPECT_EQ(log.Count("FILE_API_PHONE::ScanListMediaFile"), 1u);
}

TEST_F(FileApiPhoneTest, QueriesAgainstTheStandIn) {
    auto service = PhoneService::Start();
    ASSERT_NE(service, nullptr);
    UsePort(service->port());
    const std::string folder = "/sdcard/" + Unique("queries");
    const std::string song = folder + "/song.mp3";
    const std::string big = folder + "/big.bin";
    std::filesystem::create_directories(service->OnDisk(folder));
    std::ofstream(service->OnDisk(song), std::ios::binary) << "ID3 not much of a song";
    {
        // A sparse file of 3 GiB: the size comes back whole.
        std::ofstream(service->OnDisk(big), std::ios::binary).put('x');
        std::filesystem::resize_file(service->OnDisk(big), 3ull << 30);
    }
    testing::internal::CaptureStdout();
    EXPECT_TRUE(FILE_API_PHONE::PhoneFileExist(CurrentJobSetup().phone, song));
    EXPECT_FALSE(FILE_API_PHONE::PhoneFileExist(CurrentJobSetup().phone, folder + "/missing.mp3"));
    EXPECT_EQ(FILE_API_PHONE::PhoneGetFileSize(CurrentJobSetup().phone, song), 22);
    EXPECT_EQ(FILE_API_PHONE::PhoneGetFileSize(CurrentJobSetup().phone, big), 3ll << 30);

    MediaScanEntry entry;
    ASSERT_EQ(FILE_API_PHONE::ScanSingleMediaFile(CurrentJobSetup().phone, song, &entry), 0);
    EXPECT_EQ(entry.Path, song);
    EXPECT_FALSE(entry.MediaId.empty());
    std::vector<MediaScanEntry> answers;
    ASSERT_EQ(FILE_API_PHONE::ScanListMediaFile(CurrentJobSetup().phone, {song, folder + "/missing.mp3"}, &answers), 0);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].MediaId, entry.MediaId);

    EXPECT_TRUE(FILE_API_PHONE::PhoneDeleteFile(CurrentJobSetup().phone, song));
    EXPECT_FALSE(FILE_API_PHONE::PhoneFileExist(CurrentJobSetup().phone, song));
    EXPECT_EQ(FILE_API_PHONE::PhoneDeletePath(CurrentJobSetup().phone, folder), 0);
    EXPECT_FALSE(std::filesystem::exists(service->OnDisk(folder)));
    testing::internal::GetCapturedStdout();
}
