// Backup and Restore end to end against the phone-service stand-in (or, for
// hostile listings, a scripted phone), with a recording progress callback.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "backup/BackupRestore.h"
#include "context/SyncContext.h"
#include "export/ContextSetUp.h"
#include "platform/path_style.h"
#include "platform/fault.h"
#include "platform/utf.h"
#include "support/file_wire.h"
#include "support/log_capture.h"
#include "support/phone_control.h"
#include "support/phone_service.h"
#include "support/scripted_peer.h"
#include "support/test_env.h"

namespace fs = std::filesystem;
using platform::AsHostText;
using platform::Utf8ToUtf16;

namespace {

// The host's progress callback is a plain function: it records into one
// place and may run a hook (the host calling Stop from inside it).
std::vector<int32_t> gReports;
std::function<void(int32_t)> gOnReport;

void QS_CALL RecordProgress(int32_t percent) {
    gReports.push_back(percent);
    if (gOnReport) gOnReport(percent);
}

void QS_CALL ThrowingProgress(int32_t) { throw std::runtime_error("host callback failed"); }

size_t FilesBelow(const fs::path& folder) {
    size_t n = 0;
    if (!fs::exists(folder)) return 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file()) ++n;
    return n;
}

void WriteFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

class BackupRestoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        gReports.clear();
        gOnReport = nullptr;
        GetSyncContext().stopRequested.store(0);
        // Faults reach the stand-in at run time (ArmedFault, kept to the
        // test's own phone root), so every test runs on the shared one
        // under Wine.
        service = PhoneService::Start();
        ASSERT_TRUE(service);
    }
    void TearDown() override {
        gOnReport = nullptr;
        GetSyncContext().stopRequested.store(0);
    }

    int32_t RunBackup(int32_t category, ProgressCallback cb = RecordProgress) {
        return Backup(category, AsHostText(mHost), service->port(), AsHostText(PcFolder()), AsHostText(PhoneRoot()),
                      cb);
    }
    int32_t RunRestore(int32_t category, int32_t conflictMode, ProgressCallback cb = RecordProgress) {
        return Restore(category, AsHostText(mHost), service->port(), AsHostText(PcFolder()), AsHostText(PhoneRoot()),
                       conflictMode, cb);
    }

    const std::u16string& PcFolder() {
        mPcFolder = pc.path().u16string();
        return mPcFolder;
    }
    const std::u16string& PhoneRoot() {
        mPhoneRoot = Utf8ToUtf16(root);
        return mPhoneRoot;
    }

    void PhoneFile(const std::string& relative, const std::string& content) {
        WriteFile(service->OnDisk(root + "/" + relative), content);
    }
    std::string OnPhone(const std::string& relative) {
        const fs::path disk = service->OnDisk(root + "/" + relative);
        return fs::exists(disk) ? ReadWholeFile(disk) : "<absent>";
    }
    // Every file on the phone below the root by its relative path.
    std::map<std::string, std::string> PhoneFiles() {
        std::map<std::string, std::string> files;
        const fs::path top = service->OnDisk(root);
        if (!fs::exists(top)) return files;
        for (const auto& entry : fs::recursive_directory_iterator(top))
            if (entry.is_regular_file()) files[fs::relative(entry.path(), top).generic_string()] = ReadWholeFile(entry.path());
        return files;
    }
    std::string OnPc(const fs::path& relative) {
        const fs::path path = pc.path() / relative;
        return fs::exists(path) ? ReadWholeFile(path) : "<absent>";
    }

    std::string root = "/sdcard/" + Unique("bk");
    std::unique_ptr<PhoneService> service;
    ScratchDir pc;

private:
    std::u16string mHost = u"127.0.0.1";
    std::u16string mPcFolder, mPhoneRoot;
};

}  // namespace

