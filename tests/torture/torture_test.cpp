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

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "fileapi/FileApi.h"
#include "platform/fault.h"
#include "platform/host_memory.h"
#include "platform/utf.h"
#include "quellsync_http.h"
#include "support/log_capture.h"
#include "support/phone_service.h"
#include "support/test_env.h"

namespace fs = std::filesystem;
using platform::FaultKind;
using platform::FaultMode;

namespace {

// Relative path (generic form) -> content of every file below a folder.
using Tree = std::map<std::string, std::string>;

// A request a run abandoned (its answer lost to a fault) may still be at
// work in the stand-in, removing an empty folder say, while a tree is read
// or cleared: such a walk is taken again.
template <typename Walk>
void Retried(Walk walk) {
    for (int attempt = 1;; ++attempt) {
        try {
            walk();
            return;
        } catch (const fs::filesystem_error&) {
            if (attempt == 50) throw;
        }
    }
}

Tree Snapshot(const fs::path& root) {
    Tree tree;
    Retried([&] {
        tree.clear();
        if (!fs::exists(root)) return;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (!entry.is_regular_file()) continue;
            std::ifstream in(entry.path(), std::ios::binary);
            if (!in) continue;  // removed since it was listed
            tree[fs::relative(entry.path(), root).generic_u8string()] =
                std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    });
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
        Retried([&] { fs::remove_all(PhoneRoot()); });
        mUrl = platform::Utf8ToUtf16("http://127.0.0.1:" + std::to_string(service.port()) + "/");
        mRole = u"device=" + platform::Utf8ToUtf16(device);
        connect.url = platform::AsHostText(mUrl);
        connect.role = platform::AsHostText(mRole);
        // No window: the job's messages are not checked here, and a host
        // window that records them would allocate inside the job's run.
        job.window = nullptr;
    }
    ~World() {
        if (mPlaylist.playlistId) platform::FreeHostText(mPlaylist.playlistId);
        ReleaseStoredPaths();
    }
    // Frees the phone paths a job stored in the items, as a host does
    // before it runs the job again.
    void ReleaseStoredPaths() {
        for (size_t i = 0; i < mItems.size(); ++i) {
            if (mItems[i].phonePath && mItems[i].phonePath != mGiven[i]) platform::FreeHostText(mItems[i].phonePath);
            mItems[i].phonePath = mGiven[i];
        }
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

    bool PlaylistCreated() const { return mPlaylist.playlistId != nullptr; }
    // The same playlist, created here without faults, to update (op 2) or
    // delete (op 3).
    void PlaylistToChange(intptr_t op) {
        PlaylistToCreate();
        ASSERT_EQ(SyncPlaylist(&connect, &job), 0);
        ASSERT_NE(mPlaylist.playlistId, nullptr);
        mPlaylist.playlistOp = op;
    }
    // A playlist of one song (phone path device/Music/song.mp3) to create
    // with SyncPlaylist.
    void PlaylistToCreate() {
        mTexts.push_back(u"torture list");
        mPlaylist.playlistName = platform::AsHostText(mTexts.back());
        mPlaylist.playlistOp = 1;
        Item(u"", 1, false, mDevice + "/Music/song.mp3");
        mPlaylist.members = mList;
        mPlaylistPointer = &mPlaylist;
        mPlaylists.first = &mPlaylistPointer;
        mPlaylists.last = &mPlaylistPointer + 1;
        job.word2 = &mPlaylists;
    }

    ConnectParams connect{};
    JobParams job{};
    DestinationFolders folders{};
    std::u16string hostText, pcText, phoneText;

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
    PlaylistItem mPlaylist{};
    void* mPlaylistPointer = nullptr;
    QsHostList mPlaylists{};
};

struct Job {
    const char* name;
    std::function<void(World&)> prepare;
    std::function<int32_t(World&)> run;
    // For a job whose work is not files: whether it was done.
    std::function<bool(World&)> done = nullptr;
};

// The texts of the exports' PC folder and phone root, set while preparing:
// a run calls nothing but the export, so that every allocation it makes is
// the library's.
void SetRoots(World& world) {
    world.hostText = u"127.0.0.1";
    world.pcText = world.Pc().u16string();
    world.phoneText = platform::Utf8ToUtf16(world.Device());
}

int32_t BackupOf(World& world, int32_t category) {
    return Backup(category, platform::AsHostText(world.hostText), world.Port(), platform::AsHostText(world.pcText),
                  platform::AsHostText(world.phoneText), nullptr);
}

int32_t RestoreOf(World& world, int32_t category, int32_t mode) {
    return Restore(category, platform::AsHostText(world.hostText), world.Port(), platform::AsHostText(world.pcText),
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
             SetRoots(w);
         },
         [](World& w) { return BackupOf(w, 0); }},
        {"backup of documents",
         [](World& w) {
             w.OnPhone("Download/d.pdf", kTwoChunks);
             w.OnPhone("My Documents/Documents/x.doc", "x");
             SetRoots(w);
         },
         [](World& w) { return BackupOf(w, 5); }},
        {"restore of music, replacing",
         [](World& w) {
             w.OnPc("Music/Music/r.mp3", kTwoChunks);
             w.OnPc("Music/Music/s.mp3", "s");
             w.OnPhone("Music/r.mp3", "the phone's own copy");
             SetRoots(w);
         },
         [](World& w) { return RestoreOf(w, 0, 2); }},
        {"restore of documents, keeping",
         [](World& w) {
             w.OnPc("Document/Download/d.pdf", kTwoChunks);
             w.OnPc("Document/My Documents/Documents/x.doc", "x");
             w.OnPhone("Download/d.pdf", "kept");
             SetRoots(w);
         },
         [](World& w) { return RestoreOf(w, 5, 0); }},
        {"playlist create",
         [](World& w) {
             w.OnPhone("Music/song.mp3", "s");
             w.PlaylistToCreate();
         },
         [](World& w) { return SyncPlaylist(&w.connect, &w.job); }, [](World& w) { return w.PlaylistCreated(); }},
        // Their work is in the media database: the loops check results,
        // crashes and handles.
        {"playlist update",
         [](World& w) {
             w.OnPhone("Music/song.mp3", "s");
             w.PlaylistToChange(2);
         },
         [](World& w) { return SyncPlaylist(&w.connect, &w.job); }, [](World&) { return true; }},
        {"playlist delete",
         [](World& w) {
             w.OnPhone("Music/song.mp3", "s");
             w.PlaylistToChange(3);
         },
         [](World& w) { return SyncPlaylist(&w.connect, &w.job); }, [](World&) { return true; }},
    };
}

