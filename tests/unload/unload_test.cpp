// A host that loads the library for a job and unloads it as soon as the
// export has returned: every export, each on a freshly loaded library
// against the phone-service stand-in. No thread the library started may be
// alive when an export returns, or the unload pulls the code from under it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/host_memory.h"
#include "platform/utf.h"
#include "quellsync_http.h"
#include "support/dynamic_library.h"
#include "support/phone_service.h"
#include "support/recording_window.h"
#include "support/test_env.h"

namespace {

using platform::AsHostText;
using platform::Utf8ToUtf16;

void QS_CALL IgnoreProgress(int32_t) {}

class UnloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        service = PhoneService::Start();
        ASSERT_NE(service, nullptr);
        host = u"127.0.0.1";
        url = Utf8ToUtf16("http://127.0.0.1:" + std::to_string(service->port()) + "/");
        role = u"device=" + Utf8ToUtf16(device);
        connect.url = AsHostText(url);
        connect.role = AsHostText(role);
        job.window = window.handle();
    }

    std::u16string Text(const std::string& utf8) {
        texts.push_back(Utf8ToUtf16(utf8));
        return texts.back();
    }
    const QS_WCHAR* Host(const std::u16string& text) {
        texts.push_back(text);
        return AsHostText(texts.back());
    }
    void PcFile(const std::filesystem::path& path, const std::string& content) {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }
    void PhoneFile(const std::string& phonePath, const std::string& content) {
        PcFile(service->OnDisk(phonePath), content);
    }
    // One item of change kind 1 for a new PC file.
    QsHostList* OneUpload(const std::string& name) {
        const auto path = pc.path() / name;
        PcFile(path, std::string(70000, 'u'));
        items.emplace_back();
        items.back().pcPath = Host(path.u16string());
        items.back().changeKind = 1;
        pointers.push_back(&items.back());
        lists.push_back(QsHostList{nullptr, &pointers.back(), &pointers.back() + 1, nullptr});
        return &lists.back();
    }

    std::string device = "/sdcard/" + Unique("unload");
    std::unique_ptr<PhoneService> service;
    RecordingWindow window;
    ScratchDir pc;
    std::u16string host, url, role;
    ConnectParams connect{};
    JobParams job{};
    std::deque<std::u16string> texts;
    std::deque<SyncItem> items;
    std::deque<void*> pointers;
    std::deque<QsHostList> lists;
};

}  // namespace

TEST_F(UnloadTest, EveryExportReturnsWithItsThreadsJoinedAndTheLibraryUnloads) {
    using JobExport = int32_t QS_CALL(ConnectParams*, JobParams*);
    using CategoryExport = int32_t QS_CALL(int32_t, const QS_WCHAR*, int32_t, const QS_WCHAR*, const QS_WCHAR*,
                                           ProgressCallback);
    using RestoreExport = int32_t QS_CALL(int32_t, const QS_WCHAR*, int32_t, const QS_WCHAR*, const QS_WCHAR*,
                                          int32_t, ProgressCallback);
    const int32_t port = service->port();

    PhoneFile(device + "/DCIM/Camera/p.jpg", std::string(150000, 'c'));
    PhoneFile(device + "/Download/d.pdf", "document");
    PhoneFile(device + "/Music/Album/s.mp3", std::string(140000, 's'));
    const std::u16string camera = (pc.path() / "Camera").u16string();
    const std::u16string documents = (pc.path() / "Documents").u16string();
    DestinationFolders folders{};
    folders.cameraFolder = AsHostText(camera);
    folders.documentFolder = AsHostText(documents);
    PlaylistItem playlist{};
    playlist.playlistName = Host(u"Unload " + Utf8ToUtf16(Unique("list")));
    playlist.playlistOp = 1;
    void* playlistPointer = &playlist;
    QsHostList playlists{nullptr, &playlistPointer, &playlistPointer + 1, nullptr};
    const QS_WCHAR* backupFolder = Host((pc.path() / "Backup").u16string());
    const QS_WCHAR* phoneRoot = Host(Utf8ToUtf16(device));

    struct Call {
        const char* name;
        std::function<int32_t(const DynamicLibrary&)> run;
    };
    const auto upload = [&](const char* name, const char* file) {
        return Call{name, [&, name, file](const DynamicLibrary& library) {
                        job.items = OneUpload(file);
                        return library.Get<JobExport>(name)(&connect, &job);
                    }};
    };
    const std::vector<Call> calls = {
        {"Test", [](const DynamicLibrary& library) { return library.Get<int32_t QS_CALL()>("Test")(); }},
        upload("SyncMusicFile", "a.mp3"),
        upload("SyncPhotoFile", "b.jpg"),
        upload("SyncVideoFile", "c.mp4"),
        upload("SyncDocumentFile", "d.doc"),
        upload("SyncPlaylistFile", "e.m3u"),
        {"SyncPhoto",
         [&](const DynamicLibrary& library) {
             job.word2 = &folders;
             return library.Get<JobExport>("SyncPhoto")(&connect, &job);
         }},
        {"SyncDevDocument",
         [&](const DynamicLibrary& library) {
             job.word2 = &folders;
             return library.Get<JobExport>("SyncDevDocument")(&connect, &job);
         }},
        {"SyncPlaylist",
         [&](const DynamicLibrary& library) {
             job.word2 = &playlists;
             return library.Get<JobExport>("SyncPlaylist")(&connect, &job);
         }},
        {"Backup",
         [&](const DynamicLibrary& library) {
             return library.Get<CategoryExport>("Backup")(0, AsHostText(host), port, backupFolder, phoneRoot,
                                                          IgnoreProgress);
         }},
        {"Restore",
         [&](const DynamicLibrary& library) {
             return library.Get<RestoreExport>("Restore")(0, AsHostText(host), port, backupFolder, phoneRoot, 2,
                                                          IgnoreProgress);
         }},
        {"Stop",
         [&](const DynamicLibrary& library) { return library.Get<JobExport>("Stop")(nullptr, nullptr); }},
    };
    for (const Call& call : calls) {
        int threadsBefore = 0, threadsAfter = 0;
        int32_t result = -100;
        {
            DynamicLibrary library(QS_LIBRARY_PATH);
            ASSERT_TRUE(library.IsLoaded()) << QS_LIBRARY_PATH;
            ASSERT_NE(library.Symbol(call.name), nullptr) << call.name;
            threadsBefore = CountProcessThreads();
            result = call.run(library);
            threadsAfter = CountProcessThreads();
        }  // unloaded here, right after the export returned
        EXPECT_EQ(result, 0) << call.name;
        EXPECT_EQ(threadsAfter, threadsBefore) << call.name;
    }
    EXPECT_EQ(ReadWholeFile(pc.path() / "Camera" / "Camera" / "p.jpg"), std::string(150000, 'c'));
    EXPECT_EQ(ReadWholeFile(pc.path() / "Documents" / "d.pdf"), "document");
    EXPECT_EQ(ReadWholeFile(pc.path() / "Backup" / "Music" / "Music" / "Album" / "s.mp3"), std::string(140000, 's'));
    for (SyncItem& item : items)
        if (item.phonePath) platform::FreeHostText(item.phonePath);
    if (playlist.playlistId) platform::FreeHostText(playlist.playlistId);
}
