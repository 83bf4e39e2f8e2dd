#include "http_server.h"

#include "requests.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace phone_service {
namespace {

const char* ReasonFor(int status) {
    switch (status) {
        case 200: return "OK";
        case 400: return "Bad Request";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 408: return "Request Timeout";
        case 413: return "Payload Too Large";
        case 431: return "Request Header Fields Too Large";
        case 501: return "Not Implemented";
        default: return "Error";
    }
}

// Waits until fd is ready for events or the time-out passes. When stop_fd
// becomes readable (a stop was requested) the wait ends as a failure, so a
// stop never waits for idle clients.
bool WaitReady(int fd, short events, int timeout_ms, int stop_fd = -1) {
    pollfd p[2] = {{fd, events, 0}, {stop_fd, POLLIN, 0}};
    for (;;) {
        const int r = ::poll(p, stop_fd >= 0 ? 2 : 1, timeout_ms);
        if (r < 0 && errno == EINTR) continue;
        if (r > 0 && stop_fd >= 0 && (p[1].revents & POLLIN)) return false;
        return r > 0 && p[0].revents != 0;
    }
}

}  // namespace

HttpServer::HttpServer(Config config, Handler handler)
    : config_(std::move(config)), handler_(std::move(handler)) {}

HttpServer::~HttpServer() { Shutdown(); }

bool HttpServer::Listen(std::string& error) {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) { error = std::strerror(errno); return false; }
    wake_read_.Reset(pipe_fds[0]);
    wake_write_.Reset(pipe_fds[1]);

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(config_.port));
    if (::inet_pton(AF_INET, config_.address.c_str(), &addr.sin_addr) != 1) {
        error = "not an IPv4 address: " + config_.address;
        return false;
    }
    listen_fd_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listen_fd_.valid()) { error = std::strerror(errno); return false; }
    const int one = 1;
    ::setsockopt(listen_fd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(listen_fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd_.get(), 128) != 0) {
        error = std::string("cannot listen: ") + std::strerror(errno);
        return false;
    }
    socklen_t len = sizeof addr;
    ::getsockname(listen_fd_.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    return true;
}

void HttpServer::RequestStop() {
    const char byte = 1;
    // write(2) is async-signal-safe; a full pipe already holds a wake-up.
    [[maybe_unused]] ssize_t ignored = ::write(wake_write_.get(), &byte, 1);
}

void HttpServer::Run() {
    for (int i = 0; i < config_.workers; ++i) workers_.emplace_back([this] { WorkerLoop(); });
    for (;;) {
        pollfd fds[2] = {{listen_fd_.get(), POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
        const int r = ::poll(fds, 2, -1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 || (fds[1].revents & POLLIN)) break;
        if (!(fds[0].revents & POLLIN)) continue;
        UniqueFd conn(::accept4(listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!conn.valid()) {
            // Out of descriptors: the pending connection stays pending, so
            // back off instead of spinning until a worker frees one.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                WaitReady(wake_read_.get(), POLLIN, 100);
            continue;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.size() >= config_.max_queued) continue;  // overloaded: conn closes here
        queue_.push_back(std::move(conn));
        cv_.notify_one();
    }
    Shutdown();
}

void HttpServer::Shutdown() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    cv_.notify_all();
    if (config_.on_stop) config_.on_stop();
    for (auto& t : workers_)
        if (t.joinable()) t.join();
    workers_.clear();
}

bool HttpServer::WaitStopping(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

void HttpServer::WorkerLoop() {
    for (;;) {
        UniqueFd conn;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            conn = std::move(queue_.front());
            queue_.pop_front();
        }
        Serve(std::move(conn));
    }
}

void HttpServer::Serve(UniqueFd conn) {
    HttpRequest req;
    int error_status = 0;
    if (!ReadRequest(conn.get(), req, error_status)) {
        if (error_status != 0)
            SendAll(conn.get(), "HTTP/1.1 " + std::to_string(error_status) + " " + ReasonFor(error_status) +
                                    "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", {});
        return;
    }
    HttpReply reply = handler_(req);
    if (reply.delay_ms > 0 && WaitStopping(reply.delay_ms)) return;
    if (reply.close_without_answer) return;
    const std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " + ReasonFor(reply.status) +
                             "\r\nContent-Length: " + std::to_string(reply.body.size()) +
                             "\r\nConnection: close\r\n\r\n";
    if (SendAll(conn.get(), head, reply.body)) {
        // Tell the client we are done, then give it a moment to take the
        // bytes before the close, so no reset throws away unread data.
        ::shutdown(conn.get(), SHUT_WR);
        char sink[512];
        for (int i = 0; i < 64 && WaitReady(conn.get(), POLLIN, 200, wake_read_.get()); ++i)
            if (::recv(conn.get(), sink, sizeof sink, 0) <= 0) break;
    }
}

bool HttpServer::ReadRequest(int fd, HttpRequest& req, int& error_status) {
    std::string buf;
    std::size_t header_end = std::string::npos;
    char chunk[16384];
    while (header_end == std::string::npos) {
        if (!WaitReady(fd, POLLIN, config_.idle_timeout_ms, wake_read_.get())) return false;  // idle: close
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buf.append(chunk, static_cast<std::size_t>(n));
        header_end = buf.find("\r\n\r\n");
        if (header_end == std::string::npos && buf.size() > config_.max_header_bytes) {
            error_status = 431;
            return false;
        }
    }
    if (header_end > config_.max_header_bytes) { error_status = 431; return false; }

    RequestHead head;
    error_status = ParseRequestHead(std::string_view(buf).substr(0, header_end), head);
    if (error_status != 0) return false;
    req.method = std::move(head.method);
    req.path = std::move(head.path);
    const bool expect_continue = head.expect_continue;  // curl asks before sending a larger body
    const std::size_t length = head.content_length;
    if (length > config_.max_body_bytes) { error_status = 413; return false; }

    // Bytes already read past the header block are the start of the body.
    const std::size_t body_start = header_end + 4;
    req.body.assign(buf.begin() + static_cast<std::ptrdiff_t>(body_start),
                    buf.begin() + static_cast<std::ptrdiff_t>(std::min(buf.size(), body_start + length)));
    // No reserve from the announced length: memory grows with what arrives.
    if (expect_continue && req.body.size() < length && !SendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n", {}))
        return false;
    while (req.body.size() < length) {
        if (!WaitReady(fd, POLLIN, config_.idle_timeout_ms, wake_read_.get())) return false;
        const std::size_t want = std::min(sizeof chunk, length - req.body.size());
        const ssize_t n = ::recv(fd, chunk, want, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        req.body.insert(req.body.end(), chunk, chunk + n);
    }
    return true;
}

bool HttpServer::SendAll(int fd, const std::string& head, const Bytes& body) {
    auto send_range = [&](const char* p, std::size_t n) {
        while (n > 0) {
            if (!WaitReady(fd, POLLOUT, config_.idle_timeout_ms)) return false;
            // MSG_NOSIGNAL: a client that went away is an error here, not a signal.
            const ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
            if (k < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (k <= 0) return false;
            p += k;
            n -= static_cast<std::size_t>(k);
        }
        return true;
    };
    return send_range(head.data(), head.size()) &&
           send_range(reinterpret_cast<const char*>(body.data()), body.size());
}

}  // namespace phone_service
