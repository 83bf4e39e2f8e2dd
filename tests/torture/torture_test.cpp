// Failure injection at every platform call: each job runs against the
// phone-service stand-in with the N-th call of one kind failing (or every
// call from the N-th on), for N = 1, 2, ... until a run no longer meets the
// fault. After every run both sides are compared with the same job's
// fault-free outcome:
//   - a job that returns 0 did all of its work;
//   - every file is as it was before, or as the fault-free run left it: no
//     partial or stale file under any name, nothing outside the folders;
//   - a file the fault-free run keeps is never destroyed;
//   - an extra file (a clean-up that itself failed) comes only with a
//     non-zero result and a log line that names it;
//   - no descriptor or handle is left open.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fileapi/FileApi.h"
#include "platform/fault.h"
#include "platform/host_memory.h"
#include "platform/utf.h"
#include "quellsync_http.h"
#include "support/log_capture.h"
#include "support/phone_service.h"
#include "support/recording_window.h"
#include "support/test_env.h"

namespace fs = std::filesystem;
using platform::FaultKind;
using platform::FaultMode;

namespace {

// Relative path (generic form) -> content of every file below a folder.
using Tree = std::map<std::string, std::string>;

Tree Snapshot(const fs::path& root) {
    Tree tree;
    if (!fs::exists(root)) return tree;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file()) tree[fs::relative(entry.path(), root).generic_u8string()] = ReadWholeFile(entry.path());
    return tree;
}

void WriteFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

// One run's world: a phone device folder and a PC folder, both at the same
// place for every run of a job, so that runs compare path for path.
class World {
public:
    World(PhoneService& service, const fs::path& pc, const std::string& device)
        : mService(service), mPc(pc), mDevice(device) {
        fs::remove_all(mPc);
        fs::create_directories(mPc);
        fs::remove_all(PhoneRoot());
        mUrl = platform::Utf8ToUtf16("http://127.0.0.1:" + std::to_string(service.port()) + "/");
        mRole = u"device=" + platform::Utf8ToUtf16(device);
        connect.url = platform::AsHostText(mUrl);
        connect.role = platform::AsHostText(mRole);
        job.window = window.handle();
    }
    ~World() {
        for (size_t i = 0; i < mItems.size(); ++i)
            if (mItems[i].phonePath && mItems[i].phonePath != mGiven[i]) platform::FreeHostText(mItems[i].phonePath);
    }

    fs::path PhoneRoot() const { return mService.OnDisk(mDevice); }
    const fs::path& Pc() const { return mPc; }
    const std::string& Device() const { return mDevice; }
    int Port() const { return mService.port(); }
    void OnPhone(const std::string& relative, const std::string& content) {
        WriteFile(PhoneRoot() / fs::u8path(relative), content);
    }
    fs::path OnPc(const std::string& relative, const std::string& content) {
        const fs::path path = mPc / fs::u8path(relative);
        WriteFile(path, content);
        return path;
    }
    std::string Text(const fs::path& path) { return platform::Utf16ToUtf8(path.u16string()); }

    // A sync item; phonePath may be empty.
    void Item(const std::u16string& pcPath, intptr_t change, bool folder, const std::string& phonePath = "") {
        mTexts.push_back(pcPath);
        mItems.emplace_back();
        SyncItem& item = mItems.back();
        item.pcPath = platform::AsHostText(mTexts.back());
        item.changeKind = change;
        item.isFolder = folder ? 1 : 0;
        if (!phonePath.empty()) {
            mTexts.push_back(platform::Utf8ToUtf16(phonePath));
            item.phonePath = const_cast<QS_WCHAR*>(platform::AsHostText(mTexts.back()));
        }
        mGiven.push_back(item.phonePath);
        mPointers.clear();
        for (SyncItem& each : mItems) mPointers.push_back(&each);
        mList.first = mPointers.data();
        mList.last = mPointers.data() + mPointers.size();
        job.items = &mList;
    }
    // The phone path an upload of a PC file mirrors to.
    std::string MusicPath(const fs::path& pcFile) {
        return FILE_API::BuildPhonePath(Text(pcFile), mDevice + "/Music");
    }
    std::string Relative(const std::string& phonePath) { return phonePath.substr(mDevice.size() + 1); }

    ConnectParams connect{};
    JobParams job{};
    DestinationFolders folders{};
    RecordingWindow window;
    std::u16string pcText, phoneText;

private:
    PhoneService& mService;
    fs::path mPc;
    std::string mDevice;
    std::u16string mUrl, mRole;
    std::deque<std::u16string> mTexts;
    std::deque<SyncItem> mItems;
    std::vector<QS_WCHAR*> mGiven;
    std::vector<void*> mPointers;
    QsHostList mList{};
};

