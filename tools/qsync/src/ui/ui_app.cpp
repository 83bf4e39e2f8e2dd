#include "ui/ui_app.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "cli.h"
#include "command_failure.h"
#include "errors.h"
#include "job_control.h"
#include "jobs.h"
#include "paths.h"
#include "playlist_record.h"
#include "probe.h"
#include "quellsync_http.h"
#include "text.h"
#include "ui/static_files.h"
#include "ui/ui_os.h"

namespace qsync {
namespace ui {
namespace {

namespace fs = std::filesystem;

constexpr size_t kTokenBytes = 16;  // 128 bits, as 32 hex digits
constexpr size_t kMaxPhoneEntries = 100000;
constexpr size_t kMaxPcEntries = 100000;
constexpr size_t kMaxSongs = 20000;
// A job's Stop is over within a few of its 100 ms rounds; a call ended by
// stop after stop is given up on after this many attempts.
constexpr int kAttemptsBesideJobs = 20;
// How long a rename or delete answer waits for its job.
constexpr std::chrono::seconds kPhoneChangeWait{10};

const char* const kJobCommands[] = {"push", "remove", "fetch", "backup", "restore", "playlist",
                                    "get",  "put",    "rm",    "mv"};

HttpResponse JsonAnswer(const Json& value, int status = 200) {
    HttpResponse response;
    response.status = status;
    response.body = JsonLine(value);
    return response;
}

HttpResponse Error(int status, const std::string& message) { return JsonAnswer({{"error", message}}, status); }

// Equal texts in a time that does not depend on where they differ.
bool SameSecret(const std::string& a, const std::string& b) {
    if (a.size() != b.size() || a.empty()) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool Decode(const std::string& text, bool plusIsSpace, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) return false;
            const int high = HexValue(text[i + 1]), low = HexValue(text[i + 2]);
            if (high < 0 || low < 0) return false;
            out.push_back(static_cast<char>(high * 16 + low));
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            out.push_back(' ');
        } else {
            out.push_back(c);
        }
    }
    return IsValidUtf8(out) && out.find('\0') == std::string::npos;
}

std::string PercentEncode(const std::string& text) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
            byte == '-' || byte == '.' || byte == '_' || byte == '~') {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(kDigits[byte >> 4]);
            out.push_back(kDigits[byte & 15]);
        }
    }
    return out;
}

bool IsStateChange(const std::string& method) { return method != "GET"; }

const char* ContentType(const std::string& name) {
    const auto ends = [&name](const char* suffix) {
        const std::string s(suffix);
        return name.size() >= s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0;
    };
    if (ends(".html")) return "text/html; charset=utf-8";
    if (ends(".js")) return "text/javascript; charset=utf-8";
    if (ends(".css")) return "text/css; charset=utf-8";
    if (ends(".svg")) return "image/svg+xml";
    if (ends(".png")) return "image/png";
    if (ends(".json")) return "application/json";
    return "application/octet-stream";
}

// A phone path from the page: absolute, UTF-8, no "." or ".." segment, no
// control character. The library checks again; this keeps what it would
// refuse from reaching it at all.
bool UsablePhonePath(const std::string& path) {
    if (path.empty() || path[0] != '/' || path.size() >= 65536 || !IsValidUtf8(path)) return false;
    for (const char c : path)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    size_t start = 1;
    while (start <= path.size()) {
        const size_t end = std::min(path.find('/', start), path.size());
        const std::string segment = path.substr(start, end - start);
        if (segment == "." || segment == "..") return false;
        start = end + 1;
    }
    return true;
}

// One name below a phone folder: what a drop from the desktop may be called.
std::string PhoneNameProblem(const std::string& name) {
    if (name.empty()) return "the name is empty";
    if (name == "." || name == "..") return "the name cannot be '.' or '..'";
    if (name.size() > 255) return "the name is longer than 255 bytes";
    if (!IsValidUtf8(name)) return "the name is not UTF-8";
    for (const char c : name) {
        if (c == '/' || c == '\\') return "the name cannot hold '/' or '\\'";
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return "the name cannot hold control characters";
    }
    return "";
}

Json EntryJson(const QsPhoneEntry& entry) {
    const std::string path = HostTextToUtf8(entry.path);
    const size_t slash = path.find_last_of('/');
    return {{"name", slash == std::string::npos ? path : path.substr(slash + 1)},
            {"path", path},
            {"size", entry.size},
            {"modified", entry.modified},
            {"isDir", entry.isDir != 0},
            {"isHidden", entry.isHidden != 0}};
}