TEST_F(BackupRestoreTest, MusicRoundTripKeepsTheFolderLayout) {
    const std::string big(70000, 'b');  // more than one chunk
    PhoneFile("Music/Pop/a.mp3", "aaaa");
    PhoneFile("Music/b.mp3", big);
    PhoneFile("Pictures/not-music.jpg", "p");
    GetSyncContext().SetPhone("127.0.0.1", 1);
    ASSERT_EQ(RunBackup(0), 0);
    EXPECT_EQ(GetSyncContext().Values().host, "127.0.0.1");
    EXPECT_EQ(GetSyncContext().Values().port, service->port());
    EXPECT_EQ(OnPc(fs::path("Music") / "Music" / "Pop" / "a.mp3"), "aaaa");
    EXPECT_EQ(OnPc(fs::path("Music") / "Music" / "b.mp3"), big);
    EXPECT_EQ(FilesBelow(pc.path()), 2u);
    EXPECT_EQ(gReports, (std::vector<int32_t>{0, 50}));

    fs::remove_all(service->OnDisk(root + "/Music"));
    gReports.clear();
    ASSERT_EQ(RunRestore(0, 0), 0);
    EXPECT_EQ(OnPhone("Music/Pop/a.mp3"), "aaaa");
    EXPECT_EQ(OnPhone("Music/b.mp3"), big);
    EXPECT_EQ(gReports, (std::vector<int32_t>{0, 50}));
}

TEST_F(BackupRestoreTest, PhotosAndVideosTakeTheirThreeFolders) {
    PhoneFile("Movies/m.mp4", "m");
    PhoneFile("Pictures/Shots/p.png", "pp");
    PhoneFile("DCIM/Camera/c.jpg", "ccc");
    PhoneFile("Music/x.mp3", "x");
    ASSERT_EQ(RunBackup(1), 0);
    const fs::path gallery = fs::path("Gallery");
    EXPECT_EQ(OnPc(gallery / "Movies" / "m.mp4"), "m");
    EXPECT_EQ(OnPc(gallery / "Pictures" / "Shots" / "p.png"), "pp");
    EXPECT_EQ(OnPc(gallery / "DCIM" / "Camera" / "c.jpg"), "ccc");
    EXPECT_EQ(FilesBelow(pc.path()), 3u);
    EXPECT_EQ(gReports, (std::vector<int32_t>{0, 33, 66}));

    WriteFile(pc.path() / gallery / "DCIM" / "new.jpg", "new");
    gReports.clear();
    ASSERT_EQ(RunRestore(1, 0), 0);  // the three present files stay, the new one goes up
    EXPECT_EQ(OnPhone("DCIM/new.jpg"), "new");
    EXPECT_EQ(gReports.size(), 4u);
}

TEST_F(BackupRestoreTest, DocumentBackupFiltersPassOneAndFlattensPassTwo) {
    PhoneFile("Download/r.pdf", "pdf");
    PhoneFile("Downloads/p.jpg", "jpg");
    PhoneFile("My Documents/Documents/x.doc", "doc");
    PhoneFile("My Documents/Documents/sub/y.jpg", "y");
    ASSERT_EQ(RunBackup(5), 0);
    EXPECT_EQ(OnPc(fs::path("Document") / "Download" / "r.pdf"), "pdf");
    EXPECT_EQ(OnPc(fs::path("Document") / "Downloads" / "p.jpg"), "<absent>");
    EXPECT_EQ(OnPc(fs::path("Document") / "x.doc"), "doc");
    EXPECT_EQ(OnPc(fs::path("Document") / "sub" / "y.jpg"), "y");
    EXPECT_EQ(FilesBelow(pc.path()), 3u);
    // Pass 1 on the scale 50 (the filtered p.jpg reports nothing), then pass
    // 2 from 0 on the scale 100.
    EXPECT_EQ(gReports, (std::vector<int32_t>{0, 0, 50}));
}

