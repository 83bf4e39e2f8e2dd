// Backup and restore move several files at once; what the host sees must be
// what one file at a time gives. Each test loops over every point of a run
// (a Stop from the progress callback after every file, a refused chunk at
// every file) and compares the trees on both sides, and the log, with what a
// run that handles the files one after another in list order leaves.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "backup/BackupRestore.h"
#include "context/SyncContext.h"
#include "export/ContextSetUp.h"
#include "fileapi/FileApi.h"
#include "filesync/HttpFileAPI.h"
#include "platform/utf.h"
#include "support/log_capture.h"
#include "support/phone_control.h"
#include "support/phone_service.h"
#include "support/test_env.h"

namespace fs = std::filesystem;
using platform::AsHostText;
using platform::Utf16ToUtf8;
using platform::Utf8ToUtf16;

namespace {

std::vector<int32_t> gReports;
std::function<void(int32_t)> gOnReport;
std::thread::id gExportThread;
std::atomic<int> gForeignThreadReports{0};

void QS_CALL RecordProgress(int32_t percent) {
    if (std::this_thread::get_id() != gExportThread) ++gForeignThreadReports;
    gReports.push_back(percent);
    if (gOnReport) gOnReport(percent);
}

void WriteFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

// Every file below folder by its relative path (generic form) with its
// content, and every folder with an empty text marked by a trailing "/".
std::map<std::string, std::string> Tree(const fs::path& folder) {
    std::map<std::string, std::string> tree;
    if (!fs::exists(folder)) return tree;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string rel = fs::relative(entry.path(), folder).generic_string();
        if (entry.is_directory())
            tree[rel + "/"] = "";
        else
            tree[rel] = ReadWholeFile(entry.path());
    }
    return tree;
}

// The files of Tree alone. On the phone, the service makes the folders of
// an upload and keeps them when the upload is removed again; a client
// cannot tell them from empty folders the phone had before, so they stay.
std::map<std::string, std::string> Files(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : Tree(folder))
        if (entry.first.back() != '/') files.insert(entry);
    return files;
}

// The tree with the given files (relative path -> content) and the folders
// above them.
std::map<std::string, std::string> TreeOf(const std::map<std::string, std::string>& files) {
    std::map<std::string, std::string> tree = files;
    for (const auto& file : files)
        for (fs::path up = fs::path(file.first).parent_path(); !up.empty(); up = up.parent_path())
            tree[up.generic_string() + "/"] = "";
    return tree;
}

// Log lines with the last error values left out: they are whatever the
// writing thread's calls left behind, which differs from one thread to the
// next for a failure that is not a system call's.
std::vector<std::string> WithoutErrorValues(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (std::string line : lines) {
        for (const std::string key : {"GetLastError = ", "WSAGetLastError = "}) {
            const size_t at = line.find(key);
            if (at == std::string::npos) continue;
            const size_t end = line.find_first_not_of("-0123456789", at + key.size());
            line.replace(at + key.size(), end - at - key.size(), "N");
        }
        out.push_back(line);
    }
    return out;
}

// The lines one file at a time writes: those before the files, then those
// of each file in list order up to files[last], then failing (the lines of
// the file it fails at; none after a stop between two files).
std::vector<std::string> Sequential(const std::vector<std::string>& before,
                                    const std::vector<std::vector<std::string>>& files, size_t count,
                                    const std::vector<std::string>& failing = {}) {
    std::vector<std::string> lines = before;
    for (size_t j = 0; j < count; ++j) lines.insert(lines.end(), files[j].begin(), files[j].end());
    lines.insert(lines.end(), failing.begin(), failing.end());
    return WithoutErrorValues(lines);
}

std::vector<int32_t> Progress(size_t reported, size_t n) {
    std::vector<int32_t> values;
    for (size_t j = 0; j < reported; ++j) values.push_back(static_cast<int32_t>(j * 100 / n));
    return values;
}