struct Listing {
    Json entries = Json::array();
    bool truncated = false;
};

int32_t QS_CALL CollectEntry(void* context, const QsPhoneEntry* entry) {
    auto* listing = static_cast<Listing*>(context);
    if (!entry || !entry->path) return 0;
    if (listing->entries.size() >= kMaxPhoneEntries) {
        listing->truncated = true;
        return 1;
    }
    listing->entries.push_back(EntryJson(*entry));
    return 0;
}

std::string Requested(const std::map<std::string, std::string>& query, const std::string& name) {
    const auto it = query.find(name);
    return it == query.end() ? std::string() : it->second;
}

// The command line the page's job request stands for: the same command,
// options and operands a person would type, so ParseCommandLine checks it
// and RunCommand carries it out exactly as for the command line. The
// operands follow "--": a name that begins with "-" is still a name.
std::vector<std::string> JobArguments(const Json& request, const Json& settings) {
    const auto text = [&request](const char* key) -> std::string {
        if (!request.contains(key) || request[key].is_null()) return "";
        if (!request[key].is_string()) throw UsageError(std::string(key) + " must be a text");
        return request[key].get<std::string>();
    };
    const auto flag = [&request](const char* key) {
        if (!request.contains(key) || request[key].is_null()) return false;
        if (!request[key].is_boolean()) throw UsageError(std::string(key) + " must be true or false");
        return request[key].get<bool>();
    };
    const std::string command = text("command");
    if (std::find(std::begin(kJobCommands), std::end(kJobCommands), command) == std::end(kJobCommands))
        throw UsageError("not a job: '" + command + "'");
    std::vector<std::string> arguments = {"--phone", settings["phone"].get<std::string>(), "--device",
                                          settings["device"].get<std::string>(), command};
    const std::string folder = text("folder");
    if (!folder.empty()) {
        arguments.push_back(command == "restore" ? "--from" : "--to");
        arguments.push_back(folder);
    }
    if (flag("dryRun")) arguments.push_back("--dry-run");
    if (flag("delete")) {
        arguments.push_back("--delete");
        if (request.contains("maxDelete") && !request["maxDelete"].is_null()) {
            if (!request["maxDelete"].is_number_integer()) throw UsageError("maxDelete must be a number");
            arguments.push_back("--max-delete");
            arguments.push_back(std::to_string(request["maxDelete"].get<long long>()));
        }
    }
    if (flag("check")) arguments.push_back("--check");
    if (flag("replace")) arguments.push_back("--replace");
    if (flag("recursive")) arguments.push_back("-r");
    if (flag("force")) arguments.push_back("--force");
    if (flag("allowEmpty")) arguments.push_back("--allow-empty");
    if (flag("clear")) arguments.push_back("--clear");
    if (flag("anyFile")) arguments.push_back("--any-file");
    const std::string conflict = text("onConflict");
    if (!conflict.empty()) {
        arguments.push_back("--on-conflict");
        arguments.push_back(conflict);
    }
    arguments.push_back("--");
    const std::string kind = text("kind");
    if (!kind.empty()) arguments.push_back(kind);
    if (request.contains("operands") && !request["operands"].is_null()) {
        if (!request["operands"].is_array()) throw UsageError("operands must be a list of texts");
        for (const Json& operand : request["operands"]) {
            if (!operand.is_string()) throw UsageError("operands must be a list of texts");
            arguments.push_back(operand.get<std::string>());
        }
    }
    return arguments;
}

Json ParseBody(const HttpRequest& request) {
    if (request.body.empty()) return Json::object();
    Json body = Json::parse(request.body, nullptr, false);
    if (body.is_discarded()) throw UsageError("the request body is not JSON");
    return body;
}

bool ParseCount(const std::string& text, size_t fallback, size_t& value) {
    if (text.empty()) {
        value = fallback;
        return true;
    }
    if (text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    value = static_cast<size_t>(std::stoul(text));
    return true;
}

}  // namespace