// Two phone files that one backup maps to one PC file (here the nested
// Download folder of pass 2 lands where pass 1's Download folder does) are
// both kept; a backup made again takes the same names and replaces them.
TEST_F(BackupRestoreTest, EntriesOfOneBackupThatMapToOnePcFileAreAllKept) {
    PhoneFile("Download/r.pdf", "first");
    PhoneFile("My Documents/Documents/Download/r.pdf", "second");
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(RunBackup(5), 0);
        EXPECT_EQ(OnPc(fs::path("Document") / "Download" / "r.pdf"), "first");
        EXPECT_EQ(OnPc(fs::path("Document") / "Download" / "r(2).pdf"), "second");
        EXPECT_EQ(FilesBelow(pc.path()), 2u);
    }
}

// A document restore's second pass reads what the backup wrote directly
// below Document (but for the folders Download, Downloads and My Documents,
// as the PC compares names) and the older layout below
// Document/My Documents/Documents, as one list.
TEST_F(BackupRestoreTest, DocumentRestoreReadsBothLayoutsAndSkipsTheFirstPassFolders) {
    const bool windows = platform::NativePathStyle() == platform::PathStyle::kWindows;
    const std::string docs = "My Documents/Documents/";
    struct Case {
        std::map<std::string, std::string> pc;  // below Document
        std::map<std::string, std::string> posix, windows;  // what the phone then holds
        std::vector<int32_t> reports;
    };
    const std::vector<Case> cases = {
        {{{"Download/p.jpg", "jpg"},
          {"flat.doc", "flat"},
          {"sub/deep/y.bin", std::string(70000, 'y')},
          {"My Documents/Documents/x.doc", "old layout"},
          {"My Documents/stray.doc", "not a documents file"}},
         {{"Download/p.jpg", "jpg"},
          {docs + "flat.doc", "flat"},
          {docs + "sub/deep/y.bin", std::string(70000, 'y')},
          {docs + "x.doc", "old layout"}},
         {},
         {0, 0, 33, 66}},
        // Files, not folders, of the skipped names are restored.
        {{{"Download", "a file"}, {"My Documents", "another file"}},
         {{docs + "Download", "a file"}, {docs + "My Documents", "another file"}},
         {},
         {0, 50}},
        // Names in another case: the same folders on a Windows PC.
        {{{"DOWNLOADS/up.txt", "up"}, {"my documents/Documents/z.doc", "z"}},
         {{docs + "DOWNLOADS/up.txt", "up"}, {docs + "my documents/Documents/z.doc", "z"}},
         {{"Downloads/up.txt", "up"}, {docs + "z.doc", "z"}},
         windows ? std::vector<int32_t>{0, 0} : std::vector<int32_t>{0, 50}},
    };
    for (size_t c = 0; c < cases.size(); ++c) {
        SCOPED_TRACE("case " + std::to_string(c));
        fs::remove_all(pc.path() / "Document");
        fs::remove_all(service->OnDisk(root));
        for (const auto& file : cases[c].pc) WriteFile(pc.path() / "Document" / file.first, file.second);
        gReports.clear();
        ASSERT_EQ(RunRestore(5, 0), 0);
        EXPECT_EQ(PhoneFiles(), windows && !cases[c].windows.empty() ? cases[c].windows : cases[c].posix);
        EXPECT_EQ(gReports, cases[c].reports);
    }
}

