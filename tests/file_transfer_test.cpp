// Whole-file transfers: end to end against the phone-service stand-in, and
// against an in-memory phone that watches the pipeline from its side.
#include <gtest/gtest.h>

#include <cstdio>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "context/SyncContext.h"
#include "filesync/ChunkPump.h"
#include "filesync/HttpFileAPI.h"
#include "support/chunk_phone.h"
#include "support/file_wire.h"
#include "support/log_capture.h"
#include "support/phone_control.h"
#include "support/phone_service.h"
#include "support/scripted_peer.h"
#include "support/test_env.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr const char* kLoopback = "127.0.0.1";
constexpr int32_t kTimeout = 60;
constexpr int64_t kChunk = CHttpFileAPI::CHUNK_SIZE;

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(generator());
    return bytes;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string U8(const fs::path& path) { return path.u8string(); }

std::vector<fs::path> FilesIn(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder)) files.push_back(entry.path().filename());
    return files;
}

// GetFile sizes the file through the sync context's address, so every test
// points the context at its phone.
class FileTransferTest : public ::testing::Test {
protected:
    void UsePort(int port) {
        GetSyncContext().SetPhone(kLoopback, port);
        GetSyncContext().stopRequested = 0;
    }
    void TearDown() override {
        GetSyncContext().SetPhone(kInitialTestHost, kInitialPort);
        GetSyncContext().stopRequested = 0;
    }
    // Quiet the records GetInfo prints; a failing test shows them, and the
    // failure messages that were captured with them.
    void SetUp() override { testing::internal::CaptureStdout(); }
    ~FileTransferTest() override {
        const std::string printed = testing::internal::GetCapturedStdout();
        if (HasFailure()) std::fputs(printed.c_str(), stdout);
    }
    ScratchDir scratch;
};

}  // namespace

// --- end to end -------------------------------------------------------------

TEST_F(FileTransferTest, FilesOfEverySizeGoUpAndComeBackWhole) {
    auto service = PhoneService::Start();
    ASSERT_NE(service, nullptr);
    UsePort(service->port());
    const std::string folder = "/sdcard/" + Unique("roundtrip");
    const size_t sizes[] = {0, 1, 65536, 65537, 3 * 65536 + 5, 3 * 1024 * 1024 + 123};
    unsigned seed = 1;
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        const std::string bytes = RandomBytes(size, seed++);
        const fs::path local = scratch.path() / ("up" + std::to_string(size));
        WriteFile(local, bytes);

        const std::string pipelined = folder + "/ex" + std::to_string(size) + ".bin";
        ASSERT_EQ(CHttpFileAPI::PutFileEx(kLoopback, service->port(), U8(local).c_str(), pipelined.c_str(),
                                          &GetSyncContext().stopRequested, kTimeout), 0);
        ASSERT_TRUE(fs::exists(service->OnDisk(pipelined)));  // an empty file too
        EXPECT_EQ(ReadWholeFile(service->OnDisk(pipelined)), bytes);

        const std::string sequential = folder + "/seq" + std::to_string(size) + ".bin";
        ASSERT_EQ(CHttpFileAPI::PutFile(kLoopback, service->port(), U8(local).c_str(), sequential.c_str(),
                                        &GetSyncContext().stopRequested, kTimeout), 0);
        ASSERT_TRUE(fs::exists(service->OnDisk(sequential)));
        EXPECT_EQ(ReadWholeFile(service->OnDisk(sequential)), bytes);

        const fs::path back = scratch.path() / ("down" + std::to_string(size));
        ASSERT_EQ(CHttpFileAPI::GetFile(kLoopback, service->port(), pipelined.c_str(), U8(back).c_str(),
                                        &GetSyncContext().stopRequested, kTimeout), 0);
        EXPECT_EQ(ReadWholeFile(back), bytes);
    }
}

