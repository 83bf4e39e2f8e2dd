#include <winsock2.h>
#include <ws2tcpip.h>

#include "probe.h"

namespace qsync {
namespace {

class Winsock {
public:
    Winsock() { mReady = WSAStartup(MAKEWORD(2, 2), &mData) == 0; }
    ~Winsock() {
        if (mReady) WSACleanup();
    }
    Winsock(const Winsock&) = delete;
    Winsock& operator=(const Winsock&) = delete;
    bool ready() const { return mReady; }

private:
    WSADATA mData{};
    bool mReady = false;
};

class Socket {
public:
    Socket() : mSocket(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {}
    ~Socket() {
        if (mSocket != INVALID_SOCKET) closesocket(mSocket);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    SOCKET get() const { return mSocket; }

private:
    SOCKET mSocket;
};

}  // namespace

bool CanConnect(const std::string& host, int port, int timeoutMs) {
    Winsock winsock;
    if (!winsock.ready()) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return false;
    Socket socket;
    if (socket.get() == INVALID_SOCKET) return false;
    u_long nonBlocking = 1;
    ioctlsocket(socket.get(), FIONBIO, &nonBlocking);
    if (connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return true;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return false;
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket.get(), &writable);
    FD_SET(socket.get(), &failed);
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (select(0, nullptr, &writable, &failed, &limit) != 1) return false;
    return FD_ISSET(socket.get(), &writable) != 0;
}

}  // namespace qsync