// One relative name in both layouts: the copy directly below Document goes
// up, in every conflict mode; the older one is not uploaded as well.
TEST_F(BackupRestoreTest, TheBackupLayoutWinsOverTheOlderOne) {
    const fs::path document = pc.path() / "Document";
    WriteFile(document / "x.doc", "backup layout");
    WriteFile(document / "My Documents" / "Documents" / "x.doc", "older layout");
    WriteFile(document / "My Documents" / "Documents" / "only-older.doc", "older only");
    for (int32_t mode : {0, 1, 2}) {
        for (bool phoneHas : {false, true}) {
            SCOPED_TRACE("mode " + std::to_string(mode) + (phoneHas ? ", the phone has x.doc" : ""));
            fs::remove_all(service->OnDisk(root));
            std::map<std::string, std::string> expected = {{"My Documents/Documents/x.doc", "backup layout"},
                                                           {"My Documents/Documents/only-older.doc", "older only"}};
            if (phoneHas) {
                PhoneFile("My Documents/Documents/x.doc", "phone");
                if (mode == 0) expected["My Documents/Documents/x.doc"] = "phone";
                if (mode == 1) {
                    expected["My Documents/Documents/x.doc"] = "phone";
                    expected["My Documents/Documents/x(2).doc"] = "backup layout";
                }
            }
            gReports.clear();
            ASSERT_EQ(RunRestore(5, mode), 0);
            EXPECT_EQ(PhoneFiles(), expected);
            EXPECT_EQ(gReports, (std::vector<int32_t>{0, 50}));
        }
    }
}

// A document backup restores as it was: every file of Download, Downloads
// (those the backup takes) and My Documents/Documents comes back with its
// bytes, in each conflict mode, and nothing lands anywhere else.
TEST_F(BackupRestoreTest, DocumentBackupRoundTripsInEveryConflictMode) {
    const std::map<std::string, std::string> taken = {
        {"Download/r.pdf", std::string(70000, 'r')},
        {"Download/sub/s.TXT", "s"},
        {"Downloads/t.docx", "t"},
        {"My Documents/Documents/x.doc", "x"},
        {"My Documents/Documents/README", "no extension"},
        {"My Documents/Documents/Music/m.mp3", "any file"},
        {"My Documents/Documents/sub/deep/y.bin", std::string(140000, 'y')},
    };
    const std::string changed = "My Documents/Documents/x.doc";
    for (int32_t mode : {0, 1, 2}) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        fs::remove_all(service->OnDisk(root));
        fs::remove_all(pc.path() / "Document");
        for (const auto& file : taken) PhoneFile(file.first, file.second);
        PhoneFile("Download/p.jpg", "not a document");
        ASSERT_EQ(RunBackup(5), 0);
        // Deleted on the phone, but for one file changed there.
        fs::remove_all(service->OnDisk(root));
        PhoneFile(changed, "changed on the phone");
        std::map<std::string, std::string> expected = taken;
        if (mode != 2) expected[changed] = "changed on the phone";
        if (mode == 1) expected["My Documents/Documents/x(2).doc"] = "x";
        ASSERT_EQ(RunRestore(5, mode), 0);
        EXPECT_EQ(PhoneFiles(), expected);
    }
}

TEST_F(BackupRestoreTest, ConflictModesKeepNumberOrReplace) {
    PhoneFile("Music/a.mp3", std::string(200000, 'o'));  // longer than the new copy
    PhoneFile("Music/README", "old readme");
    WriteFile(pc.path() / "Music" / "Music" / "a.mp3", "new");
    WriteFile(pc.path() / "Music" / "Music" / "README", "new readme");

    ASSERT_EQ(RunRestore(0, 0), 0);  // keep: nothing copied, every file reported
    EXPECT_EQ(OnPhone("Music/a.mp3"), std::string(200000, 'o'));
    EXPECT_EQ(OnPhone("Music/README"), "old readme");
    EXPECT_EQ(gReports, (std::vector<int32_t>{0, 50}));
    ASSERT_EQ(RunRestore(0, 7), 0);  // any other value keeps as well
    EXPECT_EQ(FilesBelow(service->OnDisk(root)), 2u);

    ASSERT_EQ(RunRestore(0, 1), 0);  // store both
    EXPECT_EQ(OnPhone("Music/a(2).mp3"), "new");
    EXPECT_EQ(OnPhone("Music/README(2)"), "new readme");
    ASSERT_EQ(RunRestore(0, 1), 0);
    EXPECT_EQ(OnPhone("Music/a(3).mp3"), "new");
    EXPECT_EQ(OnPhone("Music/README(3)"), "new readme");
    EXPECT_EQ(OnPhone("Music/a.mp3"), std::string(200000, 'o'));

    // Replace, with a PC file that does not open (another program holds
    // it): found out before the phone's copy is deleted, so it stays.
    platform::ArmFaultForTesting(platform::FaultKind::kFileOpen, 1, platform::FaultMode::kOnce, 13);
    EXPECT_NE(RunRestore(0, 2), 0);
    platform::DisarmFaultsForTesting();
    EXPECT_EQ(OnPhone("Music/a.mp3"), std::string(200000, 'o'));
    EXPECT_EQ(OnPhone("Music/README"), "old readme");

    ASSERT_EQ(RunRestore(0, 2), 0);  // replace: no stale tail of the longer old file
    EXPECT_EQ(OnPhone("Music/a.mp3"), "new");
    EXPECT_EQ(OnPhone("Music/README"), "new readme");
}