// One new file for each upload export, one download for the documents, a
// playlist, and the two exports that only answer: with Jobs(), every export.
std::vector<Job> EveryExport() {
    std::vector<Job> jobs = Jobs();
    using Upload = int32_t(QS_CALL*)(ConnectParams*, JobParams*);
    static const std::pair<const char*, Upload> kUploads[] = {{"photo push", SyncPhotoFile},
                                                              {"video push", SyncVideoFile},
                                                              {"document push", SyncDocumentFile},
                                                              {"playlist file push", SyncPlaylistFile}};
    for (const auto& [name, upload] : kUploads)
        jobs.push_back({name, [](World& w) { w.Item(w.OnPc("up/one.bin", kTwoChunks).u16string(), 1, false); },
                        [upload = upload](World& w) { return upload(&w.connect, &w.job); }});
    jobs.push_back({"fetch of the download folder",
                    [](World& w) {
                        w.OnPhone("Download/d.pdf", kTwoChunks);
                        w.pcText = (w.Pc() / "Docs").u16string();
                        w.folders.documentFolder = platform::AsHostText(w.pcText);
                        w.job.word2 = &w.folders;
                    },
                    [](World& w) { return SyncDevDocument(&w.connect, &w.job); }});
    jobs.push_back({"probe and stop", [](World&) {},
                    [](World& w) { return Test() + Stop(&w.connect, &w.job); }});
    return jobs;
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
        SCOPED_TRACE(path + ": " + std::to_string(content.size()) + " bytes, before " +
                     (was == before.end() ? "none" : std::to_string(was->second.size())) + ", fault-free " +
                     (should == clean.end() ? "none" : std::to_string(should->second.size())));
        EXPECT_GT(log.Count(fs::u8path(path).filename().u8string()), 0u) << path << " left without a log line";
    }
    for (const auto& [path, content] : before) {
        if (after.count(path) != 0) continue;
        // Gone: only what the job itself removes or replaces.
        const auto should = clean.find(path);
        EXPECT_TRUE(should == clean.end() || should->second != content) << path << " was destroyed";
    }
}