bool SplitTarget(const std::string& target, std::string& path, std::map<std::string, std::string>& query) {
    query.clear();
    const size_t mark = target.find('?');
    if (!Decode(target.substr(0, mark), false, path)) return false;
    if (mark == std::string::npos) return true;
    const std::string rest = target.substr(mark + 1);
    size_t start = 0;
    while (start <= rest.size()) {
        const size_t end = std::min(rest.find('&', start), rest.size());
        const std::string pair = rest.substr(start, end - start);
        start = end + 1;
        if (pair.empty()) continue;
        const size_t equals = pair.find('=');
        std::string name, value;
        if (!Decode(pair.substr(0, equals), true, name)) return false;
        if (equals != std::string::npos && !Decode(pair.substr(equals + 1), true, value)) return false;
        query[name] = value;
    }
    return true;
}

std::string CookieValue(const std::string& header, const std::string& name) {
    size_t start = 0;
    while (start < header.size()) {
        const size_t end = std::min(header.find(';', start), header.size());
        std::string pair = header.substr(start, end - start);
        start = end + 1;
        const size_t first = pair.find_first_not_of(' ');
        if (first == std::string::npos) continue;
        pair.erase(0, first);
        const size_t equals = pair.find('=');
        if (equals != std::string::npos && pair.compare(0, equals, name) == 0 && equals == name.size()) {
            std::string value = pair.substr(equals + 1);
            while (!value.empty() && value.back() == ' ') value.pop_back();
            return value;
        }
    }
    return "";
}

UiApp::UiApp(UiConfig config, std::function<void()> quit)
    : mConfig(std::move(config)),
      mQuit(std::move(quit)),
      mStore(mConfig.settingsFolder),
      mToken(HexBytes(SecureRandomBytes(kTokenBytes))),
      mCsrf(HexBytes(SecureRandomBytes(kTokenBytes))),
      mSettings(mStore.LoadSettings()),
      mJobs(std::make_unique<JobQueue>(mStore)) {}

UiApp::~UiApp() {
    Shutdown();
    std::lock_guard<std::mutex> lock(mLock);
    for (const std::string& file : mTemporaryFiles) {
        std::error_code ignored;
        fs::remove(fs::u8path(file), ignored);
    }
}

void UiApp::Shutdown() {
    mQuitting = true;
    mJobs->Shutdown();
}

void UiApp::SetPort(int port) { mPort = port; }

std::optional<HttpResponse> UiApp::Screen(HttpRequest& header) {
    // Against DNS rebinding: a page of another site that got its name to
    // point at 127.0.0.1 still sends its own name as Host.
    const std::string port = std::to_string(mPort.load());
    const std::string& host = header.host;
    if (host != "127.0.0.1:" + port && host != "localhost:" + port && host != "[::1]:" + port)
        return Error(403, "this address is not the page's");
    if (header.method != "GET" && header.method != "POST" && header.method != "PUT" && header.method != "DELETE")
        return Error(405, "method not allowed");
    std::string path;
    std::map<std::string, std::string> query;
    if (!SplitTarget(header.target, path, query)) return Error(400, "the address is malformed");

    std::lock_guard<std::mutex> lock(mLock);
    // The one request without a cookie: the printed address with its token,
    // good once. It is exchanged for the session cookie and an address
    // without the token, so the token is in no history or bookmark.
    if (path == "/" && query.count("token")) {
        if (header.method != "GET" || mTokenUsed || !SameSecret(query["token"], mToken))
            return Error(403, "this address has been used already; start qsync ui again for a new one");
        mTokenUsed = true;
        mSession = HexBytes(SecureRandomBytes(kTokenBytes));
        HttpResponse redirect;
        redirect.status = 303;
        redirect.contentType.clear();
        redirect.headers = {{"Location", "/"},
                            {"Set-Cookie", "qs_session=" + mSession + "; HttpOnly; SameSite=Strict; Path=/"}};
        return redirect;
    }
    if (!SameSecret(CookieValue(header.cookie, "qs_session"), mSession))
        return Error(401, "no session: open the address qsync ui printed");
    if (IsStateChange(header.method)) {
        if (!SameSecret(header.csrf, mCsrf)) return Error(403, "the request lacks the page's token");
        if (header.hasOrigin && header.origin != "http://" + host) return Error(403, "the request comes from another site");
    }
    if (header.method == "POST" && path == "/api/phone/upload") header.bodyFile = TemporaryFile(".upload");
    return std::nullopt;
}

