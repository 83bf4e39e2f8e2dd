// The PC-to-phone and phone-to-PC exports end to end: a recording host
// window, host records built as the host builds them, and the phone-service
// stand-in (or, for hostile answers, a scripted phone).
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <filesystem>
#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "context/SyncContext.h"
#include "fileapi/FileApi.h"
#include "filesync/ChunkPump.h"
#include "pool/WorkerPool.h"
#include "platform/fault.h"
#include "platform/host_memory.h"
#include "platform/utf.h"
#include "support/file_wire.h"
#include "support/log_capture.h"
#include "support/phone_control.h"
#include "support/phone_service.h"
#include "support/recording_window.h"
#include "support/scripted_peer.h"
#include "support/table_query.h"
#include "support/test_env.h"
#include "tablesync/AndroidOperationProvider.h"
#include "transport/RetryPolicy.h"

namespace {

using platform::AsHostText;
using platform::Utf16ToUtf8;
using platform::Utf8ToUtf16;

// The host's item list, owning every text; texts the library writes into
// the items are freed as the host frees them.
class HostItems {
public:
    ~HostItems() {
        for (size_t i = 0; i < mItems.size(); ++i)
            if (mItems[i].phonePath && mItems[i].phonePath != mGivenPhonePaths[i])
                platform::FreeHostText(mItems[i].phonePath);
    }
    SyncItem& Add(const std::u16string& pcPath, intptr_t changeKind, bool isFolder = false,
                  const std::string* phonePath = nullptr) {
        mTexts.push_back(pcPath);
        mItems.emplace_back();
        SyncItem& item = mItems.back();
        item.pcPath = AsHostText(mTexts.back());
        item.changeKind = changeKind;
        item.isFolder = isFolder ? 1 : 0;
        if (phonePath) {
            mTexts.push_back(Utf8ToUtf16(*phonePath));
            item.phonePath = const_cast<QS_WCHAR*>(AsHostText(mTexts.back()));
        }
        mGivenPhonePaths.push_back(item.phonePath);
        return item;
    }
    QsHostList* List() {
        mPointers.clear();
        for (SyncItem& item : mItems) mPointers.push_back(&item);
        mList = QsHostList{};
        if (!mPointers.empty()) {
            mList.first = mPointers.data();
            mList.last = mPointers.data() + mPointers.size();
        }
        return &mList;
    }
    SyncItem& operator[](size_t i) { return mItems[i]; }

private:
    std::deque<std::u16string> mTexts;
    std::deque<SyncItem> mItems;
    std::vector<QS_WCHAR*> mGivenPhonePaths;
    std::vector<void*> mPointers;
    QsHostList mList{};
};

std::string PhonePathOf(const SyncItem& item) {
    return item.phonePath ? Utf16ToUtf8(platform::FromHostText(item.phonePath)) : "";
}

class SyncJobTest : public ::testing::Test {
protected:
    // Faults reach the stand-in at run time (ArmedFault, kept to the test's
    // own device folder), so every test runs on the shared one under Wine.
    void SetUp() override {
        service = PhoneService::Start();
        ASSERT_TRUE(service);
        Connect(service->port());
    }
    void Connect(int port) {
        mUrl = Utf8ToUtf16("http://127.0.0.1:" + std::to_string(port) + "/");
        mRole = u"device=" + Utf8ToUtf16(device);
        connect.url = AsHostText(mUrl);
        connect.role = AsHostText(mRole);
        job.window = window.handle();
    }

    // A PC file of size bytes in the scratch folder.
    std::u16string PcFile(const std::string& name, size_t size, char fill = 'p') {
        const auto path = pc.path() / std::filesystem::u8path(name);
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << std::string(size, fill);
        return path.u16string();
    }
    // A music item to copy whose PC file ("n" bytes) differs from the
    // phone's ("o" bytes); its phone path.
    std::string ChangedMusicFile(HostItems& items, const std::string& name, size_t pcSize, size_t phoneSize) {
        const std::u16string file = PcFile(name, pcSize, 'n');
        const std::string phonePath = FILE_API::BuildPhonePath(Utf16ToUtf8(file), device + "/Music");
        PhoneFile(phonePath, std::string(phoneSize, 'o'));
        items.Add(file, 1);
        job.items = items.List();
        return phonePath;
    }
    std::string PhoneFile(const std::string& phonePath, const std::string& content) {
        const auto disk = service->OnDisk(phonePath);
        std::filesystem::create_directories(disk.parent_path());
        std::ofstream(disk, std::ios::binary) << content;
        return phonePath;
    }
    std::string OnPhone(const std::string& phonePath) {
        const auto disk = service->OnDisk(phonePath);
        return std::filesystem::exists(disk) ? ReadWholeFile(disk) : "<absent>";
    }
    std::set<std::string> ScannedPaths() {
        std::set<std::string> paths;
        for (const auto& row : QueryRows(service->port(), kTestAudioUri)) paths.insert(row.at("_data"));
        return paths;
    }
    std::vector<intptr_t> Percentages() const {
        std::vector<intptr_t> out;
        for (const auto& m : window.messages())
            if (m.wParam == QS_PROGRESS_PERCENT) out.push_back(m.lParam);
        return out;
    }
    std::vector<RecordedMessage> ItemMessages() const {
        std::vector<RecordedMessage> out;
        for (const auto& m : window.messages())
            if (m.wParam != QS_PROGRESS_PERCENT) out.push_back(m);
        return out;
    }

    std::string device = "/sdcard/" + Unique("dev");
    std::unique_ptr<PhoneService> service;
    RecordingWindow window;
    ConnectParams connect{};
    JobParams job{};
    ScratchDir pc;

private:
    std::u16string mUrl, mRole;
};

std::string ContentOf(const std::u16string& path) { return ReadWholeFile(std::filesystem::path(path)); }

size_t ItemMessageCount(const std::vector<RecordedMessage>& messages) {
    size_t n = 0;
    for (const auto& m : messages) n += m.wParam != QS_PROGRESS_PERCENT ? 1 : 0;
    return n;
}

// Runs an export on a thread of its own, as a host thread calls it, with a
// window of that thread (on Windows a window takes sent messages only on
// the thread that made it). It starts once go is ready, when one is given.
class ExportThread {
public:
    ExportThread(int32_t (*run)(ConnectParams*, JobParams*), ConnectParams& connect, const JobParams& job,
                 std::shared_future<void> go = {})
        : mThread([this, run, &connect, job, go] {
              RecordingWindow window;
              JobParams own = job;
              own.window = window.handle();
              if (go.valid()) go.wait();
              mResult = run(&connect, &own);
              mMessages = window.messages();
          }) {}
    ~ExportThread() {
        if (mThread.joinable()) mThread.join();
    }
    ExportThread(const ExportThread&) = delete;
    ExportThread& operator=(const ExportThread&) = delete;

    int32_t Join() {
        mThread.join();
        return mResult;
    }
    // What the export's window received; read after Join.
    const std::vector<RecordedMessage>& messages() const { return mMessages; }

private:
    int32_t mResult = 1;
    std::vector<RecordedMessage> mMessages;
    std::thread mThread;  // last: it starts once the rest is made
};

// Raises Stop once the job on sync has reached the point the test waited
// for (reached: whether it did), and expects the job to fail soon after:
// the bound is against a hang, not a timing.
void StopAndExpectTheEnd(ExportThread& sync, bool reached) {
    const auto stopped = std::chrono::steady_clock::now();
    Stop(nullptr, nullptr);
    EXPECT_EQ(sync.Join(), -1);
    EXPECT_TRUE(reached);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(5));
}

}  // namespace

