// The phone file entry points as a host calls them: against the stand-in
// for every result and for cut and stopped transfers, against scripted
// phones for hostile listings, and beside a running sync job.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "context/SyncContext.h"
#include "platform/host_memory.h"
#include "platform/utf.h"
#include "quellsync_http.h"
#include "support/file_wire.h"
#include "support/phone_control.h"
#include "support/one_upload_job.h"
#include "support/phone_service.h"
#include "support/scripted_peer.h"
#include "support/table_query.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using platform::AsHostText;
using platform::Utf16ToUtf8;
using platform::Utf8ToUtf16;

struct Seen {
    std::string path;
    uint64_t size;
    int32_t isFile, isDir;
};

// Collects the entries a call hands out; stops the listing after `keep`
// entries when keep is not negative.
struct Entries {
    std::vector<Seen> seen;
    long keep = -1;
    static int32_t QS_CALL Collect(void* context, const QsPhoneEntry* entry) {
        auto* self = static_cast<Entries*>(context);
        self->seen.push_back({Utf16ToUtf8(platform::FromHostText(entry->path)), entry->size, entry->isFile,
                              entry->isDir});
        return self->keep >= 0 && static_cast<long>(self->seen.size()) >= self->keep ? 1 : 0;
    }
};

struct Bytes {
    std::vector<std::pair<uint64_t, uint64_t>> reports;
    static void QS_CALL Report(void* context, uint64_t done, uint64_t total) {
        static_cast<Bytes*>(context)->reports.emplace_back(done, total);
    }
};

// Host texts that live as long as the test.
class Texts {
public:
    const QS_WCHAR* operator()(const std::string& utf8) {
        mTexts.push_back(Utf8ToUtf16(utf8));
        return AsHostText(mTexts.back());
    }
    const QS_WCHAR* operator()(const char* utf8) { return (*this)(std::string(utf8)); }
    const QS_WCHAR* operator()(const fs::path& pc) {
        mTexts.push_back(pc.u16string());
        return AsHostText(mTexts.back());
    }

private:
    std::deque<std::u16string> mTexts;
};

class PhoneFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        service = PhoneService::Start();
        ASSERT_TRUE(service);
        url = T("http://127.0.0.1:" + std::to_string(service->port()) + "/");
    }
    void TearDown() override {
        GetSyncContext().stopRequested.store(0);
        SetOption(QS_OPTION_REQUEST_RETRIES, 0);
    }

    std::string PhoneFile(const std::string& phonePath, const std::string& content) {
        const fs::path disk = service->OnDisk(phonePath);
        fs::create_directories(disk.parent_path());
        std::ofstream(disk, std::ios::binary) << content;
        return phonePath;
    }
    std::string OnPhone(const std::string& phonePath) const {
        const fs::path disk = service->OnDisk(phonePath);
        return fs::is_regular_file(disk) ? ReadWholeFile(disk) : "<absent>";
    }
    fs::path PcFile(const std::string& name, const std::string& content) {
        const fs::path path = pc.path() / fs::u8path(name);
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    static std::string OnPc(const fs::path& path) {
        return fs::is_regular_file(path) ? ReadWholeFile(path) : "<absent>";
    }
    // The names in a folder (PC or the phone's on disk), temporary ones too.
    static std::set<std::string> Names(const fs::path& folder) {
        std::set<std::string> names;
        if (fs::is_directory(folder))
            for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().u8string());
        return names;
    }

    std::unique_ptr<PhoneService> service;
    ScratchDir pc;
    Texts T;
    const QS_WCHAR* url = nullptr;
    const std::string root = "/sdcard/" + Unique("pf");
};

std::string Content(size_t size, char seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 7 % 251);
    return bytes;
}

}  // namespace