std::string UiApp::TemporaryFile(const std::string& suffix) {
    const std::string name = mConfig.temporaryFolder + (NativePathStyle() == PathStyle::kWindows ? "\\" : "/") +
                             "qsync-ui-" + HexBytes(SecureRandomBytes(8)) + suffix;
    mTemporaryFiles.insert(name);
    return name;
}

HttpResponse UiApp::Handle(HttpRequest request) {
    std::string path;
    std::map<std::string, std::string> query;
    SplitTarget(request.target, path, query);  // checked by Screen
    HttpResponse response;
    try {
        if (path.compare(0, 5, "/api/") == 0) {
            response = Api(request.method, path, query, request);
        } else if (request.method == "GET") {
            response = StaticFile(path);
        } else {
            response = Error(405, "method not allowed");
        }
    } catch (const UsageError& e) {
        response = Error(400, e.what());
    } catch (const std::invalid_argument& e) {
        response = Error(400, e.what());
    } catch (const fs::filesystem_error& e) {
        response = Error(400, e.what());
    } catch (const Json::exception& e) {  // a value of the wrong type in the request
        response = Error(400, e.what());
    }
    if (!request.bodyFile.empty()) {
        std::error_code ignored;
        fs::remove(fs::u8path(request.bodyFile), ignored);
        std::lock_guard<std::mutex> lock(mLock);
        mTemporaryFiles.erase(request.bodyFile);
    }
    return response;
}

HttpResponse UiApp::StaticFile(const std::string& path) const {
    const std::string name = path == "/" ? "index.html" : path.substr(1);
    for (size_t i = 0; i < kStaticFileCount; ++i) {
        if (name != kStaticFiles[i].name) continue;
        HttpResponse response;
        response.contentType = ContentType(name);
        response.body.assign(reinterpret_cast<const char*>(kStaticFiles[i].data), kStaticFiles[i].size);
        return response;
    }
    return Error(404, "no such page");
}

HttpResponse UiApp::Api(const std::string& method, const std::string& path,
                        const std::map<std::string, std::string>& query, HttpRequest& request) {
    const bool get = method == "GET";
    const bool post = method == "POST";
    // JSON bodies only as application/json: a form of another site cannot
    // send that type without the browser asking first.
    if ((post || method == "PUT") && path != "/api/phone/upload" && !request.body.empty() &&
        request.contentType.compare(0, 16, "application/json") != 0)
        return Error(415, "the body must be application/json");
    if (get && path == "/api/session") {
        std::lock_guard<std::mutex> lock(mLock);
        return JsonAnswer({{"csrf", mCsrf},
                           {"version", mConfig.version},
                           {"platform", NativePathStyle() == PathStyle::kWindows ? "windows" : "linux"},
                           {"home", mConfig.home}});
    }
    if (get && path == "/api/events") {
        HttpResponse response;
        response.contentType = "text/event-stream";
        response.stream = [this](std::shared_ptr<EventStream> stream) { mJobs->Subscribe(std::move(stream)); };
        return response;
    }
    if (get && path == "/api/jobs") return JsonAnswer(mJobs->State());
    if (post && path == "/api/jobs") return PostJob(ParseBody(request));
    if (path.compare(0, 10, "/api/jobs/") == 0) return JobAction(method, path.substr(10), ParseBody(request), query);
    if (get && path == "/api/settings") {
        std::lock_guard<std::mutex> lock(mLock);
        return JsonAnswer(mSettings);
    }
    if (method == "PUT" && path == "/api/settings") return PutSettings(ParseBody(request));
    if (post && path == "/api/connect") return Connect(ParseBody(request));
    if (post && path == "/api/quit") {
        HttpResponse response = JsonAnswer({{"ok", true}});
        response.afterWrite = mQuit;
        return response;
    }
    if (get && path == "/api/pc/list") return PcList(Requested(query, "path"));
    if (get && path == "/api/pc/songs") return PcSongs(Requested(query, "folder"));
    if (get && path == "/api/phone/list") return PhoneList(Requested(query, "path"));
    if (get && path == "/api/phone/stat") return PhoneStat(Requested(query, "path"));
    if (get && path == "/api/phone/download") return PhoneDownload(Requested(query, "path"));
    if (post && path == "/api/phone/upload") return PhoneUpload(query, request.bodyFile);
    if (post && path == "/api/phone/rename") return PhoneChange("mv", ParseBody(request));
    if (post && path == "/api/phone/delete") return PhoneChange("rm", ParseBody(request));
    if (get && path == "/api/playlists") return Playlists();
    if (get && path == "/api/results") {
        return JsonAnswer({{"0", "done"},
                           {"1", "not on the phone"},
                           {"2", "not a usable phone path"},
                           {"21", "stopped"},
                           {"23", "the PC file does not exist"},
                           {"24", "on the phone, but the media scan failed"},
                           {"25", "exists already"},
                           {"26", "a folder where a file is needed, or a file where a folder is"},
                           {"27", "the folder is not empty"},
                           {"-1", "the phone did not answer"},
                           {"-2", "the phone's answer was cut short"},
                           {"-3", "the phone's answer was cut short"},
                           {"-4", "the phone's answer was cut short"},
                           {"-5", "the phone's answer was cut short"},
                           {"-6", "the phone refused it"},
                           {"-7", "the PC file could not be made or opened"},
                           {"-8", "reading or writing the PC file failed"},
                           {"-9", "the phone's answer is malformed"},
                           {"-10", "the file is 2 GiB or larger"},
                           {"-12", "the path is too long"}});
    }
    return Error(404, "no such request");
}

