// Carries one request to a phone service and brings back the body of its
// response, over a connection of its own. The HTTP spoken is a small subset:
// a request line, "Cache-Control: no-cache", a "Content-Length:" header when
// there is a body, then the body. A response is complete once its header
// block and as many body bytes as its "Content-Length:" announces have
// arrived; the status line is not examined.
//
// Callers create one client per request. The connection stays open after
// Request returns and is closed by the next Request or by destroying the
// client. A client belongs to one thread; the stop flag may be raised by any
// other thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "transport/ByteArray.h"
#include "transport/SocketClient.h"

// Largest response body accepted: room for a listing of a very large folder
// or a whole message-part file. A larger announced length fails the request
// before anything is allocated for it. The table sync's message-part put uses
// the same bound.
inline constexpr int32_t kMaxResponseBody = 64 * 1024 * 1024;
// A header block that has grown to this size without its blank line fails
// the request.
inline constexpr int32_t kMaxResponseHeader = 64 * 1024;

class HttpClient {
public:
    static constexpr const char* kGetLine = "GET %s HTTP/1.1\r\n";
    static constexpr const char* kPutLine = "PUT %s HTTP/1.1\r\n";
    static constexpr const char* kPostLine = "POST %s HTTP/1.1\r\n";
    static constexpr const char* kDeleteLine = "DELETE %s HTTP/1.1\r\n";

    static constexpr int32_t kConnectAttempts = 50;
    // Longest wait for the socket, sending or receiving, between two
    // stop-flag checks.
    static constexpr uint32_t kReceivePollMs = 100;
    // After a complete response, how long to wait for the peer's own close
    // before closing: the side that closes first keeps the TIME_WAIT state,
    // and it must be the service, not a client that opens thousands of
    // connections per transfer. A peer that closes at once ends the wait at
    // once; the bound is what a peer that keeps the connection open costs,
    // and leaves room for a busy peer that is slow to close.
    static constexpr uint32_t kPeerCloseWaitMs = 20;

    HttpClient() = default;
    // A request abandoned after it was sent (see SetSettleOnAbandon) settles
    // here too, when an exception ends it.
    ~HttpClient() { Settle(); }
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Sends requestLineFormat (its "%s" replaced by path), the cache header,
    // and, when body is given and bodyLength is not 0, the length header and
    // the body, then waits for the response. The response body is appended
    // to response (may be null). stopFlag (may be null) is tested before
    // each connection attempt, and at least every kReceivePollMs while
    // connecting, sending and receiving: no wait outlasts a stop by more.
    //   0 or more  complete response: its Content-Length, 0 when it has none
    //  -1  host, path or request line missing, port below 1, or bodyLength
    //      negative or too large to send
    //  -2  no connection after kConnectAttempts refused attempts, an attempt
    //      that got no answer at all, or stopFlag raised before or while
    //      connecting
    //  -3  sending the request failed (a socket error)
    //  -4  receiving failed: a socket error, the peer closed before the
    //      response was complete, or a malformed or oversized response
    //      (a Content-Length above maxBody, the most this request's answer
    //      can legitimately hold; at most kMaxResponseBody)
    //  -5  the peer took no byte of the request, or sent no byte of the
    //      response, for timeoutSeconds seconds
    //  -6  stopFlag raised while sending the request or waiting for the
    //      response
    // On a negative result response is left as it was.
    //
    // The request head and the body leave in gathering sends, the body from
    // the caller's buffer, as fast as the peer takes them; the response body
    // is received straight into response, sized from its Content-Length.
    int32_t Request(const char* host, int32_t port, const char* path,
                    const char* requestLineFormat, const void* body, int32_t bodyLength,
                    ByteArray* response, int32_t timeoutSeconds,
                    const std::atomic<uint8_t>* stopFlag, int32_t maxBody = kMaxResponseBody);