TEST_F(FileTransferTest, UploadOverALongerPhoneFileIsRefusedAndLeavesIt) {
    auto service = PhoneService::Start();
    ASSERT_NE(service, nullptr);
    UsePort(service->port());
    const std::string remote = "/sdcard/" + Unique("longer") + ".bin";
    const std::string old = RandomBytes(3 * kChunk, 7);
    fs::create_directories(service->OnDisk(remote).parent_path());
    WriteFile(service->OnDisk(remote), old);

    const fs::path shorter = scratch.path() / "short.bin";
    WriteFile(shorter, "short");
    LogCapture log;
    EXPECT_EQ(CHttpFileAPI::PutFileEx(kLoopback, service->port(), U8(shorter).c_str(), remote.c_str(), nullptr,
                                      kTimeout), -11);
    EXPECT_EQ(CHttpFileAPI::PutFile(kLoopback, service->port(), U8(shorter).c_str(), remote.c_str(), nullptr,
                                    kTimeout), -11);
    EXPECT_EQ(ReadWholeFile(service->OnDisk(remote)), old);
    EXPECT_EQ(log.Count("CHttpFileAPI::PutFileEx"), 1u);

    // As long or longer: every old byte is written over.
    const std::string longer = RandomBytes(3 * kChunk + 1, 8);
    const fs::path longerFile = scratch.path() / "long.bin";
    WriteFile(longerFile, longer);
    EXPECT_EQ(CHttpFileAPI::PutFileEx(kLoopback, service->port(), U8(longerFile).c_str(), remote.c_str(), nullptr,
                                      kTimeout), 0);
    EXPECT_EQ(ReadWholeFile(service->OnDisk(remote)), longer);
}

TEST_F(FileTransferTest, RefusedChunkFailsTheDownloadAndLeavesNoFile) {
    auto service = PhoneService::Start();
    ASSERT_NE(service, nullptr);
    UsePort(service->port());
    const std::string remote = "/sdcard/" + Unique("halfway") + ".bin";
    ArmedFault refusal(*service, "status0:cmd=11,nth=3,path=" + remote);
    fs::create_directories(service->OnDisk(remote).parent_path());
    WriteFile(service->OnDisk(remote), RandomBytes(10 * kChunk, 3));

    const fs::path folder = scratch.path() / "in";
    fs::create_directories(folder);
    LogCapture log;
    EXPECT_EQ(CHttpFileAPI::GetFile(kLoopback, service->port(), remote.c_str(), U8(folder / "new.bin").c_str(),
                                    nullptr, kTimeout), -6);
    EXPECT_TRUE(FilesIn(folder).empty());  // neither the file nor a temporary one
    EXPECT_GE(log.Count("GetFileThreadProc"), 1u);
}

TEST_F(FileTransferTest, FailedDownloadKeepsAnExistingFileExactlyAsItWas) {
    auto service = PhoneService::Start();
    ASSERT_NE(service, nullptr);
    UsePort(service->port());
    const std::string remote = "/sdcard/" + Unique("keep") + ".bin";
    ArmedFault refusal(*service, "status0:cmd=11,nth=2,path=" + remote);
    fs::create_directories(service->OnDisk(remote).parent_path());
    WriteFile(service->OnDisk(remote), RandomBytes(4 * kChunk, 4));
    const fs::path target = scratch.path() / "keep.bin";
    WriteFile(target, "precious");
    EXPECT_EQ(CHttpFileAPI::GetFile(kLoopback, service->port(), remote.c_str(), U8(target).c_str(), nullptr,
                                    kTimeout), -6);
    EXPECT_EQ(ReadWholeFile(target), "precious");
    EXPECT_EQ(FilesIn(scratch.path()).size(), 1u);
}

TEST_F(FileTransferTest, ChunkOfTheWrongLengthIsMalformed) {
    auto service = PhoneService::Start();
    ASSERT_NE(service, nullptr);
    UsePort(service->port());
    const std::string remote = "/sdcard/" + Unique("cut") + ".bin";
    ArmedFault cut(*service, "truncate:bytes=1000,cmd=11,nth=2,path=" + remote);
    fs::create_directories(service->OnDisk(remote).parent_path());
    WriteFile(service->OnDisk(remote), RandomBytes(3 * kChunk, 5));
    const fs::path target = scratch.path() / "cut.bin";
    LogCapture log;
    EXPECT_EQ(CHttpFileAPI::GetFile(kLoopback, service->port(), remote.c_str(), U8(target).c_str(), nullptr,
                                    kTimeout), -9);
    EXPECT_FALSE(fs::exists(target));
    EXPECT_EQ(log.Count("GetFileThreadProc"), 1u);
}