TEST_F(SyncJobTest, MusicUploadsMirrorScanReportAndSweepEmptyFolders) {
    HostItems items;
    const std::u16string a = PcFile("m/a.mp3", 70000, 'a'), b = PcFile("m/b.mp3", 0), c = PcFile("m/c.mp3", 5, 'c');
    items.Add(a, 1);
    items.Add(b, 2);
    items.Add(c, 1);
    const std::string music = device + "/Music";
    const std::string empty = PhoneFile(music + "/old/empty/x", "");
    std::filesystem::remove(service->OnDisk(empty));
    job.items = items.List();

    ASSERT_EQ(SyncMusicFile(&connect, &job), 0);
    const std::set<std::string> scanned = ScannedPaths();
    for (size_t i = 0; i < 3; ++i) {
        const std::string expected = FILE_API::BuildPhonePath(Utf16ToUtf8(platform::FromHostText(items[i].pcPath)), music);
        EXPECT_EQ(PhonePathOf(items[i]), expected);
        EXPECT_EQ(OnPhone(expected), ContentOf(platform::FromHostText(items[i].pcPath)));
        EXPECT_EQ(scanned.count(expected), 1u) << expected;
    }
    EXPECT_EQ(Percentages(), (std::vector<intptr_t>{33, 66, 100}));
    std::set<void*> reported;
    for (const auto& m : ItemMessages()) {
        EXPECT_EQ(m.message, 2525u);
        EXPECT_EQ(m.wParam, 1000u);
        EXPECT_EQ(m.item.status, 0);
        EXPECT_EQ(m.item.code, 9);
        reported.insert(m.item.item);
    }
    EXPECT_EQ(reported, (std::set<void*>{&items[0], &items[1], &items[2]}));
    EXPECT_FALSE(std::filesystem::exists(service->OnDisk(music + "/old")));  // empty folders swept
    EXPECT_TRUE(std::filesystem::exists(service->OnDisk(music)));
}

TEST_F(SyncJobTest, EachUploadExportHasItsFolderIdentifierCodeAndScan) {
    struct Kind {
        int32_t (*run)(ConnectParams*, JobParams*);
        const char* folder;
        uintptr_t id;
        intptr_t code;
        bool scan;
    };
    const Kind kinds[] = {{SyncMusicFile, "/Music", 1000, 9, true},
                          {SyncPhotoFile, "/Pictures", 1100, 9, true},
                          {SyncVideoFile, "/Movies", 1100, 9, true},
                          {SyncDocumentFile, "/My Documents/Documents", 1400, 9, true},
                          {SyncPlaylistFile, "/Music/Playlist", 1000, 8, false}};
    int n = 0;
    for (const Kind& kind : kinds) {
        RecordingWindow own;
        job.window = own.handle();
        HostItems items;
        const std::u16string file = PcFile("k" + std::to_string(n++) + "/f.bin", 10);
        items.Add(file, 1);
        job.items = items.List();
        ASSERT_EQ(kind.run(&connect, &job), 0) << kind.folder;
        const std::string phonePath = PhonePathOf(items[0]);
        EXPECT_EQ(phonePath.rfind(device + kind.folder + "/", 0), 0u) << phonePath;
        EXPECT_EQ(OnPhone(phonePath), std::string(10, 'p'));
        EXPECT_EQ(ScannedPaths().count(phonePath), kind.scan ? 1u : 0u) << kind.folder;
        // The percentage counts the started upload; its item follows when
        // the worker has finished.
        ASSERT_EQ(own.messages().size(), 2u);
        EXPECT_EQ(own.messages()[0].wParam, static_cast<uintptr_t>(QS_PROGRESS_PERCENT));
        EXPECT_EQ(own.messages()[0].lParam, 100);
        EXPECT_EQ(own.messages()[1].wParam, kind.id);
        EXPECT_EQ(own.messages()[1].item.code, kind.code);
    }
}

TEST_F(SyncJobTest, RemovalPassesAndSkippedItems) {
    LogCapture log;
    HostItems items;
    const std::u16string pcFolder = (pc.path() / "gone").u16string();
    const std::string music = device + "/Music";
    const std::string mirrored = FILE_API::BuildPhonePath(Utf16ToUtf8(pcFolder), music);
    PhoneFile(mirrored + "/inside.mp3", "x");
    const std::string loose = PhoneFile(music + "/loose.mp3", "y");
    items.Add(pcFolder, 3, true);
    items.Add(pcFolder, 1, true);  // a folder item that is not a removal: logged, left alone
    items.Add(u"", 3, false, &loose);
    items.Add(u"", 3, false);  // a removal without phone path: logged, skipped
    job.items = items.List();
    ASSERT_EQ(SyncMusicFile(&connect, &job), 0);
    EXPECT_FALSE(std::filesystem::exists(service->OnDisk(mirrored)));
    EXPECT_EQ(OnPhone(loose), "<absent>");
    EXPECT_EQ(Percentages(), (std::vector<intptr_t>{25, 50}));  // never 100: two items were skipped
    ASSERT_EQ(ItemMessages().size(), 2u);
    EXPECT_EQ(ItemMessages()[0].item.item, &items[0]);
    EXPECT_EQ(ItemMessages()[1].item.item, &items[2]);
    EXPECT_EQ(log.Count("Function = SyncFileFromPCToPhone GetLastError"), 2u);
}

TEST_F(SyncJobTest, RemovalsThatWouldWipeTheFolderOrClimbAboveItAreRefusedUnsent) {
    const bool posix = platform::NativePathStyle() == platform::PathStyle::kPosix;
    const std::string music = device + "/Music";
    const std::string kept = PhoneFile(music + "/a/keep.mp3", "k");
    const std::string outside = PhoneFile(device + "/keep.txt", "o");
    struct Case {
        const char16_t* pcPath;  // a folder item; null: a file item with phonePath
        std::string phonePath;
    };
    const std::vector<Case> cases{
        {u"", ""},                                 // mirrors the phone folder itself
        {posix ? u"/" : u"\\", ""},
        {posix ? u"/../.." : u"C:\\..\\..", ""},   // the device root on a service that resolves ".."
        {posix ? u"/a/./b" : u"C:\\a\\.\\b", ""},
        {nullptr, music + "/../keep.txt"},
        {nullptr, music + "/a/./keep.mp3"},
        {nullptr, music},
        {nullptr, device},
        {nullptr, "/"},
    };
    for (const Case& each : cases) {
        SCOPED_TRACE(each.pcPath ? platform::Utf16ToUtf8(each.pcPath) : each.phonePath);
        LogCapture log;
        HostItems items;
        if (each.pcPath)
            items.Add(each.pcPath, 3, true);
        else
            items.Add(u"", 3, false, &each.phonePath);
        job.items = items.List();
        EXPECT_EQ(SyncMusicFile(&connect, &job), each.pcPath ? -4 : -2);
        EXPECT_EQ(OnPhone(kept), "k");
        EXPECT_EQ(OnPhone(outside), "o");
        EXPECT_TRUE(ItemMessages().empty());
        EXPECT_EQ(log.Count("Function = SyncFileFromPCToPhone GetLastError"), 1u);
    }
    // A folder item without a PC path at all is refused the same way.
    HostItems items;
    items.Add(u"", 3, true).pcPath = nullptr;
    job.items = items.List();
    EXPECT_EQ(SyncMusicFile(&connect, &job), -4);
    EXPECT_EQ(OnPhone(kept), "k");
}

TEST_F(SyncJobTest, EmptyListReturnsAtOnceAndStillSweeps) {
    HostItems items;
    const std::string music = device + "/Music";
    PhoneFile(music + "/e/x", "");
    std::filesystem::remove(service->OnDisk(music + "/e/x"));
    job.items = items.List();
    EXPECT_EQ(SyncMusicFile(&connect, &job), 0);
    EXPECT_TRUE(window.messages().empty());
    EXPECT_FALSE(std::filesystem::exists(service->OnDisk(music + "/e")));
    job.items = nullptr;
    EXPECT_EQ(SyncMusicFile(&connect, &job), -1);
}

