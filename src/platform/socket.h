// IPv4 TCP sockets: BSD sockets on POSIX, Windows Sockets 2 on Windows.
//
// A Socket owns one OS socket and closes it when it dies; it can be moved but
// not copied, so a socket is closed exactly once. The free functions are the
// few calls the socket client needs. On failure they leave the thread's
// sockets error (LastSocketError) set for log lines; SocketErrorKind() maps
// that native value to the portable set below, and is the only place in the
// library where native socket error numbers are interpreted.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

using SocketHandle = std::uintptr_t;
// All bits set: INVALID_SOCKET on Windows, -1 on POSIX.
constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};

enum class SocketError {
    kNone,
    kWouldBlock,   // a non-blocking call could not complete now
    kInProgress,   // a non-blocking connect has started
    kInterrupted,  // a signal interrupted the call
    kRefused,      // no listener at the address
    kTimedOut,
    kReset,        // the peer reset the connection, or it was aborted
    kNotConnected,
    kUnreachable,  // no route to the host or network
    kOther,
};

// The portable kind of a native sockets error value (errno, WSAGetLastError).
SocketError SocketErrorKind(int nativeError);
// The kind of the calling thread's last sockets error.
SocketError LastSocketErrorKind();

class Socket {
public:
    Socket() = default;
    explicit Socket(SocketHandle handle) : mHandle(handle) {}
    ~Socket() { Close(); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    Socket(Socket&& other) noexcept : mHandle(other.Release()) {}
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) {
            Close();
            mHandle = other.Release();
        }
        return *this;
    }

    SocketHandle Get() const { return mHandle; }
    bool IsOpen() const { return mHandle != kInvalidSocket; }
    // Closes the socket if one is owned; the last sockets error is preserved.
    void Close();
    // Gives up ownership without closing.
    SocketHandle Release() {
        const SocketHandle handle = mHandle;
        mHandle = kInvalidSocket;
        return handle;
    }

private:
    SocketHandle mHandle = kInvalidSocket;
};

// Windows: WSAStartup asking for version 2.0, on every call (each successful
// call is balanced by nothing: the library never uninitialises). POSIX: true.
bool StartSockets();

// A new IPv4 stream socket with the default protocol, in blocking mode
// unless nonBlocking is set; not open on failure.
Socket CreateStreamSocket(bool nonBlocking = false);

bool SetLinger(const Socket& socket, bool on, int seconds);
// Reads and clears SO_ERROR into *error (a native value, 0 when none).
bool ReadPendingError(const Socket& socket, int* error);

// The numeric conversion of a dotted IPv4 text, no name lookup (inet_addr):
// the address in network byte order. A text that is not an address gives
// 0xFFFFFFFF, which is also the limited broadcast address.
uint32_t DottedIPv4ToAddress(const char* text);

enum class ConnectProgress { kConnected, kPending, kFailed };

// Starts connecting a non-blocking socket to address (network byte order) and
// port (host byte order).
ConnectProgress StartConnect(const Socket& socket, uint32_t address, uint16_t port);
// How a started connect ended, once a wait (WaitForAny, kConnected) has
// reported its socket; reportedFailed is that entry's failed mark. kFailed
// leaves the reason in the thread's last sockets error.
ConnectProgress ConnectOutcome(const Socket& socket, bool reportedFailed);

enum class Readiness { kReady, kTimedOut, kFailed };

// One wait over one or several sockets, so that one thread can drive several
// connections: each entry names a socket and what it waits for.
enum class Awaited {
    kReadable,   // a receive would not block: bytes are waiting, the peer
                 // has closed, or an error is pending
    kWritable,   // a send would not block: the send buffer has room, or an
                 // error is pending (the send then fails)
    kConnected,  // a started connect has ended, either way
};
struct AwaitedSocket {
    const Socket* socket = nullptr;
    Awaited what = Awaited::kReadable;
    bool ready = false;   // out: the socket is ready for what it waits for
    bool failed = false;  // out: it is ready because of an error or a failed connect
};
// Most entries one wait takes.
constexpr size_t kMaxAwaitedSockets = 16;
// Waits at most milliseconds until at least one of count entries (1 to
// kMaxAwaitedSockets) is ready. kReady marks the ready entries; kTimedOut and
// kFailed leave every entry unmarked.
Readiness WaitForAny(AwaitedSocket* entries, size_t count, uint32_t milliseconds);

// One recv call: the bytes taken (0 when the peer has closed in order), or -1.
// Never blocks when a wait has just reported the socket readable.
int64_t ReceiveOnce(const Socket& socket, void* data, size_t length);

// One send call: the bytes accepted, or -1. A peer that has reset the
// connection makes it fail; it never raises SIGPIPE. On a non-blocking
// socket whose send buffer is full it fails with kWouldBlock.
int64_t SendOnce(const Socket& socket, const void* data, size_t length);
// One gathering send call of two parts, first then second (second may be
// empty): the bytes accepted, or -1, as SendOnce.
int64_t SendTwoOnce(const Socket& socket, const void* first, size_t firstLength, const void* second,
                    size_t secondLength);

}  // namespace platform
