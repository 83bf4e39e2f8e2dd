#include "support/chunk_phone.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "support/file_wire.h"
#include "support/scripted_peer.h"
#include "support/peer_socket.h"

using namespace filewire;

namespace {

constexpr uint32_t kSliceMs = 50;
constexpr auto kIdleLimit = std::chrono::seconds(15);
constexpr auto kGateLimit = std::chrono::seconds(30);

uint32_t BigEndian(const std::string& bytes, size_t at) {
    if (at + 4 > bytes.size()) return 0;
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<uint8_t>(bytes[at + i]);
    return v;
}

// Reads one HTTP request's body; false when the client went away.
bool ReadBody(const platform::Socket& socket, const std::atomic<bool>& stopping, std::string& body) {
    std::string bytes;
    const auto giveUp = std::chrono::steady_clock::now() + kIdleLimit;
    while (!stopping && std::chrono::steady_clock::now() < giveUp) {
        const size_t blank = bytes.find("\r\n\r\n");
        if (blank != std::string::npos) {
            const size_t name = bytes.find("Content-Length:");
            const size_t length = name < blank ? std::strtoul(bytes.c_str() + name + 15, nullptr, 10) : 0;
            if (bytes.size() >= blank + 4 + length) {
                body = bytes.substr(blank + 4, length);
                return true;
            }
        }
        const platform::Readiness ready = testnet::WaitReady(socket, platform::Awaited::kReadable, kSliceMs);
        if (ready == platform::Readiness::kFailed) return false;
        if (ready == platform::Readiness::kTimedOut) continue;
        char buffer[64 * 1024];
        const int64_t got = platform::ReceiveOnce(socket, buffer, sizeof buffer);
        if (got == 0) return false;
        if (got < 0) {
            if (platform::LastSocketErrorKind() == platform::SocketError::kWouldBlock) continue;
            return false;
        }
        bytes.append(buffer, static_cast<size_t>(got));
    }
    return false;
}

}  // namespace

ChunkPhone::ChunkPhone(Options options) : mOptions(std::move(options)) {
    mListener = testnet::ListenLoopback(128, &mPort);
    if (mListener.IsOpen()) mAcceptThread = std::thread([this] { AcceptLoop(); });
}

ChunkPhone::~ChunkPhone() {
    {
        std::lock_guard<std::mutex> guard(mLock);
        mStopping = true;
    }
    mChanged.notify_all();
    if (mAcceptThread.joinable()) mAcceptThread.join();
    for (std::thread& handler : mHandlers) handler.join();
}

void ChunkPhone::AcceptLoop() {
    while (!mStopping) {
        platform::Socket socket = testnet::AcceptWithin(mListener, kSliceMs);
        if (!socket.IsOpen()) continue;
        mHandlers.emplace_back([this, s = std::move(socket)]() mutable { Serve(std::move(s)); });
    }
}

void ChunkPhone::Serve(platform::Socket socket) {
    std::string body;
    if (!ReadBody(socket, mStopping, body)) return;
    const std::string answer = Answer(body);
    testnet::SendAll(socket, answer.data(), answer.size());
    {
        std::lock_guard<std::mutex> guard(mLock);
        if (body.size() >= 28 && (BigEndian(body, 24) == 11 || BigEndian(body, 24) == 12)) --mInFlight;
    }
    // Wait for the client to close, as the phone's service does.
    ReadBody(socket, mStopping, body);
}

std::string ChunkPhone::Answer(const std::string& body) {
    const uint32_t command = BigEndian(body, 24);
    const size_t pathLength = body.size() >= 30 ? (static_cast<uint8_t>(body[28]) << 8 | static_cast<uint8_t>(body[29])) : 0;
    const size_t after = 30 + pathLength;
    if (command == 14) {
        std::unique_lock<std::mutex> lock(mLock);
        if (!mOptions.exists) return HttpResponse(filewire::Answer(1, I32(14) + I32(0)));
        return HttpResponse(filewire::Answer(1, I32(14) + I32(1) + InfoBytes({body.substr(30, pathLength), mOptions.content.size()})));
    }
    if (command != 11 && command != 12) return HttpResponse(filewire::Answer(0));
    const int64_t offset = static_cast<int32_t>(BigEndian(body, after));
    std::unique_lock<std::mutex> lock(mLock);
    const int index = ++mChunks;
    mOffsets.push_back(offset);
    mMaxInFlight = std::max(mMaxInFlight, ++mInFlight);
    mChanged.notify_all();
    if (index <= mOptions.holdFirst)
        mChanged.wait_for(lock, kGateLimit, [this] { return mGateOpen || mStopping.load(); });
    if (index == mOptions.refuseNth) return HttpResponse(filewire::Answer(0));
    std::string& file = mOptions.content;
    if (command == 12) {
        const size_t length = BigEndian(body, after + 4);
        const std::string data = body.substr(after + 8, length);
        if (file.size() < offset + data.size()) file.resize(offset + data.size());
        file.replace(static_cast<size_t>(offset), data.size(), data);
        return HttpResponse(filewire::Answer(1));
    }
    const std::string data = offset < static_cast<int64_t>(file.size()) ? file.substr(offset, 65536) : "";
    return HttpResponse(filewire::Answer(1, Block(data)));
}

void ChunkPhone::OpenGate() {
    {
        std::lock_guard<std::mutex> guard(mLock);
        mGateOpen = true;
    }
    mChanged.notify_all();
}

bool ChunkPhone::WaitForChunks(int n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mLock);
    return mChanged.wait_for(lock, timeout, [&] { return mChunks >= n; });
}

int ChunkPhone::MaxInFlight() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mMaxInFlight;
}
int ChunkPhone::Chunks() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mChunks;
}
std::vector<int64_t> ChunkPhone::Offsets() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mOffsets;
}
std::string ChunkPhone::Content() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mOptions.content;
}