class BackupOverlapTest : public ::testing::Test {
protected:
    void SetUp() override {
        Reset();
        gExportThread = std::this_thread::get_id();
        gForeignThreadReports = 0;
        service = PhoneService::Start();
        ASSERT_TRUE(service);
        phone.host = "127.0.0.1";
        phone.port = service->port();
    }
    void TearDown() override { Reset(); }
    static void Reset() {
        gReports.clear();
        gOnReport = nullptr;
        GetSyncContext().stopRequested.store(0);
    }

    int32_t RunBackup() {
        return Backup(0, AsHostText(u"127.0.0.1"), service->port(), AsHostText(mPcFolder), AsHostText(mPhoneRoot),
                      RecordProgress);
    }
    int32_t RunRestore(int32_t conflictMode) {
        return Restore(0, AsHostText(u"127.0.0.1"), service->port(), AsHostText(mPcFolder), AsHostText(mPhoneRoot),
                       conflictMode, RecordProgress);
    }
    // Stops from inside the callback once it has reported count files.
    static void StopAfter(size_t count) {
        gOnReport = [count](int32_t) {
            if (gReports.size() == count) Stop(nullptr, nullptr);
        };
    }

    fs::path PhoneMusic() const { return service->OnDisk(root + "/Music"); }
    fs::path PcMusic() const { return pc.path() / "Music" / "Music"; }

    // The phone's music files, relative to its Music folder, in the order
    // the backup takes them.
    std::vector<std::string> BackupOrder() {
        BackupFileList list;
        EXPECT_EQ(CBackupRestore::GetAllFileListFromPhone(phone, Utf8ToUtf16(root + "/Music"), list), 0);
        std::vector<std::string> order;
        for (size_t j = 0; j < list.GetCount(); ++j)
            order.push_back(Utf16ToUtf8(list.GetAt(j).mstrPath).substr(root.size() + 7));
        return order;
    }
    // The PC's music files, relative to the restore's folder, in the order
    // the restore takes them.
    std::vector<std::string> RestoreOrder() { return PcListing(PcMusic(), PcMusic()); }
    // The files below folder in the order the PC listing gives them,
    // relative to root (folder or a folder above it).
    static std::vector<std::string> PcListing(const fs::path& folder, const fs::path& root) {
        BackupFileList list;
        EXPECT_EQ(CBackupRestore::GetAllFileListFromPC(folder.u16string(), list), 0);
        // Listed paths begin with the folder in its long-path form (Windows).
        const size_t rootLength = CBackupRestore::AddLongPathPrefix(root.u16string()).size() + 1;
        std::vector<std::string> order;
        for (size_t j = 0; j < list.GetCount(); ++j) {
            std::string rel = Utf16ToUtf8(list.GetAt(j).mstrPath.substr(rootLength));
            for (char& c : rel)
                if (c == '\\') c = '/';
            order.push_back(rel);
        }
        return order;
    }

    // The log lines of one file's requests made alone, as one file at a
    // time makes them in the file's turn, with fault (if any) armed
    // meanwhile. A download goes to a scratch file; a restore's file is
    // stat'ed, then, unless mode 0 keeps the phone's copy, a copy mode 2
    // replaces is deleted and the file uploaded. What they do to the phone
    // stays.
    std::vector<std::string> DownloadLines(const std::string& name, const std::string& fault = "") {
        std::unique_ptr<ArmedFault> armed;
        if (!fault.empty()) armed = std::make_unique<ArmedFault>(*service, fault);
        const std::string source = root + "/Music/" + name;
        LogCapture log;
        CHttpFileAPI::GetFile(phone.host.c_str(), phone.port, source.c_str(), (pc.path() / "alone").string().c_str(),
                              nullptr, 60);
        return log.Lines();
    }
    std::vector<std::string> RestoreLines(const std::string& name, int32_t mode, const std::string& fault = "") {
        std::unique_ptr<ArmedFault> armed;
        if (!fault.empty()) armed = std::make_unique<ArmedFault>(*service, fault);
        const std::string target = root + "/Music/" + name;
        CHttpFileAPI::UploadSource source;
        EXPECT_EQ(CHttpFileAPI::OpenUploadSource((PcMusic() / name).string().c_str(), source), 0);
        LogCapture log;
        RemoteFileInfo found;
        const int32_t stat = CHttpFileAPI::GetInfo(phone.host.c_str(), phone.port, target.c_str(), &found, nullptr, 60);
        if (stat == 0 && mode == 0) return log.Lines();
        if (stat == 0) {
            EXPECT_EQ(CHttpFileAPI::DeleteFileW(phone.host.c_str(), phone.port, target.c_str(), nullptr, 60), 0);
        }
        FILE_API::UploadToFreePath(phone, source, target, "CBackupRestore::CopyPathFromPCToPhone");
        return log.Lines();
    }