TEST_F(BackupRestoreTest, FileNameOnPhoneNumbersCaseSensitively) {
    // Folders of their own: under Wine the test's own writes would meet
    // case-insensitively.
    PhoneFile("x/a.mp3", "1");
    PhoneFile("x/a(2).mp3", "2");
    PhoneFile("y/b.mp3", "1");
    PhoneFile("y/B(2).mp3", "2");
    PhoneFile("z/README", "1");
    PhoneFile("z/README(2)", "2");
    GetSyncContext().SetPhone("127.0.0.1", service->port());
    const std::pair<const char*, const char*> cases[] = {
        {"/x/a.mp3", "/x/a(3).mp3"}, {"/y/b.mp3", "/y/b(2).mp3"}, {"/z/README", "/z/README(3)"}};
    for (const auto& c : cases) {
        std::u16string path = Utf8ToUtf16(root + c.first);
        ASSERT_EQ(CBackupRestore::GetFileNameOnPhone(CurrentJobSetup().phone, path), 0) << c.first;
        EXPECT_EQ(path, Utf8ToUtf16(root + c.second));
    }

    LogCapture log;
    std::u16string path = u"no-slash";
    EXPECT_EQ(CBackupRestore::GetFileNameOnPhone(CurrentJobSetup().phone, path), 1);
    EXPECT_EQ(path, u"no-slash");
    EXPECT_EQ(log.Count("Function = CBackupRestore::GetFileNameOnPhone GetLastError"), 1u);
}

TEST_F(BackupRestoreTest, ProgressOfFourFilesAndNoneForAnEmptySource) {
    for (const char* name : {"1.mp3", "2.mp3", "3.mp3", "4.mp3"}) PhoneFile(std::string("Music/") + name, name);
    ASSERT_EQ(RunBackup(0), 0);
    EXPECT_EQ(gReports, (std::vector<int32_t>{0, 25, 50, 75}));
    gReports.clear();
    fs::remove_all(service->OnDisk(root + "/Music"));
    ASSERT_EQ(RunRestore(0, 0), 0);
    EXPECT_EQ(gReports, (std::vector<int32_t>{0, 25, 50, 75}));

    gReports.clear();
    EXPECT_EQ(RunBackup(1), 0);  // nothing in any gallery folder
    EXPECT_EQ(RunRestore(1, 0), 0);
    EXPECT_TRUE(gReports.empty());
    EXPECT_EQ(RunBackup(0, nullptr), 0);  // no callback at all
}

