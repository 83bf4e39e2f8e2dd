// The playlist export and its database steps against the phone-service
// stand-in; rows are read back from its media database.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "context/SyncContext.h"
#include "export/ContextSetUp.h"
#include "platform/host_memory.h"
#include "platform/utf.h"
#include "playlist/PlayList.h"
#include "support/log_capture.h"
#include "support/phone_service.h"
#include "support/recording_window.h"
#include "support/table_query.h"

namespace {

using platform::AsHostText;
using platform::Utf8ToUtf16;

// One playlist change as the host builds it, owning its texts and lists.
class HostPlaylist {
public:
    HostPlaylist(int op, const std::string& name, const std::vector<std::string>& songs)
        : mName(Utf8ToUtf16(name)) {
        for (const std::string& song : songs) mPaths.push_back(Utf8ToUtf16(song));
        mMembers.resize(songs.size());
        for (size_t i = 0; i < songs.size(); ++i) {
            mMembers[i].phonePath = const_cast<QS_WCHAR*>(AsHostText(mPaths[i]));
            mPointers.push_back(&mMembers[i]);
        }
        item.playlistName = AsHostText(mName);
        item.playlistOp = op;
        if (!mPointers.empty()) {
            item.members.first = mPointers.data();
            item.members.last = mPointers.data() + mPointers.size();
        }
    }
    ~HostPlaylist() {
        if (mOwnsId) platform::FreeHostText(item.playlistId);
    }
    HostPlaylist(const HostPlaylist&) = delete;
    HostPlaylist& operator=(const HostPlaylist&) = delete;

    // The id of an existing playlist (update, delete).
    void SetId(const std::string& id) {
        mId = Utf8ToUtf16(id);
        item.playlistId = const_cast<QS_WCHAR*>(AsHostText(mId));
    }
    // After a create the library's text belongs to the host, that is here.
    std::string TakeCreatedId() {
        mOwnsId = item.playlistId != nullptr;
        return item.playlistId ? platform::Utf16ToUtf8(platform::FromHostText(item.playlistId)) : "";
    }
    void SetMemberPathNull(size_t i) { mMembers[i].phonePath = nullptr; }

    PlaylistItem item{};

private:
    std::u16string mName, mId;
    std::vector<std::u16string> mPaths;
    std::vector<SyncItem> mMembers;
    std::vector<void*> mPointers;
    bool mOwnsId = false;
};

class PlaylistTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(StartService({})); }

    // False when no stand-in of the test's own can be started (under Wine).
    bool StartService(const std::vector<std::string>& options) {
        service = PhoneService::Start(options);
        if (!service) return false;
        mUrl = Utf8ToUtf16("http://127.0.0.1:" + std::to_string(service->port()) + "/");
        mRole = u"device=/sdcard";
        connect.url = AsHostText(mUrl);
        connect.role = AsHostText(mRole);
        job.window = window.handle();
        folder = "/sdcard/Music/" + Unique("pl");
        return true;
    }

    // A song file on the phone, so the media scan knows it.
    std::string Song(const std::string& name) {
        const std::string path = folder + "/" + name;
        const auto disk = service->OnDisk(path);
        std::filesystem::create_directories(disk.parent_path());
        std::ofstream(disk, std::ios::binary) << "song " << name;
        return path;
    }

    int32_t Run(std::vector<HostPlaylist*> playlists) {
        mItems.clear();
        for (HostPlaylist* playlist : playlists) mItems.push_back(&playlist->item);
        mList = QsHostList{};
        if (!mItems.empty()) {
            mList.first = mItems.data();
            mList.last = mItems.data() + mItems.size();
        }
        job.word2 = &mList;
        return SyncPlaylist(&connect, &job);
    }

    std::map<std::string, std::string> AudioIdsByPath() {
        std::map<std::string, std::string> ids;
        for (const auto& row : QueryRows(service->port(), kTestAudioUri)) ids[row.at("_data")] = row.at("_id");
        return ids;
    }

    // (audio_id, play_order) of a playlist's member rows in row order.
    std::vector<std::pair<std::string, std::string>> Members(const std::string& id) {
        std::vector<std::pair<std::string, std::string>> members;
        for (const auto& row : QueryRows(service->port(), TestMembersUri(id)))
            members.emplace_back(row.at("audio_id"), row.at("play_order"));
        return members;
    }

    std::string NameOf(const std::string& id) {
        const std::string selection = "_id=" + id;
        const auto rows = QueryRows(service->port(), kTestPlaylistsUri, selection.c_str());
        return rows.size() == 1 ? rows[0].at("name") : "<none>";
    }

    std::unique_ptr<PhoneService> service;
    RecordingWindow window;
    ConnectParams connect{};
    JobParams job{};
    std::string folder;