    std::string root = "/sdcard/" + Unique("ov");
    std::unique_ptr<PhoneService> service;
    ScratchDir pc;
    PhoneEndpoint phone;

private:
    const std::u16string mPcFolder = pc.path().u16string();
    const std::u16string mPhoneRoot = Utf8ToUtf16(root);
};

// Eight files in three folders, one of them more than a chunk long.
const std::vector<std::string> kNames = {"f0.bin",   "sub/f1.bin", "sub/f2.bin",      "f3.bin",
                                         "f4.bin",   "sub/f5.bin", "deep/er/f6.bin", "f7.bin"};

std::string Content(const std::string& name, const std::string& tag) {
    return name == "f3.bin" ? std::string(70000, 'x') + tag : tag + ":" + name;
}

}  // namespace

// Backup: a Stop from the callback after every file, into an empty PC
// folder (no folder is made for a file after the stop) and over an older
// backup (every later file keeps its old copy).
TEST_F(BackupOverlapTest, BackupStoppedFromTheCallbackAfterEveryFile) {
    for (const std::string& name : kNames) WriteFile(PhoneMusic() / name, Content(name, "new"));
    LogCapture listing;
    const std::vector<std::string> order = BackupOrder();
    const std::vector<std::string> listingLines = listing.Lines();
    ASSERT_EQ(order.size(), kNames.size());
    std::vector<std::vector<std::string>> alone;
    for (const std::string& name : order) alone.push_back(DownloadLines(name));
    for (bool over : {false, true}) {
        for (size_t k = 0; k < order.size(); ++k) {
            SCOPED_TRACE("stop after file " + std::to_string(k) + (over ? " over an older backup" : ""));
            fs::remove_all(pc.path() / "Music");
            if (over)
                for (const std::string& name : kNames) WriteFile(PcMusic() / name, "old");
            Reset();
            StopAfter(k + 1);
            LogCapture log;
            EXPECT_EQ(RunBackup(), 21);
            EXPECT_EQ(gReports, Progress(k + 1, order.size()));
            EXPECT_EQ(WithoutErrorValues(log.Lines()), Sequential(listingLines, alone, k + 1));
            std::map<std::string, std::string> expected;
            for (size_t j = 0; j < order.size(); ++j)
                if (j <= k)
                    expected[order[j]] = Content(order[j], "new");
                else if (over)
                    expected[order[j]] = "old";
            EXPECT_EQ(Tree(PcMusic()), TreeOf(expected));
        }
    }
    EXPECT_EQ(gForeignThreadReports.load(), 0);
}

// Restore: a Stop from the callback after every file leaves exactly the
// files reported; the uploads that were under way are removed again, and
// the phone's own files (kept by mode 0) stay.
TEST_F(BackupOverlapTest, RestoreStoppedFromTheCallbackAfterEveryFile) {
    for (const std::string& name : kNames) WriteFile(PcMusic() / name, Content(name, "pc"));
    const std::vector<std::string> order = RestoreOrder();
    ASSERT_EQ(order.size(), kNames.size());
    // Every third file the phone already has: mode 0 leaves it.
    auto phoneHas = [&] {
        fs::remove_all(PhoneMusic());
        for (size_t j = 2; j < order.size(); j += 3) WriteFile(PhoneMusic() / order[j], "phone");
    };
    phoneHas();
    std::vector<std::vector<std::string>> alone;
    for (const std::string& name : order) alone.push_back(RestoreLines(name, 0));
    for (size_t k = 0; k < order.size(); ++k) {
        SCOPED_TRACE("stop after file " + std::to_string(k));
        phoneHas();
        std::map<std::string, std::string> expected;
        for (size_t j = 0; j < order.size(); ++j) {
            if (j % 3 == 2)
                expected[order[j]] = "phone";
            else if (j <= k)
                expected[order[j]] = Content(order[j], "pc");
        }
        Reset();
        StopAfter(k + 1);
        LogCapture log;
        EXPECT_EQ(RunRestore(0), 21);
        EXPECT_EQ(gReports, Progress(k + 1, order.size()));
        EXPECT_EQ(WithoutErrorValues(log.Lines()), Sequential({}, alone, k + 1));
        EXPECT_EQ(Files(PhoneMusic()), expected);
    }
    EXPECT_EQ(gForeignThreadReports.load(), 0);
}