HttpResponse UiApp::PostJob(const Json& body) {
    if (!body.is_object()) return Error(400, "a job must be an object");
    Json settings;
    {
        std::lock_guard<std::mutex> lock(mLock);
        settings = mSettings;
    }
    const std::vector<std::string> arguments = JobArguments(body, settings);
    const Options options = ParseCommandLine(arguments, nullptr);  // CommandLineError: 400 with its words
    CheckCommand(options);  // as the command line refuses it: 400, not a job that fails at once
    return JsonAnswer({{"id", mJobs->Add(body, options)}});
}

HttpResponse UiApp::JobAction(const std::string& method, const std::string& rest, const Json& body,
                              const std::map<std::string, std::string>& query) {
    const size_t slash = rest.find('/');
    const std::string number = rest.substr(0, slash);
    const std::string action = slash == std::string::npos ? "" : rest.substr(slash + 1);
    size_t id = 0;
    if (number.empty() || !ParseCount(number, 0, id)) return Error(404, "no such job");
    const int job = static_cast<int>(id);
    const auto answer = [](JobQueue::Outcome outcome) {
        switch (outcome) {
            case JobQueue::Outcome::kDone: return JsonAnswer({{"ok", true}});
            case JobQueue::Outcome::kUnknown: return Error(404, "no such job");
            case JobQueue::Outcome::kNotRunning: return Error(409, "the job is not running");
            case JobQueue::Outcome::kNotQueued: return Error(409, "the job is not waiting in the queue");
        }
        return Error(500, "unexpected");
    };
    if (method == "GET" && action.empty()) {
        const Json found = mJobs->Find(job);
        return found.is_null() ? Error(404, "no such job") : JsonAnswer(found);
    }
    if (method == "GET" && action == "items") {
        size_t from = 0, count = 0;
        if (!ParseCount(Requested(query, "from"), 0, from) || !ParseCount(Requested(query, "count"), 500, count))
            return Error(400, "from and count must be numbers");
        Json items;
        if (!mJobs->Items(job, from, std::min<size_t>(count, 5000), items)) return Error(404, "no items of that job");
        return JsonAnswer(items);
    }
    if (method == "POST" && action == "stop") return answer(mJobs->Stop(job));
    if (method == "DELETE" && action.empty()) return answer(mJobs->Cancel(job));
    if (method == "POST" && action == "move") {
        if (!body.is_object() || !body.contains("to") || !body["to"].is_number_integer() || body["to"].get<long long>() < 0)
            return Error(400, "to must be a place in the queue (0 is the first)");
        return answer(mJobs->Move(job, static_cast<size_t>(body["to"].get<long long>())));
    }
    if (method == "POST" && action == "retry-failed") {
        const Json found = mJobs->Find(job);
        if (found.is_null()) return Error(404, "no such job");
        const Json& summary = found["summary"];
        if (!summary.is_object() || found["state"] == "running" || found["state"] == "queued")
            return Error(409, "the job has not ended");
        Json request = found["request"];
        // A push or remove is retried with only its failed PC files; other
        // jobs have no items of their own to pick and run again as a whole.
        const std::string command = request.value("command", "");
        if (command == "push" || command == "remove") {
            Json operands = Json::array();
            if (summary.contains("failed_items") && summary["failed_items"].is_array())
                for (const Json& item : summary["failed_items"])
                    if (item.is_object() && item.value("pc", "") != "" &&
                        std::find(operands.begin(), operands.end(), item["pc"]) == operands.end())
                        operands.push_back(item["pc"]);
            if (operands.empty()) return Error(409, "the job has no failed items");
            request["operands"] = operands;
            request["delete"] = false;  // mirroring applies to the whole folder, not to a few files
        } else if (summary.value("exit", 0) == 0) {
            return Error(409, "the job has no failed items");
        }
        return PostJob(request);
    }
    return Error(404, "no such request");
}