TEST_F(BackupRestoreTest, UnknownCategoryAndMissingArguments) {
    LogCapture log;
    PhoneFile("Music/a.mp3", "a");
    EXPECT_EQ(RunBackup(2), 1);
    EXPECT_EQ(RunRestore(2, 0), 1);
    EXPECT_EQ(log.Count(".\\Quellsync_Http_Export.cpp("), 2u);
    EXPECT_EQ(log.Count("Function = Backup GetLastError"), 1u);
    EXPECT_EQ(log.Count("Function = Restore GetLastError"), 1u);
    EXPECT_EQ(FilesBelow(pc.path()), 0u);

    const std::u16string host = u"127.0.0.1", empty;
    // An empty PC folder would put Music at the top of a drive.
    EXPECT_EQ(Backup(0, AsHostText(host), service->port(), AsHostText(empty), AsHostText(PhoneRoot()), nullptr), 1);
    EXPECT_EQ(Backup(0, nullptr, service->port(), AsHostText(PcFolder()), AsHostText(PhoneRoot()), nullptr), 1);
    EXPECT_EQ(Restore(0, AsHostText(host), service->port(), nullptr, AsHostText(PhoneRoot()), 0, nullptr), 1);
    EXPECT_EQ(Restore(0, AsHostText(host), service->port(), AsHostText(PcFolder()), nullptr, 0, nullptr), 1);
    EXPECT_EQ(FilesBelow(pc.path()), 0u);

    GetSyncContext().stopRequested.store(1);
    EXPECT_EQ(RunBackup(2), 21);
    EXPECT_EQ(RunRestore(2, 0), 21);
}

TEST_F(BackupRestoreTest, StopLeftByAnEarlierJobEndsBackupAndRestore) {
    PhoneFile("Music/a.mp3", "a");
    WriteFile(pc.path() / "Music" / "Music" / "b.mp3", "b");
    Stop(nullptr, nullptr);
    EXPECT_EQ(RunBackup(0), 21);
    EXPECT_EQ(RunRestore(0, 0), 21);
    EXPECT_EQ(GetSyncContext().stopRequested.load(), 1);  // left as it was
    EXPECT_EQ(OnPc(fs::path("Music") / "Music" / "a.mp3"), "<absent>");
    EXPECT_EQ(OnPhone("Music/b.mp3"), "<absent>");
    EXPECT_TRUE(gReports.empty());

    // The engine itself: the restore's PC listing saw the flag and found
    // nothing to upload.
    EXPECT_EQ(CBackupRestore::CopyPathFromPCToPhone(CurrentJobSetup().phone, (pc.path() / "Music").u16string(), PhoneRoot(), {u"Music"}, 0,
                                                    RecordProgress, 100),
              0);
}

TEST_F(BackupRestoreTest, StopFromInsideTheCallback) {
    for (const char* name : {"1.mp3", "2.mp3", "3.mp3"}) PhoneFile(std::string("Music/") + name, name);
    gOnReport = [](int32_t) { Stop(nullptr, nullptr); };
    EXPECT_EQ(RunBackup(0), 21);
    EXPECT_EQ(gReports, (std::vector<int32_t>{0}));
    EXPECT_EQ(FilesBelow(pc.path()), 1u);

    GetSyncContext().stopRequested.store(0);
    gReports.clear();
    fs::remove_all(service->OnDisk(root + "/Music"));
    WriteFile(pc.path() / "Music" / "Music" / "4.mp3", "4");
    WriteFile(pc.path() / "Music" / "Music" / "5.mp3", "5");
    EXPECT_EQ(RunRestore(0, 0), 21);
    EXPECT_EQ(gReports, (std::vector<int32_t>{0}));
    EXPECT_EQ(FilesBelow(service->OnDisk(root)), 1u);
}

TEST_F(BackupRestoreTest, ExceptionsStayInside) {
    PhoneFile("Music/a.mp3", "a");
    LogCapture log;
    EXPECT_EQ(RunBackup(0, ThrowingProgress), 1);
    EXPECT_EQ(log.Count("Function = CBackupRestore::CopyPathFromPhoneToPC GetLastError"), 1u);
    EXPECT_EQ(RunRestore(0, 2, ThrowingProgress), 1);
    EXPECT_EQ(log.Count("Function = CBackupRestore::CopyPathFromPCToPhone GetLastError"), 1u);
}

