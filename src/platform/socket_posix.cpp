#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/fault.h"
#include "platform/socket.h"

namespace platform {
namespace {

int Fd(const Socket& socket) { return static_cast<int>(socket.Get()); }

}  // namespace

SocketError SocketErrorKind(int nativeError) {
    switch (nativeError) {
        case 0: return SocketError::kNone;
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
            return SocketError::kWouldBlock;
        case EINPROGRESS: return SocketError::kInProgress;
        case EINTR: return SocketError::kInterrupted;
        case ECONNREFUSED: return SocketError::kRefused;
        case ETIMEDOUT: return SocketError::kTimedOut;
        case ECONNRESET:
        case ECONNABORTED:
        case EPIPE: return SocketError::kReset;
        case ENOTCONN: return SocketError::kNotConnected;
        case ENETUNREACH:
        case EHOSTUNREACH: return SocketError::kUnreachable;
        default: return SocketError::kOther;
    }
}

SocketError LastSocketErrorKind() { return SocketErrorKind(errno); }

void Socket::Close() {
    if (!IsOpen()) return;
    const int savedErrno = errno;
    ::close(Fd(*this));
    mHandle = kInvalidSocket;
    errno = savedErrno;
}

bool StartSockets() { return true; }

Socket CreateStreamSocket(bool nonBlocking) {
    // Made non-blocking in the same call: no fcntl pair per connection.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0) return Socket();
    return Socket(static_cast<SocketHandle>(fd));
}

bool SetLinger(const Socket& socket, bool on, int seconds) {
    linger value{};
    value.l_onoff = on ? 1 : 0;
    value.l_linger = seconds;
    return ::setsockopt(Fd(socket), SOL_SOCKET, SO_LINGER, &value, sizeof value) == 0;
}

bool ReadPendingError(const Socket& socket, int* error) {
    int value = 0;
    socklen_t size = sizeof value;
    if (::getsockopt(Fd(socket), SOL_SOCKET, SO_ERROR, &value, &size) != 0) return false;
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
    if (::connect(Fd(socket), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0)
        return ConnectProgress::kConnected;
    // A connect interrupted by a signal goes on in the background, like one in
    // progress.
    const SocketError kind = LastSocketErrorKind();
    if (kind == SocketError::kInProgress || kind == SocketError::kInterrupted ||
        kind == SocketError::kWouldBlock)
        return ConnectProgress::kPending;
    return ConnectProgress::kFailed;
}

ConnectProgress ConnectOutcome(const Socket& socket, bool) {
    // poll reports a failed connect as writable too; SO_ERROR tells which.
    int error = 0;
    if (!ReadPendingError(socket, &error)) return ConnectProgress::kFailed;
    if (error != 0) {
        errno = error;
        return ConnectProgress::kFailed;
    }
    return ConnectProgress::kConnected;
}

Readiness WaitForAny(AwaitedSocket* entries, size_t count, uint32_t milliseconds) {
    if (FaultHits(FaultKind::kWait)) return Readiness::kFailed;
    if (count == 0 || count > kMaxAwaitedSockets) {
        errno = EINVAL;
        return Readiness::kFailed;
    }
    pollfd polled[kMaxAwaitedSockets];
    for (size_t i = 0; i < count; ++i) {
        entries[i].ready = entries[i].failed = false;
        polled[i].fd = Fd(*entries[i].socket);
        polled[i].events = entries[i].what == Awaited::kReadable ? POLLIN : POLLOUT;
        polled[i].revents = 0;
    }
    int ready;
    do {
        ready = ::poll(polled, static_cast<nfds_t>(count), static_cast<int>(milliseconds));
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return Readiness::kFailed;
    if (ready == 0) return Readiness::kTimedOut;
    for (size_t i = 0; i < count; ++i) {
        if (polled[i].revents & POLLNVAL) {
            errno = EBADF;
            return Readiness::kFailed;
        }
    }
    for (size_t i = 0; i < count; ++i) {
        // The event, POLLHUP or POLLERR: the call waited for will not block.
        entries[i].ready = polled[i].revents != 0;
        entries[i].failed = (polled[i].revents & POLLERR) != 0;
    }
    return Readiness::kReady;
}

int64_t ReceiveOnce(const Socket& socket, void* data, size_t length) {
    if (FaultHits(FaultKind::kReceive)) return -1;
    ssize_t result;
    do {
        result = ::recv(Fd(socket), data, length, MSG_DONTWAIT);
    } while (result < 0 && errno == EINTR);
    return result < 0 ? -1 : static_cast<int64_t>(result);
}

int64_t SendOnce(const Socket& socket, const void* data, size_t length) {
    if (FaultHits(FaultKind::kSend)) return -1;
    // MSG_NOSIGNAL: a send to a reset peer fails with EPIPE instead of
    // raising SIGPIPE, which would end the host process.
    const ssize_t result = ::send(Fd(socket), data, length, MSG_NOSIGNAL);
    return result < 0 ? -1 : static_cast<int64_t>(result);
}

int64_t SendTwoOnce(const Socket& socket, const void* first, size_t firstLength, const void* second,
                    size_t secondLength) {
    if (FaultHits(FaultKind::kSend)) return -1;
    iovec parts[2];
    parts[0].iov_base = const_cast<void*>(first);
    parts[0].iov_len = firstLength;
    parts[1].iov_base = const_cast<void*>(second);
    parts[1].iov_len = secondLength;
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = secondLength > 0 ? 2 : 1;
    const ssize_t result = ::sendmsg(Fd(socket), &message, MSG_NOSIGNAL);
    return result < 0 ? -1 : static_cast<int64_t>(result);
}

}  // namespace platform