// A chunk refused at every file in turn, both directions: the run ends with
// the refusal, every file before it is there, none after it, and what the
// other side had before stays (at the failing file too, on the PC; on the
// phone a replaced file is gone once its upload failed, as its delete came
// first, while the later ones were never deleted). The log holds what one
// file at a time writes up to the failing file's transfer, and nothing of
// the transfers under way beyond it.
TEST_F(BackupOverlapTest, RefusedChunkAtEveryFileInBothDirections) {
    for (const std::string& name : kNames) WriteFile(PhoneMusic() / name, Content(name, "new"));
    LogCapture listing;
    const std::vector<std::string> backupOrder = BackupOrder();
    const std::vector<std::string> listingLines = listing.Lines();
    std::vector<std::vector<std::string>> downloads;
    for (const std::string& name : backupOrder) downloads.push_back(DownloadLines(name));
    for (size_t k = 0; k < backupOrder.size(); ++k) {
        SCOPED_TRACE("backup, refused at file " + std::to_string(k));
        const std::string refusal = "status0:cmd=11,path=" + root + "/Music/" + backupOrder[k];
        const std::vector<std::string> failing = DownloadLines(backupOrder[k], refusal);
        fs::remove_all(pc.path() / "Music");
        for (const std::string& name : kNames) WriteFile(PcMusic() / name, "old");
        Reset();
        {
            ArmedFault refuse(*service, refusal);
            LogCapture log;
            EXPECT_EQ(RunBackup(), -6);
            EXPECT_EQ(WithoutErrorValues(log.Lines()), Sequential(listingLines, downloads, k, failing));
        }
        EXPECT_EQ(gReports, Progress(k, backupOrder.size()));
        std::map<std::string, std::string> expected;
        for (size_t j = 0; j < backupOrder.size(); ++j)
            expected[backupOrder[j]] = j < k ? Content(backupOrder[j], "new") : "old";
        EXPECT_EQ(Tree(PcMusic()), TreeOf(expected));
    }

    fs::remove_all(pc.path() / "Music");
    for (const std::string& name : kNames) WriteFile(PcMusic() / name, Content(name, "pc"));
    const std::vector<std::string> restoreOrder = RestoreOrder();
    for (int32_t mode : {0, 2}) {
        // Mode 2 replaces what the phone has; mode 0 finds nothing.
        auto phoneHas = [&] {
            fs::remove_all(PhoneMusic());
            if (mode == 2)
                for (const std::string& name : kNames) WriteFile(PhoneMusic() / name, "phone");
        };
        phoneHas();
        std::vector<std::vector<std::string>> uploads;
        for (const std::string& name : restoreOrder) uploads.push_back(RestoreLines(name, mode));
        for (size_t k = 0; k < restoreOrder.size(); ++k) {
            SCOPED_TRACE("restore mode " + std::to_string(mode) + ", refused at file " + std::to_string(k));
            const std::string refusal = "status0:cmd=12,path=" + root + "/Music/" + restoreOrder[k];
            phoneHas();
            const std::vector<std::string> failing = RestoreLines(restoreOrder[k], mode, refusal);
            phoneHas();
            Reset();
            {
                ArmedFault refuse(*service, refusal);
                LogCapture log;
                EXPECT_EQ(RunRestore(mode), -6);
                EXPECT_EQ(WithoutErrorValues(log.Lines()), Sequential({}, uploads, k, failing));
            }
            EXPECT_EQ(gReports, Progress(k, restoreOrder.size()));
            std::map<std::string, std::string> expected;
            for (size_t j = 0; j < restoreOrder.size(); ++j) {
                if (j < k)
                    expected[restoreOrder[j]] = Content(restoreOrder[j], "pc");
                else if (mode == 2 && j > k)
                    expected[restoreOrder[j]] = "phone";
            }
            EXPECT_EQ(Files(PhoneMusic()), expected);
        }
    }
}

