// phone-service: a stand-in for the phone's companion sync service. It
// answers "/filesync" and "/tablesync" over a folder and an SQLite media
// database, and can misbehave on request.
#include <algorithm>
#include <csignal>
#include <set>

#include <signal.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>

#include <unistd.h>

#include "faults.h"
#include "file_service.h"
#include "http_server.h"
#include "media_db.h"
#include "path_jail.h"
#include "requests.h"
#include "table_service.h"

namespace ps = phone_service;

namespace {

constexpr const char* kPartsFolder = "mms_parts";

const char* const kUsage =
    "usage: phone-service --root DIR [--listen ADDR] [--port N] [--db FILE]\n"
    "                     [--idle-timeout S] [--fault FAULT]... [--verbose]\n"
    "\n"
    "Answers the phone's \"/filesync\" and \"/tablesync\" requests over HTTP.\n"
    "Phone paths such as /sdcard/Music/a.mp3 live under DIR (DIR/sdcard/Music/a.mp3);\n"
    "paths that would leave DIR are refused.\n"
    "\n"
    "  --root DIR          folder that holds the phone's files (created if missing)\n"
    "  --listen ADDR       IPv4 address to listen on (default 127.0.0.1)\n"
    "  --port N            TCP port (default 8182; 0 picks a free one)\n"
    "  --db FILE           media database (default DIR/media.db); message parts are\n"
    "                      kept in DIR/mms_parts. Both are hidden from phone paths.\n"
    "  --idle-timeout S    close a connection idle for S seconds (default 5)\n"
    "  --verbose           one line per request on stderr: command, path, result,\n"
    "                      bytes in and out, microseconds\n"
    "  --help              this text\n";

struct Options {
    std::string root, listen = "127.0.0.1", db;
    int port = 8182;
    int idle_seconds = 5;
    bool verbose = false;
    ps::FaultSet faults;
};

bool ParseNumber(const std::string& s, int lo, int hi, int& out) {
    if (s.empty() || s.size() > 6 || s.find_first_not_of("0123456789") != std::string::npos) return false;
    out = std::atoi(s.c_str());
    return out >= lo && out <= hi;
}

// Returns 0 to go on, otherwise the exit code.
int ParseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i], value;
        const std::size_t eq = arg.find('=');
        const bool inline_value = arg.rfind("--", 0) == 0 && eq != std::string::npos;
        if (inline_value) { value = arg.substr(eq + 1); arg.resize(eq); }
        auto next = [&](std::string& out) {
            if (inline_value) { out = value; return true; }
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v, error;
        if (arg == "--help" || arg == "-h") { std::fputs(kUsage, stdout); std::fputs(ps::kFaultHelp, stdout); std::exit(0); }
        else if (arg == "--verbose") o.verbose = true;
        else if (arg == "--root" && next(v)) o.root = v;
        else if (arg == "--listen" && next(v)) o.listen = v;
        else if (arg == "--db" && next(v)) o.db = v;
        else if (arg == "--port" && next(v) && ParseNumber(v, 0, 65535, o.port)) {}
        else if (arg == "--idle-timeout" && next(v) && ParseNumber(v, 1, 3600, o.idle_seconds)) {}
        else if (arg == "--fault" && next(v)) {
            if (o.faults.Add(v, error) == 0) { std::fprintf(stderr, "phone-service: %s\n", error.c_str()); return 2; }
        } else {
            std::fprintf(stderr, "phone-service: bad or incomplete option '%s' (see --help)\n", argv[i]);
            return 2;
        }
    }
    if (o.root.empty()) { std::fprintf(stderr, "phone-service: --root is required (see --help)\n"); return 2; }
    return 0;
}

class App {
public:
    App(Options& o, ps::FileService& files, ps::TableService& tables)
        : o_(o), files_(files), tables_(tables) {}