// Every call and every result it can give against the stand-in, one step
// after another over one tree with non-ASCII names: what each step returns,
// and what it leaves on the phone and the PC.
TEST_F(PhoneFilesTest, EveryCallGivesItsResultsAndLeavesWhatItSays) {
    const std::string folder = root + "/Müsik";
    const std::string song = folder + "/ñandú.mp3";
    const std::string longer = Content(300000, 'a'), shorter = Content(70000, 'b');
    const fs::path pcLonger = PcFile("in/longer.mp3", longer), pcShorter = PcFile("in/shorter.mp3", shorter);
    const fs::path fetched = pc.path() / "out" / fs::u8path("ñandú.mp3");
    PhoneFile(folder + "/sub/keep.txt", "keep");

    struct Step {
        const char* what;
        std::function<int32_t()> call;
        int32_t expected;
        std::function<void()> check;
    };
    Entries entries;
    Bytes bytes;
    const auto none = [] {};
    const std::vector<Step> steps = {
        {"put new", [&] { return PhonePutFile(url, T(pcLonger), T(song), 0, &Bytes::Report, &bytes); }, QS_PHONE_OK,
         [&] {
             EXPECT_EQ(OnPhone(song), longer);
             ASSERT_FALSE(bytes.reports.empty());
             EXPECT_EQ(bytes.reports.back(), std::make_pair(uint64_t{300000}, uint64_t{300000}));
             std::set<std::string> scanned;
             for (const auto& row : QueryRows(service->port(), kTestAudioUri)) scanned.insert(row.at("_data"));
             EXPECT_EQ(scanned.count(song), 1u) << "the media scanner was asked";
         }},
        {"put over it, no replace", [&] { return PhonePutFile(url, T(pcShorter), T(song), 0, nullptr, nullptr); },
         QS_PHONE_EXISTS, [&] { EXPECT_EQ(OnPhone(song), longer); }},
        {"put shorter over it, replace",
         [&] { return PhonePutFile(url, T(pcShorter), T(song), QS_PHONE_REPLACE, nullptr, nullptr); }, QS_PHONE_OK,
         [&] {
             EXPECT_EQ(OnPhone(song), shorter) << "no stale tail of the longer file";
             EXPECT_EQ(Names(service->OnDisk(folder)), (std::set<std::string>{"sub", "ñandú.mp3"}));
         }},
        {"put a PC file that is missing",
         [&] { return PhonePutFile(url, T(pc.path() / "none.mp3"), T(folder + "/x.mp3"), 0, nullptr, nullptr); },
         QS_PHONE_NO_PC_FILE, [&] { EXPECT_EQ(OnPhone(folder + "/x.mp3"), "<absent>"); }},
        {"put a PC folder", [&] { return PhonePutFile(url, T(pc.path() / "in"), T(folder + "/x"), 0, nullptr, nullptr); },
         QS_PHONE_WRONG_KIND, none},
        {"put onto a phone folder",
         [&] { return PhonePutFile(url, T(pcLonger), T(folder + "/sub"), QS_PHONE_REPLACE, nullptr, nullptr); },
         QS_PHONE_WRONG_KIND, [&] { EXPECT_EQ(OnPhone(folder + "/sub/keep.txt"), "keep"); }},
        {"stat a file", [&] { return PhoneStat(url, T(song), &Entries::Collect, &entries); }, QS_PHONE_OK,
         [&] {
             ASSERT_EQ(entries.seen.size(), 1u);
             EXPECT_EQ(entries.seen[0].path, song);
             EXPECT_EQ(entries.seen[0].size, shorter.size());
             EXPECT_EQ(entries.seen[0].isFile, 1);
         }},
        {"stat what is absent", [&] { return PhoneStat(url, T(folder + "/no"), &Entries::Collect, &entries); },
         QS_PHONE_ABSENT, [&] { EXPECT_TRUE(entries.seen.empty()); }},
        {"list a folder", [&] { return PhoneList(url, T(folder + "/"), &Entries::Collect, &entries); }, QS_PHONE_OK,
         [&] {
             ASSERT_EQ(entries.seen.size(), 2u);
             EXPECT_EQ(entries.seen[0].path, folder + "/sub");
             EXPECT_EQ(entries.seen[0].isDir, 1);
             EXPECT_EQ(entries.seen[1].path, song);
         }},
        {"list a file", [&] { return PhoneList(url, T(song), &Entries::Collect, &entries); }, QS_PHONE_WRONG_KIND,
         [&] { EXPECT_TRUE(entries.seen.empty()); }},
        {"list what is absent", [&] { return PhoneList(url, T(root + "/none"), &Entries::Collect, &entries); },
         QS_PHONE_ABSENT, none},
        {"get new", [&] { return PhoneGetFile(url, T(song), T(fetched), 0, &Bytes::Report, &bytes); }, QS_PHONE_OK,
         [&] {
             EXPECT_EQ(OnPc(fetched), shorter);
             // One report per chunk, in the order the two chunks finished.
             ASSERT_EQ(bytes.reports.size(), 2u);
             EXPECT_TRUE(bytes.reports[0].first == 65536 || bytes.reports[0].first == 70000 - 65536);
             EXPECT_EQ(bytes.reports[1], std::make_pair(uint64_t{70000}, uint64_t{70000}));
         }},
        {"get over it, no replace", [&] {
             PhoneFile(song, "new");
             return PhoneGetFile(url, T(song), T(fetched), 0, nullptr, nullptr);
         },
         QS_PHONE_EXISTS, [&] { EXPECT_EQ(OnPc(fetched), shorter); }},
        {"get over it, replace", [&] { return PhoneGetFile(url, T(song), T(fetched), QS_PHONE_REPLACE, nullptr, nullptr); },
         QS_PHONE_OK, [&] {
             EXPECT_EQ(OnPc(fetched), "new");
             EXPECT_EQ(Names(fetched.parent_path()).size(), 1u) << "no temporary file left";
         }},
        {"get a folder", [&] { return PhoneGetFile(url, T(folder + "/sub"), T(pc.path() / "d"), 0, nullptr, nullptr); },
         QS_PHONE_WRONG_KIND, none},
        {"get onto a PC folder",
         [&] { return PhoneGetFile(url, T(song), T(pc.path() / "in"), QS_PHONE_REPLACE, nullptr, nullptr); },
         QS_PHONE_WRONG_KIND, none},
        {"get what is absent", [&] { return PhoneGetFile(url, T(folder + "/no"), T(pc.path() / "no"), 0, nullptr, nullptr); },
         QS_PHONE_ABSENT, [&] { EXPECT_FALSE(fs::exists(pc.path() / "no")); }},
        {"rename onto an existing file",
         [&] { return PhoneRename(url, T(song), T(folder + "/sub/keep.txt")); }, QS_PHONE_EXISTS,
         [&] { EXPECT_EQ(OnPhone(folder + "/sub/keep.txt"), "keep"); }},
        {"rename", [&] { return PhoneRename(url, T(song), T(folder + "/sub/ñ2.mp3")); }, QS_PHONE_OK,
         [&] {
             EXPECT_EQ(OnPhone(folder + "/sub/ñ2.mp3"), "new");
             EXPECT_EQ(OnPhone(song), "<absent>");
         }},
        {"rename what is absent", [&] { return PhoneRename(url, T(song), T(folder + "/z")); }, QS_PHONE_ABSENT, none},
        {"delete a folder that is not empty", [&] { return PhoneDelete(url, T(folder + "/sub"), 0); },
         QS_PHONE_NOT_EMPTY, [&] { EXPECT_EQ(OnPhone(folder + "/sub/keep.txt"), "keep"); }},
        {"delete a file", [&] { return PhoneDelete(url, T(folder + "/sub/keep.txt"), 0); }, QS_PHONE_OK,
         [&] { EXPECT_EQ(OnPhone(folder + "/sub/keep.txt"), "<absent>"); }},
        {"delete a tree", [&] { return PhoneDelete(url, T(folder), QS_PHONE_TREE); }, QS_PHONE_OK,
         [&] { EXPECT_FALSE(fs::exists(service->OnDisk(folder))); }},
        {"delete what is absent", [&] { return PhoneDelete(url, T(folder), QS_PHONE_TREE); }, QS_PHONE_ABSENT, none},
        {"delete an empty folder", [&] {
             fs::create_directories(service->OnDisk(root + "/empty"));
             return PhoneDelete(url, T(root + "/empty"), 0);
         },
         QS_PHONE_OK, [&] { EXPECT_FALSE(fs::exists(service->OnDisk(root + "/empty"))); }},
    };
    for (const Step& step : steps) {
        entries.seen.clear();
        bytes.reports.clear();
        EXPECT_EQ(step.call(), step.expected) << step.what;
        step.check();
    }

    // Arguments that are refused before anything is sent.
    const QS_WCHAR* bad = T("http://127.0.0.1/");
    const std::vector<std::pair<const char*, std::function<int32_t()>>> refused = {
        {"null path", [&] { return PhoneStat(url, nullptr, nullptr, nullptr); }},
        {"null url", [&] { return PhoneList(nullptr, T(root), nullptr, nullptr); }},
        {"url without port", [&] { return PhoneStat(bad, T(root), nullptr, nullptr); }},
        {"relative phone path", [&] { return PhoneDelete(url, T("sdcard/x"), QS_PHONE_TREE); }},
        {"'..' in a phone path", [&] { return PhoneDelete(url, T(root + "/../.."), QS_PHONE_TREE); }},
        {"'.' in a phone path", [&] { return PhoneRename(url, T(root + "/./a"), T(root + "/b")); }},
        {"the root", [&] { return PhoneDelete(url, T("/"), QS_PHONE_TREE); }},
        {"unknown flag", [&] { return PhoneDelete(url, T(root), 2); }},
        {"relative PC path", [&] { return PhoneGetFile(url, T(root + "/a"), T("rel/a"), 0, nullptr, nullptr); }},
    };
    for (const auto& [what, call] : refused) EXPECT_EQ(call(), QS_PHONE_INVALID) << what;
}

