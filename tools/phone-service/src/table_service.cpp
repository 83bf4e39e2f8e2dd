#include "table_service.h"

#include "requests.h"

#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <utility>

namespace phone_service {
namespace {

constexpr std::string_view kPlaylistsUri = "content://media/external/audio/playlists";
constexpr std::string_view kAudioUri = "content://media/external/audio/media";

using Value = TableValue;
using Record = TableRecord;

struct Answer {
    std::int32_t code = 0;
    std::string text;                                          // kinds 1, 2, 3
    std::vector<std::vector<std::pair<std::string, std::string>>> rows;  // kind 4
};

// A table addressed by a content URI, with the columns it lets a request name.
struct Target {
    const char* table = nullptr;
    std::vector<const char*> columns;
    std::optional<std::int64_t> playlist;  // members URI: the playlist it belongs to
    bool writable = true;
};

bool ParseDecimal(std::string_view s, std::int64_t& out) {
    if (s.empty() || s.size() > 18) return false;
    std::int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    out = v;
    return true;
}

std::optional<Target> TargetFor(std::string_view uri) {
    if (uri == kPlaylistsUri) return Target{"playlists", {"_id", "name", "date_modified"}, std::nullopt, true};
    if (uri == kAudioUri)
        return Target{"files", {"_id", "_data", "mime_type", "size", "date_modified"}, std::nullopt, false};
    const std::string prefix = std::string(kPlaylistsUri) + "/";
    constexpr std::string_view suffix = "/members";
    if (uri.size() > prefix.size() + suffix.size() && uri.compare(0, prefix.size(), prefix) == 0 &&
        uri.substr(uri.size() - suffix.size()) == suffix) {
        std::int64_t id = 0;
        if (!ParseDecimal(uri.substr(prefix.size(), uri.size() - prefix.size() - suffix.size()), id))
            return std::nullopt;
        return Target{"playlist_members", {"_id", "playlist_id", "audio_id", "play_order"}, id, true};
    }
    return std::nullopt;
}

const char* KnownColumn(const Target& t, const std::string& name) {
    for (const char* c : t.columns)
        if (name == c) return c;
    return nullptr;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// The selections in use: empty (every row) and "_id=N". Parsed, never
// pasted into SQL. nullopt: a selection this service does not understand.
std::optional<std::optional<std::int64_t>> ParseSelection(std::string_view sel) {
    sel = Trim(sel);
    if (sel.empty()) return std::optional<std::int64_t>();
    constexpr std::string_view key = "_id";
    if (sel.substr(0, key.size()) != key) return std::nullopt;
    sel = Trim(sel.substr(key.size()));
    if (sel.empty() || sel.front() != '=') return std::nullopt;
    sel = Trim(sel.substr(1));
    if (sel.size() >= 2 && sel.front() == '\'' && sel.back() == '\'') sel = sel.substr(1, sel.size() - 2);
    std::int64_t id = 0;
    if (!ParseDecimal(sel, id)) return std::nullopt;
    return std::optional<std::int64_t>(id);
}

void Bind(Statement& st, int index, const Value& v) {
    if (v.type == kTypeInt || v.type == kTypeInt64)
        st.BindInt64(index, v.number);
    else
        st.BindText(index, v.text);
}

std::int64_t NowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch()).count();
}

class Applier {
public:
    explicit Applier(sqlite3* db) : db_(db) {}

    Answer Apply(const Record& r) {
        auto target = TargetFor(r.uri);
        if (!target) return {};
        switch (r.kind) {
            case kInsert: return target->writable ? Insert(*target, r) : Answer{};
            case kUpdate: return target->writable ? Update(*target, r) : Answer{};
            case kDelete: return target->writable ? Delete(*target, r) : Answer{};
            case kQuery: return Query(*target, r);
            default: return {};
        }
    }

private:
    // WHERE text for a target and selection; its parameters follow the
    // statement's other parameters from first_param on.
    static std::string Where(const Target& t, std::optional<std::int64_t> id, int first_param) {
        std::string w;
        int p = first_param;
        if (t.playlist) w += " WHERE playlist_id = ?" + std::to_string(p++);
        if (id) w += std::string(w.empty() ? " WHERE" : " AND") + " _id = ?" + std::to_string(p++);
        return w;
    }
    static void BindWhere(Statement& st, const Target& t, std::optional<std::int64_t> id, int first_param) {
        int p = first_param;
        if (t.playlist) st.BindInt64(p++, *t.playlist);
        if (id) st.BindInt64(p++, *id);
    }