TEST_F(BackupRestoreTest, FailingDownloadEndsTheDocumentsAndKeepsThePreviousBackup) {
    LogCapture log;
    PhoneFile("Download/r.pdf", std::string(3 * 65536, 'n'));
    PhoneFile("My Documents/Documents/x.doc", "doc");
    const fs::path previous = fs::path("Document") / "Download" / "r.pdf";
    WriteFile(pc.path() / previous, "previous backup");
    {
        ArmedFault secondChunk(*service, "status0:cmd=11,nth=2,path=" + root + "/");
        EXPECT_EQ(RunBackup(5), -6);  // the chunk's refusal, passed through
    }
    EXPECT_EQ(OnPc(previous), "previous backup");
    EXPECT_EQ(OnPc(fs::path("Document") / "x.doc"), "<absent>");  // pass 2 never ran
    EXPECT_EQ(FilesBelow(pc.path()), 1u);                        // no temporary file left
    EXPECT_TRUE(gReports.empty());

    // The fault gone, the next backup replaces the previous one.
    ASSERT_EQ(RunBackup(5), 0);
    EXPECT_EQ(OnPc(previous), std::string(3 * 65536, 'n'));
}

TEST_F(BackupRestoreTest, FailingUploadLeavesNoPartialFileAndEndsTheDocuments) {
    WriteFile(pc.path() / "Document" / "Download" / "big.bin", std::string(3 * 65536, 'u'));
    WriteFile(pc.path() / "Document" / "My Documents" / "Documents" / "x.doc", "doc");
    LogCapture log;
    {
        ArmedFault secondChunk(*service, "status0:cmd=12,nth=2,path=" + root + "/");
        EXPECT_EQ(RunRestore(5, 0), -6);
    }
    EXPECT_EQ(OnPhone("Download/big.bin"), "<absent>");
    EXPECT_EQ(OnPhone("My Documents/Documents/x.doc"), "<absent>");
    // With the partial file gone, a later restore that keeps phone files
    // uploads it whole.
    ASSERT_EQ(RunRestore(5, 0), 0);
    EXPECT_EQ(OnPhone("Download/big.bin"), std::string(3 * 65536, 'u'));
}

TEST_F(BackupRestoreTest, StopDuringAnUploadLeavesNoPartialFile) {
    WriteFile(pc.path() / "Music" / "Music" / "big.mp3", std::string(8 * 65536, 's'));
    // The stand-in writes the chunks and holds their answers: the partial
    // file is there before the upload can end.
    ArmedFault chunks(*service, "hold:cmd=12,path=" + root + "/");
    std::atomic<int32_t> result{-100};
    std::thread restore([&] { result = RunRestore(0, 0); });
    // The five chunks in flight (of eight) written and held.
    const bool written = chunks.WaitHeld(5);
    const fs::path disk = service->OnDisk(root + "/Music/big.mp3");
    const bool started = fs::exists(disk);
    Stop(nullptr, nullptr);
    restore.join();
    ASSERT_TRUE(written);
    ASSERT_TRUE(started);
    EXPECT_EQ(result.load(), 21);
    EXPECT_FALSE(fs::exists(disk));
}

TEST_F(BackupRestoreTest, FailedListingsAndDeletesGiveOne) {
    LogCapture log;
    PhoneFile("Music/a.mp3", "a");
    WriteFile(pc.path() / "Music" / "Music" / "a.mp3", "new");
    {
        ArmedFault listings(*service, "status0:cmd=15,path=" + root + "/");
        EXPECT_EQ(RunBackup(0), 1);
        EXPECT_EQ(log.Count("Function = CBackupRestore::GetAllFileListFromPhone GetLastError"), 1u);
        EXPECT_EQ(log.Count("Function = CBackupRestore::CopyPathFromPhoneToPC GetLastError"), 1u);
        EXPECT_EQ(RunRestore(0, 1), 1);  // no numbered name without a listing
        EXPECT_EQ(log.Count("Function = CBackupRestore::GetFileNameOnPhone GetLastError"), 1u);
        EXPECT_EQ(OnPhone("Music/a.mp3"), "a");
    }
    ArmedFault deletes(*service, "status0:cmd=13,path=" + root + "/");
    EXPECT_EQ(RunRestore(0, 2), 1);
    EXPECT_EQ(log.Count("Function = CBackupRestore::CopyPathFromPCToPhone GetLastError"), 1u);
    EXPECT_EQ(OnPhone("Music/a.mp3"), "a");
}

