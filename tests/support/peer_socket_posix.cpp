#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/peer_socket.h"

namespace testnet {
namespace {

int Fd(const platform::Socket& socket) { return static_cast<int>(socket.Get()); }

}  // namespace

platform::Socket ListenLoopback(int backlog, uint16_t* port) {
    platform::Socket socket = platform::CreateStreamSocket();
    if (!socket.IsOpen()) return socket;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t size = sizeof address;
    if (::bind(Fd(socket), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(Fd(socket), backlog) != 0 ||
        ::getsockname(Fd(socket), reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return platform::Socket();
    *port = ntohs(address.sin_port);
    return socket;
}

platform::Socket AcceptWithin(const platform::Socket& listener, uint32_t milliseconds) {
    if (WaitReady(listener, platform::Awaited::kReadable, milliseconds) != platform::Readiness::kReady)
        return platform::Socket();
    // Blocking, as the listener: a test peer's sends wait for room.
    const int fd = ::accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return platform::Socket();
    return platform::Socket(static_cast<platform::SocketHandle>(fd));
}

void ShutdownSend(const platform::Socket& socket) { ::shutdown(Fd(socket), SHUT_WR); }

bool IsWine() { return false; }

bool CountClientTimeWait(uint16_t port, int* count) {
    FILE* pipe = ::popen("ss -tan state time-wait 2>/dev/null", "r");
    if (!pipe) return false;
    const std::string wanted = "127.0.0.1:" + std::to_string(port);
    int found = 0;
    bool header = false;
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) {
        if (!header) {  // the first line names the columns
            header = true;
            continue;
        }
        // Columns: Recv-Q Send-Q Local-Address:Port Peer-Address:Port
        char local[128] = "";
        char peer[128] = "";
        if (std::sscanf(line, "%*s %*s %127s %127s", local, peer) == 2 && wanted == peer) ++found;
    }
    const int status = ::pclose(pipe);
    if (!header || status != 0) return false;
    *count = found;
    return true;
}

}  // namespace testnet