// Listings from a phone that lies: a count far beyond its bytes, entries
// that are not one name below the folder, 10^5 entries, and a host that ends
// the listing early. Only entries one name below the folder reach the host.
TEST(PhoneFilesHostile, ListingsDeliverOnlyEntriesOneNameBelowTheFolder) {
    using namespace filewire;
    const std::string statAnswer = Answer(1, I32(14) + I32(1) + InfoBytes({"/f", 0, true, 0}));
    std::string many = I32(15) + I32(1) + I32(100000);
    for (int i = 0; i < 100000; ++i) many += InfoBytes({"/f/n" + std::to_string(i), 1, false, 0});
    struct Case {
        const char* what;
        std::string listing;  // result data
        long keep;
        int32_t expected;
        size_t delivered;
    };
    const std::vector<Case> cases = {
        {"huge count", I32(15) + I32(1) + I32(0x7FFFFFFF) + InfoBytes({"/f/a", 1, false, 0}), -1, -9, 0},
        {"names that climb or leave",
         ListResult({{"/f/ok", 1}, {"/f/..", 0, true}, {"/f/../../x", 1}, {"/elsewhere/y", 1}, {"/f/a/b", 1},
                     {"/f/", 1}, {"/f/.", 0, true}, {"/fx", 1}}),
         -1, -9, 1},
        {"10^5 entries", many, -1, 0, 100000},
        {"ended early by the host", many, 10, 0, 10},
    };
    for (const Case& c : cases) {
        const std::string listingAnswer = Answer(1, c.listing);
        ScriptedPeer peer([&](int i) {
            return PeerScript().ReadRequest().Respond(i == 0 ? statAnswer : listingAnswer).Close();
        });
        ASSERT_TRUE(peer.ok());
        const std::u16string url = Utf8ToUtf16("http://127.0.0.1:" + std::to_string(peer.port()) + "/");
        const std::u16string folder = u"/f";
        Entries entries;
        entries.keep = c.keep;
        EXPECT_EQ(PhoneList(AsHostText(url), AsHostText(folder), &Entries::Collect, &entries), c.expected) << c.what;
        EXPECT_EQ(entries.seen.size(), c.delivered) << c.what;
        for (const Seen& seen : entries.seen) {
            EXPECT_EQ(seen.path.rfind("/f/", 0), 0u) << c.what;
            EXPECT_EQ(seen.path.find('/', 3), std::string::npos) << c.what << ": " << seen.path;
            EXPECT_NE(seen.path.substr(3), "..");
        }
    }
}

