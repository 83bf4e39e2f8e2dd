// The one translation unit that sees Boost.Beast: it compiles slowly, so the
// rest of the server talks to it through http_server.h only.
//
// One I/O thread runs every connection; the handler's answers are worked out
// on a small pool, since some of them wait for the phone, and written back on
// the connection's strand.
#include "ui/http_server.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <system_error>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace qsync {
namespace ui {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

const std::vector<std::pair<std::string, std::string>>& StandardHeaders() {
    static const std::vector<std::pair<std::string, std::string>> headers = {
        {"Content-Security-Policy", "default-src 'self'"},
        {"X-Frame-Options", "DENY"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        {"Cache-Control", "no-store"},
    };
    return headers;
}

namespace {

constexpr std::chrono::seconds kReadTimeout{120};
constexpr std::chrono::seconds kWriteTimeout{60};
constexpr uint32_t kHeaderLimit = 16 * 1024;
// An event stream whose page reads slower than this much is queued is closed.
constexpr size_t kStreamBacklog = 8 << 20;

std::string Field(const http::request_header<>& header, beast::string_view name) {
    const auto it = header.find(name);
    return it == header.end() ? std::string() : std::string(it->value());
}

}  // namespace

class Session;

struct HttpServer::Impl {
    Impl(HttpHandler& h, std::chrono::milliseconds ping) : handler(h), pingInterval(ping) {}

    HttpHandler& handler;
    const std::chrono::milliseconds pingInterval;
    net::io_context ioc{1};
    net::executor_work_guard<net::io_context::executor_type> work = net::make_work_guard(ioc);
    tcp::acceptor acceptor{ioc};
    std::atomic<bool> stopping{false};
    std::mutex lock;
    std::vector<std::weak_ptr<Session>> sessions;
    net::thread_pool workers{8};  // destroyed (joined) before the io_context

    void Accept();
    void Track(const std::shared_ptr<Session>& session);
};

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(HttpServer::Impl& server, tcp::socket socket)
        : mServer(server), mStream(std::move(socket)), mPing(mStream.get_executor()) {}

    void Start() { ReadHeader(); }

    // On the strand: ends the connection whatever it is doing.
    void Close() {
        mClosed = true;
        mPing.cancel();
        beast::error_code ignored;
        mStream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        mStream.socket().close(ignored);
    }

    void CloseSoon() {
        net::post(mStream.get_executor(), [self = shared_from_this()] { self->Close(); });
    }

    // Any thread: queues event text, false once the stream is closed.
    bool Queue(std::string text) {
        if (mClosed) return false;
        net::post(mStream.get_executor(), [self = shared_from_this(), text = std::move(text)]() mutable {
            if (self->mClosed) return;
            self->mBacklog += text.size();
            if (self->mBacklog > kStreamBacklog) return self->Close();
            self->mOutgoing.push_back(std::move(text));
            if (self->mOutgoing.size() == 1) self->WriteNext();
        });
        return true;
    }

private:
    void ReadHeader() {
        mHeaderParser.emplace();
        mHeaderParser->header_limit(kHeaderLimit);
        // The bound depends on the request (uploads have none): it is
        // checked once the handler has seen the header. (Not boost::none:
        // this Beast takes a declared length as over an empty limit.)
        mHeaderParser->body_limit(std::numeric_limits<std::uint64_t>::max());
        mStream.expires_after(kReadTimeout);
        http::async_read_header(mStream, mBuffer, *mHeaderParser,
                                [self = shared_from_this()](beast::error_code ec, size_t) { self->OnHeader(ec); });
    }

    void OnHeader(beast::error_code ec) {
        if (ec) {
            if (ec == http::error::end_of_stream || ec == net::error::operation_aborted || mClosed) return Close();
            return Reply(Plain(400, "the request could not be read"), false);
        }
        const auto& header = mHeaderParser->get();
        mKeepAlive = header.keep_alive();
        mVersion = header.version();
        mRequest = HttpRequest();
        mRequest.method = std::string(header.method_string());
        mRequest.target = std::string(header.target());
        mRequest.host = Field(header, "Host");
        mRequest.cookie = Field(header, "Cookie");
        mRequest.hasOrigin = header.find("Origin") != header.end();
        mRequest.origin = Field(header, "Origin");
        mRequest.csrf = Field(header, "X-QSync-CSRF");
        mRequest.contentType = Field(header, "Content-Type");
        std::optional<HttpResponse> refusal;
        try {
            refusal = mServer.handler.Screen(mRequest);
        } catch (const std::exception&) {
            refusal = Plain(500, "the request could not be handled");
        }
        // A refused request's body is never read, so the connection cannot
        // carry another request after the answer.
        if (refusal) return Reply(std::move(*refusal), false);
        // A declared length is checked here: the parser checks it against
        // its limit only while it reads the header. A chunked body is
        // bounded as it is read.
        const auto length = mHeaderParser->content_length();
        if (mRequest.bodyFile.empty() && length && *length > kBodyLimit)
            return Reply(Plain(413, "the request is larger than 1 MiB"), false);
        if (!mRequest.bodyFile.empty()) {
            mFileParser.emplace(std::move(*mHeaderParser));
            mFileParser->body_limit(std::numeric_limits<std::uint64_t>::max());
            beast::error_code openError;
            mFileParser->get().body().open(mRequest.bodyFile.c_str(), beast::file_mode::write, openError);
            if (openError) return Reply(Plain(500, "no room for the upload"), false);
            http::async_read(mStream, mBuffer, *mFileParser,
                             [self = shared_from_this()](beast::error_code e, size_t) { self->OnBody(e); });
        } else {
            mStringParser.emplace(std::move(*mHeaderParser));
            mStringParser->body_limit(kBodyLimit);
            http::async_read(mStream, mBuffer, *mStringParser,
                             [self = shared_from_this()](beast::error_code e, size_t) { self->OnBody(e); });
        }
    }

    void OnBody(beast::error_code ec) {
        if (ec) {
            if (mFileParser) {
                mFileParser->get().body().close();
                std::error_code ignored;
                std::filesystem::remove(std::filesystem::u8path(mRequest.bodyFile), ignored);
            }
            if (ec == http::error::body_limit) return Reply(Plain(413, "the request is larger than 1 MiB"), false);
            return Close();
        }
        if (mStringParser) {
            mRequest.body = std::move(mStringParser->get().body());
            mStringParser.reset();
        }
        if (mFileParser) {
            mFileParser->get().body().close();
            mFileParser.reset();
        }
        mStream.expires_never();
        net::post(mServer.workers, [self = shared_from_this(), request = std::move(mRequest)]() mutable {
            HttpResponse response;
            try {
                response = self->mServer.handler.Handle(std::move(request));
            } catch (const std::exception&) {
                response = Plain(500, "the request could not be handled");
            }
            net::post(self->mStream.get_executor(), [self, response = std::move(response)]() mutable {
                self->Reply(std::move(response), self->mKeepAlive);
            });
        });
    }

    static HttpResponse Plain(int status, const std::string& message) {
        HttpResponse response;
        response.status = status;
        response.body = "{\"error\":\"" + message + "\"}";
        return response;
    }

    template <typename Message>
    void Decorate(Message& message, const HttpResponse& response, bool keepAlive) {
        message.version(mVersion ? mVersion : 11);
        message.result(static_cast<unsigned>(response.status));
        for (const auto& header : StandardHeaders()) message.set(header.first, header.second);
        for (const auto& header : response.headers) message.insert(header.first, header.second);
        if (!response.contentType.empty()) message.set(http::field::content_type, response.contentType);
        message.keep_alive(keepAlive);
    }

    void Reply(HttpResponse response, bool keepAlive) {
        if (mClosed) return;
        if (response.stream) return OpenStream(response);
        mStream.expires_after(kWriteTimeout);
        if (!response.file.empty()) {
            auto message = std::make_shared<http::response<http::file_body>>();
            beast::error_code ec;
            message->body().open(response.file.c_str(), beast::file_mode::scan, ec);
            if (ec) return Reply(Plain(500, "the file could not be read"), keepAlive);
            Decorate(*message, response, keepAlive);
            message->prepare_payload();
            const std::string file = response.file;
            http::async_write(mStream, *message,
                              [self = shared_from_this(), message, file, keepAlive](beast::error_code e, size_t) {
                                  message->body().close();
                                  std::error_code ignored;
                                  std::filesystem::remove(std::filesystem::u8path(file), ignored);
                                  self->AfterWrite(e, keepAlive);
                              });
            return;
        }
        auto message = std::make_shared<http::response<http::string_body>>();
        Decorate(*message, response, keepAlive);
        message->body() = std::move(response.body);
        message->prepare_payload();
        http::async_write(mStream, *message,
                          [self = shared_from_this(), message, keepAlive,
                           after = std::move(response.afterWrite)](beast::error_code e, size_t) {
                              self->AfterWrite(e, keepAlive);
                              if (after) after();
                          });
    }

    void AfterWrite(beast::error_code ec, bool keepAlive) {
        if (ec || !keepAlive || mServer.stopping) return Close();
        ReadHeader();
    }

    // The header of an event stream, then its messages as they are queued;
    // the stream has no length and ends when either side closes.
    void OpenStream(HttpResponse& response) {
        http::response<http::empty_body> message;
        Decorate(message, response, false);
        message.set(http::field::content_type, "text/event-stream");
        std::string head;
        for (const auto& field : message.base()) {
            head += std::string(field.name_string()) + ": " + std::string(field.value()) + "\r\n";
        }
        head = "HTTP/1.1 " + std::to_string(response.status) + " OK\r\n" + head + "\r\n";
        mStream.expires_never();
        mOutgoing.push_back(std::move(head));
        WriteNext();
        WatchForClose();
        SchedulePing();
        auto owner = std::make_shared<StreamHandle>(shared_from_this());
        response.stream(owner);
    }

    void WriteNext() {
        net::async_write(mStream.socket(), net::buffer(mOutgoing.front()),
                         [self = shared_from_this()](beast::error_code ec, size_t) {
                             if (ec) return self->Close();
                             self->mBacklog -= std::min(self->mBacklog, self->mOutgoing.front().size());
                             self->mOutgoing.pop_front();
                             if (!self->mOutgoing.empty()) self->WriteNext();
                         });
    }

    // The page sends nothing on an event stream: a read ends only when it
    // closes the connection.
    void WatchForClose() {
        mStream.socket().async_read_some(net::buffer(mDiscard), [self = shared_from_this()](beast::error_code ec, size_t) {
            if (ec) return self->Close();
            self->WatchForClose();
        });
    }

    void SchedulePing() {
        mPing.expires_after(mServer.pingInterval);
        mPing.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (ec || self->mClosed) return;
            self->Queue(": ping\n\n");
            self->SchedulePing();
        });
    }

    class StreamHandle : public EventStream {
    public:
        explicit StreamHandle(std::weak_ptr<Session> session) : mSession(std::move(session)) {}
        bool Send(const std::string& text) override {
            const std::shared_ptr<Session> session = mSession.lock();
            return session && session->Queue(text);
        }

    private:
        std::weak_ptr<Session> mSession;
    };

    HttpServer::Impl& mServer;
    beast::tcp_stream mStream;
    net::steady_timer mPing;
    beast::flat_buffer mBuffer;
    std::optional<http::request_parser<http::empty_body>> mHeaderParser;
    std::optional<http::request_parser<http::string_body>> mStringParser;
    std::optional<http::request_parser<http::file_body>> mFileParser;
    HttpRequest mRequest;
    bool mKeepAlive = false;
    unsigned mVersion = 11;
    std::atomic<bool> mClosed{false};
    std::deque<std::string> mOutgoing;
    size_t mBacklog = 0;
    char mDiscard[512];
};

