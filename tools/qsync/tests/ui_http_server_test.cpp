// The page server's event stream over a real loopback connection: an idle
// stream is kept open by comment lines, again and again, and they fall only
// between whole messages, however long. The interval is the server's own
// parameter, shortened here so that no test waits 15 s for it.
#include "ui/http_server.h"

#include <gtest/gtest.h>

#include <boost/asio.hpp>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace net = boost::asio;
using net::ip::tcp;
using qsync::ui::EventStream;
using qsync::ui::HttpRequest;
using qsync::ui::HttpResponse;
using qsync::ui::HttpServer;

constexpr auto kBound = std::chrono::seconds(20);  // for what comes within milliseconds
const std::string kPing = ": ping\n\n";

// Answers every request with an event stream, which the test then feeds.
class StreamHandler : public qsync::ui::HttpHandler {
public:
    std::optional<HttpResponse> Screen(HttpRequest&) override { return std::nullopt; }
    HttpResponse Handle(HttpRequest) override {
        HttpResponse response;
        response.stream = [this](std::shared_ptr<EventStream> stream) {
            std::lock_guard<std::mutex> lock(mLock);
            mStream = std::move(stream);
            mOpened.notify_all();
        };
        return response;
    }
    std::shared_ptr<EventStream> Opened() {
        std::unique_lock<std::mutex> lock(mLock);
        mOpened.wait_for(lock, kBound, [this] { return mStream != nullptr; });
        return mStream;
    }

private:
    std::mutex mLock;
    std::condition_variable mOpened;
    std::shared_ptr<EventStream> mStream;
};

// The server on a thread of its own, stopped and joined at the end.
struct Serving {
    explicit Serving(StreamHandler& handler, std::chrono::milliseconds ping)
        : server(handler, "127.0.0.1", 0, false, ping), thread([this] { server.Run(); }) {}
    ~Serving() {
        server.Stop();
        thread.join();
    }
    HttpServer server;
    std::thread thread;
};

// Reads from `socket` into `text` until `done(text)`, for at most kBound.
template <typename Done>
bool ReadUntil(tcp::socket& socket, net::io_context& ioc, std::string& text, Done done) {
    std::vector<char> chunk(1 << 16);
    bool failed = false;
    std::function<void()> next = [&] {
        socket.async_read_some(net::buffer(chunk), [&](const boost::system::error_code& ec, size_t n) {
            if (ec) {
                failed = true;
                return;
            }
            text.append(chunk.data(), n);
            if (!done(text)) next();
        });
    };
    if (done(text)) return true;
    ioc.restart();
    next();
    ioc.run_for(kBound);
    if (!ioc.stopped()) {  // the bound passed: the read is given up
        socket.cancel();
        ioc.run();
    }
    return !failed && done(text);
}

size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

TEST(HttpServerTest, AnIdleEventStreamGetsCommentLinesAndThemOnlyBetweenWholeMessages) {
    StreamHandler handler;
    Serving serving(handler, std::chrono::milliseconds(20));
    net::io_context ioc;
    tcp::socket socket(ioc);
    socket.connect({net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(serving.server.port())});
    net::write(socket, net::buffer(std::string("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")));
    const std::shared_ptr<EventStream> stream = handler.Opened();
    ASSERT_TRUE(stream);

    std::string text;
    ASSERT_TRUE(ReadUntil(socket, ioc, text, [](const std::string& t) { return t.find("\r\n\r\n") != std::string::npos; }));
    const size_t bodyStart = text.find("\r\n\r\n") + 4;
    EXPECT_NE(text.find("Content-Type: text/event-stream\r\n"), std::string::npos) << text.substr(0, bodyStart);

    // Messages from tiny to larger than a socket's buffer; after each, the
    // stream idles until a ping comes.
    std::vector<std::string> sent;
    for (const size_t size : {1, 100, 5000, 300000, 2000000}) {
        const std::string message = "event: event\ndata: " + std::string(size, static_cast<char>('a' + sent.size())) + "\n\n";
        ASSERT_TRUE(stream->Send(message));
        sent.push_back(message);
        const size_t pingsBefore = Count(text.substr(bodyStart), kPing);
        ASSERT_TRUE(ReadUntil(socket, ioc, text, [&](const std::string& t) {
            const std::string body = t.substr(bodyStart);
            return body.size() >= message.size() && Count(body, kPing) > pingsBefore &&
                   body.rfind(kPing) > body.rfind(message.substr(0, 20));
        })) << "no ping after message " << sent.size();
    }

    // The body is the messages in order, whole, with pings only between them.
    const std::string body = text.substr(bodyStart);
    size_t at = 0;
    size_t pings = 0;
    std::vector<std::string> received;
    while (at < body.size()) {
        if (body.compare(at, kPing.size(), kPing) == 0) {
            ++pings;
            at += kPing.size();
            continue;
        }
        const size_t end = body.find("\n\n", at);
        ASSERT_NE(end, std::string::npos) << "a cut message at " << at;
        received.push_back(body.substr(at, end + 2 - at));
        at = end + 2;
    }
    EXPECT_EQ(received, sent);
    EXPECT_GE(pings, sent.size());
}

}  // namespace
