#include <winsock2.h>
#include <windows.h>

#include <climits>

#include "platform/fault.h"
#include "platform/socket.h"

namespace platform {
namespace {

SOCKET Native(const Socket& socket) { return static_cast<SOCKET>(socket.Get()); }

timeval Timeout(uint32_t milliseconds) {
    timeval value{};
    value.tv_sec = static_cast<long>(milliseconds / 1000);
    value.tv_usec = static_cast<long>((milliseconds % 1000) * 1000);
    return value;
}

int ClampLength(size_t length) {
    return length > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
}

bool MakeNonBlocking(const Socket& socket) {
    u_long nonBlocking = 1;
    return ::ioctlsocket(Native(socket), FIONBIO, &nonBlocking) == 0;
}

}  // namespace

SocketError SocketErrorKind(int nativeError) {
    switch (nativeError) {
        case 0: return SocketError::kNone;
        // A non-blocking connect reports WSAEWOULDBLOCK where POSIX reports
        // EINPROGRESS; both mean "started", which StartConnect relies on.
        case WSAEWOULDBLOCK: return SocketError::kWouldBlock;
        case WSAEINPROGRESS:
        case WSAEALREADY: return SocketError::kInProgress;
        case WSAEINTR: return SocketError::kInterrupted;
        case WSAECONNREFUSED: return SocketError::kRefused;
        case WSAETIMEDOUT: return SocketError::kTimedOut;
        case WSAECONNRESET:
        case WSAECONNABORTED:
        case WSAESHUTDOWN: return SocketError::kReset;
        case WSAENOTCONN: return SocketError::kNotConnected;
        case WSAENETUNREACH:
        case WSAEHOSTUNREACH: return SocketError::kUnreachable;
        default: return SocketError::kOther;
    }
}

SocketError LastSocketErrorKind() { return SocketErrorKind(WSAGetLastError()); }

void Socket::Close() {
    if (!IsOpen()) return;
    const int savedError = WSAGetLastError();
    ::closesocket(Native(*this));
    mHandle = kInvalidSocket;
    WSASetLastError(savedError);
}

bool StartSockets() {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 0), &data) == 0;
}

Socket CreateStreamSocket(bool nonBlocking) {
    const SOCKET handle = ::socket(AF_INET, SOCK_STREAM, 0);
    if (handle == INVALID_SOCKET) return Socket();
    Socket socket(static_cast<SocketHandle>(handle));
    if (nonBlocking && !MakeNonBlocking(socket)) return Socket();
    return socket;
}

bool SetLinger(const Socket& socket, bool on, int seconds) {
    linger value{};
    value.l_onoff = on ? 1 : 0;
    value.l_linger = static_cast<u_short>(seconds);
    return ::setsockopt(Native(socket), SOL_SOCKET, SO_LINGER,
                        reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

bool ReadPendingError(const Socket& socket, int* error) {
    int value = 0;
    int size = sizeof value;
    if (::getsockopt(Native(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value),
                     &size) != 0)
        return false;
    *error = value;
    return true;
}

uint32_t DottedIPv4ToAddress(const char* text) { return ::inet_addr(text); }

ConnectProgress StartConnect(const Socket& socket, uint32_t address, uint16_t port) {
    if (FaultHits(FaultKind::kConnect)) return ConnectProgress::kFailed;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = address;
    peer.sin_port = htons(port);
    if (::connect(Native(socket), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0)
        return ConnectProgress::kConnected;
    const SocketError kind = LastSocketErrorKind();
    if (kind == SocketError::kWouldBlock || kind == SocketError::kInProgress)
        return ConnectProgress::kPending;
    return ConnectProgress::kFailed;
}

ConnectProgress ConnectOutcome(const Socket& socket, bool reportedFailed) {
    int error = 0;
    if (!ReadPendingError(socket, &error)) return ConnectProgress::kFailed;
    if (reportedFailed || error != 0) {
        WSASetLastError(error != 0 ? error : WSAECONNREFUSED);
        return ConnectProgress::kFailed;
    }
    return ConnectProgress::kConnected;
}

Readiness WaitForAny(AwaitedSocket* entries, size_t count, uint32_t milliseconds) {
    if (FaultHits(FaultKind::kWait)) return Readiness::kFailed;
    if (count == 0 || count > kMaxAwaitedSockets) {
        WSASetLastError(WSAEINVAL);
        return Readiness::kFailed;
    }
    // select, not WSAPoll: older Windows versions' WSAPoll does not report a
    // refused non-blocking connect, which shows in select's exception set.
    fd_set readable;
    fd_set writable;
    fd_set exceptions;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&exceptions);
    for (size_t i = 0; i < count; ++i) {
        AwaitedSocket& entry = entries[i];
        entry.ready = entry.failed = false;
        const SOCKET native = Native(*entry.socket);
        if (entry.what == Awaited::kReadable) {
            FD_SET(native, &readable);
        } else {
            FD_SET(native, &writable);
            FD_SET(native, &exceptions);
        }
    }
    timeval timeout = Timeout(milliseconds);
    const int ready = ::select(0, &readable, &writable, &exceptions, &timeout);
    if (ready == SOCKET_ERROR) return Readiness::kFailed;
    if (ready == 0) return Readiness::kTimedOut;
    for (size_t i = 0; i < count; ++i) {
        AwaitedSocket& entry = entries[i];
        const SOCKET native = Native(*entry.socket);
        if (entry.what == Awaited::kReadable) {
            entry.ready = FD_ISSET(native, &readable) != 0;
        } else {
            entry.failed = FD_ISSET(native, &exceptions) != 0;
            entry.ready = entry.failed || FD_ISSET(native, &writable) != 0;
        }
    }
    return Readiness::kReady;
}

int64_t ReceiveOnce(const Socket& socket, void* data, size_t length) {
    if (FaultHits(FaultKind::kReceive)) return -1;
    const int result = ::recv(Native(socket), static_cast<char*>(data), ClampLength(length), 0);
    return result == SOCKET_ERROR ? -1 : static_cast<int64_t>(result);
}

int64_t SendOnce(const Socket& socket, const void* data, size_t length) {
    if (FaultHits(FaultKind::kSend)) return -1;
    const int result = ::send(Native(socket), static_cast<const char*>(data), ClampLength(length), 0);
    return result == SOCKET_ERROR ? -1 : static_cast<int64_t>(result);
}

int64_t SendTwoOnce(const Socket& socket, const void* first, size_t firstLength, const void* second,
                    size_t secondLength) {
    if (FaultHits(FaultKind::kSend)) return -1;
    WSABUF parts[2];
    parts[0].buf = static_cast<char*>(const_cast<void*>(first));
    parts[0].len = static_cast<ULONG>(ClampLength(firstLength));
    parts[1].buf = static_cast<char*>(const_cast<void*>(second));
    parts[1].len = static_cast<ULONG>(ClampLength(secondLength));
    DWORD sent = 0;
    if (::WSASend(Native(socket), parts, secondLength > 0 ? 2 : 1, &sent, 0, nullptr, nullptr) == SOCKET_ERROR)
        return -1;
    return static_cast<int64_t>(sent);
}

}  // namespace platform