// One job under fault after fault: the fault-free outcome first, then one
// fresh world per faulty run, each checked against it.
class FaultLoop {
public:
    explicit FaultLoop(const Job& job) : mJob(job) {
        mService = PhoneService::Start();
        if (!mService) return;
        mPc = mScratch.path() / "pc";
        int32_t result = -100;
        Outcome before;
        Run([] {}, [] {}, result, before, mClean);
        EXPECT_EQ(result, 0) << "the fault-free run";
        mHandles = CountOpenHandles();
    }
    bool Ready() const { return mService != nullptr; }
    const Outcome& Clean() const { return mClean; }

    // One run with arm() before the job and disarm() after it, then every
    // check; wasMet() says whether the run met its fault (LastMet).
    void RunAndCheck(const std::function<void()>& arm, const std::function<void()>& disarm,
                     const std::function<bool()>& wasMet) {
        int32_t result = -100;
        Outcome start, after;
        Run(arm, disarm, result, start, after);
        mMet = wasMet();
        ++mRuns;
        mFaultsMet += mMet ? 1 : 0;
        // Past the last call the job is as clean as the fault-free run; and
        // 0 always means all of the work was done.
        if (!mMet) {
            EXPECT_EQ(result, 0);
        }
        if (result == 0) {
            EXPECT_TRUE(mDone) << "0 for work that was not done";
        }
        if (!mMet || result == 0) {
            EXPECT_EQ(Differences(after.phone, mClean.phone), std::vector<std::string>{}) << "result " << result;
            EXPECT_EQ(Differences(after.pc, mClean.pc), std::vector<std::string>{}) << "result " << result;
        }
        CheckSide("phone", start.phone, mClean.phone, after.phone, result, mLog);
        CheckSide("PC", start.pc, mClean.pc, after.pc, result, mLog);
        if (std::getenv("QS_PHONE_SERVICE_PORT") == nullptr) {  // Wine keeps handles of its own
            EXPECT_EQ(CountOpenHandles(), mHandles) << "a descriptor was left open";
        }
    }
    bool LastMet() const { return mMet; }
    void Summary() const { std::printf("%s: %zu runs, %zu of them met their fault\n", mJob.name, mRuns, mFaultsMet); }

private:
    void Run(const std::function<void()>& arm, const std::function<void()>& disarm, int32_t& result,
             Outcome& before, Outcome& after) {
        World world(*mService, mPc, mDevice);
        mJob.prepare(world);
        before = {Snapshot(world.PhoneRoot()), Snapshot(mPc)};
        mLog.Clear();
        arm();
        result = mJob.run(world);
        disarm();
        mDone = !mJob.done || mJob.done(world);
        after = {Snapshot(world.PhoneRoot()), Snapshot(mPc)};
    }

    const Job& mJob;
    std::unique_ptr<PhoneService> mService;
    ScratchDir mScratch;
    fs::path mPc;
    std::string mDevice = "/sdcard/" + Unique("torture");
    LogCapture mLog;
    Outcome mClean;
    int mHandles = 0;
    bool mMet = false;
    bool mDone = false;
    size_t mRuns = 0, mFaultsMet = 0;
};

std::string JobTestName(const ::testing::TestParamInfo<size_t>& info) {
    std::string name;
    for (const char* c = EveryExport()[info.param].name; *c; ++c)
        if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
    return name;
}

class FileFaultTest : public ::testing::TestWithParam<size_t> {};

