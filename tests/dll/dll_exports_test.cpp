// Drives the built library through its exported entry points only, as a host
// does: the shared library (the real DLL under Wine), a host window that
// records message 2525, and the phone-service stand-in on loopback.
#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/host_memory.h"
#include "platform/utf.h"
#include "quellsync_http.h"
#include "support/phone_service.h"
#include "support/recording_window.h"
#include "support/test_env.h"

namespace {

using platform::AsHostText;
using platform::Utf8ToUtf16;

class DllExportsTest : public ::testing::Test {
protected:
    void SetUp() override {
        service = PhoneService::Start();
        ASSERT_NE(service, nullptr);
        url = Utf8ToUtf16("http://127.0.0.1:" + std::to_string(service->port()) + "/");
        role = u"device=" + Utf8ToUtf16(device);
        connect.url = AsHostText(url);
        connect.role = AsHostText(role);
        job.window = window.handle();
    }

    std::string device = "/sdcard/" + Unique("dll");
    std::unique_ptr<PhoneService> service;
    RecordingWindow window;
    ScratchDir pc;
    std::u16string url, role;
    ConnectParams connect{};
    JobParams job{};
};

}  // namespace

TEST_F(DllExportsTest, ProbeAndStop) {
    EXPECT_EQ(::Test(), 0);
    EXPECT_EQ(Stop(nullptr, nullptr), 0);
}

// Each option takes exactly its range; a refused value leaves the option
// as it was, and an unknown option is refused by both calls.
TEST(DllOptions, SetOptionTakesExactlyTheRangesAndGetOptionReadsThemBack) {
    EXPECT_EQ(GetOption(QS_OPTION_REQUEST_RETRIES), 0);
    EXPECT_EQ(GetOption(QS_OPTION_RETRY_DELAY_MS), 100);
    struct Case {
        int32_t option, lowest, highest;
    };
    for (const Case& c : {Case{QS_OPTION_REQUEST_RETRIES, 0, 100}, Case{QS_OPTION_RETRY_DELAY_MS, 0, 60000},
                          Case{QS_OPTION_RETRIES_MADE, 0, 0}}) {
        for (const int32_t value : {c.highest, c.lowest}) {
            EXPECT_EQ(SetOption(c.option, value), 0) << c.option << " " << value;
            EXPECT_EQ(GetOption(c.option), value);
        }
        for (const int32_t refused : {c.lowest - 1, c.highest + 1, INT32_MIN, INT32_MAX}) {
            EXPECT_EQ(SetOption(c.option, refused), -1) << c.option << " " << refused;
            EXPECT_EQ(GetOption(c.option), c.lowest);
        }
    }
    for (const int32_t unknown : {0, 4, -1, INT32_MAX}) {
        EXPECT_EQ(SetOption(unknown, 0), -1);
        EXPECT_EQ(GetOption(unknown), -1);
    }
    EXPECT_EQ(SetOption(QS_OPTION_RETRY_DELAY_MS, 100), 0);
}

TEST_F(DllExportsTest, MusicUploadAndCameraDownload) {
    // Two songs up.
    std::deque<std::u16string> paths;
    std::vector<SyncItem> items(2);
    std::vector<void*> pointers;
    for (int i = 0; i < 2; ++i) {
        const auto file = pc.path() / ("song" + std::to_string(i) + ".mp3");
        std::ofstream(file, std::ios::binary) << std::string(70000 + i, static_cast<char>('a' + i));
        paths.push_back(file.u16string());
        items[i].pcPath = AsHostText(paths.back());
        items[i].changeKind = 1;
        pointers.push_back(&items[i]);
    }
    QsHostList list{nullptr, pointers.data(), pointers.data() + pointers.size(), nullptr};
    job.items = &list;
    ASSERT_EQ(SyncMusicFile(&connect, &job), 0);
    size_t itemMessages = 0;
    for (const auto& message : window.messages()) {
        EXPECT_EQ(message.message, 2525u);
        if (message.wParam == 1000) {
            ++itemMessages;
            EXPECT_EQ(message.item.code, 9);
        }
    }
    EXPECT_EQ(itemMessages, 2u);
    for (int i = 0; i < 2; ++i) {
        ASSERT_NE(items[i].phonePath, nullptr);
        const std::string phonePath = platform::Utf16ToUtf8(platform::FromHostText(items[i].phonePath));
        EXPECT_EQ(phonePath.rfind(device + "/Music/", 0), 0u);
        EXPECT_EQ(ReadWholeFile(service->OnDisk(phonePath)), std::string(70000 + i, static_cast<char>('a' + i)));
        platform::FreeHostText(items[i].phonePath);  // as the host frees it
    }

    // The camera folder down.
    const auto camera = service->OnDisk(device + "/DCIM/Camera/p.jpg");
    std::filesystem::create_directories(camera.parent_path());
    std::ofstream(camera, std::ios::binary) << "picture";
    const std::u16string target = (pc.path() / "Pictures").u16string();
    DestinationFolders folders{};
    folders.cameraFolder = AsHostText(target);
    job.word2 = &folders;
    ASSERT_EQ(SyncPhoto(&connect, &job), 0);
    EXPECT_EQ(ReadWholeFile(pc.path() / "Pictures" / "Camera" / "p.jpg"), "picture");
}