// Every conflict mode over a phone folder that holds some of the names and
// numbered names of others, with PC files whose names are numbered names of
// each other (a.mp3 and a(2).mp3 beside a phone a.mp3): the names are
// chosen in list order, as one file at a time chooses them, and no two
// files of the run end up on one name, whichever of them the list has first.
TEST_F(BackupOverlapTest, ConflictModesWithCollidingNumberedNames) {
    struct Case {
        std::vector<std::string> pcNames;
        std::map<std::string, std::string> phoneHas;
    };
    // A name that the PC lists before its numbered form, so that the
    // second file's own name is the one the first file is numbered to
    // while both are under way (the file system's order decides; it is
    // the same for the same names).
    std::string first;
    for (int k = 0; first.empty() && k < 64; ++k) {
        const std::string candidate = "s" + std::to_string(k);
        fs::remove_all(pc.path() / "Music");
        WriteFile(PcMusic() / candidate, "");
        WriteFile(PcMusic() / (candidate + "(2)"), "");
        if (RestoreOrder().front() == candidate) first = candidate;
    }
    ASSERT_FALSE(first.empty());
    const std::vector<Case> cases = {
        {{first, first + "(2)"}, {{first, "phone s"}}},
        {{"a.mp3", "a(2).mp3"}, {{"a.mp3", "phone a"}}},
        {{"a.mp3", "a(2).mp3", "a(3).mp3", "c"}, {{"a.mp3", "phone a"}, {"a(3).mp3", "phone a3"}, {"c", "phone c"}}},
        {{"b.mp3", "b(2).mp3", "b(4).mp3", "b(3).mp3"}, {{"b.mp3", "phone b"}, {"b(2).mp3", "phone b2"}}},
    };
    for (size_t c = 0; c < cases.size(); ++c) {
        fs::remove_all(pc.path() / "Music");
        for (const std::string& name : cases[c].pcNames) WriteFile(PcMusic() / name, "pc " + name);
        const std::vector<std::string> order = RestoreOrder();
        for (int32_t mode : {0, 1, 2, 7}) {
            SCOPED_TRACE("case " + std::to_string(c) + ", mode " + std::to_string(mode));
            fs::remove_all(PhoneMusic());
            for (const auto& file : cases[c].phoneHas) WriteFile(PhoneMusic() / file.first, file.second);
            // One file at a time, in list order.
            std::map<std::string, std::string> expected = cases[c].phoneHas;
            for (const std::string& name : order) {
                const std::string content = "pc " + name;
                if (expected.count(name) == 0 || mode == 2) {
                    expected[name] = content;
                } else if (mode == 1) {
                    const size_t dot = name.rfind('.');
                    const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
                    const std::string ext = dot == std::string::npos ? "" : name.substr(dot);
                    int n = 2;
                    while (expected.count(stem + "(" + std::to_string(n) + ")" + ext) != 0) ++n;
                    expected[stem + "(" + std::to_string(n) + ")" + ext] = content;
                }
            }
            Reset();
            EXPECT_EQ(RunRestore(mode), 0);
            EXPECT_EQ(gReports, Progress(order.size(), order.size()));
            EXPECT_EQ(Tree(PhoneMusic()), TreeOf(expected));
        }
    }
}

