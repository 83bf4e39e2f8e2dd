// The platform's local file owner and the replace-by-temporary helpers.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/file.h"
#include "platform/utf.h"
#include "support/test_env.h"

namespace {

std::u16string Wide(const std::filesystem::path& path) { return platform::Utf8ToUtf16(path.u8string()); }

void WriteText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace

TEST(LocalFileTest, OpenModesCreateReplaceOrRefuse) {
    ScratchDir dir;
    const auto path = dir.path() / "f\xC3\xA9.bin";  // a non-ASCII name goes through UTF-16
    EXPECT_FALSE(platform::File::Open(Wide(path), platform::FileOpen::kReadExisting).IsOpen());

    WriteText(path, "old content");
    EXPECT_FALSE(platform::File::Open(Wide(path), platform::FileOpen::kWriteCreateNew).IsOpen());
    {
        platform::File file = platform::File::Open(Wide(path), platform::FileOpen::kWriteCreateAlways);
        ASSERT_TRUE(file.IsOpen());
        ASSERT_TRUE(file.Write("new", 3));
    }
    EXPECT_EQ(ReadWholeFile(path), "new");
    // A folder is not a file to transfer.
    EXPECT_FALSE(platform::File::Open(Wide(dir.path()), platform::FileOpen::kReadExisting).IsOpen());
}

TEST(LocalFileTest, PositionedWritesAndReadsToTheEnd) {
    ScratchDir dir;
    const auto path = dir.path() / "p.bin";
    {
        platform::File file = platform::File::Open(Wide(path), platform::FileOpen::kWriteCreateNew);
        ASSERT_TRUE(file.IsOpen());
        // Chunks arrive out of order.
        ASSERT_TRUE(file.Seek(4));
        ASSERT_TRUE(file.Write("efgh", 4));
        ASSERT_TRUE(file.Seek(0));
        ASSERT_TRUE(file.Write("abcd", 4));
        EXPECT_FALSE(file.Seek(-1));
        platform::File moved = std::move(file);
        EXPECT_FALSE(file.IsOpen());
        int64_t size = 0;
        ASSERT_TRUE(moved.Size(&size));
        EXPECT_EQ(size, 8);
    }
    platform::File file = platform::File::Open(Wide(path), platform::FileOpen::kReadExisting);
    char buffer[16];
    size_t got = 0;
    ASSERT_TRUE(file.Read(buffer, sizeof buffer, &got));
    EXPECT_EQ(std::string(buffer, got), "abcdefgh");
    ASSERT_TRUE(file.Read(buffer, sizeof buffer, &got));
    EXPECT_EQ(got, 0u);
}

TEST(LocalFileTest, TemporarySiblingReplacesTheTargetInOneStep) {
    ScratchDir dir;
    const auto target = dir.path() / "t.txt";
    WriteText(target, "previous");
    const std::u16string temporary = platform::TemporarySiblingName(Wide(target));
    EXPECT_NE(temporary, platform::TemporarySiblingName(Wide(target)));
    EXPECT_EQ(std::filesystem::u8path(platform::Utf16ToUtf8(temporary)).parent_path(), target.parent_path());
    {
        platform::File file = platform::File::Open(temporary, platform::FileOpen::kWriteCreateNew);
        ASSERT_TRUE(file.IsOpen());
        ASSERT_TRUE(file.Write("finished", 8));
    }
    ASSERT_TRUE(platform::ReplaceFileWith(temporary, Wide(target)));
    EXPECT_EQ(ReadWholeFile(target), "finished");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::u8path(platform::Utf16ToUtf8(temporary))));

    EXPECT_TRUE(platform::RemoveFile(Wide(target)));
    EXPECT_FALSE(platform::RemoveFile(Wide(target)));
}