TEST(BackupListingTest, PhoneListingIsReversedAndHoldsFilesOnly) {
    using namespace filewire;
    // The folder holds a, d and c; d holds e. The listing delivers a, e, d, c.
    ScriptedPeer peer([](int connection) {
        const std::string body = connection == 0
                                     ? Answer(1, ListResult({{"/x/a", 1}, {"/x/d", 0, true}, {"/x/c", 3}}))
                                     : Answer(1, ListResult({{"/x/d/e", 5}}));
        return PeerScript().ReadRequest().Respond(body).Close();
    });
    ASSERT_TRUE(peer.ok());
    GetSyncContext().SetPhone("127.0.0.1", peer.port());
    BackupFileList list;
    ASSERT_EQ(CBackupRestore::GetAllFileListFromPhone(CurrentJobSetup().phone, u"/x", list), 0);
    ASSERT_EQ(list.GetCount(), 3u);
    EXPECT_EQ(list.GetAt(0).mstrPath, u"/x/c");
    EXPECT_EQ(list.GetAt(0).mnSize, 3);
    EXPECT_EQ(list.GetAt(1).mstrPath, u"/x/d/e");
    EXPECT_EQ(list.GetAt(2).mstrPath, u"/x/a");
}

TEST(BackupHostileTest, EntriesOutsideThePcFolderAreNeverWritten) {
    using namespace filewire;
    const std::string music = "/sdcard/Music";
    // Two acceptable files of one size and content: every stat and chunk
    // answer fits either. A colon is a name character on POSIX only.
    const bool windows = platform::NativePathStyle() == platform::PathStyle::kWindows;
    ScriptedPeer peer([&](int connection) {
        std::string body;
        if (connection == 0)
            body = Answer(1, ListResult({{music + "/../../evil.mp3", 4},
                                         {"/elsewhere/x.mp3", 4},
                                         {music + "//y.mp3", 4},
                                         {music + "/./z.mp3", 4},
                                         {music + "X/w.mp3", 4},
                                         {music + "/c:colon.mp3", 4},
                                         {music + "/ok.mp3", 4}}));
        else if (connection % 2 == 1)
            body = Answer(1, I32(14) + I32(1) + InfoBytes({music + "/ok.mp3", 4}));
        else
            body = Answer(1, Block("good"));
        return PeerScript().ReadRequest().Respond(body).Close();
    });
    ASSERT_TRUE(peer.ok());
    GetSyncContext().stopRequested.store(0);
    ScratchDir top;
    const fs::path pcFolder = top.path() / "pc" / "B";
    fs::create_directories(pcFolder);
    const std::u16string pc = pcFolder.u16string();
    LogCapture log;
    gReports.clear();
    EXPECT_EQ(Backup(0, AsHostText(u"127.0.0.1"), peer.port(), AsHostText(pc), AsHostText(u"/sdcard"),
                     RecordProgress),
              1);  // the backup is incomplete
    const size_t refused = windows ? 6u : 5u;
    EXPECT_EQ(log.Count("Function = CBackupRestore::CopyPathFromPhoneToPC GetLastError"), refused);
    EXPECT_EQ(ReadWholeFile(pcFolder / "Music" / "Music" / "ok.mp3"), "good");
    EXPECT_EQ(FilesBelow(top.path()), windows ? 1u : 2u);  // nothing anywhere else
    EXPECT_EQ(gReports.size(), windows ? 1u : 2u);
}
