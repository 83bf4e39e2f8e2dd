#include "support/peer_socket.h"

namespace testnet {

platform::Readiness WaitReady(const platform::Socket& socket, platform::Awaited what, uint32_t milliseconds) {
    platform::AwaitedSocket entry;
    entry.socket = &socket;
    entry.what = what;
    const platform::Readiness waited = platform::WaitForAny(&entry, 1, milliseconds);
    return waited == platform::Readiness::kReady && !entry.ready ? platform::Readiness::kTimedOut : waited;
}

bool SendAll(const platform::Socket& socket, const void* data, size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (length > 0) {
        const int64_t sent = platform::SendOnce(socket, bytes, length);
        if (sent < 0 && platform::LastSocketErrorKind() == platform::SocketError::kWouldBlock &&
            WaitReady(socket, platform::Awaited::kWritable, 10000) == platform::Readiness::kReady)
            continue;
        if (sent <= 0) return false;
        bytes += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

void ResetAndClose(platform::Socket& socket) {
    platform::SetLinger(socket, true, 0);
    socket.Close();
}

platform::Socket StartLoopbackConnect(uint16_t port) {
    platform::StartSockets();
    platform::Socket socket = platform::CreateStreamSocket(true);
    if (!socket.IsOpen()) return platform::Socket();
    if (platform::StartConnect(socket, platform::DottedIPv4ToAddress("127.0.0.1"), port) ==
        platform::ConnectProgress::kFailed)
        return platform::Socket();
    return socket;
}

SilentListener::SilentListener() {
    mListener = ListenLoopback(1, &mPort);
    if (!mListener.IsOpen()) return;
    // A backlog of 1 holds one or two connections; the first connect that
    // is still pending after a while shows the queue is full.
    for (int i = 0; i < 16 && !mOk; ++i) {
        platform::Socket filler = StartLoopbackConnect(mPort);
        if (!filler.IsOpen()) return;
        mOk = WaitReady(filler, platform::Awaited::kConnected, 300) == platform::Readiness::kTimedOut;
        mFillers.push_back(std::move(filler));
    }
}

}  // namespace testnet