void HttpServer::Impl::Accept() {
    acceptor.async_accept(net::make_strand(ioc), [this](beast::error_code ec, tcp::socket socket) {
        if (stopping || !acceptor.is_open()) return;
        if (!ec) {
            auto session = std::make_shared<Session>(*this, std::move(socket));
            Track(session);
            session->Start();
        }
        Accept();
    });
}

void HttpServer::Impl::Track(const std::shared_ptr<Session>& session) {
    std::lock_guard<std::mutex> guard(lock);
    sessions.erase(std::remove_if(sessions.begin(), sessions.end(), [](const auto& s) { return s.expired(); }),
                   sessions.end());
    sessions.push_back(session);
}

HttpServer::HttpServer(HttpHandler& handler, const std::string& address, int port, bool nextFree,
                       std::chrono::milliseconds pingInterval)
    : mImpl(std::make_unique<Impl>(handler, pingInterval)) {
    beast::error_code ec;
    const net::ip::address ip = net::ip::make_address(address, ec);
    if (ec) throw std::runtime_error("not an address: " + address);
    const int last = nextFree && port != 0 ? std::min(port + 20, 65535) : port;
    for (int candidate = port; candidate <= last; ++candidate) {
        tcp::acceptor& acceptor = mImpl->acceptor;
        beast::error_code error;
        const tcp::endpoint endpoint(ip, static_cast<unsigned short>(candidate));
        acceptor.open(endpoint.protocol(), error);
        // No SO_REUSEADDR: on Windows it would let a second server take a
        // port that one already serves.
        if (!error) acceptor.bind(endpoint, error);
        if (!error) acceptor.listen(net::socket_base::max_listen_connections, error);
        if (!error) return;
        beast::error_code ignored;
        acceptor.close(ignored);
        if (candidate == last)
            throw std::runtime_error("cannot listen on " + address + ":" + std::to_string(candidate) + ": " +
                                     error.message());
    }
}

HttpServer::~HttpServer() = default;

int HttpServer::port() const {
    beast::error_code ec;
    const tcp::endpoint endpoint = mImpl->acceptor.local_endpoint(ec);
    return ec ? 0 : endpoint.port();
}

void HttpServer::Run() {
    mImpl->Accept();
    mImpl->ioc.run();
    mImpl->workers.join();
}

void HttpServer::Stop() {
    Impl& impl = *mImpl;
    if (impl.stopping.exchange(true)) return;
    net::post(impl.ioc, [&impl] {
        beast::error_code ignored;
        impl.acceptor.close(ignored);
        std::vector<std::shared_ptr<Session>> open;
        {
            std::lock_guard<std::mutex> guard(impl.lock);
            for (const auto& weak : impl.sessions)
                if (auto session = weak.lock()) open.push_back(std::move(session));
        }
        for (const auto& session : open) session->CloseSoon();
        impl.work.reset();
    });
}

}  // namespace ui
}  // namespace qsync