private:
    std::u16string mUrl, mRole;
    std::vector<void*> mItems;
    QsHostList mList{};
};

}  // namespace

TEST_F(PlaylistTest, CreateWritesMembersInOrderWithScannedIds) {
    const std::vector<std::string> songs = {Song("a.mp3"), Song("b.mp3"), Song("c.mp3")};
    const std::string name = Unique("Caf\xC3\xA9 \xE9\x9F\xB3");
    HostPlaylist create(1, name, songs);
    ASSERT_EQ(Run({&create}), 0);
    const std::string id = create.TakeCreatedId();
    ASSERT_FALSE(id.empty());
    EXPECT_NE(create.item.insertSeq, 0);
    EXPECT_EQ(NameOf(id), name);  // non-ASCII name stored as UTF-8

    auto ids = AudioIdsByPath();
    using Member = std::pair<std::string, std::string>;
    EXPECT_EQ(Members(id), (std::vector<Member>{
                               {ids[songs[0]], "1"}, {ids[songs[1]], "2"}, {ids[songs[2]], "3"}}));

    ASSERT_EQ(window.messages().size(), 2u);
    EXPECT_EQ(window.messages()[0].wParam, 1000u);
    EXPECT_EQ(window.messages()[0].item.status, 0);
    EXPECT_EQ(window.messages()[0].item.code, 7);
    EXPECT_EQ(window.messages()[0].item.item, &create.item);
    EXPECT_EQ(window.messages()[1].wParam, static_cast<uintptr_t>(QS_PROGRESS_PERCENT));
    EXPECT_EQ(window.messages()[1].lParam, 100);
}

TEST_F(PlaylistTest, MemberTheScanDoesNotKnowIsLeftOutWithoutGap) {
    LogCapture log;
    const std::string first = Song("1.mp3"), third = Song("3.mp3");
    const std::string missing = folder + "/never-there.mp3";
    HostPlaylist create(1, Unique("gaps"), {first, missing, third});
    ASSERT_EQ(Run({&create}), 0);
    const std::string id = create.TakeCreatedId();
    auto ids = AudioIdsByPath();
    using Member = std::pair<std::string, std::string>;
    EXPECT_EQ(Members(id), (std::vector<Member>{{ids[first], "1"}, {ids[third], "2"}}));
    EXPECT_EQ(log.Count("Function = CPlayList::CreatePlayList GetLastError"), 1u);
}

TEST_F(PlaylistTest, UpdateRenamesAndRewritesMembers) {
    const std::string a = Song("a.mp3"), b = Song("b.mp3"), c = Song("c.mp3");
    HostPlaylist create(1, Unique("before"), {a, b});
    ASSERT_EQ(Run({&create}), 0);
    const std::string id = create.TakeCreatedId();

    const std::string renamed = Unique("after");
    HostPlaylist update(2, renamed, {c, a});
    update.SetId(id);
    ASSERT_EQ(Run({&update}), 0);
    EXPECT_EQ(NameOf(id), renamed);
    auto ids = AudioIdsByPath();
    using Member = std::pair<std::string, std::string>;
    EXPECT_EQ(Members(id), (std::vector<Member>{{ids[c], "1"}, {ids[a], "2"}}));

    HostPlaylist empty(2, renamed, {});
    empty.SetId(id);
    ASSERT_EQ(Run({&empty}), 0);
    EXPECT_TRUE(Members(id).empty());
    EXPECT_EQ(NameOf(id), renamed);
}

TEST_F(PlaylistTest, DeleteRemovesMembersAndPlaylist) {
    HostPlaylist create(1, Unique("doomed"), {Song("x.mp3")});
    ASSERT_EQ(Run({&create}), 0);
    const std::string id = create.TakeCreatedId();
    ASSERT_EQ(Members(id).size(), 1u);
    HostPlaylist remove(3, "", {});
    remove.SetId(id);
    ASSERT_EQ(Run({&remove}), 0);
    EXPECT_TRUE(Members(id).empty());
    EXPECT_EQ(NameOf(id), "<none>");
}

