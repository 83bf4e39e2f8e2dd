// One IPv4 TCP connection to the phone service, under the HTTP client. It
// connects, and then sends and takes whatever bytes the socket accepts or
// holds without ever blocking: the socket stays non-blocking once
// connected, so a peer that stops reading cannot hold a send. Pacing,
// retries and time-outs belong to the HTTP client; this class only reports
// what happened.
//
// All results are signed 32-bit; 0 is success. Every failure that is logged
// writes one socket-format line under "SocketClient::<operation>".
//
// A client is used by one thread only; clients on different threads share
// nothing but the sockets library.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/socket.h"

class SocketClient {
public:
    // A connection attempt that gets no answer gives up after this long: a
    // host that does not answer a SYN for 3 s is not going to, and a blocking
    // connect would otherwise hang for minutes with no stop check.
    static constexpr uint32_t kConnectTimeoutMs = 3000;
    // While connecting, the caller's stop flag is tested at least this often.
    static constexpr uint32_t kConnectPollMs = 100;

    SocketClient() = default;
    ~SocketClient() { Close(); }
    SocketClient(const SocketClient&) = delete;
    SocketClient& operator=(const SocketClient&) = delete;

    // Connects to host (dotted IPv4 text, no name lookup) and port. The
    // attempt runs non-blocking, waking at least every kConnectPollMs to test
    // stopFlag (may be null), for at most kConnectTimeoutMs; the socket
    // stays non-blocking once connected. SO_LINGER is set on, 30 s.
    //   0  connected
    //  -1  socket creation failed
    //  -2  connect refused or failed (the socket stays until the next
    //      Connect or Close)
    //  -3  host missing or port not positive (client unchanged)
    //  -4  initialising the sockets library failed (not logged)
    //  -5  no answer within kConnectTimeoutMs
    //  -6  stopFlag was raised while connecting
    // noAnswerMs lowers the no-answer bound for a request whose own
    // time-out is shorter (it never raises it).
    int32_t Connect(const char* host, int32_t port, const std::atomic<uint8_t>* stopFlag = nullptr,
                    uint32_t noAnswerMs = kConnectTimeoutMs);

    // Connect in two steps, for a caller that waits on several sockets at
    // once. BeginConnect makes the attempt without waiting: 0 connected,
    // 1 under way, or Connect's -1 ... -4. Under way, the caller waits for
    // platform::Awaited::kConnected on Handle() and hands what the wait
    // reported for it to EndConnect: 0 connected, -2 refused or failed
    // (logged, the socket stays as after Connect's -2). The stop flag and
    // the no-answer bound are the caller's to watch.
    int32_t BeginConnect(const char* host, int32_t port);
    int32_t EndConnect(bool reportedFailed);
    const platform::Socket& Handle() const { return mSocket; }

    // Sends all length bytes with one send call, which does not wait for
    // room in the socket's send buffer.
    //   0  all bytes accepted
    //  -1  a pending socket error, failure to read it, or nothing to send
    //  -2  the send call failed or accepted fewer bytes
    int32_t Send(const void* data, int32_t length);

    // One gathering send of what is left of head and then body (may be
    // empty) after the first *sent bytes, without joining them into one
    // buffer first; adds the bytes the socket accepted to *sent. Never
    // waits: with the send buffer full it accepts nothing, and a wait for
    // platform::Awaited::kWritable on Handle() tells when to try again.
    //   0  *sent advanced by what was accepted, possibly nothing
    //  -1  head missing or empty, a body length without a body, or *sent
    //      outside the parts (logged)
    //  -2  the send call failed, a pending socket error included (logged)
    int32_t SendSome(const void* head, int32_t headLength, const void* body, int32_t bodyLength,
                     int64_t* sent);

    // Takes up to capacity bytes that have arrived into data, without asking
    // how many wait first, and without waiting for any.
    //   0  with *got 0: nothing is waiting
    //   0  with *got the bytes taken (1 or more)
    //  -1  a receive error (logged)
    //  -2  the peer has closed the connection in order and every byte it
    //      sent has been taken (not logged)
    int32_t ReceiveInto(void* data, int32_t capacity, int32_t* got);

    // Takes the bytes that have arrived (at most kRecvBytes), without
    // waiting.
    //   0  with outLength 0 and outData untouched: nothing is waiting
    //   0  with outData set to a new block of outLength bytes
    //  -1  a pending socket error, failure to read it, or a receive error
    //  -2  the peer has closed the connection in order and every byte it
    //      sent has been taken (not logged: the caller decides whether an
    //      early close is a failure)
    int32_t Recv(std::unique_ptr<uint8_t[]>& outData, int32_t& outLength);
    static constexpr int32_t kRecvBytes = 16 * 1024;

    // Sets SO_LINGER off and closes the socket if one is open; clears host,
    // port and the stop mark. Always 0.
    int32_t Close();

    // The socket client's own stop mark, unrelated to the library's Stop
    // export: sets SO_LINGER off and the mark. A request in progress is not
    // interrupted by it.
    void Stop();

    const std::string& GetHost() const { return mstrHost; }
    int32_t GetPort() const { return mnPort; }
    bool IsStopped() const { return mbStop; }
    bool IsOpen() const { return mSocket.IsOpen(); }

private:
    // 0 when no error is pending; logs under function and returns -1 otherwise.
    int32_t CheckPendingError(const char* function);
    // Runs a started non-blocking connect to its end: 0, -2, -5 or -6.
    int32_t FinishConnect(const std::atomic<uint8_t>* stopFlag, uint32_t noAnswerMs);
    // Records the peer of a connection that has just been made.
    void Connected(const char* host, int32_t port);

    std::string mstrHost;
    int32_t mnPort = 0;
    platform::Socket mSocket;
    bool mbStop = false;
};
