#include "playlist_record.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "journal.h"
#include "paths.h"

namespace qsync {
namespace {

constexpr int kVersion = 1;
constexpr const char* kJournalSuffix = ".journal";
constexpr const char* kRecordSuffix = ".playlists";

std::string ReadWhole(const std::string& path) {
    JournalFile file;
    std::string error;
    if (!file.Open(path, JournalFile::Mode::kReadExisting, error)) {
        if (error.empty()) return std::string();  // no record yet
        throw PlaylistRecordError("playlist record: " + error);
    }
    std::string text;
    char buffer[16384];
    for (;;) {
        size_t got = 0;
        if (!file.Read(buffer, sizeof buffer, got, error)) throw PlaylistRecordError("playlist record: " + error);
        if (got == 0) return text;
        text.append(buffer, got);
    }
}

// The record in `text` (empty: none). Anything but a record of this
// version is refused, so that a later Save cannot drop what it holds.
std::vector<RememberedPlaylist> Parse(const std::string& path, const std::string& text) {
    std::vector<RememberedPlaylist> playlists;
    if (text.empty()) return playlists;
    const auto bad = [&](const std::string& why) {
        return PlaylistRecordError("playlist record " + path + ": " + why);
    };
    const nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) throw bad("not a JSON object");
    const auto version = json.find("version");
    if (version == json.end() || !version->is_number_integer() || version->get<int>() != kVersion)
        throw bad("not a record of version " + std::to_string(kVersion));
    const auto list = json.find("playlists");
    if (list == json.end() || !list->is_array()) throw bad("no list of playlists");
    for (const auto& entry : *list) {
        const auto text = [&](const char* key) {
            const auto found = entry.is_object() ? entry.find(key) : entry.end();
            if (found == entry.end() || !found->is_string()) throw bad(std::string("a playlist without \"") + key + "\"");
            return found->get<std::string>();
        };
        RememberedPlaylist playlist;
        playlist.id = text("id");
        playlist.name = text("name");
        playlist.created = text("created");
        const auto songs = entry.find("songs");
        if (songs == entry.end() || !songs->is_array()) throw bad("a playlist without \"songs\"");
        for (const auto& song : *songs) {
            if (!song.is_string()) throw bad("a song that is not a text");
            playlist.songs.push_back(song.get<std::string>());
        }
        playlists.push_back(std::move(playlist));
    }
    return playlists;
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Days since 1970-01-01 as a civil date (proleptic Gregorian).
void CivilFromDays(long long days, int& year, unsigned& month, unsigned& day) {
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
}

}  // namespace

std::string PlaylistRecordPath(const std::string& journalPath) {
    if (journalPath.empty()) return journalPath;
    if (EndsWith(journalPath, kJournalSuffix))
        return journalPath.substr(0, journalPath.size() - std::string(kJournalSuffix).size()) + kRecordSuffix;
    return journalPath + kRecordSuffix;
}

std::string PlaylistRecordPathFor(const Options& o) {
    if (!o.journal.empty()) return PlaylistRecordPath(o.journal);
    return PlaylistRecordPath(
        DefaultJournalPath(NativePathStyle(), ReadJournalEnvironment(), o.host, o.port, o.device));
}

std::vector<RememberedPlaylist> ReadPlaylistRecord(const std::string& path) {
    return Parse(path, ReadWhole(path));
}

std::unique_ptr<PlaylistRecord> PlaylistRecord::Open(const std::string& path) {
    std::unique_ptr<PlaylistRecord> record(new PlaylistRecord(path));
    std::string error;
    if (!journal_os::MakeParentFolders(path, error)) throw PlaylistRecordError("playlist record: " + error);
    const std::string lockPath = path + ".lock";
    if (!record->mLock.Open(lockPath, JournalFile::Mode::kOpenOrCreate, error))
        throw PlaylistRecordError("playlist record: " + error);
    switch (record->mLock.TryLock(error)) {
        case JournalFile::LockResult::kLocked: break;
        case JournalFile::LockResult::kBusy:
            throw PlaylistRecordError("the playlist record " + path + " is in use by another qsync");
        case JournalFile::LockResult::kFailed: throw PlaylistRecordError("playlist record: " + error);
    }
    record->mPlaylists = ReadPlaylistRecord(path);
    return record;
}

const RememberedPlaylist* PlaylistRecord::Find(const std::string& id) const {
    const auto found = std::find_if(mPlaylists.begin(), mPlaylists.end(),
                                    [&](const RememberedPlaylist& p) { return p.id == id; });
    return found == mPlaylists.end() ? nullptr : &*found;
}

size_t PlaylistRecord::CountNamed(const std::string& name) const {
    return static_cast<size_t>(std::count_if(mPlaylists.begin(), mPlaylists.end(),
                                             [&](const RememberedPlaylist& p) { return p.name == name; }));
}

void PlaylistRecord::Add(RememberedPlaylist playlist) {
    // The phone may hand out an id again once its playlist is gone.
    Remove(playlist.id);
    mPlaylists.push_back(std::move(playlist));
}

bool PlaylistRecord::Update(const std::string& id, const std::string& name, const std::vector<std::string>& songs) {
    for (RememberedPlaylist& playlist : mPlaylists) {
        if (playlist.id != id) continue;
        playlist.name = name;
        playlist.songs = songs;
        return true;
    }
    return false;
}

bool PlaylistRecord::Remove(const std::string& id) {
    const auto kept = std::remove_if(mPlaylists.begin(), mPlaylists.end(),
                                     [&](const RememberedPlaylist& p) { return p.id == id; });
    const bool found = kept != mPlaylists.end();
    mPlaylists.erase(kept, mPlaylists.end());
    return found;
}

void PlaylistRecord::Save() {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const RememberedPlaylist& p : mPlaylists)
        list.push_back({{"id", p.id}, {"name", p.name}, {"songs", p.songs}, {"created", p.created}});
    // A name from the command line need not be UTF-8: its bad bytes are
    // written as U+FFFD rather than failing the save.
    const std::string text =
        nlohmann::ordered_json{{"version", kVersion}, {"playlists", list}}.dump(
            1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) +
        "\n";
    std::string error;
    if (!journal_os::ReplaceFile(mPath, text, error)) throw PlaylistRecordError("playlist record: " + error);
}

std::string PlaylistRecord::Now() {
    const long long seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    const long long days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
    const int inDay = static_cast<int>(seconds - days * 86400);
    int year = 0;
    unsigned month = 0, day = 0;
    CivilFromDays(days, year, month, day);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", year % 10000, month % 100, day % 100,
                  inDay / 3600, inDay / 60 % 60, inDay % 60);
    return text;
}

}  // namespace qsync