TEST_P(FileFaultTest, EveryPlatformCallFailingInTurnLosesNothing) {
    const Job job = Jobs()[GetParam()];
    SCOPED_TRACE(job.name);
    FaultLoop loop(job);
    ASSERT_TRUE(loop.Ready());
    ASSERT_TRUE(job.done || loop.Clean().phone != Outcome{}.phone || loop.Clean().pc != Outcome{}.pc)
        << "the job did nothing";
    for (int k = 0; k < platform::kFaultKinds && !HasFailure(); ++k) {
        const FaultKind kind = static_cast<FaultKind>(k);
        for (FaultMode mode : {FaultMode::kOnce, FaultMode::kFromThen}) {
            for (uint64_t n = 1; !HasFailure(); ++n) {
                // With threads the N-th call can differ between runs: this
                // names the fault point to replay.
                SCOPED_TRACE(std::string(KindName(kind)) + (mode == FaultMode::kOnce ? ", call " : ", calls from ") +
                             std::to_string(n));
                ASSERT_LT(n, 400u) << "the fault is met on every run";
                loop.RunAndCheck([&] { platform::ArmFaultForTesting(kind, n, mode, 5); },
                                 [] { platform::DisarmFaultsForTesting(); },
                                 [kind] { return platform::FaultMetForTesting(kind); });
                if (!loop.LastMet()) break;
            }
        }
    }
    loop.Summary();
}

INSTANTIATE_TEST_SUITE_P(Jobs, FileFaultTest, ::testing::Range<size_t>(0, Jobs().size()), JobTestName);

// The soak: many files pushed, backed up, restored and fetched while the
// phone misbehaves at random (status 0, closed connections, delays,
// truncated answers). Afterwards every file is byte-identical to its
// source, or absent with its job's failure, or (a clean-up that met a fault
// itself) left with a failure and a log line naming it; a job returns 0
// exactly when all of its files arrived. QS_SOAK_FILES, QS_SOAK_SEED,
// QS_SOAK_RATE and QS_SOAK_ROUNDS change the run; the seed is printed so
// that a failure can be replayed.
class SoakTest : public ::testing::Test {
protected:
    static int EnvOr(const char* name, int fallback) {
        const char* text = std::getenv(name);
        return text != nullptr ? std::atoi(text) : fallback;
    }

    // Runs a job in rounds, as a user runs it again after a failure, until
    // it returns 0 (at most QS_SOAK_ROUNDS, 20 by default). After each round every file of
    // sources has arrived under target (relative paths map one to one) or
    // is absent, and the job returned 0 exactly when all of them arrived.
    void InRounds(const char* job, const Tree& sources, const fs::path& target, const std::function<int32_t()>& run) {
        SCOPED_TRACE(job);
        const int rounds = EnvOr("QS_SOAK_ROUNDS", 20);
        int32_t result = -100;
        size_t complete = 0;
        int round = 0;
        while (result != 0 && round < rounds && !HasFailure()) {
            SCOPED_TRACE("round " + std::to_string(++round));
            mLog.Clear();
            result = run();
            complete = 0;
            for (const auto& [path, content] : Snapshot(target)) {
                const auto source = sources.find(path);
                if (source != sources.end() && source->second == content) {
                    ++complete;
                    continue;
                }
                EXPECT_NE(result, 0) << path << ": a partial, stale or stray file";
                EXPECT_GT(mLog.Count(fs::u8path(path).filename().u8string()), 0u) << path << " left without a log line";
            }
            // A push whose files all arrived still fails when a media scan
            // after an upload failed (-2): the scanner's answer was lost, no file.
            const bool onlyScanFailed = result == -2 && std::string(job) == "push";
            const bool allArrived = complete == sources.size();
            EXPECT_TRUE(result == 0 ? allArrived : !allArrived || onlyScanFailed)
                << "result " << result << " with " << complete << " of " << sources.size() << " files";
        }
        std::printf("%s: %d rounds, result %d, %zu of %zu files\n", job, round, result, complete, sources.size());
        EXPECT_GT(complete, 0u) << "no progress at all";
    }

    LogCapture mLog;
};

