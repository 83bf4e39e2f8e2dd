// Playlists in the phone's media database: the five database steps, each one
// "/tablesync" request on a fresh provider, and the three playlist operations
// built from them. Every step and operation returns 0 on success, 1 on
// failure, and logs its failure points.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quellsync_http.h"

class CPlayList {
public:
    // Inserts the item's name; on success the item's playlistId points to the
    // new row id (a text the host frees). insertSeq is written before sending.
    static int32_t InsertPlayListNameToDB(PlaylistItem* item);
    static int32_t UpdatePlayListNameInDB(const std::string& id, const std::string& name);
    static int32_t DeletePlayListNameFromDB(const std::string& id);
    // Removes every member row of the playlist.
    static int32_t DeletePlayListMusicFromDB(const std::string& id);
    // One member row per audio id, play_order 1, 2, ... in list order, all in
    // one request. Member rows the phone refuses are logged, not failures.
    static int32_t InsertPlayListMusicToDB(PlaylistItem* item, const std::vector<std::string>& audioIds);

    static int32_t CreatePlayList(PlaylistItem* item);
    static int32_t UpdatePlayList(PlaylistItem* item);
    static int32_t DeletePlayList(PlaylistItem* item);

    // The formatted selection and member URI must fit 512 bytes with their
    // terminator, which bounds an id to this many bytes.
    static constexpr size_t kMaxPlaylistIdBytes = 462;
};