    // Checks the columns of an insert or update: known, valued, not the row
    // id, and on a members URI a playlist_id that matches the URI.
    static bool ColumnsAcceptable(const Target& t, const Record& r) {
        for (const auto& c : r.columns) {
            if (!KnownColumn(t, c.first) || !c.second.present || c.first == "_id") return false;
            if (c.first == "playlist_id" && t.playlist) {
                std::int64_t v = c.second.number;
                if (c.second.type != kTypeInt && c.second.type != kTypeInt64 && !ParseDecimal(c.second.text, v))
                    return false;
                if (v != *t.playlist) return false;
            }
        }
        return true;
    }

    static bool Has(const Record& r, const char* name) {
        for (const auto& c : r.columns)
            if (c.first == name) return true;
        return false;
    }

    Answer Insert(const Target& t, const Record& r) {
        if (!ColumnsAcceptable(t, r)) return {};
        std::string cols, params;
        int n = 0;
        for (const auto& c : r.columns) {
            cols += (n ? ", " : "") + c.first;
            params += (n ? ", ?" : "?") + std::to_string(n + 1);
            ++n;
        }
        const bool add_playlist = t.playlist && !Has(r, "playlist_id");
        const bool add_date = !t.playlist && !Has(r, "date_modified");
        if (add_playlist) { cols += std::string(n ? ", " : "") + "playlist_id"; params += (n ? ", ?" : "?") + std::to_string(n + 1); ++n; }
        if (add_date) { cols += std::string(n ? ", " : "") + "date_modified"; params += (n ? ", ?" : "?") + std::to_string(n + 1); ++n; }
        if (n == 0) return {};
        Statement st(db_, std::string("INSERT INTO ") + t.table + "(" + cols + ") VALUES(" + params + ")");
        if (!st.ok()) return {};
        int i = 1;
        for (const auto& c : r.columns) Bind(st, i++, c.second);
        if (add_playlist) st.BindInt64(i++, *t.playlist);
        if (add_date) st.BindInt64(i++, NowSeconds());
        if (st.Step() != SQLITE_DONE) return {};  // a constraint: NOT NULL, unknown playlist
        return Answer{1, std::to_string(sqlite3_last_insert_rowid(db_)), {}};
    }

    Answer Update(const Target& t, const Record& r) {
        auto sel = ParseSelection(r.selection);
        if (!sel || r.columns.empty() || !ColumnsAcceptable(t, r)) return {};
        std::string set;
        int n = 0;
        for (const auto& c : r.columns) {
            if (n > 0) set += ", ";
            ++n;
            set += c.first + " = ?" + std::to_string(n);
        }
        Statement st(db_, std::string("UPDATE ") + t.table + " SET " + set + Where(t, *sel, n + 1));
        if (!st.ok()) return {};
        int i = 1;
        for (const auto& c : r.columns) Bind(st, i++, c.second);
        BindWhere(st, t, *sel, n + 1);
        if (st.Step() != SQLITE_DONE) return {};
        return Answer{1, std::to_string(sqlite3_changes(db_)), {}};
    }

    Answer Delete(const Target& t, const Record& r) {
        auto sel = ParseSelection(r.selection);
        if (!sel) return {};
        Statement st(db_, std::string("DELETE FROM ") + t.table + Where(t, *sel, 1));
        if (!st.ok()) return {};
        BindWhere(st, t, *sel, 1);
        if (st.Step() != SQLITE_DONE) return {};
        return Answer{1, std::to_string(sqlite3_changes(db_)), {}};
    }

    Answer Query(const Target& t, const Record& r) {
        auto sel = ParseSelection(r.selection);
        if (!sel) return {};
        std::string cols;
        if (r.projection.empty()) {
            for (const char* c : t.columns) cols += (cols.empty() ? "" : ", ") + std::string(c);
        } else {
            for (const auto& p : r.projection) {
                if (!KnownColumn(t, p)) return {};
                cols += (cols.empty() ? "" : ", ") + p;
            }
        }
        Statement st(db_, "SELECT " + cols + " FROM " + t.table + Where(t, *sel, 1) + " ORDER BY _id");
        if (!st.ok()) return {};
        BindWhere(st, t, *sel, 1);
        Answer a{1, {}, {}};
        int rc;
        while ((rc = st.Step()) == SQLITE_ROW) {
            std::vector<std::pair<std::string, std::string>> row;
            for (int i = 0; i < st.ColumnCount(); ++i) row.emplace_back(st.ColumnName(i), st.ColumnText(i));
            a.rows.push_back(std::move(row));
        }
        if (rc != SQLITE_DONE) return {};
        return a;
    }

