// The record of the playlists qsync created on one phone. The phone's
// answers cannot tell a playlist qsync made from one the phone's own apps
// made, so `playlist update` and `delete` look an id up here first.
//
// One small JSON file per phone beside that phone's journal: the journal's
// path with ".journal" replaced by ".playlists" (or ".playlists" appended),
// so --journal and the default place decide both. It is rewritten whole
// through a temporary file and a rename, so a reader sees the old record or
// the new one, never a part. The file:
//   {"version": 1, "playlists": [{"id": "7", "name": "Evening",
//     "songs": ["/sdcard/Music/..."], "created": "2026-12-09T15:04:12Z"}]}
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli.h"
#include "journal_file.h"

namespace qsync {

struct RememberedPlaylist {
    std::string id;                  // the phone's playlist id
    std::string name;
    std::vector<std::string> songs;  // phone paths, in play order
    std::string created;             // UTC, "YYYY-MM-DDTHH:MM:SSZ"
};

// A record that cannot be read, written or locked; the message names the file.
class PlaylistRecordError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The record's path for a journal path ("" for "").
std::string PlaylistRecordPath(const std::string& journalPath);
// The record's path for a command line: beside the journal it names
// (--journal) or the phone's default journal; "" when the environment names
// no place for either.
std::string PlaylistRecordPathFor(const Options& options);

// The playlists recorded in the file, for showing them; a missing file
// holds none. Takes no lock. Throws PlaylistRecordError when the file
// cannot be read or is not a record.
std::vector<RememberedPlaylist> ReadPlaylistRecord(const std::string& path);

// The record held for a change: Open locks it against other qsync
// processes until the object goes, so two changes cannot overwrite each
// other. Changes are kept in memory until Save.
class PlaylistRecord {
public:
    // Creates the folder when missing. Throws PlaylistRecordError when the
    // record is locked by another process, or cannot be read or locked.
    static std::unique_ptr<PlaylistRecord> Open(const std::string& path);

    const std::vector<RememberedPlaylist>& playlists() const { return mPlaylists; }
    // The playlist of that id, or null when qsync did not make it.
    const RememberedPlaylist* Find(const std::string& id) const;
    // How many recorded playlists bear this name.
    size_t CountNamed(const std::string& name) const;

    // Adds a created playlist (replacing a stale entry of the same id).
    void Add(RememberedPlaylist playlist);
    // Renames a recorded playlist and replaces its songs; false when the id
    // is not recorded.
    bool Update(const std::string& id, const std::string& name, const std::vector<std::string>& songs);
    // Forgets a playlist; false when the id is not recorded.
    bool Remove(const std::string& id);

    // Writes the record: a temporary file beside it, synced, then renamed
    // over it. Throws PlaylistRecordError.
    void Save();

    // The present time in the form of RememberedPlaylist::created.
    static std::string Now();

private:
    explicit PlaylistRecord(std::string path) : mPath(std::move(path)) {}
    std::string mPath;
    JournalFile mLock;  // <path>.lock, held while the object lives
    std::vector<RememberedPlaylist> mPlaylists;
};

}  // namespace qsync
