#include "media_db.h"

namespace phone_service {

Statement::Statement(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &s, nullptr) == SQLITE_OK)
        stmt_.reset(s);
    else
        sqlite3_finalize(s);
}

void Statement::BindInt64(int index, std::int64_t v) { sqlite3_bind_int64(stmt_.get(), index, v); }
void Statement::BindText(int index, const std::string& v) {
    sqlite3_bind_text(stmt_.get(), index, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
}
void Statement::BindNull(int index) { sqlite3_bind_null(stmt_.get(), index); }
int Statement::Step() { return stmt_ ? sqlite3_step(stmt_.get()) : SQLITE_MISUSE; }
int Statement::ColumnCount() const { return sqlite3_column_count(stmt_.get()); }
std::string Statement::ColumnName(int i) const {
    const char* n = sqlite3_column_name(stmt_.get(), i);
    return n ? n : "";
}
std::string Statement::ColumnText(int i) const {
    const unsigned char* t = sqlite3_column_text(stmt_.get(), i);
    const int n = sqlite3_column_bytes(stmt_.get(), i);
    return t ? std::string(reinterpret_cast<const char*>(t), static_cast<std::size_t>(n)) : std::string();
}
std::int64_t Statement::ColumnInt64(int i) const { return sqlite3_column_int64(stmt_.get(), i); }

bool MediaDb::Session::Exec(const std::string& sql) {
    return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::unique_ptr<MediaDb> MediaDb::Open(const std::string& file, std::string& error) {
    std::unique_ptr<MediaDb> m(new MediaDb());  // private constructor: make_unique cannot reach it
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    m->db_.reset(raw);
    if (rc != SQLITE_OK) {
        error = raw ? sqlite3_errmsg(raw) : "cannot open database";
        return nullptr;
    }
    // Tests and tools may read the file while the service runs.
    sqlite3_busy_timeout(raw, 5000);
    Session s(*m);
    // A write-ahead log without a flush per commit: a media scan then costs
    // what a phone's scanner costs, not a disk flush, so the service does
    // not dominate what benchmarks measure. A crash of the machine may lose
    // the last commits, which a test stand-in can afford.
    const bool ok = s.Exec("PRAGMA foreign_keys = ON") && s.Exec("PRAGMA journal_mode = WAL") &&
        s.Exec("PRAGMA synchronous = NORMAL") &&
        s.Exec("CREATE TABLE IF NOT EXISTS files ("
               " _id INTEGER PRIMARY KEY AUTOINCREMENT,"
               " _data TEXT NOT NULL UNIQUE,"
               " mime_type TEXT, size INTEGER, date_modified INTEGER)") &&
        s.Exec("CREATE TABLE IF NOT EXISTS playlists ("
               " _id INTEGER PRIMARY KEY AUTOINCREMENT,"
               " name TEXT NOT NULL, date_modified INTEGER)") &&
        s.Exec("CREATE TABLE IF NOT EXISTS playlist_members ("
               " _id INTEGER PRIMARY KEY AUTOINCREMENT,"
               " playlist_id INTEGER NOT NULL REFERENCES playlists(_id) ON DELETE CASCADE,"
               " audio_id INTEGER NOT NULL, play_order INTEGER NOT NULL)");
    if (!ok) {
        error = sqlite3_errmsg(raw);
        return nullptr;
    }
    return m;
}

std::optional<std::int64_t> MediaDb::RegisterFile(const std::string& path, const std::string& mime,
                                                  std::int64_t size, std::int64_t modified_ms) {
    Session s(*this);
    Statement up(s.db(),
                 "INSERT INTO files(_data, mime_type, size, date_modified) VALUES(?1, ?2, ?3, ?4) "
                 "ON CONFLICT(_data) DO UPDATE SET mime_type = ?2, size = ?3, date_modified = ?4");
    if (!up.ok()) return std::nullopt;
    up.BindText(1, path);
    up.BindText(2, mime);
    up.BindInt64(3, size);
    up.BindInt64(4, modified_ms / 1000);
    if (up.Step() != SQLITE_DONE) return std::nullopt;
    Statement q(s.db(), "SELECT _id FROM files WHERE _data = ?1");
    if (!q.ok()) return std::nullopt;
    q.BindText(1, path);
    if (q.Step() != SQLITE_ROW) return std::nullopt;
    return q.ColumnInt64(0);
}

}  // namespace phone_service