TEST_F(SyncJobTest, FailedRemovalsEndTheJob) {
    LogCapture log;
    {
        ArmedFault folderRemovals(*service, "status0:cmd=17,path=" + device + "/");
        HostItems folders;
        folders.Add((pc.path() / "d").u16string(), 3, true);
        job.items = folders.List();
        EXPECT_EQ(SyncMusicFile(&connect, &job), -4);
        EXPECT_TRUE(window.messages().empty());
    }
    ArmedFault fileRemovals(*service, "status0:cmd=13,path=" + device + "/");
    HostItems files;
    const std::string path = PhoneFile(device + "/Music/f.mp3", "f");
    files.Add(u"", 3, false, &path);
    job.items = files.List();
    EXPECT_EQ(SyncMusicFile(&connect, &job), -2);
    EXPECT_EQ(OnPhone(path), "f");
}

TEST_F(SyncJobTest, SixUploadsAllReported) {
    HostItems items;
    for (int i = 0; i < 6; ++i) items.Add(PcFile("six/" + std::to_string(i) + ".mp3", 1000 + i), 1);
    job.items = items.List();
    ASSERT_EQ(SyncMusicFile(&connect, &job), 0);
    EXPECT_EQ(ItemMessages().size(), 6u);
    EXPECT_EQ(Percentages(), (std::vector<intptr_t>{16, 33, 50, 66, 83, 100}));
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(OnPhone(PhonePathOf(items[i])).size(), 1000 + i);
}

TEST_F(SyncJobTest, FailingUploadGivesMinusOneAndLeavesNoPartialFile) {
    // The third chunk write of the run fails: by then all three uploads run.
    ArmedFault fault(*service, "status0:cmd=12,nth=3,path=" + device + "/");
    LogCapture log;
    HostItems items;
    for (int i = 0; i < 3; ++i) items.Add(PcFile("f/" + std::to_string(i) + ".mp3", 100), 1);
    job.items = items.List();
    EXPECT_EQ(SyncMusicFile(&connect, &job), -1);
    EXPECT_EQ(ItemMessages().size(), 2u);
    EXPECT_EQ(log.Count("Function = FILE_API::PutFileTaskProc GetLastError"), 1u);
    size_t onPhone = 0;
    for (size_t i = 0; i < 3; ++i) {
        const std::string expected =
            FILE_API::BuildPhonePath(Utf16ToUtf8(platform::FromHostText(items[i].pcPath)), device + "/Music");
        if (OnPhone(expected) != "<absent>") ++onPhone;
    }
    EXPECT_EQ(onPhone, 2u);  // the failed one was removed again
}

TEST_F(SyncJobTest, FailedMediaScanGivesMinusTwo) {
    ArmedFault fault(*service, "status0:cmd=16,path=" + device + "/");
    LogCapture log;
    HostItems items;
    items.Add(PcFile("s.mp3", 10), 1);
    job.items = items.List();
    EXPECT_EQ(SyncMusicFile(&connect, &job), -2);
    EXPECT_TRUE(ItemMessages().empty());
    // The playlist-file export never scans, so the same phone cannot fail it.
    HostItems playlist;
    playlist.Add(PcFile("p.m3u", 10), 1);
    job.items = playlist.List();
    EXPECT_EQ(SyncPlaylistFile(&connect, &job), 0);
}

// Stop while an upload's chunks are in flight: the job fails, the partial
// file is deleted by a clean-up the stop does not cut short, and a clean-up
// the phone refuses or leaves unanswered is bounded and names the file.
TEST_F(SyncJobTest, StopDuringAnUploadFailsTheJobDeletesThePartialFileAndSkipsTheSweep) {
    struct Case {
        const char* cleanUpFault;
        bool left;  // the clean-up fails
    };
    int n = 0;
    for (const Case& each : {Case{nullptr, false}, Case{"status0:cmd=13", true}, Case{"hold:cmd=13", true}}) {
        SCOPED_TRACE(each.cleanUpFault ? each.cleanUpFault : "clean-up answered");
        const std::string music = device + "/Music";
        PhoneFile(music + "/keep/x", "");
        std::filesystem::remove(service->OnDisk(music + "/keep/x"));
        HostItems items;
        items.Add(PcFile("stop" + std::to_string(n++) + "/a.mp3", 400000), 1);
        job.items = items.List();
        const std::string a = FILE_API::BuildPhonePath(Utf16ToUtf8(platform::FromHostText(items[0].pcPath)), music);
        // The phone writes the chunks and holds their answers.
        ArmedFault chunks(*service, "hold:cmd=12,path=" + a);
        std::unique_ptr<ArmedFault> cleanUp;
        if (each.cleanUpFault) cleanUp = std::make_unique<ArmedFault>(*service, each.cleanUpFault + (",path=" + a));
        LogCapture log;
        ExportThread sync(SyncMusicFile, connect, job);
        // Five chunks in flight, each written and held: none is still on its
        // way when the stop's clean-up deletes the partial file.
        StopAndExpectTheEnd(sync, chunks.WaitHeld(5));
        EXPECT_EQ(ItemMessageCount(sync.messages()), 0u);
        EXPECT_EQ(log.Count("CHttpFileAPI::DeleteEmptyPath"), 0u);
        EXPECT_TRUE(std::filesystem::exists(service->OnDisk(music + "/keep")));  // no sweep
        if (!each.left) {
            EXPECT_EQ(OnPhone(a), "<absent>");  // the stopped upload left nothing behind
        }
        EXPECT_EQ(log.Count("partial file left on the phone: " + a + "\r\n"), each.left ? 1u : 0u);
    }
}

TEST_F(SyncJobTest, StopBetweenItemsEndsThePassesAndStillAsksForTheSweep) {
    LogCapture log;
    const std::string music = device + "/Music";
    PhoneFile(music + "/sweep/x", "");
    std::filesystem::remove(service->OnDisk(music + "/sweep/x"));
    const std::string doomed = PhoneFile(music + "/doomed.mp3", "d");
    HostItems items;
    items.Add(u"", 3, false, &doomed);
    items.Add(PcFile("never.mp3", 10), 1);
    job.items = items.List();
    window.onMessage = [](const RecordedMessage& m) {
        if (m.wParam == 1000) Stop(nullptr, nullptr);
    };
    EXPECT_EQ(SyncMusicFile(&connect, &job), 0);
    EXPECT_EQ(ItemMessages().size(), 1u);
    EXPECT_EQ(items[1].phonePath, nullptr);
    // The job succeeded, so its export asks for the sweep; the raised stop
    // flag cuts that request short, as it does every request after a stop.
    EXPECT_EQ(log.Count("Function = CHttpFileAPI::DeleteEmptyPath GetLastError"), 1u);
}

// A changed file whose upload cannot begin keeps its phone copy: a stat
// the phone fails or drops is not an answer that the file is absent, and a
// PC file that cannot be opened (locked by another program, say) is found
// out before the phone's copy of another size is deleted. The copy fails
// without sending a chunk or a delete. A failed stat is logged under the
// existence query, then under the copy.
TEST_F(SyncJobTest, UploadsThatCannotBeginLeaveThePhoneFileAlone) {
    // A phone fault, or none: then the PC file does not open.
    for (const char* phoneFault : {static_cast<const char*>(nullptr), "status0:cmd=14", "close:cmd=14"}) {
        SCOPED_TRACE(phoneFault ? phoneFault : "PC file does not open");
        std::unique_ptr<ArmedFault> fault;
        if (phoneFault) fault = std::make_unique<ArmedFault>(*service, phoneFault + (",path=" + device + "/"));
        LogCapture log;
        HostItems items;
        const std::string phonePath = ChangedMusicFile(items, "kept.mp3", 1000, 3000);
        if (!phoneFault) platform::ArmFaultForTesting(platform::FaultKind::kFileOpen, 1, platform::FaultMode::kOnce, 13);
        EXPECT_EQ(SyncMusicFile(&connect, &job), -1);
        platform::DisarmFaultsForTesting();
        EXPECT_EQ(OnPhone(phonePath), std::string(3000, 'o'));
        EXPECT_TRUE(ItemMessages().empty());
        const std::vector<std::string> lines = log.Lines();
        auto lineOf = [&lines](const std::string& text) {
            size_t i = 0;
            while (i < lines.size() && lines[i].find(text) == std::string::npos) ++i;
            return i;
        };
        const size_t copyLine = lineOf("Function = FILE_API::CopyFilePCToPhone GetLastError");
        EXPECT_EQ(log.Count("Function = FILE_API::CopyFilePCToPhone GetLastError"), 1u);
        EXPECT_EQ(log.Count("Function = FILE_API_PHONE::PhoneFileExist GetLastError"), phoneFault ? 1u : 0u);
        if (phoneFault) {
            EXPECT_EQ(lineOf("Function = FILE_API_PHONE::PhoneFileExist GetLastError") + 1, copyLine);
        } else {
            EXPECT_EQ(log.Count("Function = CHttpFileAPI::PutFileEx GetLastError = 13"), 1u);
        }
        EXPECT_EQ(log.Count("PutFileThreadProc"), 0u);
    }
}