TEST_F(PlaylistTest, ThreeItemsGiveThreeMessagesAndPercentages) {
    HostPlaylist a(1, Unique("one"), {}), b(1, Unique("two"), {}), c(1, Unique("three"), {});
    ASSERT_EQ(Run({&a, &b, &c}), 0);
    a.TakeCreatedId();
    b.TakeCreatedId();
    c.TakeCreatedId();
    std::vector<intptr_t> percents;
    std::vector<void*> items;
    for (const auto& message : window.messages()) {
        EXPECT_EQ(message.message, 2525u);
        if (message.wParam == QS_PROGRESS_PERCENT)
            percents.push_back(message.lParam);
        else
            items.push_back(message.item.item);
    }
    EXPECT_EQ(percents, (std::vector<intptr_t>{33, 66, 100}));
    EXPECT_EQ(items, (std::vector<void*>{&a.item, &b.item, &c.item}));
}

TEST_F(PlaylistTest, UnknownOperationFailsAndLaterItemsAreUntouched) {
    HostPlaylist bad(4, Unique("bad"), {}), later(1, Unique("later"), {});
    EXPECT_EQ(Run({&bad, &later}), 1);
    EXPECT_TRUE(window.messages().empty());
    EXPECT_EQ(later.item.playlistId, nullptr);
    EXPECT_EQ(later.item.insertSeq, 0);
}

TEST_F(PlaylistTest, StopDuringFirstMessageEndsBeforeSecondItem) {
    HostPlaylist first(1, Unique("first"), {}), second(1, Unique("second"), {});
    window.onMessage = [](const RecordedMessage& message) {
        if (message.wParam == 1000) Stop(nullptr, nullptr);
    };
    EXPECT_EQ(Run({&first, &second}), 0);
    first.TakeCreatedId();
    EXPECT_EQ(second.item.playlistId, nullptr);
    EXPECT_EQ(window.messages().size(), 2u);  // item 1 and its percentage
}

TEST_F(PlaylistTest, EmptyListAndMissingRecords) {
    EXPECT_EQ(Run({}), 0);
    EXPECT_TRUE(window.messages().empty());
    job.word2 = nullptr;
    EXPECT_EQ(SyncPlaylist(&connect, &job), 1);
    EXPECT_EQ(SyncPlaylist(&connect, nullptr), 1);
}

TEST_F(PlaylistTest, NullMemberPathFailsAfterTheNameInsert) {
    LogCapture log;
    HostPlaylist create(1, Unique("nullpath"), {Song("a.mp3"), Song("b.mp3")});
    create.SetMemberPathNull(1);
    EXPECT_EQ(Run({&create}), 1);
    const std::string id = create.TakeCreatedId();
    EXPECT_FALSE(id.empty());  // the new, empty playlist stays on the phone
    EXPECT_TRUE(Members(id).empty());
    EXPECT_EQ(log.Count("Function = CPlayList::CreatePlayList GetLastError"), 1u);
}

TEST_F(PlaylistTest, OverlongIdIsRefusedWithoutARequest) {
    LogCapture log;
    const std::string longId(CPlayList::kMaxPlaylistIdBytes + 1, '7');
    EXPECT_EQ(CPlayList::DeletePlayListNameFromDB(CurrentJobSetup().phone, longId), 1);
    EXPECT_EQ(CPlayList::DeletePlayListMusicFromDB(CurrentJobSetup().phone, longId), 1);
    EXPECT_EQ(CPlayList::UpdatePlayListNameInDB(CurrentJobSetup().phone, longId, "n"), 1);
    EXPECT_EQ(log.Count("CPlayList::"), 3u);
    EXPECT_EQ(log.Count("AndroidOperationProvider::DoTableSync"), 0u);
}

TEST_F(PlaylistTest, RefusedMemberRowIsLoggedAndNotAFailure) {
    // A create with members sends two /tablesync requests: the name insert,
    // then the member inserts (the media scan goes to /filesync).
    if (!StartService({"--fault", "record0:record=2,nth=2"}))
        GTEST_SKIP() << "fault switches need a stand-in of the test's own";
    LogCapture log;
    const std::vector<std::string> songs = {Song("a.mp3"), Song("b.mp3"), Song("c.mp3")};
    HostPlaylist create(1, Unique("refused"), songs);
    ASSERT_EQ(Run({&create}), 0);
    const std::string id = create.TakeCreatedId();
    auto ids = AudioIdsByPath();
    using Member = std::pair<std::string, std::string>;
    EXPECT_EQ(Members(id), (std::vector<Member>{{ids[songs[0]], "1"}, {ids[songs[2]], "3"}}));
    EXPECT_EQ(log.Count("Function = CPlayList::InsertPlayListMusicToDB GetLastError"), 1u);
}
