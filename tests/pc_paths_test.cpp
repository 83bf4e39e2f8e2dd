#include <gtest/gtest.h>

#include <fstream>
#include <thread>
#include <vector>

#include "fileapi/FileApi.h"
#include "platform/utf.h"
#include "support/test_env.h"

using platform::PathStyle;
namespace pp = pc_paths;

namespace {
const PathStyle W = PathStyle::kWindows;
const PathStyle P = PathStyle::kPosix;
}  // namespace

TEST(PcPathsTest, PhonePathMirrorsThePcPath) {
    EXPECT_EQ(pp::BuildPhonePath(W, "C:\\Users\\me\\a.mp3", "/sdcard/Music"), "/sdcard/Music/C/Users/me/a.mp3");
    // A share keeps a double "/": the "//" pass runs once over pairs.
    EXPECT_EQ(pp::BuildPhonePath(W, "\\\\srv\\share\\a.mp3", "/sdcard/Music"), "/sdcard/Music//srv/share/a.mp3");
    EXPECT_EQ(pp::BuildPhonePath(W, "D:\\M\\\xC3\xA4.mp3", "/Music"), "/Music/D/M/\xC3\xA4.mp3");
    EXPECT_EQ(pp::BuildPhonePath(P, "/home/me/a.mp3", "/sdcard/Music"), "/sdcard/Music/home/me/a.mp3");
    EXPECT_EQ(pp::BuildPhonePath(P, "/home/me/a:b\\c.mp3", "/Music"), "/Music/home/me/a:b\\c.mp3");
}

TEST(PcPathsTest, ShortPathsCountAsAbsentOnlyInWindowsStyle) {
    EXPECT_TRUE(pp::TooShortToExist(W, u"C:\\a.b"));
    EXPECT_FALSE(pp::TooShortToExist(W, u"C:\\ab.c"));
    EXPECT_FALSE(pp::TooShortToExist(P, u"/a"));
}

TEST(PcPathsTest, FolderProbeAndParents) {
    EXPECT_EQ(pp::DirProbe(W, u"C:\\x"), u"C:\\x\\*.*");
    EXPECT_EQ(pp::DirProbe(W, u"C:\\"), u"C:\\*.*");
    EXPECT_EQ(pp::DirProbe(P, u"/x"), u"/x");
    EXPECT_EQ(pp::ParentToEnsure(W, u"\\\\?\\C:\\a\\b"), u"\\\\?\\C:\\a");
    EXPECT_EQ(pp::ParentToEnsure(W, u"\\\\?\\C:\\a"), u"\\\\?\\C:");
    EXPECT_EQ(pp::ParentToEnsure(W, u"\\\\?\\C:"), u"");  // only the prefix's backslashes remain
    EXPECT_EQ(pp::ParentToEnsure(P, u"/a/b"), u"/a");
    EXPECT_EQ(pp::ParentToEnsure(P, u"/a/b/"), u"/a");
    EXPECT_EQ(pp::ParentToEnsure(P, u"/a"), u"/");
    EXPECT_EQ(pp::ParentToEnsure(P, u"/"), u"");
}

TEST(PcPathsTest, NumberedNames) {
    EXPECT_EQ(pp::NumberedName(W, u"C:\\P\\a.jpg", 2), u"C:\\P\\a(2).jpg");
    EXPECT_EQ(pp::NumberedName(W, u"C:\\P\\a.jpg", 13), u"C:\\P\\a(13).jpg");
    EXPECT_EQ(pp::NumberedName(W, u"C:\\P\\README", 2), u"C:\\P\\README(2)");
    EXPECT_EQ(pp::NumberedName(W, u"C:\\P.d\\x", 3), u"C:\\P.d\\x(3)");
    EXPECT_EQ(pp::NumberedName(P, u"/p/a.tar.gz", 2), u"/p/a.tar(2).gz");
    EXPECT_EQ(pp::NumberedName(P, u"/p/%d%s.jpg", 2), u"/p/%d%s(2).jpg");  // never a format
}