TEST_F(FileTransferTest, DownloadIntoAMissingFolderIsMinusSevenAfterTheSizeQueryOnly) {
    ChunkPhone phone({RandomBytes(100, 1)});
    UsePort(phone.port());
    const fs::path target = scratch.path() / "no such folder" / "f.bin";
    EXPECT_EQ(CHttpFileAPI::GetFile(kLoopback, phone.port(), "/f.bin", U8(target).c_str(), nullptr, kTimeout), -7);
    EXPECT_EQ(phone.Chunks(), 0);
}

TEST_F(FileTransferTest, DownloadWithoutASizeFailsBeforeCreatingAnything) {
    ChunkPhone phone({"", false});
    UsePort(phone.port());
    LogCapture log;
    EXPECT_EQ(CHttpFileAPI::GetFile(kLoopback, phone.port(), "/absent.bin", U8(scratch.path() / "f").c_str(), nullptr,
                                    kTimeout), -1);
    EXPECT_EQ(phone.Chunks(), 0);
    EXPECT_TRUE(FilesIn(scratch.path()).empty());
    EXPECT_EQ(log.Count("CHttpFileAPI::GetFile"), 1u);
}

// --- the pipeline as the phone sees it -------------------------------------

// Every chunk exchange of a transfer runs on the thread that called it: the
// five in flight share one readiness wait, and no thread is started.
class ChunkThreads {
public:
    ChunkThreads() {
        ChunkPump::SetChunkHookForTesting([this](const char*) {
            std::lock_guard<std::mutex> guard(mLock);
            mSeen.insert(std::this_thread::get_id());
        });
    }
    ~ChunkThreads() { ChunkPump::SetChunkHookForTesting(nullptr); }
    std::set<std::thread::id> Seen() {
        std::lock_guard<std::mutex> guard(mLock);
        return mSeen;
    }

private:
    std::mutex mLock;
    std::set<std::thread::id> mSeen;
};

TEST_F(FileTransferTest, AtMostFiveChunksAreInFlight) {
    const std::string bytes = RandomBytes(20 * kChunk + 9, 11);
    const fs::path local = scratch.path() / "twenty.bin";
    WriteFile(local, bytes);
    ChunkThreads chunkThreads;
    std::set<std::thread::id> callers;
    {
        ChunkPhone phone({"", false, 5});
        UsePort(phone.port());
        int32_t result = 1;
        std::thread upload([&] {
            result = CHttpFileAPI::PutFileEx(kLoopback, phone.port(), U8(local).c_str(), "/twenty.bin", nullptr,
                                             kTimeout);
        });
        callers.insert(upload.get_id());
        ASSERT_TRUE(phone.WaitForChunks(5, 10s));
        // With five held, no sixth chunk is sent.
        EXPECT_FALSE(phone.WaitForChunks(6, 300ms));
        phone.OpenGate();
        upload.join();
        EXPECT_EQ(result, 0);
        EXPECT_EQ(phone.MaxInFlight(), 5);
        EXPECT_EQ(phone.Chunks(), 21);
        EXPECT_EQ(phone.Content(), bytes);
        std::vector<int64_t> offsets = phone.Offsets();
        std::sort(offsets.begin(), offsets.end());
        for (size_t i = 0; i < offsets.size(); ++i) EXPECT_EQ(offsets[i], static_cast<int64_t>(i) * kChunk);
    }
    {
        ChunkPhone phone({bytes, true, 5});
        UsePort(phone.port());
        const fs::path back = scratch.path() / "back.bin";
        int32_t result = 1;
        std::thread download([&] {
            result = CHttpFileAPI::GetFile(kLoopback, phone.port(), "/twenty.bin", U8(back).c_str(), nullptr,
                                           kTimeout);
        });
        callers.insert(download.get_id());
        ASSERT_TRUE(phone.WaitForChunks(5, 10s));
        EXPECT_FALSE(phone.WaitForChunks(6, 300ms));
        phone.OpenGate();
        download.join();
        EXPECT_EQ(result, 0);
        EXPECT_EQ(phone.MaxInFlight(), 5);
        EXPECT_EQ(phone.Chunks(), 21);
        EXPECT_EQ(ReadWholeFile(back), bytes);
    }
    EXPECT_EQ(chunkThreads.Seen(), callers);
}

