// The HTTP side of `qsync ui`: a loopback server that reads requests, hands
// them to a handler and writes its answers. It knows nothing of sessions,
// jobs or the phone; the handler decides everything, and the server only
// adds the headers every answer carries.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qsync {
namespace ui {

// The bytes of every request body but the one streamed to a file.
constexpr uint64_t kBodyLimit = 1 << 20;

struct HttpRequest {
    std::string method;  // "GET", "POST", ...
    std::string target;  // path and query, as sent
    std::string host;    // the headers the handler checks (empty: absent)
    std::string cookie;
    std::string origin;
    bool hasOrigin = false;
    std::string csrf;    // X-QSync-CSRF
    std::string contentType;
    std::string body;      // the body, unless it went to bodyFile
    std::string bodyFile;  // the file the body was streamed to (uploads)
};

// An open Server-Sent Events stream. Send queues text; it returns false once
// the stream is closed (the page went away or the server ends), after which
// the owner drops it. Any thread.
class EventStream {
public:
    virtual ~EventStream() = default;
    virtual bool Send(const std::string& text) = 0;
};

struct HttpResponse {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // Location, Set-Cookie, ...
    // Set: the body is this file's bytes, and the file is removed once sent
    // (a download fetched from the phone into a temporary file).
    std::string file;
    // Set: the answer opens an event stream, handed over once its header
    // has been written.
    std::function<void(std::shared_ptr<EventStream>)> stream;
    // Set: called once the answer has been written (or could not be).
    std::function<void()> afterWrite;
};

// The headers of every answer, errors included.
const std::vector<std::pair<std::string, std::string>>& StandardHeaders();

class HttpHandler {
public:
    virtual ~HttpHandler() = default;
    // Called once the header is read, before any of the body: an answer
    // refuses the request at once (its body is never read). Otherwise the
    // body is read into `body`, or into the file named by `bodyFile` when
    // the handler sets it (no bound then; the handler removes the file).
    virtual std::optional<HttpResponse> Screen(HttpRequest& header) = 0;
    // The answer to a whole request, on a worker thread: it may block (a
    // phone listing), but never for longer than the phone's time-outs.
    virtual HttpResponse Handle(HttpRequest request) = 0;
};

class HttpServer {
public:
    // How often an idle event stream gets a comment line, so that nothing
    // between the page and the server takes it for dead.
    static constexpr std::chrono::milliseconds kPingInterval{15000};

    // Listens on `address` (127.0.0.1 or ::1) and `port` (0: any free one;
    // with `nextFree`, the following ports are tried while one is taken).
    // Throws std::runtime_error when it cannot listen.
    HttpServer(HttpHandler& handler, const std::string& address, int port, bool nextFree,
               std::chrono::milliseconds pingInterval = kPingInterval);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    int port() const;
    // Serves until Stop; joins every thread it started before returning.
    void Run();
    // Any thread; Run returns soon after. Open event streams are closed.
    void Stop();

    struct Impl;

private:
    std::unique_ptr<Impl> mImpl;
};

}  // namespace ui
}  // namespace qsync