// A transfer cut by a lost chunk, fetching and sending, onto a new target
// and over an existing one. Without retries the call fails, no partial file
// stands under the target's name, no temporary file is left, and a replaced
// target keeps its old bytes; with the library's retries on, the lost chunk
// is sent again and the call completes.
TEST_F(PhoneFilesTest, ACutTransferLeavesNoPartialFileAndTheOldTargetIntact) {
    const std::string source = Content(400000, 'c');
    for (const int retries : {0, 2}) {
        for (const bool get : {true, false}) {
            for (const bool over : {false, true}) {
                ASSERT_EQ(SetOption(QS_OPTION_REQUEST_RETRIES, retries), 0);
                const std::string id = std::to_string(retries) + std::to_string(get) + std::to_string(over);
                const std::string folder = root + "/cut" + id;
                const std::string phonePath = folder + "/f.bin";
                const fs::path pcFolder = pc.path() / ("cut" + id);
                const fs::path pcPath = pcFolder / "f.bin";
                const std::string what = std::string(get ? "get" : "put") + (over ? " over a file" : " new") +
                                         " with retries " + std::to_string(retries);
                fs::create_directories(pcFolder);
                if (get) {
                    PhoneFile(phonePath, source);
                    if (over) PcFile(pcPath.lexically_relative(pc.path()).u8string(), "old");
                } else {
                    PcFile(pcPath.lexically_relative(pc.path()).u8string(), source);
                    if (over) PhoneFile(phonePath, "old");
                }
                ArmedFault cut(*service, std::string("close:cmd=") + (get ? "11" : "12") + ",nth=3,path=" + folder + "/");
                const int32_t result =
                    get ? PhoneGetFile(url, T(phonePath), T(pcPath), QS_PHONE_REPLACE, nullptr, nullptr)
                        : PhonePutFile(url, T(pcPath), T(phonePath), QS_PHONE_REPLACE, nullptr, nullptr);
                if (retries > 0) {
                    // One lost chunk costs one retried request.
                    EXPECT_EQ(result, QS_PHONE_OK) << what;
                    EXPECT_EQ(get ? OnPc(pcPath) : OnPhone(phonePath), source) << what;
                    EXPECT_EQ(get ? Names(pcFolder) : Names(service->OnDisk(folder)), std::set<std::string>{"f.bin"})
                        << what;
                    continue;
                }
                EXPECT_LT(result, 0) << what;
                if (get) {
                    EXPECT_EQ(OnPc(pcPath), over ? "old" : "<absent>") << what;
                    EXPECT_EQ(Names(pcFolder), over ? std::set<std::string>{"f.bin"} : std::set<std::string>{}) << what;
                } else {
                    EXPECT_EQ(OnPhone(phonePath), over ? "old" : "<absent>") << what;
                    EXPECT_EQ(Names(service->OnDisk(folder)),
                              over ? std::set<std::string>{"f.bin"} : std::set<std::string>{})
                        << what;
                }
            }
        }
    }
    EXPECT_EQ(SetOption(QS_OPTION_REQUEST_RETRIES, 0), 0);
}