    int32_t Get(const char* host, int32_t port, const char* path, const void* body,
                int32_t bodyLength, ByteArray* response, int32_t timeoutSeconds,
                const std::atomic<uint8_t>* stopFlag, int32_t maxBody = kMaxResponseBody);
    int32_t Put(const char* host, int32_t port, const char* path, const void* body,
                int32_t bodyLength, ByteArray* response, int32_t timeoutSeconds,
                const std::atomic<uint8_t>* stopFlag, int32_t maxBody = kMaxResponseBody);
    int32_t Post(const char* host, int32_t port, const char* path, const void* body,
                 int32_t bodyLength, ByteArray* response, int32_t timeoutSeconds,
                 const std::atomic<uint8_t>* stopFlag, int32_t maxBody = kMaxResponseBody);
    int32_t Delete(const char* host, int32_t port, const char* path, const void* body,
                   int32_t bodyLength, ByteArray* response, int32_t timeoutSeconds,
                   const std::atomic<uint8_t>* stopFlag, int32_t maxBody = kMaxResponseBody);

    // Whether data[0, length) is a complete response; when it is, appends
    // its body to response (may be null).
    //  -1  header block not complete yet (logged)
    //  -2  header complete, fewer body bytes than announced (not logged)
    //  -3  malformed: a Content-Length that is not a plain decimal number or
    //      exceeds kMaxResponseBody, or a header block of kMaxResponseHeader
    //      bytes without its blank line (logged)
    //   0 or more  complete: the announced length, 0 when none is announced
    static int32_t HttpPkgFinished(const uint8_t* data, int32_t length, ByteArray* response);

    // HttpPkgFinished over a buffer that only grows between calls: the search
    // for the end of the header block resumes where it stopped, and the
    // header is read once.
    class ResponseScan {
    public:
        // A Content-Length above maxBody is malformed (-3).
        explicit ResponseScan(int32_t maxBody = kMaxResponseBody) : mnMaxBody(maxBody) {}
        int32_t Examine(const uint8_t* data, int32_t length, ByteArray* response);
        // Once Examine has returned -2 or a length: where the body begins in
        // the data, and its announced length (-1 when none is announced).
        int32_t BodyStart() const { return mnHeaderEnd + 2; }
        int32_t BodyLength() const { return mnBodyLength; }

    private:
        int32_t mnMaxBody;
        int32_t mnSearchFrom = 0;    // first position not yet ruled out as the blank line
        int32_t mnHeaderEnd = -1;    // position of the CR LF that ends the header block
        int32_t mnBodyLength = -1;   // announced length; -1 when none is announced
        bool mbMalformed = false;
    };

    // After a request that was sent whole but got no complete answer (a
    // stop, a time-out, or an exception while receiving), wait at most ms
    // for the peer to close the connection, reading and dropping what it
    // sends, before closing it. The stop flag does not cut this short: a
    // peer that still acts on the request (writes a chunk) has then finished
    // with it, so a delete sent next is not overtaken by it. 0, the default:
    // close at once.
    void SetSettleOnAbandon(uint32_t ms) { mSettleMs = ms; }

private:
    // The settle wait of an abandoned request, if one is owed. Never throws.
    void Settle() noexcept;
    // Connects with up to kConnectAttempts attempts; true when connected.
    // noAnswerMs bounds each attempt that gets no answer.
    bool ConnectWithRetries(const char* host, int32_t port, const std::atomic<uint8_t>* stopFlag,
                            uint32_t noAnswerMs);
    // Sends head and body (may be empty) whole: 0, or -3, -5, -6 (logged).
    int32_t SendRequest(const std::string& head, const void* body, int32_t bodyLength, int32_t timeoutSeconds,
                        const std::atomic<uint8_t>* stopFlag);
    // Waits for the response: its length or -4, -5, -6.
    int32_t ReceiveResponse(ByteArray* response, int32_t timeoutSeconds,
                            const std::atomic<uint8_t>* stopFlag, int32_t maxBody);
    enum class Await { kReadable, kWritable };
    // Waits until the socket is readable (or writable), the stop flag is
    // raised or nothing has moved for timeout since lastActivity: 0 ready,
    // -5, -6 (both logged).
    int32_t AwaitSocket(Await what, std::chrono::steady_clock::time_point lastActivity,
                        std::chrono::steady_clock::duration timeout, const std::atomic<uint8_t>* stopFlag);

    SocketClient mSocket;
    uint32_t mSettleMs = 0;
    bool mAwaitingAnswer = false;  // sent whole, no complete answer yet
    bool mWaitFailed = false;      // a failed wait, not the peer, ended the exchange
};