TEST_F(FileTransferTest, RefusedUploadChunkStopsNewChunksWithMinusSix) {
    const fs::path local = scratch.path() / "forty.bin";
    WriteFile(local, RandomBytes(40 * kChunk, 12));
    ChunkPhone phone({"", false, 0, 3});
    UsePort(phone.port());
    LogCapture log;
    EXPECT_EQ(CHttpFileAPI::PutFileEx(kLoopback, phone.port(), U8(local).c_str(), "/forty.bin", nullptr, kTimeout),
              -6);
    // No new chunk after the refusal was seen. How many the other workers
    // issued before the refused one reported depends on scheduling (under a
    // loaded machine it can be more than the five in flight), but the
    // transfer must end long before its forty chunks.
    EXPECT_LT(phone.Chunks(), 40);
    EXPECT_EQ(log.Count("PutFileThreadProc"), 1u);
}

TEST_F(FileTransferTest, StopDuringATransferEndsItAndLeavesNoDownload) {
    const std::string bytes = RandomBytes(20 * kChunk, 13);
    const fs::path local = scratch.path() / "stop.bin";
    WriteFile(local, bytes);
    for (bool download : {false, true}) {
        SCOPED_TRACE(download ? "download" : "upload");
        ChunkPhone phone({bytes, true, 5});
        UsePort(phone.port());
        StopFlag& stop = GetSyncContext().stopRequested;
        const fs::path target = scratch.path() / "target.bin";
        int32_t result = 1;
        std::thread transfer([&] {
            result = download ? CHttpFileAPI::GetFile(kLoopback, phone.port(), "/stop.bin", U8(target).c_str(),
                                                      &stop, kTimeout)
                              : CHttpFileAPI::PutFileEx(kLoopback, phone.port(), U8(local).c_str(), "/stop.bin",
                                                        &stop, kTimeout);
        });
        ASSERT_TRUE(phone.WaitForChunks(5, 10s));
        stop = 1;  // the five held requests are cut short
        transfer.join();
        phone.OpenGate();
        EXPECT_EQ(result, -1);
        EXPECT_EQ(phone.Chunks(), 5);
        EXPECT_FALSE(fs::exists(target));
        EXPECT_EQ(FilesIn(scratch.path()).size(), 1u);  // no temporary file left
        stop = 0;
    }
}

TEST_F(FileTransferTest, FilesTooLargeForThirtyTwoBitOffsetsAreRefusedUnsent) {
    const fs::path sparse = scratch.path() / "two-gib.bin";
    WriteFile(sparse, "x");
    fs::resize_file(sparse, 1ull << 31);
    ScriptedPeer peer(PeerScript().ReadRequest().Respond(filewire::Answer(1)).AwaitClientClose());
    LogCapture log;
    EXPECT_EQ(CHttpFileAPI::PutFileEx(kLoopback, peer.port(), U8(sparse).c_str(), "/big", nullptr, kTimeout), -10);
    EXPECT_EQ(CHttpFileAPI::PutFile(kLoopback, peer.port(), U8(sparse).c_str(), "/big", nullptr, kTimeout), -10);
    EXPECT_EQ(peer.AcceptedConnections(), 0u);
    EXPECT_EQ(log.Count("CHttpFileAPI::PutFileEx"), 1u);
    EXPECT_EQ(log.Count("CHttpFileAPI::PutFile("), 0u);
    EXPECT_EQ(log.Count("CHttpFileAPI::PutFile "), 1u);
    fs::remove(sparse);

    // A phone file of 2 GiB: only the size query goes out.
    using namespace filewire;
    ScriptedPeer phone(PeerScript().ReadRequest()
                           .Respond(Answer(1, I32(14) + I32(1) + InfoBytes({"/big", 1ull << 31})))
                           .AwaitClientClose());
    UsePort(phone.port());
    const fs::path target = scratch.path() / "big";
    EXPECT_EQ(CHttpFileAPI::GetFile(kLoopback, phone.port(), "/big", U8(target).c_str(), nullptr, kTimeout), -10);
    EXPECT_TRUE(phone.WaitForFinishedConnections(1, 5s));
    EXPECT_EQ(phone.AcceptedConnections(), 1u);
    EXPECT_FALSE(fs::exists(target));
}
