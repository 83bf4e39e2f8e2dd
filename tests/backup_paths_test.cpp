// Path rules and folder plans of backup and restore in both PC path styles,
// and the PC listing against the local file system.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "backup/BackupRestore.h"
#include "context/SyncContext.h"
#include "support/log_capture.h"
#include "support/test_env.h"

using platform::PathStyle;
namespace bp = backup_paths;

namespace {

const PathStyle W = PathStyle::kWindows;
const PathStyle P = PathStyle::kPosix;

// Where a phone file of a category's backup lands: the pass whose phone
// folders hold it, mapped as the backup engine maps it.
std::u16string BackedUpAs(PathStyle style, int32_t category, const std::u16string& pcFolder,
                          const std::u16string& phoneRoot, const std::u16string& phoneFile, size_t pass) {
    const auto plan = bp::BackupPlan(style, category, pcFolder, phoneRoot);
    return bp::MapPhoneToPc(style, phoneFile, plan.at(pass).phoneRoot, plan.at(pass).pcRoot);
}
// older: a file of the pass's older PC root.
std::u16string RestoredAs(PathStyle style, int32_t category, const std::u16string& pcFolder,
                          const std::u16string& phoneRoot, const std::u16string& pcFile, size_t pass,
                          bool older = false) {
    const auto plan = bp::RestorePlan(style, category, pcFolder, phoneRoot);
    const bp::CopyPass& chosen = plan.at(pass);
    return bp::MapPcToPhone(style, pcFile, older ? chosen.olderPcRoot : chosen.pcRoot, chosen.phoneRoot);
}

void Touch(const std::filesystem::path& path, const std::string& content = "x") {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

std::set<std::u16string> Paths(const BackupFileList& list) {
    std::set<std::u16string> out;
    for (size_t i = 0; i < list.GetCount(); ++i) out.insert(list.GetAt(i).mstrPath);
    return out;
}

struct StopFlagReset {
    ~StopFlagReset() { GetSyncContext().stopRequested.store(0); }
};

}  // namespace

TEST(BackupPathsTest, JoinsKeepOneSeparatorAtTheSeam) {
    EXPECT_EQ(bp::JoinPcPath(W, u"C:\\Backup", u"Music"), u"C:\\Backup\\Music");
    EXPECT_EQ(bp::JoinPcPath(W, u"C:\\Backup\\", u"\\Music"), u"C:\\Backup\\Music");
    EXPECT_EQ(bp::JoinPcPath(W, u"", u"Music"), u"\\Music");
    EXPECT_EQ(bp::JoinPcPath(P, u"/home/b", u"Music"), u"/home/b/Music");
    EXPECT_EQ(bp::JoinPcPath(P, u"/home/b/", u"/Music"), u"/home/b/Music");
    EXPECT_EQ(bp::JoinPcPath(P, u"/home/b", u"\\Music"), u"/home/b/\\Music");  // "\" is a POSIX name character
    EXPECT_EQ(bp::JoinPhonePath(u"/sdcard", u"Music"), u"/sdcard/Music");
    EXPECT_EQ(bp::JoinPhonePath(u"/sdcard/", u"/Music"), u"/sdcard/Music");
    EXPECT_EQ(bp::JoinPhonePath(u"", u"Music"), u"/Music");
    EXPECT_EQ(bp::AddLongPathPrefix(W, u"C:\\x"), u"\\\\?\\C:\\x");
    EXPECT_EQ(bp::AddLongPathPrefix(W, u"\\\\?\\C:\\x"), u"\\\\?\\C:\\x");
    EXPECT_EQ(bp::AddLongPathPrefix(P, u"/x"), u"/x");
}

TEST(BackupPathsTest, ExtensionFilterUsesTheLastDotOfTheWholePath) {
    const BackupExtensions& docs = CBackupRestore::DocumentExtensions();
    EXPECT_EQ(docs, (BackupExtensions{u".doc", u".docx", u".xls", u".xlsx", u".ppt", u".pptx", u".pdf", u".txt"}));
    EXPECT_TRUE(bp::HasListedExtension(u"C:\\x\\Report.PDF", docs));
    EXPECT_TRUE(bp::HasListedExtension(u"/sdcard/Download/a.b.Docx", docs));
    EXPECT_FALSE(bp::HasListedExtension(u"/sdcard/Download/photo.jpg", docs));
    EXPECT_FALSE(bp::HasListedExtension(u"C:\\a.pdf\\readme", docs));  // extension ".pdf\readme"
    EXPECT_FALSE(bp::HasListedExtension(u"/sdcard/pdf", docs));
    EXPECT_FALSE(bp::HasListedExtension(u"/x/a.pdf", {}));
}

TEST(BackupPathsTest, MappingKeepsTheListedFolderName) {
    // Windows: with or without the prefix on the PC root, the same phone path.
    for (const char16_t* root : {u"C:\\B\\Music", u"\\\\?\\C:\\B\\Music", u"C:\\B\\Music\\"})
        EXPECT_EQ(bp::MapPcToPhone(W, u"\\\\?\\C:\\B\\Music\\Music\\x\\y.mp3", root, u"/sdcard"),
                  u"/sdcard/Music/x/y.mp3")
            << std::filesystem::path(root).string();
    EXPECT_EQ(bp::MapPhoneToPc(W, u"/sdcard/Music/x/y.mp3", u"/sdcard", u"C:\\B\\Music"),
              u"\\\\?\\C:\\B\\Music\\Music\\x\\y.mp3");
    EXPECT_EQ(bp::MapPhoneToPc(W, u"/Music/x.mp3", u"", u"C:\\B\\Music"), u"\\\\?\\C:\\B\\Music\\Music\\x.mp3");
    // POSIX: no prefix, and a "\" inside a name stays a name character.
    EXPECT_EQ(bp::MapPcToPhone(P, u"/home/b/Music/Music/x/y\\z.mp3", u"/home/b/Music", u"/sdcard"),
              u"/sdcard/Music/x/y\\z.mp3");
    EXPECT_EQ(bp::MapPhoneToPc(P, u"/sdcard/Music/x/y.mp3", u"/sdcard", u"/home/b/Music"),
              u"/home/b/Music/Music/x/y.mp3");
    // An entry shorter than its root maps to the root itself, never throws.
    EXPECT_EQ(bp::MapPhoneToPc(P, u"/s", u"/sdcard", u"/b"), u"/b/");
}

TEST(BackupPathsTest, NumberedPhoneNames) {
    EXPECT_EQ(bp::NumberedPhoneName(u"/x/a.mp3", 2), u"/x/a(2).mp3");
    EXPECT_EQ(bp::NumberedPhoneName(u"/x/a.tar.gz", 3), u"/x/a.tar(3).gz");
    EXPECT_EQ(bp::NumberedPhoneName(u"/x/README", 2), u"/x/README(2)");
    EXPECT_EQ(bp::NumberedPhoneName(u"/x.d/README", 3), u"/x.d/README(3)");  // a folder's dot is not the name's
    EXPECT_EQ(bp::NumberedPhoneName(u"/x/%d.mp3", 2), u"/x/%d(2).mp3");
}

TEST(BackupPathsTest, CategoryPlansInBothStyles) {
    // Music: a phone file goes one level below the category folder and back.
    EXPECT_EQ(BackedUpAs(W, 0, u"C:\\B", u"/sdcard", u"/sdcard/Music/Pop/a.mp3", 0),
              u"\\\\?\\C:\\B\\Music\\Music\\Pop\\a.mp3");
    EXPECT_EQ(RestoredAs(W, 0, u"C:\\B", u"/sdcard", u"\\\\?\\C:\\B\\Music\\Music\\Pop\\a.mp3", 0),
              u"/sdcard/Music/Pop/a.mp3");
    EXPECT_EQ(BackedUpAs(P, 0, u"/home/me/B", u"/sdcard", u"/sdcard/Music/Pop/a.mp3", 0),
              u"/home/me/B/Music/Music/Pop/a.mp3");
    EXPECT_EQ(RestoredAs(P, 0, u"/home/me/B", u"/sdcard", u"/home/me/B/Music/Music/Pop/a.mp3", 0),
              u"/sdcard/Music/Pop/a.mp3");

    const auto gallery = bp::BackupPlan(W, 1, u"C:\\B", u"/sdcard");
    ASSERT_EQ(gallery.size(), 1u);
    EXPECT_EQ(gallery[0].pcRoot, u"C:\\B\\Gallery");
    EXPECT_EQ(gallery[0].folders, (std::vector<std::u16string>{u"Movies", u"Pictures", u"DCIM"}));
    EXPECT_EQ(gallery[0].filter, nullptr);
    EXPECT_EQ(gallery[0].scale, 100);
    EXPECT_EQ(BackedUpAs(W, 1, u"C:\\B", u"/sdcard", u"/sdcard/DCIM/Camera/p.jpg", 0),
              u"\\\\?\\C:\\B\\Gallery\\DCIM\\Camera\\p.jpg");

    // Documents: pass 1 filtered on the scale 50, pass 2 of the backup
    // directly below Document; pass 2 of the restore reads that, but for
    // the first pass's folders and My Documents, and then
    // Document\My Documents\Documents.
    for (PathStyle style : {W, P}) {
        const std::u16string pc = style == W ? u"C:\\B" : u"/home/me/B";
        const auto backup = bp::BackupPlan(style, 5, pc, u"/sdcard");
        const auto restore = bp::RestorePlan(style, 5, pc, u"/sdcard");
        ASSERT_EQ(backup.size(), 2u);
        ASSERT_EQ(restore.size(), 2u);
        EXPECT_EQ(backup[0].folders, (std::vector<std::u16string>{u"Download", u"Downloads"}));
        EXPECT_EQ(backup[0].filter, &CBackupRestore::DocumentExtensions());
        EXPECT_EQ(backup[0].scale, 50);
        EXPECT_EQ(backup[1].phoneRoot, u"/sdcard/My Documents/Documents");
        EXPECT_TRUE(backup[1].folders.empty());
        EXPECT_EQ(backup[1].filter, nullptr);
        EXPECT_EQ(backup[1].scale, 100);
        EXPECT_EQ(restore[0].filter, nullptr);
        EXPECT_EQ(restore[0].scale, 50);
        EXPECT_EQ(restore[1].phoneRoot, u"/sdcard/My Documents/Documents");
        EXPECT_TRUE(restore[1].folders.empty());
        EXPECT_EQ(restore[1].pcRoot, backup[1].pcRoot);
        EXPECT_EQ(restore[1].skipped, (std::vector<std::u16string>{u"Download", u"Downloads", u"My Documents"}));
        EXPECT_EQ(restore[1].olderPcRoot, bp::JoinPcPath(style, bp::JoinPcPath(style, backup[1].pcRoot, u"My Documents"),
                                                         u"Documents"));
        EXPECT_EQ(restore[1].scale, 100);
    }
    EXPECT_EQ(BackedUpAs(W, 5, u"C:\\B", u"/sdcard", u"/sdcard/Download/r.pdf", 0),
              u"\\\\?\\C:\\B\\Document\\Download\\r.pdf");
    EXPECT_EQ(BackedUpAs(W, 5, u"C:\\B", u"/sdcard", u"/sdcard/My Documents/Documents/x.doc", 1),
              u"\\\\?\\C:\\B\\Document\\x.doc");
    EXPECT_EQ(RestoredAs(W, 5, u"C:\\B", u"/sdcard", u"\\\\?\\C:\\B\\Document\\x.doc", 1),
              u"/sdcard/My Documents/Documents/x.doc");
    EXPECT_EQ(RestoredAs(W, 5, u"C:\\B", u"/sdcard", u"\\\\?\\C:\\B\\Document\\My Documents\\Documents\\x.doc", 1,
                         true),
              u"/sdcard/My Documents/Documents/x.doc");
    EXPECT_EQ(BackedUpAs(P, 5, u"/home/me/B", u"/sdcard", u"/sdcard/My Documents/Documents/x.doc", 1),
              u"/home/me/B/Document/x.doc");
    EXPECT_EQ(RestoredAs(P, 5, u"/home/me/B", u"/sdcard", u"/home/me/B/Document/sub/x.doc", 1),
              u"/sdcard/My Documents/Documents/sub/x.doc");
    EXPECT_EQ(RestoredAs(P, 5, u"/home/me/B", u"/sdcard", u"/home/me/B/Document/My Documents/Documents/x.doc", 1, true),
              u"/sdcard/My Documents/Documents/x.doc");

    for (int32_t other : {-1, 2, 3, 4, 6}) {
        EXPECT_TRUE(bp::BackupPlan(W, other, u"C:\\B", u"/sdcard").empty());
        EXPECT_TRUE(bp::RestorePlan(P, other, u"/b", u"/sdcard").empty());
    }
}

TEST(BackupListTest, PcListingSkipsDotFoldersAndKeepsDotFiles) {
    ScratchDir dir;
    Touch(dir.path() / "a.mp3", "aaa");
    Touch(dir.path() / ".nomedia");
    Touch(dir.path() / ".thumbnails" / "t.jpg");
    Touch(dir.path() / "sub" / "deeper" / "b.mp3", "bbbbb");
    BackupFileList list;
    list.Append({u"earlier", 7});
    const std::u16string root = CBackupRestore::AddLongPathPrefix(dir.path().u16string());
    ASSERT_EQ(CBackupRestore::GetAllFileListFromPC(dir.path().u16string(), list), 0);
    ASSERT_EQ(list.GetCount(), 4u);
    EXPECT_EQ(list.GetAt(0).mstrPath, u"earlier");  // the listing appends
    const std::set<std::u16string> expected{
        u"earlier", CBackupRestore::JoinPcPath(root, u"a.mp3"), CBackupRestore::JoinPcPath(root, u".nomedia"),
        CBackupRestore::JoinPcPath(CBackupRestore::JoinPcPath(CBackupRestore::JoinPcPath(root, u"sub"), u"deeper"),
                                   u"b.mp3")};
    EXPECT_EQ(Paths(list), expected);
    for (size_t i = 1; i < list.GetCount(); ++i) {
        const BackupFileEntry& entry = list.GetAt(i);
        EXPECT_EQ(entry.mstrPath.compare(0, root.size(), root), 0);  // every path begins with the prefixed root
        if (entry.mstrPath == CBackupRestore::JoinPcPath(root, u"a.mp3")) {
            EXPECT_EQ(entry.mnSize, 3);
        }
    }
    EXPECT_THROW(list.GetAt(list.GetCount()), std::out_of_range);
}

TEST(BackupListTest, MissingFolderAndSetStopFlagAddNothing) {
    ScratchDir dir;
    Touch(dir.path() / "a.mp3");
    LogCapture log;
    BackupFileList list;
    EXPECT_EQ(CBackupRestore::GetAllFileListFromPC((dir.path() / "absent").u16string(), list), 0);
    EXPECT_EQ(list.GetCount(), 0u);
    EXPECT_EQ(log.Count("Function = CBackupRestore::GetAllFileListFromPC GetLastError"), 1u);

    StopFlagReset reset;
    GetSyncContext().stopRequested.store(1);
    EXPECT_EQ(CBackupRestore::GetAllFileListFromPC(dir.path().u16string(), list, &GetSyncContext().stopRequested), 0);
    EXPECT_EQ(list.GetCount(), 0u);
}

TEST(BackupListTest, TwoFoldersListInOrder) {
    ScratchDir dir;
    Touch(dir.path() / "one" / "a");
    Touch(dir.path() / "one" / "b");
    Touch(dir.path() / "two" / "c");
    BackupFileList list;
    ASSERT_EQ(CBackupRestore::GetAllFileListFromPC((dir.path() / "one").u16string(), list), 0);
    ASSERT_EQ(CBackupRestore::GetAllFileListFromPC((dir.path() / "two").u16string(), list), 0);
    ASSERT_EQ(list.GetCount(), 3u);
    EXPECT_EQ(std::filesystem::path(list.GetAt(2).mstrPath).filename(), "c");
}

TEST(BackupListTest, FolderLinksAreNotEntered) {
    ScratchDir dir;
    Touch(dir.path() / "tree" / "f");
    Touch(dir.path() / "elsewhere" / "g");
    std::error_code failed;
    // A folder link back to the top: followed, the walk would never end.
    std::filesystem::create_directory_symlink(dir.path() / "tree", dir.path() / "tree" / "loop", failed);
    if (!failed)
        std::filesystem::create_directory_symlink(dir.path() / "elsewhere", dir.path() / "tree" / "out", failed);
    if (failed) GTEST_SKIP() << "no folder links on this system";
    BackupFileList list;
    ASSERT_EQ(CBackupRestore::GetAllFileListFromPC((dir.path() / "tree").u16string(), list), 0);
    ASSERT_EQ(list.GetCount(), 1u);
    EXPECT_EQ(std::filesystem::path(list.GetAt(0).mstrPath).filename(), "f");
}

TEST(BackupListTest, DepthIsBounded) {
    ScratchDir dir;
    std::filesystem::path deep = dir.path() / "tree";
    for (int i = 0; i <= CBackupRestore::kMaxPcDepth + 2; ++i) {
        deep /= "d";
        if (i == 3) Touch(deep / "shallow");
    }
    Touch(deep / "too-deep");
    LogCapture log;
    BackupFileList list;
    ASSERT_EQ(CBackupRestore::GetAllFileListFromPC((dir.path() / "tree").u16string(), list), 0);
    ASSERT_EQ(list.GetCount(), 1u);
    EXPECT_EQ(std::filesystem::path(list.GetAt(0).mstrPath).filename(), "shallow");
    EXPECT_EQ(log.Count("Function = CBackupRestore::GetAllFileListFromPC GetLastError"), 1u);
}