TEST(PcPathsTest, ListedEntriesMustStayBelowTheFolder) {
    std::u16string rel;
    EXPECT_TRUE(pp::RelativeBelow(W, u"/sdcard/DCIM/Camera/a.jpg", u"/sdcard/DCIM", rel));
    EXPECT_EQ(rel, u"/Camera/a.jpg");
    EXPECT_TRUE(pp::RelativeBelow(P, u"/DCIM/a\\b.jpg", u"/DCIM", rel));  // a POSIX name may hold "\"
    for (const char16_t* bad : {u"/sdcard/DCIMX/a.jpg", u"/sdcard/DCIM", u"/sdcard/DCIM/", u"/sdcard/DCIM/../x",
                                u"/sdcard/DCIM/a/../../x", u"/sdcard/DCIM//a", u"/sdcard/DCIM/./a",
                                u"/sdcard/DCIM/a/", u"/other/a.jpg", u"/sdcard/DCIM/.."}) {
        EXPECT_FALSE(pp::RelativeBelow(P, bad, u"/sdcard/DCIM", rel)) << std::string(bad, bad + 1);
        EXPECT_FALSE(pp::RelativeBelow(W, bad, u"/sdcard/DCIM", rel));
    }
    for (const char16_t* windowsOnly : {u"/DCIM/C:x.jpg", u"/DCIM/a\\..\\..\\x", u"/DCIM/a?.jpg", u"/DCIM/a.",
                                        u"/DCIM/a ", u"/DCIM/a\x01",
                                        // device names, in any case, in any segment, with any extension
                                        u"/DCIM/con", u"/DCIM/NUL.txt", u"/DCIM/aux .tar.gz", u"/DCIM/Com1/a.jpg",
                                        u"/DCIM/x/lpt9.jpg", u"/DCIM/PRN",
                                        // bidirectional controls that disguise a name
                                        u"/DCIM/doc\u202Egpj.exe", u"/DCIM/a\u202A.jpg", u"/DCIM/\u2066a/b.jpg",
                                        u"/DCIM/a\u2069.jpg"}) {
        EXPECT_FALSE(pp::RelativeBelow(W, windowsOnly, u"/DCIM", rel)) << platform::Utf16ToUtf8(windowsOnly);
        EXPECT_TRUE(pp::RelativeBelow(P, windowsOnly, u"/DCIM", rel));
    }
    // Names that only look like device names are fine.
    for (const char16_t* fine : {u"/DCIM/console.txt", u"/DCIM/COM0", u"/DCIM/LPT10.jpg", u"/DCIM/a.con",
                                 u"/DCIM/nul_/x", u"/DCIM/a\u2029b.jpg"})
        EXPECT_TRUE(pp::RelativeBelow(W, fine, u"/DCIM", rel)) << platform::Utf16ToUtf8(fine);
}

TEST(PcPathsTest, TargetsNeverDoubleTheSeparator) {
    EXPECT_EQ(pp::TargetFor(W, u"D:\\", u"/a/b.jpg"), u"D:\\a\\b.jpg");
    EXPECT_EQ(pp::TargetFor(W, u"D:\\Pics", u"/b.jpg"), u"D:\\Pics\\b.jpg");
    EXPECT_EQ(pp::TargetFor(P, u"/data/", u"/a/b.jpg"), u"/data/a/b.jpg");
    EXPECT_EQ(pp::TargetFor(P, u"/", u"/b.jpg"), u"/b.jpg");
}

namespace {

std::u16string Join(std::u16string path, std::initializer_list<const char16_t*> names) {
    for (const char16_t* name : names) path = platform::JoinPath(platform::NativePathStyle(), path, name);
    return path;
}

}  // namespace

TEST(FileApiTest, LocalProbesAndFolders) {
    ScratchDir scratch;
    const std::u16string root = Join(scratch.path().u16string(), {u"tree"});
    const std::u16string deep = Join(root, {u"a", u"b", u"c"});
    EXPECT_FALSE(FILE_API::LocalDirExists(root));
    ASSERT_TRUE(FILE_API::EnsureLocalDir(deep));
    EXPECT_TRUE(FILE_API::LocalDirExists(deep));
    EXPECT_TRUE(FILE_API::EnsureLocalDir(deep));  // already there
    const std::u16string file = Join(deep, {u"f.bin"});
    EXPECT_FALSE(FILE_API::LocalPathExists(file));
    EXPECT_EQ(FILE_API::LocalFileSize(file), -1);
    std::ofstream(std::filesystem::path(file), std::ios::binary) << "12345";
    EXPECT_TRUE(FILE_API::LocalPathExists(file));
    EXPECT_EQ(FILE_API::LocalFileSize(file), 5);

    std::u16string name = file;
    EXPECT_EQ(FILE_API::MakeUniqueLocalName(name, 5), 1);  // same size: nothing to copy
    EXPECT_EQ(name, file);
    EXPECT_EQ(FILE_API::MakeUniqueLocalName(name, 9), 0);
    EXPECT_EQ(name, Join(deep, {u"f(2).bin"}));
    std::ofstream(std::filesystem::path(name), std::ios::binary) << "123456";
    name = file;
    EXPECT_EQ(FILE_API::MakeUniqueLocalName(name, 9), 0);
    EXPECT_EQ(name, Join(deep, {u"f(3).bin"}));
    name = file;
    EXPECT_EQ(FILE_API::MakeUniqueLocalName(name, 6), 1);  // f(2).bin has that size

    EXPECT_TRUE(FILE_API::EnsureParentDir(Join(root, {u"x", u"y", u"z.txt"})));
    EXPECT_TRUE(FILE_API::LocalDirExists(Join(root, {u"x", u"y"})));
}

// Transfers that run at once make the folders of their files at once: a
// folder another thread made in between is no failure.
TEST(FileApiTest, FoldersMadeAtOnceByManyThreadsAllSucceed) {
    ScratchDir scratch;
    for (int round = 0; round < 50; ++round) {
        const std::u16string name = platform::Utf8ToUtf16("r" + std::to_string(round));
        const std::u16string root = Join(scratch.path().u16string(), {name.c_str()});
        std::vector<int> made(8, 0);
        std::vector<std::thread> threads;
        for (size_t t = 0; t < made.size(); ++t)
            threads.emplace_back([&, t] {
                const std::u16string leaf = platform::Utf8ToUtf16("leaf" + std::to_string(t));
                made[t] = FILE_API::EnsureParentDir(Join(root, {u"a", u"b", u"c", leaf.c_str(), u"f.bin"})) ? 1 : 0;
            });
        for (std::thread& thread : threads) thread.join();
        for (size_t t = 0; t < made.size(); ++t) EXPECT_EQ(made[t], 1) << "round " << round << ", thread " << t;
    }
}