// Stop while a 256 MiB fetch runs ends it with 21 and leaves nothing; a Stop
// made before a call does not affect it, and the calls leave the shared stop
// flag as they found it.
TEST_F(PhoneFilesTest, StopEndsARunningCallButNotOneThatStartsAfterIt) {
    const std::string big = root + "/big.bin";
    PhoneFile(big, "");
    fs::resize_file(service->OnDisk(big), 256ull << 20);
    const fs::path target = pc.path() / "big.bin";
    {
        ArmedFault hold(*service, "hold:cmd=11,nth=20,path=" + root + "/");
        Bytes bytes;
        int32_t result = -100;
        std::thread fetch([&] { result = PhoneGetFile(url, T(big), T(target), 0, &Bytes::Report, &bytes); });
        const bool held = hold.WaitHeld(1);
        Stop(nullptr, nullptr);
        fetch.join();
        ASSERT_TRUE(held);
        EXPECT_EQ(result, QS_PHONE_STOPPED);
        EXPECT_TRUE(Names(pc.path()).empty()) << "neither the target nor a temporary file";
        ASSERT_FALSE(bytes.reports.empty());
        EXPECT_LT(bytes.reports.back().first, 256ull << 20);
        EXPECT_EQ(bytes.reports.back().second, 256ull << 20);
    }
    // The shared flag is raised now, by that Stop and by this one: neither
    // affects the calls that follow.
    Stop(nullptr, nullptr);
    PhoneFile(root + "/small.bin", "small");
    const fs::path small = pc.path() / "small.bin";
    EXPECT_EQ(PhoneGetFile(url, T(root + "/small.bin"), T(small), 0, nullptr, nullptr), QS_PHONE_OK);
    EXPECT_EQ(OnPc(small), "small");
    EXPECT_EQ(PhonePutFile(url, T(small), T(root + "/again.bin"), 0, nullptr, nullptr), QS_PHONE_OK);
    EXPECT_EQ(PhoneRename(url, T(root + "/again.bin"), T(root + "/moved.bin")), QS_PHONE_OK);
    EXPECT_EQ(PhoneDelete(url, T(root + "/moved.bin"), 0), QS_PHONE_OK);
    EXPECT_EQ(PhoneList(url, T(root), nullptr, nullptr), QS_PHONE_OK);
    EXPECT_EQ(PhoneStat(url, T(big), nullptr, nullptr), QS_PHONE_OK);
    EXPECT_EQ(GetSyncContext().stopRequested.load(), 1) << "the calls never clear the shared flag";
}

