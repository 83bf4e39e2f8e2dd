#include "transport/SocketClient.h"

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "log/Log.h"

namespace {

// Milliseconds left until deadline, rounded up so that a wait never ends
// just short of it.
uint32_t MillisecondsUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left = deadline - std::chrono::steady_clock::now();
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms <= 0 ? 0 : static_cast<uint32_t>(ms);
}

bool Raised(const std::atomic<uint8_t>* flag) {
    return flag && flag->load(std::memory_order_relaxed) != 0;
}

}  // namespace

int32_t SocketClient::Connect(const char* host, int32_t port, const std::atomic<uint8_t>* stopFlag,
                              uint32_t noAnswerMs) {
    const int32_t begun = BeginConnect(host, port);
    if (begun != 1) return begun;
    const int32_t result = FinishConnect(stopFlag, std::min(noAnswerMs, kConnectTimeoutMs));
    if (result == 0) {
        mbStop = false;
    } else {
        mstrHost.clear();
        mnPort = 0;
    }
    return result;
}

int32_t SocketClient::BeginConnect(const char* host, int32_t port) {
    if (!platform::StartSockets()) return -4;
    // A port beyond 16 bits would be cut to another port by the conversion.
    if (!host || port <= 0 || port > 0xFFFF) {
        QS_LOG_SOCKET("SocketClient::Connect");
        return -3;
    }
    if (mSocket.IsOpen()) Close();

    mSocket = platform::CreateStreamSocket(true);
    if (!mSocket.IsOpen()) {
        QS_LOG_SOCKET("SocketClient::Connect");
        return -1;
    }
    if (!platform::SetLinger(mSocket, true, 30)) QS_LOG_SOCKET("SocketClient::Connect");

    const uint32_t address = platform::DottedIPv4ToAddress(host);
    switch (platform::StartConnect(mSocket, address, static_cast<uint16_t>(port))) {
        case platform::ConnectProgress::kConnected:
            Connected(host, port);
            return 0;
        case platform::ConnectProgress::kFailed:
            QS_LOG_SOCKET("SocketClient::Connect");
            return -2;
        case platform::ConnectProgress::kPending:
            break;
    }
    mstrHost = host;  // named now, kept once connected
    mnPort = port;
    return 1;
}

int32_t SocketClient::EndConnect(bool reportedFailed) {
    if (platform::ConnectOutcome(mSocket, reportedFailed) != platform::ConnectProgress::kConnected) {
        QS_LOG_SOCKET("SocketClient::Connect");
        mstrHost.clear();
        mnPort = 0;
        return -2;
    }
    mbStop = false;
    return 0;
}

void SocketClient::Connected(const char* host, int32_t port) {
    mstrHost = host;
    mnPort = port;
    mbStop = false;
}

int32_t SocketClient::FinishConnect(const std::atomic<uint8_t>* stopFlag, uint32_t noAnswerMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(noAnswerMs);
    for (;;) {
        if (Raised(stopFlag)) {
            QS_LOG_SOCKET("SocketClient::Connect");
            return -6;
        }
        const uint32_t left = MillisecondsUntil(deadline);
        if (left == 0) {
            QS_LOG_SOCKET("SocketClient::Connect");
            return -5;
        }
        platform::AwaitedSocket entry;
        entry.socket = &mSocket;
        entry.what = platform::Awaited::kConnected;
        const platform::Readiness waited = platform::WaitForAny(&entry, 1, std::min(left, kConnectPollMs));
        if (waited == platform::Readiness::kTimedOut) continue;
        if (waited == platform::Readiness::kFailed ||
            platform::ConnectOutcome(mSocket, entry.failed) != platform::ConnectProgress::kConnected) {
            QS_LOG_SOCKET("SocketClient::Connect");
            return -2;
        }
        return 0;
    }
}

