// Carries one request to a phone service and brings back the body of its
// response, over a connection of its own. The HTTP spoken is a small subset:
// a request line, "Cache-Control: no-cache", a "Content-Length:" header when
// there is a body, then the body. A response is complete once its header
// block and as many body bytes as its "Content-Length:" announces have
// arrived; the status line is not examined.
//
// Callers create one client per request, or reuse one for requests one
// after another. The connection stays open after Request returns and is
// closed by the next request, by Close or by destroying the client. A client
// belongs to one thread; the stop flag may be raised by any other thread.
//
// Request waits for its own socket. The same exchange can also be driven
// step by step (Begin, Advance), so that one thread runs several exchanges
// at once over one wait (WaitForAny); both ways send and receive the same
// bytes with the same results.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/socket.h"
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
    // An exchange still under way ends as Abandon says: one abandoned after
    // it was sent (see SetSettleOnAbandon) settles here, when an exception
    // ended it.
    ~HttpClient();
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

    // The exchange of Request, step by step. Begin takes Request's arguments
    // and goes as far as it can without waiting; then, until Finished(), the
    // driver waits at most WaitBoundMs() for Awaited() on Handle() and calls
    // Advance with the wait's result and this socket's entry (one that the
    // wait did not mark ready counts as a time-out). Result() is then
    // Request's result. host, body and response must outlive the exchange.
    void Begin(const char* host, int32_t port, const char* path, const char* requestLineFormat,
               const void* body, int32_t bodyLength, ByteArray* response, int32_t timeoutSeconds,
               const std::atomic<uint8_t>* stopFlag, int32_t maxBody = kMaxResponseBody);
    bool Finished() const { return mPhase == Phase::kIdle; }
    int32_t Result() const { return mResult; }
    platform::Awaited Awaited() const;
    uint32_t WaitBoundMs() const;
    const platform::Socket& Handle() const { return mSocket.Handle(); }
    void Advance(platform::Readiness waited, const platform::AwaitedSocket& entry);
    // Ends an exchange that is not finished, as an exception does: one that
    // was sent whole and owes a settle wait goes on settling (the driver
    // keeps driving it until Finished()); any other ends now with -1, and a
    // response it was receiving is left as it was. Never throws.
    void Abandon() noexcept;
    // Closes the connection of a finished exchange.
    void Close() { mSocket.Close(); }
    // Of the last exchange: whether any byte of the request left (a failed
    // send, -3, counts as sent: the peer may have part of it), and whether
    // a -4 was a complete header block that is malformed or announces too
    // long a body (the peer answered, wrongly) rather than a lost answer.
    bool RequestSent() const { return mSent > 0 || mResult == -3; }
    bool AnswerMalformed() const { return mMalformed; }

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
    using Clock = std::chrono::steady_clock;
    enum class Phase {
        kIdle,            // no exchange, or a finished one
        kConnecting,      // an attempt is under way
        kSending,         // connected, the request is leaving
        kReceivingHead,   // sent whole, the header block is arriving
        kReceivingBody,   // the body is arriving straight into its buffer
        kAwaitingClose,   // complete; a short wait for the peer's close
        kSettling,        // abandoned after it was sent; see SetSettleOnAbandon
    };

    // Drives the exchange over its own socket until it has finished.
    void Drive();
    // Connect attempts, from the next one on, until one is under way or
    // made, or the attempts are used up.
    void Attempt();
    void ConnectAttemptFailed();
    // A stop or the no-answer bound ends the attempt under way and the
    // exchange (-2).
    void GiveUpConnecting();
    void Connected();
    // Sends what the socket takes now, then the send's stop and time-out
    // checks.
    void SendStep();
    void EnterReceive();
    // Takes what has arrived (one receive), then the receive's checks.
    void ReceiveStep();
    // The stop and time-out checks of a phase with a request in flight.
    void InFlightChecks();
    void Complete();
    // The exchange's result is known: settles when it was sent whole and is
    // owed a settle wait, otherwise it has finished.
    void Finish(int32_t result) noexcept;
    void EnterSettle() noexcept;

    SocketClient mSocket;
    uint32_t mSettleMs = 0;
    Phase mPhase = Phase::kIdle;
    int32_t mResult = 0;
    bool mAwaitingAnswer = false;  // sent whole, no complete answer yet
    bool mWaitFailed = false;      // a failed wait, not the peer, ended the exchange
    bool mMalformed = false;       // the header block was malformed (-4)

    // The exchange in progress.
    const char* mHost = nullptr;
    int32_t mPort = 0;
    const std::atomic<uint8_t>* mStopFlag = nullptr;
    Clock::duration mTimeout{};
    uint32_t mNoAnswerMs = 0;
    int32_t mAttempts = 0;
    Clock::time_point mLastActivity;
    Clock::time_point mDeadline;  // of a connect attempt, the close wait or the settle wait
    std::string mHead;
    const void* mBody = nullptr;
    int32_t mBodyLength = 0;
    int64_t mSent = 0;
    ByteArray* mResponse = nullptr;
    int32_t mKept = 0;                 // the response's length before the exchange
    int32_t mMaxBody = kMaxResponseBody;
    ResponseScan mScan;
    std::vector<uint8_t> mHeadBuffer;  // the header block and the body bytes that came with it
    int32_t mHave = 0;
    std::vector<uint8_t> mDiscard;     // the body of a response nobody keeps
    uint8_t* mBodyInto = nullptr;
    int32_t mBodyTotal = 0;
    int32_t mBodyFilled = 0;
};
