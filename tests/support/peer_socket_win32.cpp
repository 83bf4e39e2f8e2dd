#include <winsock2.h>
#include <windows.h>

#include "support/peer_socket.h"

namespace testnet {
namespace {

SOCKET Native(const platform::Socket& socket) { return static_cast<SOCKET>(socket.Get()); }

}  // namespace

platform::Socket ListenLoopback(int backlog, uint16_t* port) {
    platform::StartSockets();
    platform::Socket socket = platform::CreateStreamSocket();
    if (!socket.IsOpen()) return socket;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int size = sizeof address;
    if (::bind(Native(socket), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(Native(socket), backlog) != 0 ||
        ::getsockname(Native(socket), reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return platform::Socket();
    *port = ntohs(address.sin_port);
    return socket;
}

platform::Socket AcceptWithin(const platform::Socket& listener, uint32_t milliseconds) {
    if (WaitReady(listener, platform::Awaited::kReadable, milliseconds) != platform::Readiness::kReady)
        return platform::Socket();
    // Blocking, as the listener it inherits its mode from: a test peer's
    // sends wait for room.
    const SOCKET handle = ::accept(Native(listener), nullptr, nullptr);
    if (handle == INVALID_SOCKET) return platform::Socket();
    return platform::Socket(static_cast<platform::SocketHandle>(handle));
}

void ShutdownSend(const platform::Socket& socket) { ::shutdown(Native(socket), SD_SEND); }

bool IsWine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Windows has no listing of TIME_WAIT sockets that a test can read without
// extra libraries; under Wine the sockets are the host's anyway.
bool CountClientTimeWait(uint16_t, int*) { return false; }

}  // namespace testnet
