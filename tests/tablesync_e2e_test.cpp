// Table sync and message-part files against the phone-service stand-in.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/phone_service.h"
#include "support/scripted_peer.h"
#include "support/table_query.h"
#include "support/test_env.h"
#include "tablesync/AndroidOperationProvider.h"
#include "tablesync/AndroidOperationQuery.h"

namespace {

using Strings = std::vector<std::string>;

const char* const kPlaylists = kTestPlaylistsUri;
const char kLoopback[] = "127.0.0.1";

std::string MembersUri(const std::string& id) { return TestMembersUri(id); }

class TableSyncEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        service = PhoneService::Start();
        ASSERT_NE(service, nullptr);
    }
    std::unique_ptr<PhoneService> service;
};

}  // namespace

TEST_F(TableSyncEndToEnd, PlaylistLifeCycle) {
    const int port = service->port();
    const std::string name = Unique("Rock \xC3\xA9t\xC3\xA9");

    // Insert: the answer is the new row id as decimal text.
    std::string id;
    {
        AndroidOperationProvider provider;
        const Strings columns = {"name"}, values = {name};
        provider.AddInsert("PLAYLIST", kPlaylists, &columns, &values);
        ASSERT_EQ(provider.DoTableSync(LoopbackPhone(port)), 0);
        ASSERT_EQ(provider.mResults.size(), 1u);
        ASSERT_EQ(provider.mResults[0]->mnResult, 1);
        id = provider.mResults[0]->mstrResult;
        ASSERT_FALSE(id.empty());
        EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos) << id;
    }
    const std::string selection = "_id=" + id;
    auto rows = QueryRows(port, kPlaylists, selection.c_str());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].at("name"), name);

    // Rename.
    {
        AndroidOperationProvider provider;
        const Strings columns = {"name"}, values = {name + " renamed"};
        provider.AddUpdate("PLAYLIST", kPlaylists, selection.c_str(), &columns, &values);
        ASSERT_EQ(provider.DoTableSync(LoopbackPhone(port)), 0);
        ASSERT_EQ(provider.mResults.size(), 1u);
        EXPECT_EQ(provider.mResults[0]->mnResult, 1);
        EXPECT_EQ(provider.mResults[0]->mstrResult, "1");  // one row changed
    }
    rows = QueryRows(port, kPlaylists, selection.c_str());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].at("name"), name + " renamed");

    // Three members in one request, play order 1, 2, 3.
    {
        AndroidOperationProvider provider;
        const Strings columns = {"playlist_id", "audio_id", "play_order"};
        const Strings audio = {"41", "7", "19"};
        for (size_t i = 0; i < audio.size(); ++i) {
            const Strings values = {id, audio[i], std::to_string(i + 1)};
            provider.AddInsert("PLAYLIST_PART", MembersUri(id), &columns, &values);
        }
        ASSERT_EQ(provider.DoTableSync(LoopbackPhone(port)), 0);
        ASSERT_EQ(provider.mResults.size(), 3u);
        for (const auto& result : provider.mResults) EXPECT_EQ(result->mnResult, 1);
    }
    rows = QueryRows(port, MembersUri(id));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].at("audio_id"), "41");
    EXPECT_EQ(rows[1].at("audio_id"), "7");
    EXPECT_EQ(rows[2].at("audio_id"), "19");
    EXPECT_EQ(rows[2].at("play_order"), "3");
    EXPECT_EQ(rows[2].at("playlist_id"), id);

    // Delete every member, then the playlist.
    {
        AndroidOperationProvider provider;
        provider.AddDelete("", MembersUri(id), nullptr);
        provider.AddDelete("", kPlaylists, selection.c_str());
        ASSERT_EQ(provider.DoTableSync(LoopbackPhone(port)), 0);
        ASSERT_EQ(provider.mResults.size(), 2u);
        EXPECT_EQ(provider.mResults[0]->mnResult, 1);
        EXPECT_EQ(provider.mResults[0]->mstrResult, "3");
        EXPECT_EQ(provider.mResults[1]->mnResult, 1);
    }
    EXPECT_TRUE(QueryRows(port, MembersUri(id)).empty());
    EXPECT_TRUE(QueryRows(port, kPlaylists, selection.c_str()).empty());
}