HttpResponse UiApp::PutSettings(const Json& body) {
    std::lock_guard<std::mutex> lock(mLock);
    const Json merged = MergeSettings(mSettings, body);
    std::string error;
    if (!mStore.SaveSettings(merged, error)) return Error(500, "the settings could not be kept: " + error);
    mSettings = merged;
    return JsonAnswer(mSettings);
}

HttpResponse UiApp::Connect(const Json& body) {
    if (!body.is_object()) return Error(400, "the request must be an object");
    const std::string phone = body.value("phone", "");
    std::string host;
    int port = 0;
    if (!ParsePhoneAddress(phone, host, port))
        return JsonAnswer({{"ok", false},
                           {"problem", "bad-address"},
                           {"message", "The phone's address must be four numbers with dots, like 192.168.1.20, "
                                       "and may end with :port."}});
    if (!CanConnect(host, port, 3000)) {
        // Whether the phone is there at all: its service's usual port.
        const bool elsewhere = port != 8182 && CanConnect(host, 8182, 1500);
        if (elsewhere)
            return JsonAnswer({{"ok", false},
                               {"problem", "wrong-port"},
                               {"message", "The phone answers, but not on port " + std::to_string(port) +
                                               ". Its sync service usually listens on 8182."}});
        return JsonAnswer({{"ok", false},
                           {"problem", "unreachable"},
                           {"message", "Nothing answers at " + host + ":" + std::to_string(port) +
                                           ". Is the phone on the same network, with its sync service started?"}});
    }
    // Something listens: is it the phone's service? A stat of the storage
    // root asks it as every phone file call does.
    const std::string device = body.value("device", std::string("/sdcard"));
    const std::u16string url = Utf8ToUtf16("http://" + host + ":" + std::to_string(port) + "/");
    const std::u16string root = Utf8ToUtf16(device.empty() ? "/" : device);
    const int32_t result = BesideJobs([&] { return ::PhoneStat(AsHostText(url), AsHostText(root), nullptr, nullptr); });
    if (result == QS_PHONE_OK) return JsonAnswer({{"ok", true}});
    if (result == QS_PHONE_ABSENT)
        return JsonAnswer({{"ok", false},
                           {"problem", "bad-address"},
                           {"message", "The phone answers, but it has no folder " + device + "."}});
    return JsonAnswer({{"ok", false},
                       {"problem", "not-answering"},
                       {"message", "Something listens at " + host + ":" + std::to_string(port) +
                                       ", but it does not answer as the phone's sync service does."}});
}

