// Playlists in the phone's media database: the five database steps, each one
// "/tablesync" request on a fresh provider, and the three playlist operations
// built from them, all on the phone the endpoint names. The table-sync
// requests watch the provider's own cancel byte, never the endpoint's stop
// flag: a playlist is never left half rewritten by Stop. The media scan of
// the members does honour the endpoint's flag. Every step and operation returns 0 on success, 1 on
// failure, and logs its failure points.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quellsync_http.h"
#include "transport/PhoneEndpoint.h"

class CPlayList {
public:
    // Inserts the item's name; on success the item's playlistId points to the
    // new row id (a text the host frees). insertSeq is written before sending.
    static int32_t InsertPlayListNameToDB(const PhoneEndpoint& phone, PlaylistItem* item);
    static int32_t UpdatePlayListNameInDB(const PhoneEndpoint& phone, const std::string& id, const std::string& name);
    static int32_t DeletePlayListNameFromDB(const PhoneEndpoint& phone, const std::string& id);
    // Removes every member row of the playlist.
    static int32_t DeletePlayListMusicFromDB(const PhoneEndpoint& phone, const std::string& id);
    // One member row per audio id, play_order 1, 2, ... in list order, all in
    // one request. Member rows the phone refuses are logged, not failures.
    static int32_t InsertPlayListMusicToDB(const PhoneEndpoint& phone, PlaylistItem* item, const std::vector<std::string>& audioIds);

    static int32_t CreatePlayList(const PhoneEndpoint& phone, PlaylistItem* item);
    static int32_t UpdatePlayList(const PhoneEndpoint& phone, PlaylistItem* item);
    static int32_t DeletePlayList(const PhoneEndpoint& phone, PlaylistItem* item);

    // The formatted selection and member URI must fit 512 bytes with their
    // terminator, which bounds an id to this many bytes.
    static constexpr size_t kMaxPlaylistIdBytes = 462;
};
