#include "playlist/PlayList.h"

#include <memory>

#include "context/HostList.h"
#include "fileapi/FileApi.h"
#include "log/Log.h"
#include "platform/host_memory.h"
#include "platform/utf.h"
#include "tablesync/AndroidOperationProvider.h"

namespace {

const char kPlaylistsUri[] = "content://media/external/audio/playlists";
const char kPlaylistTable[] = "PLAYLIST";
const char kMemberTable[] = "PLAYLIST_PART";

bool IdFits(const std::string& id) { return id.size() <= CPlayList::kMaxPlaylistIdBytes; }

std::string Selection(const std::string& id) { return "_id=" + id; }

std::string MembersUri(const std::string& id) {
    return std::string(kPlaylistsUri) + "/" + id + "/members";
}

std::string Utf8(const QS_WCHAR* text) {
    return platform::Utf16ToUtf8(platform::FromHostText(text));
}

// Runs the provider's request; true when it went through and its first
// result reports success. Logs each failure point under function.
bool SyncFirstSucceeds(const PhoneEndpoint& phone, AndroidOperationProvider& provider, const char* sourceFile,
                       int line, const char* function) {
    if (provider.DoTableSync(phone) != 0) {
        qslog::LogToComponent(sourceFile, line, function);
        return false;
    }
    if (provider.mResults.empty() || provider.mResults[0]->mnResult != 1) {
        qslog::LogToComponent(sourceFile, line, function);
        return false;
    }
    return true;
}

#define QS_SYNC_FIRST(phone, provider, function) SyncFirstSucceeds(phone, provider, __FILE__, __LINE__, function)

// Steps 3 to 5 of a create or update: the members' audio ids in member
// order, through one media scan. False (logged) when a member has no phone
// path or the scan fails; members the scan does not know are logged and
// left out.
bool ResolveAudioIds(const PhoneEndpoint& phone, const PlaylistItem* item, const char* function, std::vector<std::string>& ids) {
    const size_t count = HostListCount(&item->members);
    std::vector<std::string> paths;
    paths.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const SyncItem* member = HostListAt<SyncItem>(&item->members, i);
        if (!member || !member->phonePath) {
            QS_LOG_COMPONENT(function);
            return false;
        }
        paths.push_back(Utf8(member->phonePath));
    }
    std::vector<MediaScanEntry> entries;
    if (FILE_API_PHONE::ScanListMediaFile(phone, paths, &entries) != 0) {
        QS_LOG_COMPONENT(function);
        return false;
    }
    for (const std::string& path : paths) {
        const MediaScanEntry* found = nullptr;
        for (const MediaScanEntry& entry : entries) {
            if (entry.Path == path) {
                found = &entry;
                break;
            }
        }
        if (!found || found->MediaId.empty()) {
            QS_LOG_COMPONENT(function);
            continue;
        }
        ids.push_back(found->MediaId);
    }
    return true;
}

}  // namespace

int32_t CPlayList::InsertPlayListNameToDB(const PhoneEndpoint& phone, PlaylistItem* item) {
    if (!item || !item->playlistName) {
        QS_LOG_COMPONENT("CPlayList::InsertPlayListNameToDB");
        return 1;
    }
    AndroidOperationProvider provider;
    const std::vector<std::string> columns = {"name"};
    const std::vector<std::string> values = {Utf8(item->playlistName)};
    item->insertSeq = provider.AddInsert(kPlaylistTable, kPlaylistsUri, &columns, &values);
    if (!QS_SYNC_FIRST(phone, provider, "CPlayList::InsertPlayListNameToDB")) return 1;
    QS_WCHAR* id = platform::AllocateHostText(platform::Utf8ToUtf16(provider.mResults[0]->mstrResult));
    if (!id) {
        QS_LOG_COMPONENT("CPlayList::InsertPlayListNameToDB");
        return 1;
    }
    item->playlistId = id;
    return 0;
}

int32_t CPlayList::UpdatePlayListNameInDB(const PhoneEndpoint& phone, const std::string& id, const std::string& name) {
    if (!IdFits(id)) {
        QS_LOG_COMPONENT("CPlayList::UpdatePlayListNameInDB");
        return 1;
    }
    AndroidOperationProvider provider;
    const std::vector<std::string> columns = {"name"};
    const std::vector<std::string> values = {name};
    provider.AddUpdate(kPlaylistTable, kPlaylistsUri, Selection(id).c_str(), &columns, &values);
    return QS_SYNC_FIRST(phone, provider, "CPlayList::UpdatePlayListNameInDB") ? 0 : 1;
}