TEST_F(SyncJobTest, ShrunkPcFileLeavesNoStaleTail) {
    HostItems items;
    const std::string phonePath = ChangedMusicFile(items, "shrink.mp3", 1000, 200000);
    ASSERT_EQ(SyncMusicFile(&connect, &job), 0);
    EXPECT_EQ(OnPhone(phonePath), std::string(1000, 'n'));
}

TEST_F(SyncJobTest, CameraFolderIsFetchedOnceAndNamesAreNumbered) {
    const std::string camera = device + "/DCIM";
    PhoneFile(camera + "/Camera/a.jpg", "aaaa");
    PhoneFile(camera + "/b", "bb");
    PhoneFile(camera + "/Camera/deep/c.jpg", std::string(150000, 'c'));
    const std::u16string target = (pc.path() / "Pictures").u16string() + u"/";
    DestinationFolders folders{};
    folders.cameraFolder = AsHostText(target);
    job.word2 = &folders;
    ASSERT_EQ(SyncPhoto(&connect, &job), 0);
    const auto local = pc.path() / "Pictures";
    EXPECT_EQ(ReadWholeFile(local / "Camera" / "a.jpg"), "aaaa");
    EXPECT_EQ(ReadWholeFile(local / "b"), "bb");
    EXPECT_EQ(ReadWholeFile(local / "Camera" / "deep" / "c.jpg"), std::string(150000, 'c'));
    // One percentage per listed entry, folders included: five entries.
    EXPECT_EQ(Percentages(), (std::vector<intptr_t>{0, 20, 40, 60, 80}));
    EXPECT_TRUE(ItemMessages().empty());

    RecordingWindow second;
    job.window = second.handle();
    ASSERT_EQ(SyncPhoto(&connect, &job), 0);
    // Every file is present with the same size: skipped without a message;
    // only the two folders are counted.
    EXPECT_EQ(second.messages().size(), 2u);
    EXPECT_FALSE(std::filesystem::exists(local / "Camera" / "a(2).jpg"));

    PhoneFile(camera + "/Camera/a.jpg", "changed");
    PhoneFile(camera + "/b", "bbb");
    ASSERT_EQ(SyncPhoto(&connect, &job), 0);
    EXPECT_EQ(ReadWholeFile(local / "Camera" / "a(2).jpg"), "changed");
    EXPECT_EQ(ReadWholeFile(local / "b(2)"), "bbb");
    PhoneFile(camera + "/Camera/a.jpg", "changed again");
    ASSERT_EQ(SyncPhoto(&connect, &job), 0);
    EXPECT_EQ(ReadWholeFile(local / "Camera" / "a(3).jpg"), "changed again");
    EXPECT_EQ(ReadWholeFile(local / "Camera" / "a.jpg"), "aaaa");
}

// Phone entries of one run that map to one PC name are numbered like any
// taken name, whatever their sizes, instead of one download replacing the
// other: case variants on a PC that ignores case, and (on POSIX) two names
// that are not UTF-8 and both become U+FFFD. A name too long for a suffix
// of its own still downloads.
TEST_F(SyncJobTest, DownloadsOfOneRunNeverOverwriteEachOtherAndLongNamesArrive) {
    const std::string camera = device + "/DCIM";
    std::set<std::string> sent{"same size A", "same size B", "longer than the other", std::string(237, 'L')};
    // Written through the phone service, whose file system tells case
    // apart, whatever this one does.
    auto putOnPhone = [&](const std::string& phonePath, const std::string& content) {
        const std::filesystem::path source = pc.path() / "source.bin";
        std::ofstream(source, std::ios::binary) << content;
        ASSERT_EQ(CHttpFileAPI::PutFileEx("127.0.0.1", service->port(), Utf16ToUtf8(source.u16string()).c_str(),
                                          phonePath.c_str(), nullptr, 60),
                  0);
        std::filesystem::remove(source);
    };
    putOnPhone(camera + "/Camera/IMG_1.JPG", "same size A");
    putOnPhone(camera + "/camera/IMG_1.jpg", "same size B");
    putOnPhone(camera + "/camera/img_1.JPG", "longer than the other");
    PhoneFile(camera + "/" + std::string(237, 'n') + ".jpg", std::string(237, 'L'));
    if (platform::NativePathStyle() == platform::PathStyle::kPosix) {
        PhoneFile(camera + "/\xff.jpg", "not UTF-8 one");
        PhoneFile(camera + "/\xfe.jpg", "not UTF-8 two");
        sent.insert({"not UTF-8 one", "not UTF-8 two"});
    }
    const std::u16string target = (pc.path() / "Pictures").u16string();
    DestinationFolders folders{};
    folders.cameraFolder = AsHostText(target);
    job.word2 = &folders;
    for (int run = 0; run < 2; ++run) {  // the second run finds everything in place
        SCOPED_TRACE(run);
        ASSERT_EQ(SyncPhoto(&connect, &job), 0);
        std::multiset<std::string> received;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(pc.path() / "Pictures"))
            if (entry.is_regular_file()) received.insert(ReadWholeFile(entry.path()));
        EXPECT_EQ(received, std::multiset<std::string>(sent.begin(), sent.end()));
    }
}

TEST_F(SyncJobTest, PhoneToPcExportsWithoutTheirRecordFail) {
    LogCapture log;
    PhoneFile(device + "/DCIM/x.jpg", "x");
    const std::u16string empty;
    DestinationFolders nowhere{};
    nowhere.cameraFolder = AsHostText(empty);
    job.word2 = &nowhere;
    EXPECT_EQ(SyncPhoto(&connect, &job), -3);  // never at the top of the drive
    EXPECT_EQ(log.Count("Function = FILE_API::CopyPathFromPhoneToPC GetLastError"), 1u);
    job.word2 = nullptr;
    EXPECT_EQ(SyncPhoto(&connect, &job), -1);
    EXPECT_EQ(SyncDevDocument(&connect, &job), -1);
    EXPECT_EQ(log.Count("Function = SyncCameraFromPhoneToPC GetLastError"), 1u);
    EXPECT_EQ(log.Count("Function = SyncDevDocument GetLastError"), 1u);
}

TEST_F(SyncJobTest, DownloadFoldersMeetInOnePcFolder) {
    PhoneFile(device + "/Downloads/a.pdf", "first");
    PhoneFile(device + "/Download/a.pdf", "second!");
    const std::u16string target = (pc.path() / "Docs").u16string();
    DestinationFolders folders{};
    folders.documentFolder = AsHostText(target);
    job.word2 = &folders;
    ASSERT_EQ(SyncDevDocument(&connect, &job), 0);
    EXPECT_EQ(ReadWholeFile(pc.path() / "Docs" / "a.pdf"), "first");
    EXPECT_EQ(ReadWholeFile(pc.path() / "Docs" / "a(2).pdf"), "second!");
    EXPECT_EQ(Percentages(), (std::vector<intptr_t>{0, 0}));  // one run per folder
}