    ps::HttpReply Handle(const ps::HttpRequest& req) {
        const auto start = std::chrono::steady_clock::now();
        ps::HttpReply reply;
        if (req.path == "/control") {
            std::string answer;
            reply.status = o_.faults.Control(std::string(req.body.begin(), req.body.end()), answer);
            reply.body.assign(answer.begin(), answer.end());
            const std::size_t shown = std::min<std::size_t>(req.body.size(), 200);
            Log(start, req, "control " + ps::LogQuote(std::string(req.body.begin(), req.body.begin() + shown)) +
                                " http=" + std::to_string(reply.status), reply);
            return reply;
        }
        const bool table = req.path == "/tablesync";
        if (!table && req.path != "/filesync") {
            reply.status = 404;
            Log(start, req, "unknown path " + req.path + " http=404", reply);
            return reply;
        }
        int command = ps::kTableRequest;
        ps::FileRequest file_request;
        if (!table)
            command = ps::ParseFileRequest(req.body.data(), req.body.size(), file_request) ? file_request.command
                                                                                           : ps::kAnyRequest;
        const auto fired = o_.faults.Match(command, file_request.paths);
        // Held requests wait here, their answer made, until released.
        auto hold = [&](std::string& note) {
            for (const auto& f : fired) {
                if (f->action != ps::FaultAction::kHold) continue;
                if (!o_.faults.Hold(*f)) reply.close_without_answer = true;  // stopping
                note += " [fault hold " + std::to_string(f->id) + "]";
            }
        };
        std::string fault_note;
        int failing_record = 0;
        for (const auto& f : fired) {
            if (f->action == ps::FaultAction::kClose) {
                reply.close_without_answer = true;
                hold(fault_note);
                Log(start, req, std::string(table ? "tablesync" : "filesync cmd=" + std::to_string(command)) +
                                    " [fault close: no answer]" + fault_note, reply);
                return reply;
            }
            if (f->action == ps::FaultAction::kStatus0) {
                reply.body = ps::FrameFileAnswer(0);
                hold(fault_note);
                Log(start, req, "filesync cmd=" + std::to_string(command) + " status=0 [fault status0]" + fault_note,
                    reply);
                return reply;
            }
            if (f->action == ps::FaultAction::kRecord0) failing_record = f->record;
        }
        ps::ServiceAnswer a = table ? tables_.Handle(req.body, failing_record) : files_.Handle(req.body);
        if (failing_record) fault_note += " [fault record0:" + std::to_string(failing_record) + "]";
        reply.body = std::move(a.body);
        bool dropped = false;
        for (const auto& f : fired) {
            if (f->action == ps::FaultAction::kDrop) {
                // The work is done; its answer is lost on the way.
                dropped = true;
                fault_note += " [fault drop " + std::to_string(f->id) + ": no answer]";
            } else if (f->action == ps::FaultAction::kDelay) {
                reply.delay_ms += f->ms;
                fault_note += " [fault delay " + std::to_string(f->ms) + "ms]";
            } else if (f->action == ps::FaultAction::kTruncate) {
                if (reply.body.size() > static_cast<std::size_t>(f->bytes)) reply.body.resize(static_cast<std::size_t>(f->bytes));
                fault_note += " [fault truncate " + std::to_string(f->bytes) + "]";
            } else if (f->action == ps::FaultAction::kMarker) {
                if (!reply.body.empty()) reply.body[0] = '{';
                fault_note += " [fault marker]";
            }
        }
        hold(fault_note);
        if (dropped) reply.close_without_answer = true;
        Log(start, req, a.summary + fault_note, reply);
        return reply;
    }

private:
    void Log(std::chrono::steady_clock::time_point start, const ps::HttpRequest& req, const std::string& what,
             const ps::HttpReply& reply) {
        if (!o_.verbose) return;
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now() - start).count();
        const std::string line = what + " in=" + std::to_string(req.body.size()) + " out=" +
                                 std::to_string(reply.close_without_answer ? 0 : reply.body.size()) +
                                 " us=" + std::to_string(us) + "\n";
        std::lock_guard<std::mutex> lock(log_mutex_);
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
    }

    Options& o_;
    ps::FileService& files_;
    ps::TableService& tables_;
    std::mutex log_mutex_;
};

ps::HttpServer* g_server = nullptr;

extern "C" void OnStopSignal(int) {
    if (g_server) g_server->RequestStop();
}

std::set<std::string> ReservedNames(const std::string& root, const std::string& db) {
    std::set<std::string> names{kPartsFolder};
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path dbp = fs::absolute(db, ec);
    const fs::path parent = fs::weakly_canonical(dbp.parent_path(), ec);
    if (!ec && parent == fs::weakly_canonical(root, ec)) {
        const std::string base = dbp.filename().string();
        for (const char* suffix : {"", "-journal", "-wal", "-shm"}) names.insert(base + suffix);
    }
    return names;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (const int rc = ParseArgs(argc, argv, o)) return rc;

    std::error_code ec;
    std::filesystem::create_directories(o.root, ec);
    std::filesystem::create_directories(std::filesystem::path(o.root) / kPartsFolder, ec);
    if (o.db.empty()) o.db = (std::filesystem::path(o.root) / "media.db").string();

    auto files_jail = ps::PathJail::Open(o.root, ReservedNames(o.root, o.db));
    auto parts_jail = ps::PathJail::Open((std::filesystem::path(o.root) / kPartsFolder).string());
    if (!files_jail || !parts_jail) {
        std::fprintf(stderr, "phone-service: cannot use root folder '%s'\n", o.root.c_str());
        return 1;
    }
    std::string error;
    auto db = ps::MediaDb::Open(o.db, error);
    if (!db) {
        std::fprintf(stderr, "phone-service: cannot open database '%s': %s\n", o.db.c_str(), error.c_str());
        return 1;
    }
    ps::FileService files(*files_jail, *parts_jail, *db);
    ps::TableService tables(*db);
    App app(o, files, tables);

    ps::HttpServer::Config config;
    config.address = o.listen;
    config.port = o.port;
    config.idle_timeout_ms = o.idle_seconds * 1000;
    // Held requests and control waits end when the service stops.
    config.on_stop = [&o] { o.faults.Stop(); };
    ps::HttpServer server(config, [&app](const ps::HttpRequest& r) { return app.Handle(r); });
    if (!server.Listen(error)) {
        std::fprintf(stderr, "phone-service: %s\n", error.c_str());
        return 1;
    }

    // A client that disappears must not end the service.
    std::signal(SIGPIPE, SIG_IGN);
    g_server = &server;
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    std::printf("listening on %s:%d\n", server.address().c_str(), server.port());
    std::fflush(stdout);
    server.Run();
    g_server = nullptr;
    if (o.verbose) std::fputs("phone-service: stopped\n", stderr);
    return 0;
}