TEST_F(SoakTest, FilesSurviveAPhoneThatMisbehavesAtRandom) {
    const int files = EnvOr("QS_SOAK_FILES", 100);
    const int seed = EnvOr("QS_SOAK_SEED", 20261208);
    const std::string rate = std::to_string(EnvOr("QS_SOAK_RATE", 2));  // per mille of requests, each fault
    std::printf("soak: %d files, seed %d, rate %s per mille\n", files, seed, rate.c_str());
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::string s = std::to_string(seed);
    std::unique_ptr<PhoneService> service = PhoneService::Start(
        {"--fault", "status0:rate=" + rate + ",seed=" + s, "--fault", "close:rate=" + rate + ",seed=" + s + "1",
         "--fault", "delay:ms=20,rate=" + rate + ",seed=" + s + "2", "--fault",
         "truncate:rate=" + rate + ",seed=" + s + "3"});
    if (!service) GTEST_SKIP() << "needs a stand-in of its own";
    ScratchDir scratch;
    World world(*service, scratch.path() / "pc", "/sdcard/" + Unique("soak"));
    SetRoots(world);
    std::mt19937 random(static_cast<std::mt19937::result_type>(seed));
    Tree sources;  // by phone path below the phone's Music folder
    for (int i = 0; i < files; ++i) {
        std::string content(random() % (3 * 65536 + 1), '\0');
        for (char& c : content) c = static_cast<char>(random());
        const fs::path pcFile = world.OnPc("src/" + std::to_string(i % 7) + "/f" + std::to_string(i) + ".mp3", content);
        sources[world.Relative(world.MusicPath(pcFile)).substr(6)] = content;
        world.Item(pcFile.u16string(), 1, false);
    }
    const fs::path phoneMusic = world.PhoneRoot() / "Music";
    const fs::path backup = world.Pc() / "Music" / "Music";
    InRounds("push", sources, phoneMusic, [&] {
        world.ReleaseStoredPaths();
        return SyncMusicFile(&world.connect, &world.job);
    });
    const Tree pushed = Snapshot(phoneMusic);
    InRounds("backup", pushed, backup, [&] { return BackupOf(world, 0); });
    const Tree backedUp = Snapshot(backup);
    fs::remove_all(phoneMusic);
    InRounds("restore", backedUp, phoneMusic, [&] { return RestoreOf(world, 0, 0); });
    const Tree restored = Snapshot(phoneMusic);
    fs::rename(phoneMusic, world.PhoneRoot() / "DCIM");
    world.pcText = (world.Pc() / "Pictures").u16string();
    world.folders.cameraFolder = platform::AsHostText(world.pcText);
    world.job.word2 = &world.folders;
    InRounds("fetch", restored, world.Pc() / "Pictures", [&] { return SyncPhoto(&world.connect, &world.job); });
}

#ifdef QS_ALLOC_INJECTION
// Allocation failure: the N-th operator new of the process (any thread)
// throws std::bad_alloc, or a nothrow new returns null.
std::atomic<bool> gAllocArmed{false};
std::atomic<int64_t> gAllocsLeft{0};
std::atomic<bool> gAllocMet{false};

class AllocFaultTest : public ::testing::TestWithParam<size_t> {};

TEST_P(AllocFaultTest, EveryAllocationFailingInTurnEndsInAResultAndLosesNothing) {
    const Job job = EveryExport()[GetParam()];
    SCOPED_TRACE(job.name);
    FaultLoop loop(job);
    ASSERT_TRUE(loop.Ready());
    // Every allocation up to this bound fails in turn; past it, a stride
    // that grows with N keeps a long job's loop bounded.
    constexpr int64_t kEveryOneUpTo = 1500;
    for (int64_t n = 1; !HasFailure(); n += n < kEveryOneUpTo ? 1 : n / 16) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        ASSERT_LT(n, 1000000) << "the fault is met on every run";
        loop.RunAndCheck(
            [n] {
                gAllocMet = false;
                gAllocsLeft = n;
                gAllocArmed = true;
            },
            [] { gAllocArmed = false; }, [] { return gAllocMet.load(); });
        if (!loop.LastMet()) break;
    }
    loop.Summary();
}

INSTANTIATE_TEST_SUITE_P(Exports, AllocFaultTest, ::testing::Range<size_t>(0, EveryExport().size()), JobTestName);
#endif

}  // namespace

#ifdef QS_ALLOC_INJECTION
namespace {

void* Allocate(std::size_t size) {
    if (gAllocArmed.load(std::memory_order_relaxed) && gAllocsLeft.fetch_sub(1) == 1) {
        gAllocMet = true;
        throw std::bad_alloc();
    }
    void* block = std::malloc(size != 0 ? size : 1);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void* AllocateOrNull(std::size_t size) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return AllocateOrNull(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return AllocateOrNull(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
#endif