TEST_F(SyncJobTest, FailingFirstDownloadListingSkipsTheSecondFolder) {
    ArmedFault fault(*service, "status0:cmd=15,nth=1,path=" + device + "/");
    LogCapture log;
    PhoneFile(device + "/Download/a.pdf", "x");
    const std::u16string target = (pc.path() / "Docs").u16string();
    DestinationFolders folders{};
    folders.documentFolder = AsHostText(target);
    job.word2 = &folders;
    EXPECT_EQ(SyncDevDocument(&connect, &job), -2);
    EXPECT_FALSE(std::filesystem::exists(pc.path() / "Docs" / "a.pdf"));
}

TEST_F(SyncJobTest, FailedDownloadLeavesNoPartialFile) {
    LogCapture log;
    PhoneFile(device + "/DCIM/big.jpg", std::string(3 * 65536, 'b'));
    const std::u16string target = (pc.path() / "P").u16string();
    DestinationFolders folders{};
    folders.cameraFolder = AsHostText(target);
    job.word2 = &folders;
    {
        ArmedFault secondChunk(*service, "status0:cmd=11,nth=2,path=" + device + "/");
        EXPECT_EQ(SyncPhoto(&connect, &job), -1);
    }
    size_t files = 0;
    if (std::filesystem::exists(pc.path() / "P"))
        for (const auto& entry : std::filesystem::recursive_directory_iterator(pc.path() / "P"))
            if (entry.is_regular_file()) ++files;
    EXPECT_EQ(files, 0u);
    // The next run, the fault gone, fetches it under its own name.
    ASSERT_EQ(SyncPhoto(&connect, &job), 0);
    EXPECT_EQ(ReadWholeFile(pc.path() / "P" / "big.jpg"), std::string(3 * 65536, 'b'));
}

TEST(SyncJobHostileTest, EntriesOutsideTheFolderAreNeverWritten) {
    using namespace filewire;
    const std::string folder = "/sdcard/DCIM";
    const std::string good = folder + "/ok.jpg";
    // Connection 0 lists the folder; then the one good file is fetched: stat
    // for its size, one chunk.
    ScriptedPeer peer([&](int connection) {
        std::string body;
        if (connection == 0)
            body = Answer(1, ListResult({{folder + "/../../evil.jpg", 4}, {"/elsewhere/x.jpg", 4},
                                         {folder + "//y.jpg", 4}, {good, 4}}));
        else if (connection == 1)
            body = Answer(1, I32(14) + I32(1) + InfoBytes({good, 4}));
        else
            body = Answer(1, Block("good"));
        return PeerScript().ReadRequest().Respond(body).Close();
    });
    ASSERT_TRUE(peer.ok());
    ScratchDir pc;
    RecordingWindow window;
    const std::u16string url = Utf8ToUtf16("http://127.0.0.1:" + std::to_string(peer.port()) + "/");
    const std::u16string role = u"device=/sdcard";
    const std::u16string target = (pc.path() / "in").u16string();
    ConnectParams connect{};
    connect.url = AsHostText(url);
    connect.role = AsHostText(role);
    DestinationFolders folders{};
    folders.cameraFolder = AsHostText(target);
    JobParams job{};
    job.window = window.handle();
    job.word2 = &folders;
    LogCapture log;
    EXPECT_EQ(SyncPhoto(&connect, &job), -1);  // incomplete: three entries were refused
    EXPECT_EQ(log.Count("Function = FILE_API::CopyPathFromPhoneToPC GetLastError"), 3u);
    EXPECT_EQ(ReadWholeFile(pc.path() / "in" / "ok.jpg"), "good");
    size_t files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(pc.path()))
        if (entry.is_regular_file()) ++files;
    EXPECT_EQ(files, 1u);
}

TEST(SyncJobLimitTest, AtMostFiveUploadsRunAtOnce) {
    using namespace filewire;
    // Every connection waits at the gate before it answers, so the uploads
    // that have started stay running; then each is refused.
    ScriptedPeer peer(PeerScript().ReadRequest().WaitGate().Respond(Answer(0)).Close());
    ASSERT_TRUE(peer.ok());
    ScratchDir pc;
    HostItems items;
    for (int i = 0; i < 6; ++i) {
        const auto path = pc.path() / ("u" + std::to_string(i) + ".mp3");
        std::ofstream(path, std::ios::binary) << "data";
        items.Add(path.u16string(), 1);
    }
    const std::u16string url = Utf8ToUtf16("http://127.0.0.1:" + std::to_string(peer.port()) + "/");
    const std::u16string role = u"device=/sdcard";
    ConnectParams connect{};
    connect.url = AsHostText(url);
    connect.role = AsHostText(role);
    JobParams job{};
    job.items = items.List();
    LogCapture quiet;
    int32_t result = 0;
    std::thread host([&] { result = SyncMusicFile(&connect, &job); });
    EXPECT_TRUE(peer.WaitForRequests(5, std::chrono::seconds(10)));
    // A sixth upload would have sent its first request by now.
    EXPECT_FALSE(peer.WaitForRequests(6, std::chrono::milliseconds(300)));
    EXPECT_EQ(peer.Requests().size(), 5u);
    peer.OpenGate();
    host.join();
    EXPECT_EQ(result, -1);
}