// Five transfers are under way at once in both directions: the stand-in
// holds the answers of five single-chunk files' chunks, which only five
// overlapping files can send. Under the thread sanitizer this run checks
// the hand-over of each file's outcome to the export's thread.
TEST_F(BackupOverlapTest, FiveTransfersOverlapAndEndInListOrder) {
    for (int j = 0; j < 9; ++j) WriteFile(PhoneMusic() / ("p" + std::to_string(j) + ".bin"), std::to_string(j));
    const std::vector<std::string> order = BackupOrder();
    {
        // A backup moves its first file alone: the hold is armed once that
        // one is reported, before the next one starts.
        std::unique_ptr<ArmedFault> hold;
        std::promise<void> armed;
        gOnReport = [&](int32_t) {
            if (hold) return;
            hold = std::make_unique<ArmedFault>(*service, "hold:cmd=11,path=" + root + "/");
            armed.set_value();
        };
        std::atomic<int32_t> result{-100};
        std::thread backup([&] {
            gExportThread = std::this_thread::get_id();
            result = RunBackup();
        });
        std::future<void> done = armed.get_future();
        const bool isArmed = done.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
        const bool five = isArmed && hold->WaitHeld(5);
        if (isArmed) hold->Release();
        backup.join();
        ASSERT_TRUE(five);
        EXPECT_EQ(result.load(), 0);
        hold.reset();
    }
    EXPECT_EQ(gReports, Progress(order.size(), order.size()));
    EXPECT_EQ(Tree(PcMusic()), Tree(PhoneMusic()));

    fs::remove_all(PhoneMusic());
    Reset();
    {
        ArmedFault hold(*service, "hold:cmd=12,path=" + root + "/");
        std::atomic<int32_t> result{-100};
        std::thread restore([&] {
            gExportThread = std::this_thread::get_id();
            result = RunRestore(0);
        });
        const bool five = hold.WaitHeld(5);
        hold.Release();
        restore.join();
        ASSERT_TRUE(five);
        EXPECT_EQ(result.load(), 0);
    }
    EXPECT_EQ(gReports, Progress(order.size(), order.size()));
    EXPECT_EQ(Tree(PhoneMusic()), Tree(PcMusic()));
    EXPECT_EQ(gForeignThreadReports.load(), 0);
}

// A file that waits (a request of it held, as the wait before a retry holds
// it) does not hold up the files behind it: one thirty places further on
// moves meanwhile, in both directions, whether the waiting request is a
// chunk or a restore's stat. Released, the run ends as one file at a time
// ends it.
TEST_F(BackupOverlapTest, FilesBehindAWaitingFileMoveOn) {
    for (int j = 0; j < 40; ++j) WriteFile(PhoneMusic() / ("w" + std::to_string(100 + j)), std::to_string(j));
    const size_t head = 6, far = head + 30;  // past the first files, which a run moves before the rest
    struct Case {
        bool backup;
        int command;  // of the head's held request
    };
    for (const Case& c : {Case{true, 11}, Case{false, 14}, Case{false, 12}}) {
        SCOPED_TRACE((c.backup ? "backup" : "restore") + std::string(", cmd ") + std::to_string(c.command));
        const std::vector<std::string> order = c.backup ? BackupOrder() : RestoreOrder();
        ASSERT_GT(order.size(), far);
        fs::remove_all(c.backup ? pc.path() / "Music" : PhoneMusic());
        Reset();
        const std::string folder = root + "/Music/";
        ArmedFault waiting(*service, "hold:cmd=" + std::to_string(c.command) + ",path=" + folder + order[head]);
        ArmedFault behind(*service, "hold:cmd=" + std::to_string(c.backup ? 11 : 12) + ",path=" + folder + order[far]);
        std::atomic<int32_t> result{-100};
        std::thread run([&] {
            gExportThread = std::this_thread::get_id();
            result = c.backup ? RunBackup() : RunRestore(0);
        });
        const bool movedOn = behind.WaitHeld(1);
        EXPECT_TRUE(waiting.WaitHeld(1));
        waiting.Release();
        behind.Release();
        run.join();
        EXPECT_TRUE(movedOn);
        EXPECT_EQ(result.load(), 0);
        EXPECT_EQ(gReports, Progress(order.size(), order.size()));
        EXPECT_EQ(Tree(PcMusic()), Tree(PhoneMusic()));
    }
    EXPECT_EQ(gForeignThreadReports.load(), 0);
}