// Each call runs beside a SyncMusicFile that is in the middle of its upload
// on another thread (held there by the stand-in), and both complete.
TEST_F(PhoneFilesTest, EachCallRunsBesideARunningSyncJob) {
    const std::string device = root + "/dev";
    const fs::path songPath = PcFile("music/song.mp3", Content(200000, 's'));
    OneUploadJob upload(songPath.u16string(), platform::FromHostText(url), u"device=" + Utf8ToUtf16(device));
    const SyncItem& song = upload.item;

    ArmedFault hold(*service, "hold:cmd=12,path=" + device + "/Music/");
    int32_t synced = -100;
    std::thread sync([&] { synced = SyncMusicFile(&upload.connect, &upload.job); });
    const bool held = hold.WaitHeld(1);
    const std::string folder = root + "/beside";
    const fs::path fetched = pc.path() / "beside" / "b.bin";
    // A PC file of its own: the job holds the song open, and Windows opens
    // an upload's file for it alone.
    const fs::path other = PcFile("beside-source/a.bin", Content(200000, 's'));
    EXPECT_EQ(PhonePutFile(url, T(other), T(folder + "/a.bin"), 0, nullptr, nullptr), QS_PHONE_OK);
    EXPECT_EQ(PhoneStat(url, T(folder + "/a.bin"), nullptr, nullptr), QS_PHONE_OK);
    EXPECT_EQ(PhoneList(url, T(folder), nullptr, nullptr), QS_PHONE_OK);
    EXPECT_EQ(PhoneRename(url, T(folder + "/a.bin"), T(folder + "/b.bin")), QS_PHONE_OK);
    EXPECT_EQ(PhoneGetFile(url, T(folder + "/b.bin"), T(fetched), 0, nullptr, nullptr), QS_PHONE_OK);
    EXPECT_EQ(PhoneDelete(url, T(folder), QS_PHONE_TREE), QS_PHONE_OK);
    hold.Release();
    sync.join();
    ASSERT_TRUE(held);
    EXPECT_EQ(synced, 0);
    EXPECT_EQ(OnPc(fetched), Content(200000, 's'));
    ASSERT_NE(song.phonePath, nullptr);
    EXPECT_EQ(OnPhone(Utf16ToUtf8(platform::FromHostText(song.phonePath))), Content(200000, 's'));
    platform::FreeHostText(song.phonePath);
}