// Two sync exports on two host threads, each aimed at a phone of its own (a
// stand-in of its own natively; under Wine both share one stand-in, so
// their device roots tell them apart). Each job's files land on its own
// phone only, under its own device root, and its messages reach its own
// window. First one job is held in the middle of an upload while the other
// sets the context up again and runs to its end; then both start at once;
// then one Stop, raised while both hold an upload, ends both.
TEST(ConcurrentExportsTest, TwoSyncExportsOnTwoThreadsKeepToTheirOwnPhones) {
    struct Phone {
        std::unique_ptr<PhoneService> service = PhoneService::Start();
        std::string device = "/sdcard/" + Unique("phone");
        std::u16string url, role;
        ConnectParams connect{};
        std::deque<HostItems> rounds;
        std::string Music() const { return device + "/Music"; }
    };
    Phone phones[2];
    for (Phone& phone : phones) {
        ASSERT_TRUE(phone.service);
        phone.url = Utf8ToUtf16("http://127.0.0.1:" + std::to_string(phone.service->port()) + "/");
        phone.role = u"device=" + Utf8ToUtf16(phone.device);
        phone.connect.url = AsHostText(phone.url);
        phone.connect.role = AsHostText(phone.role);
    }
    ScratchDir pc;
    LogCapture log;
    // Four files per job and round, one of them longer than a chunk.
    auto items = [&](Phone& phone, int p, int round) {
        HostItems& list = phone.rounds.emplace_back();
        for (int i = 0; i < 4; ++i) {
            const auto path = pc.path() / ("r" + std::to_string(round) + "-" + std::to_string(p)) /
                              ("f" + std::to_string(i) + ".mp3");
            std::filesystem::create_directories(path.parent_path());
            std::ofstream(path, std::ios::binary) << std::string(i == 0 ? 150000 : 1000 + i, static_cast<char>('a' + p));
            list.Add(path.u16string(), 1);
        }
        JobParams job{};
        job.items = list.List();
        return job;
    };
    // Where each item of a job's round is, on its own phone and not on the
    // other's, nor under the other's device root.
    auto check = [&](int p, bool present) {
        Phone& own = phones[p];
        Phone& other = phones[1 - p];
        for (size_t i = 0; i < 4; ++i) {
            SyncItem& item = own.rounds.back()[i];
            const std::string pcPath = Utf16ToUtf8(platform::FromHostText(item.pcPath));
            const std::string phonePath = FILE_API::BuildPhonePath(pcPath, own.Music());
            const std::filesystem::path onOwn = own.service->OnDisk(phonePath);
            EXPECT_EQ(std::filesystem::exists(onOwn), present) << phonePath;
            if (present) {
                EXPECT_EQ(PhonePathOf(item), phonePath);
                EXPECT_EQ(ReadWholeFile(onOwn), ReadWholeFile(std::filesystem::u8path(pcPath)));
            }
            const std::string misplaced = FILE_API::BuildPhonePath(pcPath, other.Music());
            EXPECT_FALSE(std::filesystem::exists(other.service->OnDisk(misplaced))) << misplaced;
            EXPECT_FALSE(std::filesystem::exists(own.service->OnDisk(misplaced))) << misplaced;
            if (own.service->root() != other.service->root()) {
                EXPECT_FALSE(std::filesystem::exists(other.service->OnDisk(phonePath))) << phonePath;
            }
        }
    };
    auto reportsOwnItems = [&](int p, const ExportThread& run) {
        std::set<void*> reported;
        for (const auto& m : run.messages())
            if (m.wParam != QS_PROGRESS_PERCENT) reported.insert(m.item.item);
        std::set<void*> own;
        for (size_t i = 0; i < 4; ++i) own.insert(&phones[p].rounds.back()[i]);
        EXPECT_EQ(reported, own);
    };

    {
        SCOPED_TRACE("one job held while the other runs");
        ArmedFault held(*phones[0].service, "hold:cmd=12,path=" + phones[0].device + "/");
        ExportThread first(SyncMusicFile, phones[0].connect, items(phones[0], 0, 0));
        ASSERT_TRUE(held.WaitHeld(1));
        ExportThread second(SyncMusicFile, phones[1].connect, items(phones[1], 1, 0));
        EXPECT_EQ(second.Join(), 0);
        held.Release();
        EXPECT_EQ(first.Join(), 0);
        check(0, true);
        check(1, true);
        reportsOwnItems(0, first);
        reportsOwnItems(1, second);
    }
    {
        SCOPED_TRACE("both started at once");
        std::promise<void> go;
        std::shared_future<void> started = go.get_future().share();
        ExportThread first(SyncMusicFile, phones[0].connect, items(phones[0], 0, 1), started);
        ExportThread second(SyncMusicFile, phones[1].connect, items(phones[1], 1, 1), started);
        go.set_value();
        EXPECT_EQ(first.Join(), 0);
        EXPECT_EQ(second.Join(), 0);
        check(0, true);
        check(1, true);
        reportsOwnItems(0, first);
        reportsOwnItems(1, second);
    }
    {
        SCOPED_TRACE("one stop ends both");
        ArmedFault held0(*phones[0].service, "hold:cmd=12,path=" + phones[0].device + "/");
        ArmedFault held1(*phones[1].service, "hold:cmd=12,path=" + phones[1].device + "/");
        ExportThread first(SyncMusicFile, phones[0].connect, items(phones[0], 0, 2));
        ExportThread second(SyncMusicFile, phones[1].connect, items(phones[1], 1, 2));
        // Every chunk of both jobs written and held (three of the long file,
        // one of each other): none is still on its way when the stop's
        // clean-up deletes the partial files.
        const bool bothHeld = held0.WaitHeld(6) && held1.WaitHeld(6);
        Stop(nullptr, nullptr);
        EXPECT_EQ(first.Join(), -1);
        EXPECT_EQ(second.Join(), -1);
        GetSyncContext().stopRequested.store(0);
        ASSERT_TRUE(bothHeld);
        check(0, false);  // the stopped uploads left nothing behind
        check(1, false);
        EXPECT_EQ(ItemMessageCount(first.messages()), 0u);
        EXPECT_EQ(ItemMessageCount(second.messages()), 0u);
    }
}

// Makes the second chunk exchange or file task of the named kind throw; a
// null name ends it. Chunk exchanges run in the transfer's own pump, file
// tasks on the job's worker pool.
namespace {

void ThrowAtSecondTask(const char* kind, std::atomic<int>& seen) {
    auto hook = [kind, &seen](const char* name) {
        if (std::string(name) == kind && ++seen == 2) throw std::bad_alloc();
    };
    ChunkPump::SetChunkHookForTesting(kind != nullptr ? std::function<void(const char*)>(hook) : nullptr);
    WorkerPool::SetTaskHookForTesting(kind != nullptr ? std::function<void(const char*)>(hook) : nullptr);
}

}  // namespace

// A chunk or file task that throws fails as a failed request does: the job
// reports failure, starts nothing new, lets the running tasks finish and
// report, leaves no partial file on either side, and no thread it started
// outlives the export.
TEST_F(SyncJobTest, ThrowingTasksFailTheirJobLikeFailedRequests) {
    for (const char* pool : {"PutFileThreadProc", "FILE_API::PutFileTaskProc"}) {
        SCOPED_TRACE(pool);
        LogCapture log;
        HostItems items;
        for (int i = 0; i < 8; ++i)
            items.Add(PcFile(std::string(pool) + "/" + std::to_string(i) + ".mp3", 150000, char('a' + i)), 1);
        job.items = items.List();
        std::atomic<int> seen{0};
        ThrowAtSecondTask(pool, seen);
        RecordingWindow own;
        job.window = own.handle();
        const int threads = CountProcessThreads();
        const int32_t result = SyncMusicFile(&connect, &job);
        EXPECT_EQ(CountProcessThreads(), threads);
        ThrowAtSecondTask(nullptr, seen);
        job.window = window.handle();
        EXPECT_EQ(result, -1);
        EXPECT_EQ(log.Count(std::string("Function = ") + pool + " GetLastError"), 1u);
        size_t reported = 0;
        for (const auto& m : own.messages()) reported += m.wParam == 1000 ? 1 : 0;
        EXPECT_GE(reported, 1u);  // uploads that ran beside the failing one
        EXPECT_LT(reported, 8u);  // and none started after it was seen
        size_t whole = 0;
        for (size_t i = 0; i < 8; ++i) {
            const std::string phonePath = FILE_API::BuildPhonePath(
                Utf16ToUtf8(platform::FromHostText(items[i].pcPath)), device + "/Music");
            const std::string content = OnPhone(phonePath);
            if (content == "<absent>") continue;
            EXPECT_EQ(content, std::string(150000, char('a' + i))) << phonePath;
            ++whole;
        }
        EXPECT_EQ(whole, reported);
    }

    const std::string camera = device + "/DCIM";
    for (int i = 0; i < 8; ++i) PhoneFile(camera + "/" + std::to_string(i) + ".jpg", std::string(150000, char('k' + i)));
    for (const char* pool : {"GetFileThreadProc", "FILE_API::GetFileTaskProc"}) {
        SCOPED_TRACE(pool);
        LogCapture log;
        const auto target = pc.path() / pool;
        const std::u16string folder = target.u16string();
        DestinationFolders folders{};
        folders.cameraFolder = AsHostText(folder);
        job.word2 = &folders;
        std::atomic<int> seen{0};
        ThrowAtSecondTask(pool, seen);
        const int threads = CountProcessThreads();
        const int32_t result = SyncPhoto(&connect, &job);
        EXPECT_EQ(CountProcessThreads(), threads);
        ThrowAtSecondTask(nullptr, seen);
        EXPECT_EQ(result, -1);
        EXPECT_EQ(log.Count(std::string("Function = ") + pool + " GetLastError"), 1u);
        size_t files = 0;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(target)) {
            if (!entry.is_regular_file()) continue;
            ++files;  // a whole picture under its own name, no temporary file
            const std::string name = entry.path().filename().string();
            ASSERT_EQ(name.size(), 5u) << name;
            EXPECT_EQ(ReadWholeFile(entry.path()), std::string(150000, char('k' + (name[0] - '0'))));
        }
        EXPECT_LT(files, 8u);
    }
}

// ---- Per-request retries ----------------------------------------------------