    sqlite3* db_;
};

void WriteAnswer(WireWriter& out, const Record& r, const Answer& a) {
    WireWriter body;
    body.Int32(r.seq);
    body.Int32(r.kind);
    body.Int32(a.code);
    if (a.code == 1) {
        if (r.kind == kQuery) {
            body.Int32(static_cast<std::int32_t>(a.rows.size()));
            for (const auto& row : a.rows) {
                body.Int32(static_cast<std::int32_t>(row.size()));
                for (const auto& kv : row) { body.String(kv.first); body.String(kv.second); }
            }
        } else {
            body.String(a.text);
        }
    }
    out.Int32(static_cast<std::int32_t>(body.size()));
    out.Raw(body.bytes());
}

Bytes FrameTableAnswer(std::int32_t count, const Bytes& records) {
    WireWriter w;
    w.Raw(kSyncMarker);
    w.Int32(static_cast<std::int32_t>(4 + records.size()));
    w.Int32(count);
    w.Raw(records);
    return w.Take();
}

}  // namespace

ServiceAnswer TableService::Handle(const Bytes& request, int failing_record) const {
    ServiceAnswer out;
    WireReader in(request);
    std::int32_t count = 0;
    if (!ParseTableEnvelope(in, count)) {
        // Nothing can be told apart: an answer without records, which the
        // client reads as "no operation succeeded".
        out.body = FrameTableAnswer(0, {});
        out.summary = "tablesync malformed envelope, 0 records";
        return out;
    }
    // Records are parsed, applied and answered one at a time, so memory
    // does not grow with the record count. Each is delimited by its own
    // length: a malformed one is answered with code 0 and the next one is
    // still found. A length that runs past the body ends the walk, since
    // no later record can be located.
    std::vector<std::pair<std::int32_t, std::int32_t>> heads;  // sequence number and kind per record
    std::string log;  // the first few records in short: kind, URI and result code
    WireWriter answers;
    int applied = 0;
    {
        MediaDb::Session s(db_);
        const bool in_tx = s.Exec("BEGIN IMMEDIATE");
        Applier applier(s.db());
        for (std::int32_t i = 0; i < count; ++i) {
            WireReader bytes(nullptr, 0);
            if (!NextTableRecord(in, bytes)) break;
            Record r;
            const bool parsed = ParseTableRecord(bytes, r);
            const bool forced = failing_record == i + 1;
            Answer a;
            if (parsed && !forced && in_tx && s.Exec("SAVEPOINT rec")) {
                a = applier.Apply(r);
                // A record that fails leaves no trace; the others still run.
                if (a.code != 1) s.Exec("ROLLBACK TO rec");
                s.Exec("RELEASE rec");
            }
            WriteAnswer(answers, r, a);
            if (a.code == 1) ++applied;
            if (heads.size() < 4) {
                static const char* const kKinds[] = {"?", "insert", "delete", "update", "query", "kind5"};
                log += std::string(heads.empty() ? " [" : ", ") + kKinds[r.kind >= 1 && r.kind <= 5 ? r.kind : 0] +
                       " " + LogQuote(r.uri.substr(0, 80)) + " -> " + std::to_string(a.code);
            }
            heads.emplace_back(r.seq, r.kind);
        }
        if (in_tx && !s.Exec("COMMIT")) {
            // Nothing was kept after all: every record is answered code 0.
            s.Exec("ROLLBACK");
            answers = WireWriter();
            applied = 0;
            for (const auto& h : heads) {
                Record r;
                r.seq = h.first;
                r.kind = h.second;
                WriteAnswer(answers, r, Answer{});
            }
            log += " (commit failed: all answered 0)";
        }
    }
    out.body = FrameTableAnswer(static_cast<std::int32_t>(heads.size()), answers.bytes());
    out.summary = "tablesync records=" + std::to_string(heads.size()) + " applied=" + std::to_string(applied) +
                  log + (heads.size() > 4 ? ", ...]" : heads.empty() ? "" : "]");
    return out;
}

}  // namespace phone_service