struct Job {
    const char* name;
    std::function<void(World&)> prepare;
    std::function<int32_t(World&)> run;
};

// The texts of the exports' PC folder and phone root.
void SetRoots(World& world) {
    world.pcText = world.Pc().u16string();
    world.phoneText = platform::Utf8ToUtf16(world.Device());
}

int32_t BackupOf(World& world, int32_t category) {
    SetRoots(world);
    return Backup(category, platform::AsHostText(u"127.0.0.1"), world.Port(), platform::AsHostText(world.pcText),
                  platform::AsHostText(world.phoneText), nullptr);
}

int32_t RestoreOf(World& world, int32_t category, int32_t mode) {
    SetRoots(world);
    return Restore(category, platform::AsHostText(u"127.0.0.1"), world.Port(), platform::AsHostText(world.pcText),
                   platform::AsHostText(world.phoneText), mode, nullptr);
}

const std::string kTwoChunks(70000, 'a');

std::vector<Job> Jobs() {
    return {
        {"push with changed and removed items",
         [](World& w) {
             const fs::path fresh = w.OnPc("music/new.mp3", kTwoChunks);
             const fs::path changed = w.OnPc("music/changed.mp3", std::string(1000, 'n'));
             w.OnPhone(w.Relative(w.MusicPath(changed)), std::string(3000, 'o'));
             const std::string removed = w.Device() + "/Music/removed.mp3";
             w.OnPhone(w.Relative(removed), "r");
             const fs::path gone = w.Pc() / "gone";
             w.OnPhone(w.Relative(w.MusicPath(gone)) + "/x.mp3", "f");
             w.Item(gone.u16string(), 3, true);
             w.Item(u"", 3, false, removed);
             w.Item(fresh.u16string(), 1, false);
             w.Item(changed.u16string(), 2, false);
         },
         [](World& w) { return SyncMusicFile(&w.connect, &w.job); }},
        {"fetch of the camera folder",
         [](World& w) {
             w.OnPhone("DCIM/Camera/a.jpg", kTwoChunks);
             w.OnPhone("DCIM/b.jpg", "bb");
             w.OnPc("Pictures/Camera/a.jpg", "an older picture");  // the fetched one is numbered
             w.OnPc("Pictures/keep.jpg", "k");
             w.pcText = (w.Pc() / "Pictures").u16string();
             w.folders.cameraFolder = platform::AsHostText(w.pcText);
             w.job.word2 = &w.folders;
         },
         [](World& w) { return SyncPhoto(&w.connect, &w.job); }},
        {"backup of music",
         [](World& w) {
             w.OnPhone("Music/m.mp3", kTwoChunks);
             w.OnPhone("Music/sub/n.mp3", "n");
             w.OnPc("Music/Music/m.mp3", "an earlier backup");
         },
         [](World& w) { return BackupOf(w, 0); }},
        {"backup of documents",
         [](World& w) {
             w.OnPhone("Download/d.pdf", kTwoChunks);
             w.OnPhone("My Documents/Documents/x.doc", "x");
         },
         [](World& w) { return BackupOf(w, 5); }},
        {"restore of music, replacing",
         [](World& w) {
             w.OnPc("Music/Music/r.mp3", kTwoChunks);
             w.OnPc("Music/Music/s.mp3", "s");
             w.OnPhone("Music/r.mp3", "the phone's own copy");
         },
         [](World& w) { return RestoreOf(w, 0, 2); }},
        {"restore of documents, keeping",
         [](World& w) {
             w.OnPc("Document/Download/d.pdf", kTwoChunks);
             w.OnPc("Document/My Documents/Documents/x.doc", "x");
             w.OnPhone("Download/d.pdf", "kept");
         },
         [](World& w) { return RestoreOf(w, 5, 0); }},
    };
}

struct Outcome {
    Tree phone, pc;
};

// The paths whose files differ between two trees (contents are too long to
// print).
std::vector<std::string> Differences(const Tree& a, const Tree& b) {
    std::vector<std::string> paths;
    for (const auto& [path, content] : a) {
        const auto other = b.find(path);
        if (other == b.end() || other->second != content) paths.push_back(path);
    }
    for (const auto& [path, content] : b)
        if (a.count(path) == 0) paths.push_back(path);
    return paths;
}

const char* KindName(FaultKind kind) {
    static const char* const kNames[] = {"connect", "send", "receive", "wait", "file open", "read",
                                         "write", "seek", "rename/replace", "remove", "create folder",
                                         "folder search"};
    return kNames[static_cast<int>(kind)];
}