// A document restore over both of its passes, the second reading the
// backup's files directly below Document and the older layout below
// Document/My Documents/Documents as one list: a Stop from the callback
// after every file, and a chunk refused at every file, leave on the phone
// exactly the files before that point in list order, with the progress of
// both passes up to it.
TEST_F(BackupOverlapTest, DocumentRestoreOfBothLayoutsStoppedOrRefusedAtEveryFile) {
    const fs::path document = pc.path() / "Document";
    const std::string docs = "My Documents/Documents/";
    // PC file below Document -> phone file below the root.
    const std::vector<std::pair<std::string, std::string>> layout = {
        {"Download/d0.txt", "Download/d0.txt"},
        {"Download/sub/d1.txt", "Download/sub/d1.txt"},
        {"Downloads/e0.txt", "Downloads/e0.txt"},
        {"b0.doc", docs + "b0.doc"},
        {"sub/b1.doc", docs + "sub/b1.doc"},
        {"b2.doc", docs + "b2.doc"},
        {"My Documents/Documents/o0.doc", docs + "o0.doc"},
        {"My Documents/Documents/deep/o1.doc", docs + "deep/o1.doc"},
    };
    std::map<std::string, std::string> phoneOf;
    for (const auto& file : layout) {
        WriteFile(document / file.first, file.first == "sub/b1.doc" ? std::string(70000, 'b') : file.first);
        phoneOf[file.first] = file.second;
    }
    WriteFile(document / "My Documents" / "stray.doc", "outside Documents: never restored");
    // The list order, one file at a time: the first pass's folders, then
    // the files below Document outside the skipped folders, then the older
    // layout's.
    auto listed = [&](const fs::path& folder) { return PcListing(folder, document); };
    std::vector<std::string> order = listed(document / "Download");
    for (const std::string& name : listed(document / "Downloads")) order.push_back(name);
    const size_t firstPass = order.size();
    for (const std::string& name : listed(document))
        if (name.rfind("Download/", 0) != 0 && name.rfind("Downloads/", 0) != 0 && name.rfind("My Documents/", 0) != 0)
            order.push_back(name);
    for (const std::string& name : listed(document / "My Documents" / "Documents")) order.push_back(name);
    ASSERT_EQ(order.size(), layout.size());
    ASSERT_EQ(firstPass, 3u);
    auto progress = [&](size_t reported) {
        std::vector<int32_t> values;
        for (size_t j = 0; j < reported; ++j)
            values.push_back(j < firstPass ? static_cast<int32_t>(j * 50 / firstPass)
                                           : static_cast<int32_t>((j - firstPass) * 100 / (order.size() - firstPass)));
        return values;
    };
    auto handled = [&](size_t done) {
        std::map<std::string, std::string> files;
        for (size_t j = 0; j < done; ++j) files[phoneOf[order[j]]] = ReadWholeFile(document / order[j]);
        return files;
    };
    auto restore = [&] {
        return Restore(5, AsHostText(u"127.0.0.1"), service->port(), AsHostText(pc.path().u16string()),
                       AsHostText(Utf8ToUtf16(root)), 0, RecordProgress);
    };
    const fs::path phoneRoot = service->OnDisk(root);
    for (bool refuse : {false, true}) {
        for (size_t k = 0; k < order.size(); ++k) {
            SCOPED_TRACE((refuse ? "refused at file " : "stop after file ") + std::to_string(k));
            fs::remove_all(phoneRoot);
            Reset();
            std::unique_ptr<ArmedFault> fault;
            if (refuse)
                fault = std::make_unique<ArmedFault>(*service, "status0:cmd=12,path=" + root + "/" + phoneOf[order[k]]);
            else
                StopAfter(k + 1);
            EXPECT_EQ(restore(), refuse ? -6 : 21);
            fault.reset();
            const size_t done = refuse ? k : k + 1;
            EXPECT_EQ(gReports, progress(done));
            EXPECT_EQ(Files(phoneRoot), handled(done));
        }
    }
    Reset();
    fs::remove_all(phoneRoot);
    ASSERT_EQ(restore(), 0);
    EXPECT_EQ(gReports, progress(order.size()));
    EXPECT_EQ(Files(phoneRoot), handled(order.size()));
    EXPECT_EQ(gForeignThreadReports.load(), 0);
}
