// The phone's media database: scanned files, playlists and playlist members
// in one SQLite file. All access is serialised by one lock, taken through
// Session; SQLite's own threading mode is not relied upon.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace phone_service {

// A prepared statement, finalised on destruction.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql);
    bool ok() const { return stmt_ != nullptr; }
    void BindInt64(int index, std::int64_t v);
    void BindText(int index, const std::string& v);
    void BindNull(int index);
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step();
    int ColumnCount() const;
    std::string ColumnName(int i) const;
    std::string ColumnText(int i) const;  // NULL reads as ""
    std::int64_t ColumnInt64(int i) const;

private:
    struct Finalizer { void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); } };
    std::unique_ptr<sqlite3_stmt, Finalizer> stmt_;
};

class MediaDb {
public:
    // Opens or creates the file and its tables; nullptr and an error text on failure.
    static std::unique_ptr<MediaDb> Open(const std::string& file, std::string& error);

    // Holds the database lock for one unit of work.
    class Session {
    public:
        explicit Session(MediaDb& db) : lock_(db.mutex_), db_(db.db_.get()) {}
        sqlite3* db() const { return db_; }
        bool Exec(const std::string& sql);
    private:
        std::unique_lock<std::mutex> lock_;
        sqlite3* db_;
    };

    // Registers a scanned file under its canonical phone path and returns its
    // row id. A path keeps its id for good: rows are never removed when a
    // file goes away, and a rescan only refreshes size, type and time.
    std::optional<std::int64_t> RegisterFile(const std::string& canonical_path, const std::string& mime,
                                             std::int64_t size, std::int64_t modified_ms);

private:
    struct Closer { void operator()(sqlite3* d) const { sqlite3_close(d); } };
    MediaDb() = default;
    std::mutex mutex_;
    std::unique_ptr<sqlite3, Closer> db_;
};

}  // namespace phone_service