// Checks one side after a faulty run against the side before and after the
// fault-free run.
void CheckSide(const char* side, const Tree& before, const Tree& clean, const Tree& after, int32_t result,
               const LogCapture& log) {
    SCOPED_TRACE(side);
    for (const auto& [path, content] : after) {
        const auto was = before.find(path);
        const auto should = clean.find(path);
        const bool asBefore = was != before.end() && was->second == content;
        const bool asClean = should != clean.end() && should->second == content;
        if (asBefore || asClean) continue;
        // Only a clean-up that failed may leave a file behind, and it says so.
        EXPECT_NE(result, 0) << path << " is neither the old nor the new file";
        EXPECT_GT(log.Count(fs::u8path(path).filename().u8string()), 0u) << path << " left without a log line";
    }
    for (const auto& [path, content] : before) {
        if (after.count(path) != 0) continue;
        // Gone: only what the job itself removes or replaces.
        const auto should = clean.find(path);
        EXPECT_TRUE(should == clean.end() || should->second != content) << path << " was destroyed";
    }
}

class TortureTest : public ::testing::TestWithParam<size_t> {};

TEST_P(TortureTest, EveryFileCallFailingInTurnLosesNothing) {
    const Job job = Jobs()[GetParam()];
    SCOPED_TRACE(job.name);
    std::unique_ptr<PhoneService> service = PhoneService::Start();
    ASSERT_TRUE(service);
    ScratchDir scratch;
    const fs::path pc = scratch.path() / "pc";
    const std::string device = "/sdcard/" + Unique("torture");

    auto runOnce = [&](const std::function<void()>& arm, int32_t& result, Outcome& before, Outcome& after,
                       LogCapture& log) {
        World world(*service, pc, device);
        job.prepare(world);
        before = {Snapshot(world.PhoneRoot()), Snapshot(pc)};
        log.Clear();
        arm();
        result = job.run(world);
        platform::DisarmFaultsForTesting();
        after = {Snapshot(world.PhoneRoot()), Snapshot(pc)};
    };

    LogCapture log;
    Outcome before, clean;
    int32_t result = -100;
    runOnce([] {}, result, before, clean, log);
    ASSERT_EQ(result, 0);
    ASSERT_TRUE(clean.phone != before.phone || clean.pc != before.pc) << "the job did nothing";
    const int handles = CountOpenHandles();

    const bool underWine = std::getenv("QS_PHONE_SERVICE_PORT") != nullptr;
    size_t runs = 0, faultsMet = 0;
    for (int k = 0; k < platform::kFaultKinds; ++k) {
        const FaultKind kind = static_cast<FaultKind>(k);
        for (FaultMode mode : {FaultMode::kOnce, FaultMode::kFromThen}) {
            bool met = true;
            for (uint64_t n = 1; met; ++n) {
                SCOPED_TRACE(std::string(KindName(kind)) + (mode == FaultMode::kOnce ? ", call " : ", calls from ") +
                             std::to_string(n));
                ASSERT_LT(n, 400u) << "the fault is met on every run";
                Outcome start, after;
                runOnce([&] { platform::ArmFaultForTesting(kind, n, mode, 5); }, result, start, after, log);
                met = platform::FaultMetForTesting(kind);
                ++runs;
                faultsMet += met ? 1 : 0;
                // Past the last call of this kind the job is as clean as the
                // fault-free run; and 0 always means all of the work was done.
                if (!met) EXPECT_EQ(result, 0);
                if (!met || result == 0) {
                    EXPECT_EQ(Differences(after.phone, clean.phone), std::vector<std::string>{}) << "result " << result;
                    EXPECT_EQ(Differences(after.pc, clean.pc), std::vector<std::string>{}) << "result " << result;
                }
                CheckSide("phone", start.phone, clean.phone, after.phone, result, log);
                CheckSide("PC", start.pc, clean.pc, after.pc, result, log);
                if (!underWine) EXPECT_EQ(CountOpenHandles(), handles) << "a descriptor was left open";
                if (HasFailure()) return;  // one report per job is enough to replay it
            }
        }
    }
    std::printf("%s: %zu runs, %zu of them met their fault\n", job.name, runs, faultsMet);
}

std::string JobTestName(const ::testing::TestParamInfo<size_t>& info) {
    static const char* const kNames[] = {"Push", "CameraFetch", "MusicBackup", "DocumentBackup",
                                         "MusicRestoreReplacing", "DocumentRestoreKeeping"};
    return kNames[info.param];
}

INSTANTIATE_TEST_SUITE_P(Jobs, TortureTest, ::testing::Range<size_t>(0, 6), JobTestName);

}  // namespace