namespace {

// Sets the request options for one test and puts the defaults back after
// it; the counter starts at 0.
class RequestOptions {
public:
    RequestOptions(int32_t retries, int32_t delayMs) { Set(retries, delayMs); }
    ~RequestOptions() { Set(0, 100); }
    RequestOptions(const RequestOptions&) = delete;
    RequestOptions& operator=(const RequestOptions&) = delete;
    static void Set(int32_t retries, int32_t delayMs) {
        EXPECT_EQ(SetOption(QS_OPTION_REQUEST_RETRIES, retries), 0);
        EXPECT_EQ(SetOption(QS_OPTION_RETRY_DELAY_MS, delayMs), 0);
        EXPECT_EQ(SetOption(QS_OPTION_RETRIES_MADE, 0), 0);
    }
};

// Every folder and file below folder, by its path relative to folder
// (folders end in "/"), with the files' contents.
std::map<std::string, std::string> TreeBelow(const std::filesystem::path& folder) {
    std::map<std::string, std::string> tree;
    if (!std::filesystem::exists(folder)) return tree;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        const std::string name = entry.path().lexically_relative(folder).generic_u8string();
        if (entry.is_directory())
            tree[name + "/"];
        else
            tree[name] = ReadWholeFile(entry.path());
    }
    return tree;
}

// What one run of a job ended with, and what it left behind.
struct Outcome {
    int32_t result = 0;
    std::map<std::string, std::string> phone, pc;
    int32_t retries = 0;  // retries the run made
};

// Logs in a test's line capture wake a waiting test when a retry is made:
// a test that acts during the wait before the next attempt waits for the
// retry's log line, not for the clock.
class RetryLines {
public:
    RetryLines() {
        qslog::SetCapture([this](qslog::Sink, const std::u16string& line) {
            if (Utf16ToUtf8(line).find(": retry ") == std::string::npos) return;
            std::lock_guard<std::mutex> guard(mLock);
            ++mCount;
            mMade.notify_all();
        });
    }
    ~RetryLines() { qslog::SetCapture(nullptr); }
    RetryLines(const RetryLines&) = delete;
    RetryLines& operator=(const RetryLines&) = delete;
    // Waits until count retry lines were written; false after 20 s (a bound
    // against a hang only).
    bool WaitFor(int count) {
        std::unique_lock<std::mutex> guard(mLock);
        return mMade.wait_for(guard, std::chrono::seconds(20), [&] { return mCount >= count; });
    }
    int Count() {
        std::lock_guard<std::mutex> guard(mLock);
        return mCount;
    }

private:
    std::mutex mLock;
    std::condition_variable mMade;
    int mCount = 0;
};

}  // namespace

// Every command the jobs send, each lost on its first attempt or on every
// attempt, as a lost request (close: nothing done) and as a lost answer
// (drop: the work done). Each job runs on a phone folder of its own. With
// retries, a first-attempt loss costs a retry and the job ends exactly as a
// fault-free run; with every attempt lost, the retries run out and the job
// ends with the result and the phone and PC as with retries off.
TEST_F(SyncJobTest, EveryCommandSurvivesALostExchangeAndExhaustedRetriesEndAsWithoutThem) {
    const std::string base = device;
    const std::string upload(200000, 'u');  // four chunks
    const std::u16string uploadPc = PcFile("r/up.mp3", upload.size(), 'u');
    const std::u16string gonePc = (pc.path() / "r" / "gone").u16string();
    int runs = 0;
    // Each run: its own device folder (and PC folder), the fault armed for
    // it (scoped to its own paths), the job; then what it left.
    auto fresh = [&]() {
        device = base + "/" + std::to_string(runs++);
        Connect(service->port());
        return pc.path() / ("run" + std::to_string(runs));
    };
    auto arm = [&](const std::string& fault, const std::string& scope) {
        return fault.empty() ? nullptr : std::make_unique<ArmedFault>(*service, fault + ",path=" + scope);
    };
    using Job = std::function<Outcome(int32_t retries, const std::string& fault)>;
    // Folder removal (17), file removal (13), stat (14), delete of the old
    // file (13), chunk writes (12), media scan (16), the sweep (18).
    const Job uploadJob = [&](int32_t retries, const std::string& fault) {
        fresh();
        const std::string music = device + "/Music";
        PhoneFile(FILE_API::BuildPhonePath(Utf16ToUtf8(gonePc), music) + "/in.mp3", "i");
        const std::string loose = PhoneFile(music + "/loose.mp3", "l");
        PhoneFile(FILE_API::BuildPhonePath(Utf16ToUtf8(uploadPc), music), "old");
        PhoneFile(music + "/empty/x", "");
        std::filesystem::remove(service->OnDisk(music + "/empty/x"));
        HostItems items;
        items.Add(gonePc, 3, true);
        items.Add(u"", 3, false, &loose);
        items.Add(uploadPc, 1);
        job.items = items.List();
        RequestOptions options(retries, 0);
        const auto armed = arm(fault, device + "/");
        Outcome out;
        out.result = SyncMusicFile(&connect, &job);
        out.retries = GetOption(QS_OPTION_RETRIES_MADE);
        out.phone = TreeBelow(service->OnDisk(device));
        return out;
    };
    // Listing (15), stat (14) and chunk reads (11) of a camera download.
    const Job downloadJob = [&](int32_t retries, const std::string& fault) {
        const auto target = fresh();
        PhoneFile(device + "/DCIM/Camera/a.jpg", std::string(150000, 'c'));
        PhoneFile(device + "/DCIM/b.jpg", "b");
        const std::u16string folder = target.u16string();
        DestinationFolders folders{};
        folders.cameraFolder = AsHostText(folder);
        job.word2 = &folders;
        RequestOptions options(retries, 0);
        const auto armed = arm(fault, device + "/");
        Outcome out;
        out.result = SyncPhoto(&connect, &job);
        out.retries = GetOption(QS_OPTION_RETRIES_MADE);
        out.pc = TreeBelow(target);
        return out;
    };
    // The requests no export sends, through their own calls: a rename
    // (20), a message part written (22) and read (21).
    std::atomic<int32_t> made{0};
    auto policy = [&made](int32_t retries) {
        RetryPolicy retry;
        retry.retries = retries;
        retry.delayMs = 0;
        retry.made = &made;
        made = 0;
        return retry;
    };
    const Job renameJob = [&](int32_t retries, const std::string& fault) {
        fresh();
        const std::string from = PhoneFile(device + "/from.bin", "moved");
        const RetryPolicy retry = policy(retries);
        const auto armed = arm(fault, device + "/");
        Outcome out;
        out.result = CHttpFileAPI::RenamePathFile("127.0.0.1", service->port(), from.c_str(),
                                                  (device + "/to.bin").c_str(), nullptr, 60, retry);
        out.retries = made;
        out.phone = TreeBelow(service->OnDisk(device));
        return out;
    };
    const std::filesystem::path parts = service->root() / "mms_parts";
    // A message part written (22) or read back (21), under the same name
    // on the PC both ways.
    const auto partJob = [&](bool put) -> Job {
        return [&, put](int32_t retries, const std::string& fault) {
            const auto target = fresh();
            std::filesystem::create_directories(target);
            std::filesystem::create_directories(parts);
            const std::string name = Unique("RETRYPART");
            std::ofstream(put ? target / "part.bin" : parts / name, std::ios::binary) << std::string(90000, 'm');
            const RetryPolicy retry = policy(retries);
            const auto armed = arm(fault, name);
            AndroidOperationProvider provider;
            const std::string local = (target / "part.bin").u8string();
            Outcome out;
            out.result = put ? provider.PutMMSFileToPhone(service->port(), name.c_str(), local.c_str(), retry)
                             : provider.GetMMSFileFromPhone(service->port(), name.c_str(), local.c_str(), retry);
            out.retries = made;
            if (std::filesystem::exists(parts / name)) out.phone["part"] = ReadWholeFile(parts / name);
            out.pc = TreeBelow(target);
            return out;
        };
    };
    const Job partPutJob = partJob(true), partGetJob = partJob(false);
    struct Case {
        const Job* job;
        std::vector<int> commands;
    };
    const Case cases[] = {{&uploadJob, {17, 13, 14, 12, 16, 18}},
                          {&downloadJob, {15, 14, 11}},
                          {&renameJob, {20}},
                          {&partPutJob, {22}},
                          {&partGetJob, {21}}};
    constexpr int32_t kRetries = 2;
    for (const Case& each : cases) {
        const Outcome clean = (*each.job)(0, "");
        ASSERT_EQ(clean.result, 0);
        for (const int command : each.commands) {
            for (const std::string action : {"close", "drop"}) {
                const std::string fault = action + ":cmd=" + std::to_string(command);
                SCOPED_TRACE(fault);
                // A rename whose answer is lost is found done by a stat of
                // its paths, without a retry.
                const bool statFindsItDone = command == 20 && action == "drop";
                // Lost once: a retry, and the run ends as the clean one.
                LogCapture log;
                const Outcome once = (*each.job)(kRetries, fault + ",nth=1");
                EXPECT_EQ(once.result, 0);
                EXPECT_EQ(once.phone, clean.phone);
                EXPECT_EQ(once.pc, clean.pc);
                if (statFindsItDone) {
                    EXPECT_EQ(once.retries, 0);
                } else {
                    EXPECT_GE(once.retries, 1);
                    EXPECT_GE(log.Count(": retry 1 of 2 after -4 (receiving failed)"), 1u);
                }
                // Lost every time: as with retries off.
                const Outcome exhausted = (*each.job)(kRetries, fault);
                const Outcome off = (*each.job)(0, fault);
                EXPECT_EQ(off.retries, 0);
                EXPECT_EQ(exhausted.phone, off.phone);
                EXPECT_EQ(exhausted.pc, off.pc);
                if (statFindsItDone) {
                    EXPECT_EQ(exhausted.result, 0);
                    EXPECT_EQ(exhausted.phone, clean.phone);
                } else {
                    EXPECT_EQ(exhausted.result, off.result);
                    EXPECT_GE(exhausted.retries, kRetries);
                }
            }
        }
    }
    // The clean runs left what the jobs are for.
    EXPECT_EQ(uploadJob(0, "").phone.at("Music/" + FILE_API::BuildPhonePath(Utf16ToUtf8(uploadPc), "").substr(1)),
              upload);
    EXPECT_EQ(downloadJob(0, "").pc, (std::map<std::string, std::string>{
                                         {"Camera/", ""}, {"Camera/a.jpg", std::string(150000, 'c')}, {"b.jpg", "b"}}));
}