int32_t CPlayList::DeletePlayListNameFromDB(const PhoneEndpoint& phone, const std::string& id) {
    if (!IdFits(id)) {
        QS_LOG_COMPONENT("CPlayList::DeletePlayListNameFromDB");
        return 1;
    }
    AndroidOperationProvider provider;
    provider.AddDelete(kPlaylistTable, kPlaylistsUri, Selection(id).c_str());
    return QS_SYNC_FIRST(phone, provider, "CPlayList::DeletePlayListNameFromDB") ? 0 : 1;
}

int32_t CPlayList::DeletePlayListMusicFromDB(const PhoneEndpoint& phone, const std::string& id) {
    if (!IdFits(id)) {
        QS_LOG_COMPONENT("CPlayList::DeletePlayListMusicFromDB");
        return 1;
    }
    AndroidOperationProvider provider;
    provider.AddDelete(kMemberTable, MembersUri(id), "");
    return QS_SYNC_FIRST(phone, provider, "CPlayList::DeletePlayListMusicFromDB") ? 0 : 1;
}

int32_t CPlayList::InsertPlayListMusicToDB(const PhoneEndpoint& phone, PlaylistItem* item, const std::vector<std::string>& audioIds) {
    if (audioIds.empty()) return 0;
    const std::string id = item ? Utf8(item->playlistId) : std::string();
    if (!item || !item->playlistId || !IdFits(id)) {
        QS_LOG_COMPONENT("CPlayList::InsertPlayListMusicToDB");
        return 1;
    }
    AndroidOperationProvider provider;
    const std::vector<std::string> columns = {"playlist_id", "audio_id", "play_order"};
    const std::string uri = MembersUri(id);
    for (size_t i = 0; i < audioIds.size(); ++i) {
        const std::vector<std::string> values = {id, audioIds[i], std::to_string(i + 1)};
        provider.AddInsert(kMemberTable, uri, &columns, &values);
    }
    if (provider.DoTableSync(phone) != 0) {
        QS_LOG_COMPONENT("CPlayList::InsertPlayListMusicToDB");
        return 1;
    }
    for (const auto& result : provider.mResults)
        if (result->mnResult != 1) QS_LOG_COMPONENT("CPlayList::InsertPlayListMusicToDB");
    return 0;
}

int32_t CPlayList::CreatePlayList(const PhoneEndpoint& phone, PlaylistItem* item) {
    if (InsertPlayListNameToDB(phone, item) != 0) {
        QS_LOG_COMPONENT("CPlayList::CreatePlayList");
        return 1;
    }
    if (HostListCount(&item->members) == 0) return 0;
    std::vector<std::string> audioIds;
    if (!ResolveAudioIds(phone, item, "CPlayList::CreatePlayList", audioIds)) return 1;
    if (InsertPlayListMusicToDB(phone, item, audioIds) != 0) {
        QS_LOG_COMPONENT("CPlayList::CreatePlayList");
        return 1;
    }
    return 0;
}

int32_t CPlayList::UpdatePlayList(const PhoneEndpoint& phone, PlaylistItem* item) {
    if (!item || !item->playlistId || !item->playlistName) {
        QS_LOG_COMPONENT("CPlayList::UpdatePlayList");
        return 1;
    }
    const std::string id = Utf8(item->playlistId);
    if (UpdatePlayListNameInDB(phone, id, Utf8(item->playlistName)) != 0) {
        QS_LOG_COMPONENT("CPlayList::UpdatePlayList");
        return 1;
    }
    std::vector<std::string> audioIds;
    if (HostListCount(&item->members) != 0 &&
        !ResolveAudioIds(phone, item, "CPlayList::UpdatePlayList", audioIds))
        return 1;
    if (DeletePlayListMusicFromDB(phone, id) != 0) {
        QS_LOG_COMPONENT("CPlayList::UpdatePlayList");
        return 1;
    }
    if (InsertPlayListMusicToDB(phone, item, audioIds) != 0) {
        QS_LOG_COMPONENT("CPlayList::UpdatePlayList");
        return 1;
    }
    return 0;
}

int32_t CPlayList::DeletePlayList(const PhoneEndpoint& phone, PlaylistItem* item) {
    if (!item || !item->playlistId) {
        QS_LOG_COMPONENT("CPlayList::DeletePlayList");
        return 1;
    }
    const std::string id = Utf8(item->playlistId);
    if (DeletePlayListMusicFromDB(phone, id) != 0) {
        QS_LOG_COMPONENT("CPlayList::DeletePlayList");
        return 1;
    }
    if (DeletePlayListNameFromDB(phone, id) != 0) {
        QS_LOG_COMPONENT("CPlayList::DeletePlayList");
        return 1;
    }
    return 0;
}
