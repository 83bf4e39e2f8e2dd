// A small HTTP/1.1 server for the sync services: one request per
// connection, a fixed pool of worker threads, bounded request sizes and an
// idle time-out on every read and write.
#pragma once

#include "unique_fd.h"
#include "wire.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace phone_service {

struct HttpRequest {
    std::string method;
    std::string path;  // without any query part
    Bytes body;
};

struct HttpReply {
    bool close_without_answer = false;  // drop the connection instead of answering
    int delay_ms = 0;                   // wait this long before answering
    int status = 200;
    Bytes body;
};

class HttpServer {
public:
    struct Config {
        std::string address = "127.0.0.1";
        int port = 8182;
        int idle_timeout_ms = 5000;
        std::size_t max_header_bytes = 16 * 1024;
        std::size_t max_body_bytes = 64 * 1024 * 1024 + 4096;  // the largest body the library sends, plus slack
        int workers = 48;
        std::size_t max_queued = 256;
        // Called once the server stops, before it joins its workers: ends
        // whatever a handler may be waiting for.
        std::function<void()> on_stop;
    };
    using Handler = std::function<HttpReply(const HttpRequest&)>;

    HttpServer(Config config, Handler handler);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and listens; false with a reason on failure.
    bool Listen(std::string& error);
    int port() const { return port_; }
    const std::string& address() const { return config_.address; }

    // Accepts and serves until RequestStop; then lets the workers finish
    // the connections they hold and joins them.
    void Run();
    // Safe to call from a signal handler.
    void RequestStop();

private:
    void WorkerLoop();
    void Serve(UniqueFd conn);
    bool WaitStopping(int ms);
    bool ReadRequest(int fd, HttpRequest& req, int& error_status);
    bool SendAll(int fd, const std::string& head, const Bytes& body);
    void Shutdown();

    Config config_;
    Handler handler_;
    UniqueFd listen_fd_;
    UniqueFd wake_read_, wake_write_;
    int port_ = 0;

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<UniqueFd> queue_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace phone_service