// Stop during the wait before a retry ends the job at once, not when the
// wait (the option's full minute) would have ended: for a request made on
// its own (a stat) and for a chunk waiting inside the pump. The stop comes
// once the retry's log line shows the wait has begun; no further attempt
// is made.
TEST_F(SyncJobTest, StopDuringTheWaitBeforeARetryEndsTheJobAtOnce) {
    for (const int command : {14, 12}) {
        SCOPED_TRACE(command);
        HostItems items;
        items.Add(PcFile("wait" + std::to_string(command) + "/a.mp3", 50000), 1);  // one chunk
        job.items = items.List();
        RequestOptions options(5, 60000);
        ArmedFault lost(*service, "close:cmd=" + std::to_string(command) + ",path=" + device + "/");
        RetryLines retries;
        ExportThread sync(SyncMusicFile, connect, job);
        StopAndExpectTheEnd(sync, retries.WaitFor(1));
        EXPECT_EQ(retries.Count(), 1);
        EXPECT_EQ(GetOption(QS_OPTION_RETRIES_MADE), 1);
        EXPECT_EQ(ItemMessageCount(sync.messages()), 0u);
        EXPECT_EQ(OnPhone(FILE_API::BuildPhonePath(Utf16ToUtf8(platform::FromHostText(items[0].pcPath)),
                                                   device + "/Music")),
                  "<absent>");
    }
}

// A playlist insert whose answer is lost is not sent again: the phone may
// have made the row, and a second insert would make a second playlist. The
// create fails as it does without retries and leaves the one row the lost
// attempt made (drop) or none (close). A query whose answer is lost is
// asked again.
TEST_F(SyncJobTest, ALostAnswerToAPlaylistInsertNeverLeavesTwoRows) {
    for (const std::string action : {"drop", "close"}) {
        SCOPED_TRACE(action);
        RequestOptions options(3, 0);
        const std::u16string name = Utf8ToUtf16(Unique("retried list"));
        PlaylistItem playlist{};
        playlist.playlistName = AsHostText(name);
        playlist.playlistOp = 1;
        void* pointer = &playlist;
        QsHostList playlists{nullptr, &pointer, &pointer + 1, nullptr};
        job.word2 = &playlists;
        {
            LogCapture quiet;
            ArmedFault lost(*service, action + ":cmd=table,nth=1");
            EXPECT_EQ(SyncPlaylist(&connect, &job), 1);
        }
        EXPECT_EQ(GetOption(QS_OPTION_RETRIES_MADE), 0);
        EXPECT_EQ(playlist.playlistId, nullptr);
        size_t rows = 0;
        for (const auto& row : QueryRows(service->port(), kTestPlaylistsUri))
            rows += row.count("name") != 0 && row.at("name") == Utf16ToUtf8(name) ? 1 : 0;
        EXPECT_EQ(rows, action == "drop" ? 1u : 0u);

        ArmedFault lostQuery(*service, action + ":cmd=table,nth=1");
        std::atomic<int32_t> made{0};
        RetryPolicy retry;
        retry.retries = 3;
        retry.made = &made;
        AndroidOperationProvider provider;
        provider.AddQuery("", kTestPlaylistsUri, 0, nullptr, nullptr, nullptr);
        EXPECT_EQ(provider.DoTableSync(LoopbackPhone(service->port(), retry)), 0);
        EXPECT_EQ(made.load(), 1);
        EXPECT_EQ(provider.mResults.size(), 1u);
    }
}

// What is retried and what is not, against scripted phones. No connection
// at all: the client's immediate connect attempts count as one attempt, and
// each retry is one log line and one count (the counter saturates). A
// refusal, a malformed answer and a complete answer of the wrong shape are
// answers, asked once whatever the retries.
TEST(RequestRetryTest, OnlyLostExchangesAreRetried) {
    using namespace filewire;
    StopSignal signal;
    std::atomic<int32_t> made{INT32_MAX - 2};
    RetryPolicy retry;
    retry.retries = 3;
    retry.delayMs = 1;
    retry.made = &made;
    retry.stopSignal = &signal;
    RemoteFileInfo info;
    {
        LogCapture log;
        EXPECT_EQ(CHttpFileAPI::GetInfo("127.0.0.1", ScriptedPeer::UnusedPort(), "/a", &info, nullptr, 60, retry), -1);
        // Three retry lines and the failure's own, all under the operation.
        EXPECT_EQ(log.Count("Function = CHttpFileAPI::GetInfo GetLastError = "), 4u);
        for (int i = 1; i <= 3; ++i)
            EXPECT_EQ(log.Count(": retry " + std::to_string(i) + " of 3 after -2 (no connection)"), 1u) << i;
        EXPECT_EQ(made.load(), INT32_MAX);
    }
    made = 0;
    struct Case {
        std::string answer;  // the whole HTTP response
        int32_t result;
    };
    for (const Case& each : {Case{HttpResponse(Answer(0)), -6},
                             Case{"HTTP/1.1 200 OK\r\nContent-Length: x\r\n\r\n", -1},
                             Case{HttpResponse(Marker()), -4}}) {
        SCOPED_TRACE(each.answer);
        ScriptedPeer peer(PeerScript().ReadRequest().Send(each.answer).Close());
        ASSERT_TRUE(peer.ok());
        LogCapture quiet;
        EXPECT_EQ(CHttpFileAPI::GetInfo("127.0.0.1", peer.port(), "/a", &info, nullptr, 60, retry), each.result);
        EXPECT_EQ(peer.Requests().size(), 1u);
    }
    EXPECT_EQ(made.load(), 0);
}
