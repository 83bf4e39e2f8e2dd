#include "support/phone_control.h"

#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "platform/socket.h"

namespace {

using Clock = std::chrono::steady_clock;

// Waits, until deadline, for the socket to be ready for what.
bool WaitUntil(const platform::Socket& socket, platform::Awaited what, Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    platform::AwaitedSocket entry{&socket, what};
    return platform::WaitForAny(&entry, 1, static_cast<uint32_t>(left)) == platform::Readiness::kReady &&
           entry.ready;
}

std::string Exchange(int port, const std::string& request, Clock::time_point deadline) {
    platform::StartSockets();
    platform::Socket socket = platform::CreateStreamSocket(true);
    if (!socket.IsOpen()) throw std::runtime_error("control: no socket");
    platform::ConnectProgress progress =
        platform::StartConnect(socket, platform::DottedIPv4ToAddress("127.0.0.1"), static_cast<uint16_t>(port));
    if (progress == platform::ConnectProgress::kPending) {
        platform::AwaitedSocket entry{&socket, platform::Awaited::kConnected};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        progress = left > 0 && platform::WaitForAny(&entry, 1, static_cast<uint32_t>(left)) ==
                                   platform::Readiness::kReady
                       ? platform::ConnectOutcome(socket, entry.failed)
                       : platform::ConnectProgress::kFailed;
    }
    if (progress != platform::ConnectProgress::kConnected) throw std::runtime_error("control: cannot connect");
    for (size_t sent = 0; sent < request.size();) {
        if (!WaitUntil(socket, platform::Awaited::kWritable, deadline)) throw std::runtime_error("control: send");
        const int64_t n = platform::SendOnce(socket, request.data() + sent, request.size() - sent);
        if (n <= 0 && platform::LastSocketErrorKind() != platform::SocketError::kWouldBlock)
            throw std::runtime_error("control: send");
        if (n > 0) sent += static_cast<size_t>(n);
    }
    std::string answer;
    for (;;) {
        if (!WaitUntil(socket, platform::Awaited::kReadable, deadline)) throw std::runtime_error("control: no answer");
        char buffer[1024];
        const int64_t n = platform::ReceiveOnce(socket, buffer, sizeof buffer);
        if (n == 0) return answer;
        if (n < 0) {
            if (platform::LastSocketErrorKind() == platform::SocketError::kWouldBlock) continue;
            throw std::runtime_error("control: receive");
        }
        answer.append(buffer, static_cast<size_t>(n));
    }
}

}  // namespace

int PhoneControl(int port, const std::string& command, std::string* answer) {
    const std::string request = "GET /control HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                                std::to_string(command.size()) + "\r\nConnection: close\r\n\r\n" + command;
    // A wait answers within its own bound (20 s by default): the exchange
    // gets longer.
    const std::string raw = Exchange(port, request, Clock::now() + std::chrono::seconds(60));
    const size_t space = raw.find(' ');
    const size_t body = raw.find("\r\n\r\n");
    if (raw.compare(0, 5, "HTTP/") != 0 || space == std::string::npos || body == std::string::npos)
        throw std::runtime_error("control: not an HTTP answer");
    if (answer) *answer = raw.substr(body + 4);
    return std::atoi(raw.c_str() + space + 1);
}

ArmedFault::ArmedFault(const PhoneService& service, const std::string& fault) : mPort(service.port()) {
    std::string answer;
    if (PhoneControl(mPort, "arm " + fault, &answer) != 200) throw std::runtime_error("arm " + fault + ": " + answer);
    mId = std::atoi(answer.c_str());
}

ArmedFault::~ArmedFault() {
    try {
        PhoneControl(mPort, "disarm " + std::to_string(mId));
    } catch (const std::exception&) {
        // The stand-in is gone: nothing is armed any more.
    }
}

bool ArmedFault::WaitHeld(int count) const {
    return PhoneControl(mPort, "wait " + std::to_string(mId) + " " + std::to_string(count) + " 20000") == 200;
}

void ArmedFault::Release() const { PhoneControl(mPort, "release " + std::to_string(mId)); }