HttpResponse UiApp::PcList(const std::string& requested) const {
    std::string path = requested;
    if (path.empty()) {
        const std::vector<std::string> roots = FolderRoots();
        if (!roots.empty()) return JsonAnswer({{"path", ""}, {"parent", nullptr}, {"folders", roots}, {"files", 0}});
        path = mConfig.home.empty() ? "/" : mConfig.home;
    }
    if (!fs::u8path(path).is_absolute()) return Error(400, "not an absolute folder: " + path);
    const std::string folder = AbsolutePath(path);
    if (!IsFolder(folder)) return Error(400, "not an existing folder: " + folder);
    Json folders = Json::array();
    size_t files = 0, seen = 0;
    std::error_code ec;
    for (fs::directory_iterator it(fs::u8path(folder), fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end && seen < kMaxPcEntries; it.increment(ec), ++seen) {
        std::error_code kindError;
        if (it->is_directory(kindError)) folders.push_back(it->path().filename().u8string());
        else ++files;
    }
    std::sort(folders.begin(), folders.end());
    // Above a root: the drives on Windows (""), nothing on POSIX.
    const fs::path here = fs::u8path(folder);
    Json parentJson = nullptr;
    if (here.has_relative_path()) parentJson = here.parent_path().u8string();
    else if (!FolderRoots().empty()) parentJson = "";
    return JsonAnswer({{"path", folder}, {"parent", parentJson}, {"folders", folders}, {"files", files}});
}

HttpResponse UiApp::PcSongs(const std::string& requested) const {
    if (requested.empty() || !fs::u8path(requested).is_absolute()) return Error(400, "not an absolute folder");
    const std::string folder = AbsolutePath(requested);
    if (!IsFolder(folder)) return Error(400, "not an existing folder: " + folder);
    static const char* const kSongTypes[] = {".mp3", ".m4a", ".aac", ".flac", ".ogg", ".opus", ".wav", ".wma"};
    Json songs = Json::array();
    bool truncated = false;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(fs::u8path(folder), fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end; it.increment(ec)) {
        std::error_code kindError;
        if (!it->is_regular_file(kindError)) continue;
        std::string extension = it->path().extension().u8string();
        std::transform(extension.begin(), extension.end(), extension.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (std::find(std::begin(kSongTypes), std::end(kSongTypes), extension) == std::end(kSongTypes)) continue;
        if (songs.size() >= kMaxSongs) {
            truncated = true;
            break;
        }
        songs.push_back(it->path().u8string());
    }
    std::sort(songs.begin(), songs.end());
    return JsonAnswer({{"files", songs}, {"truncated", truncated}});
}

std::u16string UiApp::PhoneUrl() {
    std::lock_guard<std::mutex> lock(mLock);
    return Utf8ToUtf16("http://" + mSettings["phone"].get<std::string>() + "/");
}

int32_t UiApp::BesideJobs(const std::function<int32_t()>& call) {
    for (int attempt = 1;; ++attempt) {
        const int32_t result = call();
        if (result != QS_PHONE_STOPPED || mQuitting || attempt >= kAttemptsBesideJobs) return result;
        if (!JobControl::Instance().WaitWhileStopping([this] { return mQuitting.load(); })) return result;
    }
}

HttpResponse UiApp::PhoneList(const std::string& path) {
    if (!UsablePhonePath(path)) return Error(400, "not a usable phone path: " + path);
    const std::u16string url = PhoneUrl();
    const std::u16string folder = Utf8ToUtf16(path);
    Listing listing;
    const int32_t result = BesideJobs([&] {
        listing = Listing();
        return ::PhoneList(AsHostText(url), AsHostText(folder), &CollectEntry, &listing);
    });
    return JsonAnswer({{"path", path}, {"result", result}, {"entries", listing.entries}, {"truncated", listing.truncated}});
}

HttpResponse UiApp::PhoneStat(const std::string& path) {
    if (!UsablePhonePath(path)) return Error(400, "not a usable phone path: " + path);
    const std::u16string url = PhoneUrl();
    const std::u16string text = Utf8ToUtf16(path);
    Listing listing;
    const int32_t result = BesideJobs([&] {
        listing = Listing();
        return ::PhoneStat(AsHostText(url), AsHostText(text), &CollectEntry, &listing);
    });
    return JsonAnswer({{"result", result}, {"entry", listing.entries.empty() ? Json(nullptr) : listing.entries[0]}});
}

HttpResponse UiApp::PhoneDownload(const std::string& path) {
    if (!UsablePhonePath(path) || path == "/") return Error(400, "not a usable phone path: " + path);
    const std::u16string url = PhoneUrl();
    const std::u16string phone = Utf8ToUtf16(path);
    std::string file;
    {
        std::lock_guard<std::mutex> lock(mLock);
        file = TemporaryFile(".download");
    }
    const std::u16string pc = Utf8ToUtf16(file);
    const int32_t result = BesideJobs([&] {
        return ::PhoneGetFile(AsHostText(url), AsHostText(phone), AsHostText(pc), QS_PHONE_REPLACE, nullptr, nullptr);
    });
    if (result != QS_PHONE_OK) {
        std::error_code ignored;
        fs::remove(fs::u8path(file), ignored);
        return JsonAnswer({{"error", "the file could not be fetched from the phone"}, {"result", result}},
                          result == QS_PHONE_ABSENT ? 404 : 502);
    }
    HttpResponse response;
    response.contentType = "application/octet-stream";
    response.file = file;  // removed by the server once sent
    const std::string name = path.substr(path.find_last_of('/') + 1);
    response.headers = {{"Content-Disposition", "attachment; filename*=UTF-8''" + PercentEncode(name)}};
    return response;
}

HttpResponse UiApp::PhoneUpload(const std::map<std::string, std::string>& query, const std::string& file) {
    const std::string folder = Requested(query, "folder");
    const std::string name = Requested(query, "name");
    const std::string replace = Requested(query, "replace");
    if (!UsablePhonePath(folder)) return Error(400, "not a usable phone folder: " + folder);
    const std::string problem = PhoneNameProblem(name);
    if (!problem.empty()) return Error(400, problem);
    if (replace != "" && replace != "0" && replace != "1") return Error(400, "replace must be 0 or 1");
    const std::string target = (folder == "/" ? "" : folder) + "/" + name;
    const std::u16string url = PhoneUrl();
    const std::u16string pc = Utf8ToUtf16(file);
    const std::u16string phone = Utf8ToUtf16(target);
    const int32_t result = BesideJobs([&] {
        return ::PhonePutFile(AsHostText(url), AsHostText(pc), AsHostText(phone), replace == "1" ? QS_PHONE_REPLACE : 0,
                              nullptr, nullptr);
    });
    return JsonAnswer({{"result", result}, {"path", target}});
}

// Renames and deletes change what the journal records, so they run as the
// command line's mv and rm (which keep it true) through the queue; the
// answer comes when that job has ended.
HttpResponse UiApp::PhoneChange(const std::string& command, const Json& body) {
    if (!body.is_object()) return Error(400, "the request must be an object");
    Json request = {{"command", command}};
    if (command == "mv") {
        if (!body.contains("from") || !body["from"].is_string() || !body.contains("to") || !body["to"].is_string())
            return Error(400, "from and to must be phone paths");
        for (const char* key : {"from", "to"})
            if (!UsablePhonePath(body[key].get<std::string>()))
                return Error(400, "not a usable phone path: " + body[key].get<std::string>());
        request["operands"] = Json::array({body["from"], body["to"]});
    } else {
        if (!body.contains("path") || !body["path"].is_string() || !UsablePhonePath(body["path"].get<std::string>()))
            return Error(400, "path must be a usable phone path");
        request["operands"] = Json::array({body["path"]});
        request["recursive"] = body.value("tree", false);
        request["force"] = body.value("force", false);
    }
    const HttpResponse added = PostJob(request);
    const Json id = Json::parse(added.body)["id"];
    // Behind a long job the answer does not wait for it: a request held
    // here holds one of the server's few workers.
    const Json job = mJobs->WaitUntilEnded(id.get<int>(), kPhoneChangeWait);
    const Json& summary = job.is_object() ? job["summary"] : Json();
    Json answer = {{"id", id}, {"state", job.is_object() ? job["state"] : Json(nullptr)}};
    if (!job.is_object() || !job["ended"].is_number()) answer["result"] = nullptr;
    else answer["result"] = summary.is_object() && summary.value("exit", 1) == 0 ? Json(0) : Json(1);
    if (summary.is_object() && summary.contains("error")) answer["error"] = summary["error"];
    if (summary.is_object() && summary.contains("failed_items")) answer["failed_items"] = summary["failed_items"];
    return JsonAnswer(answer);
}

// The playlists qsync made on the phone of the settings, from the record
// the playlist jobs keep beside that phone's journal.
HttpResponse UiApp::Playlists() {
    Options options;
    {
        std::lock_guard<std::mutex> lock(mLock);
        ParsePhoneAddress(mSettings["phone"].get<std::string>(), options.host, options.port);
        const std::string device = mSettings["device"].get<std::string>();
        options.device = device == "/" ? "" : device;
    }
    const std::string path = PlaylistRecordPathFor(options);
    Json playlists = Json::array();
    try {
        for (const RememberedPlaylist& playlist : ReadPlaylistRecord(path))
            playlists.push_back(
                {{"id", playlist.id}, {"name", playlist.name}, {"songs", playlist.songs}, {"created", playlist.created}});
    } catch (const PlaylistRecordError& e) {
        return Error(500, e.what());
    }
    return JsonAnswer({{"playlists", playlists}});
}

}  // namespace ui
}  // namespace qsync