int32_t SocketClient::CheckPendingError(const char* function) {
    int error = 0;
    if (!platform::ReadPendingError(mSocket, &error) || error != 0) {
        QS_LOG_SOCKET(function);
        return -1;
    }
    return 0;
}

int32_t SocketClient::Send(const void* data, int32_t length) {
    if (CheckPendingError("SocketClient::Send") != 0) return -1;
    if (!data || length <= 0) {
        QS_LOG_SOCKET("SocketClient::Send");
        return -1;
    }
    const int64_t sent = platform::SendOnce(mSocket, data, static_cast<size_t>(length));
    if (sent != length) {
        QS_LOG_SOCKET("SocketClient::Send");
        return -2;
    }
    return 0;
}

int32_t SocketClient::SendSome(const void* head, int32_t headLength, const void* body, int32_t bodyLength,
                               int64_t* sent) {
    const int64_t total = static_cast<int64_t>(headLength) + bodyLength;
    if (!head || headLength <= 0 || bodyLength < 0 || (bodyLength > 0 && !body) || !sent || *sent < 0 ||
        *sent > total) {
        QS_LOG_SOCKET("SocketClient::Send");
        return -1;
    }
    if (*sent == total) return 0;
    // What is left: the rest of the head (possibly none), then the rest of
    // the body.
    const auto* headBytes = static_cast<const uint8_t*>(head);
    const auto* bodyBytes = static_cast<const uint8_t*>(body);
    int64_t accepted;
    if (*sent < headLength) {
        accepted = platform::SendTwoOnce(mSocket, headBytes + *sent, static_cast<size_t>(headLength - *sent),
                                         bodyBytes, static_cast<size_t>(bodyLength));
    } else {
        const int64_t bodySent = *sent - headLength;
        accepted = platform::SendOnce(mSocket, bodyBytes + bodySent, static_cast<size_t>(bodyLength - bodySent));
    }
    if (accepted < 0) {
        const platform::SocketError kind = platform::LastSocketErrorKind();
        if (kind == platform::SocketError::kWouldBlock || kind == platform::SocketError::kInterrupted) return 0;
        QS_LOG_SOCKET("SocketClient::Send");
        return -2;
    }
    *sent += accepted;
    return 0;
}

int32_t SocketClient::ReceiveInto(void* data, int32_t capacity, int32_t* got) {
    *got = 0;
    if (!data || capacity <= 0) return 0;
    const int64_t received = platform::ReceiveOnce(mSocket, data, static_cast<size_t>(capacity));
    if (received == 0) return -2;
    if (received < 0) {
        if (platform::LastSocketErrorKind() == platform::SocketError::kWouldBlock) return 0;
        QS_LOG_SOCKET("SocketClient::Recv");
        return -1;
    }
    *got = static_cast<int32_t>(received);
    return 0;
}

int32_t SocketClient::Recv(std::unique_ptr<uint8_t[]>& outData, int32_t& outLength) {
    if (CheckPendingError("SocketClient::Recv") != 0) return -1;
    // The socket does not block: one receive takes what is waiting, up to
    // the room of one read, without asking for the count first.
    uint8_t taken[kRecvBytes];
    int32_t got = 0;
    const int32_t received = ReceiveInto(taken, static_cast<int32_t>(sizeof taken), &got);
    if (received != 0) return received;
    outLength = got;
    if (got == 0) return 0;
    outData = std::make_unique<uint8_t[]>(static_cast<size_t>(got));
    std::copy(taken, taken + got, outData.get());
    return 0;
}

int32_t SocketClient::Close() {
    if (mSocket.IsOpen()) {
        if (!platform::SetLinger(mSocket, false, 0)) QS_LOG_SOCKET("SocketClient::Close");
        mSocket.Close();
    }
    mbStop = false;
    mnPort = 0;
    mstrHost.clear();
    return 0;
}

void SocketClient::Stop() {
    if (!platform::SetLinger(mSocket, false, 0)) QS_LOG_SOCKET("SocketClient::Stop");
    mbStop = true;
}
