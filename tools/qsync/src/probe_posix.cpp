#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "probe.h"

namespace qsync {
namespace {

class Socket {
public:
    Socket() : mFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (mFd >= 0) close(mFd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return mFd; }

private:
    int mFd;
};

}  // namespace

bool CanConnect(const std::string& host, int port, int timeoutMs) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return false;
    Socket socket;
    if (socket.fd() < 0) return false;
    fcntl(socket.fd(), F_SETFL, fcntl(socket.fd(), F_GETFL) | O_NONBLOCK);
    if (connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return true;
    if (errno != EINPROGRESS) return false;
    pollfd waiting{socket.fd(), POLLOUT, 0};
    if (poll(&waiting, 1, timeoutMs) != 1) return false;
    int error = 0;
    socklen_t length = sizeof error;
    return getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

}  // namespace qsync