TEST_F(TableSyncEndToEnd, UnappliableRecordAnswersCodeZeroAndOthersStillRun) {
    AndroidOperationProvider provider;
    const Strings columns = {"name"}, values = {Unique("ok")};
    provider.AddDelete("", "content://media/external/nothing", nullptr);
    provider.AddInsert("PLAYLIST", kPlaylists, &columns, &values);
    ASSERT_EQ(provider.DoTableSync(LoopbackPhone(service->port())), 0);
    ASSERT_EQ(provider.mResults.size(), 2u);
    EXPECT_EQ(provider.mResults[0]->mnResult, 0);
    EXPECT_EQ(typeid(*provider.mResults[0]), typeid(AndroidOperation));
    EXPECT_EQ(provider.mResults[1]->mnResult, 1);
}

TEST_F(TableSyncEndToEnd, NoServiceGivesMinusOne) {
    LogCapture quiet;
    AndroidOperationProvider provider;
    provider.AddDelete("", kPlaylists, "_id=1");
    EXPECT_EQ(provider.DoTableSync(LoopbackPhone(ScriptedPeer::UnusedPort())), -1);
    EXPECT_TRUE(provider.mResults.empty());
}

TEST_F(TableSyncEndToEnd, MessagePartFilesRoundTrip) {
    ScratchDir dir;
    const auto source = dir.path() / "part.bin";
    std::string content;
    for (int i = 0; i < 200000; ++i) content.push_back(static_cast<char>((i * 131) ^ (i >> 7)));
    std::ofstream(source, std::ios::binary).write(content.data(), content.size());
    const std::string partName = Unique("PART");

    AndroidOperationProvider provider;
    ASSERT_EQ(provider.PutMMSFileToPhone(service->port(), partName.c_str(), source.u8string().c_str()), 0);
    const auto target = dir.path() / "fetched.bin";
    ASSERT_EQ(provider.GetMMSFileFromPhone(service->port(), partName.c_str(), target.u8string().c_str()), 0);
    EXPECT_EQ(ReadWholeFile(target), content);

    // An empty part travels too.
    const auto emptySource = dir.path() / "empty.bin";
    std::ofstream(emptySource, std::ios::binary).close();
    const std::string emptyName = Unique("EMPTY");
    ASSERT_EQ(provider.PutMMSFileToPhone(service->port(), emptyName.c_str(), emptySource.u8string().c_str()), 0);
    const auto emptyTarget = dir.path() / "empty-fetched.bin";
    ASSERT_EQ(provider.GetMMSFileFromPhone(service->port(), emptyName.c_str(), emptyTarget.u8string().c_str()), 0);
    EXPECT_TRUE(std::filesystem::exists(emptyTarget));
    EXPECT_EQ(std::filesystem::file_size(emptyTarget), 0u);
}

TEST_F(TableSyncEndToEnd, MessagePartFailuresLeaveNoFile) {
    LogCapture log;
    ScratchDir dir;
    AndroidOperationProvider provider;
    const auto missing = dir.path() / "missing.bin";
    EXPECT_EQ(provider.PutMMSFileToPhone(service->port(), "X", missing.u8string().c_str()), -7);

    // Unknown part: status 0, and the PC file is not created.
    const auto target = dir.path() / "never.bin";
    EXPECT_EQ(provider.GetMMSFileFromPhone(service->port(), Unique("NOPE").c_str(),
                                           target.u8string().c_str()), -6);
    EXPECT_FALSE(std::filesystem::exists(target));

    // A target folder that does not exist: -7 after the answer arrived, and
    // nothing is left beside it.
    const auto source = dir.path() / "p.bin";
    std::ofstream(source, std::ios::binary) << "abc";
    const std::string name = Unique("P");
    ASSERT_EQ(provider.PutMMSFileToPhone(service->port(), name.c_str(), source.u8string().c_str()), 0);
    const auto nowhere = dir.path() / "no-such-folder" / "p.bin";
    EXPECT_EQ(provider.GetMMSFileFromPhone(service->port(), name.c_str(), nowhere.u8string().c_str()), -7);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "no-such-folder"));

    // An existing target is replaced whole on success.
    const auto existing = dir.path() / "existing.bin";
    std::ofstream(existing, std::ios::binary) << "older and longer content";
    ASSERT_EQ(provider.GetMMSFileFromPhone(service->port(), name.c_str(), existing.u8string().c_str()), 0);
    EXPECT_EQ(ReadWholeFile(existing), "abc");
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 2u);  // p.bin and existing.bin, nothing temporary
}
