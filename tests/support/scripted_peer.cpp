#include "support/scripted_peer.h"

#include <cstdlib>
#include <cstring>

#include "support/peer_socket.h"

namespace {

// A peer connection that hears nothing for this long gives up; no test waits
// that long on purpose.
constexpr auto kIdleLimit = std::chrono::seconds(15);
// Longest blocking wait of a peer thread between checks of the stop mark.
constexpr uint32_t kSliceMs = 50;
constexpr auto kGateLimit = std::chrono::seconds(30);

// Bytes of a request, header and body, once the header is complete; 0 before.
size_t CompleteRequestSize(const std::string& bytes) {
    const size_t blank = bytes.find("\r\n\r\n");
    if (blank == std::string::npos) return 0;
    const size_t headerSize = blank + 4;
    size_t bodySize = 0;
    const size_t name = bytes.find("Content-Length:");
    if (name != std::string::npos && name < blank)
        bodySize = std::strtoul(bytes.c_str() + name + std::strlen("Content-Length:"), nullptr, 10);
    return headerSize + bodySize;
}

}  // namespace

PeerScript& PeerScript::ReadRequest() {
    mSteps.push_back({Kind::kReadRequest, {}, {}});
    return *this;
}
PeerScript& PeerScript::ReadHeader() {
    mSteps.push_back({Kind::kReadHeader, {}, {}});
    return *this;
}
PeerScript& PeerScript::Send(std::string bytes) {
    mSteps.push_back({Kind::kSend, std::move(bytes), {}});
    return *this;
}
PeerScript& PeerScript::Respond(const std::string& body, const std::string& statusLine) {
    return Send(HttpResponse(body, statusLine));
}
PeerScript& PeerScript::EchoBody() {
    mSteps.push_back({Kind::kEchoBody, {}, {}});
    return *this;
}
PeerScript& PeerScript::Delay(std::chrono::milliseconds delay) {
    mSteps.push_back({Kind::kDelay, {}, delay});
    return *this;
}
PeerScript& PeerScript::WaitGate() {
    mSteps.push_back({Kind::kWaitGate, {}, {}});
    return *this;
}
PeerScript& PeerScript::AwaitClientClose() {
    mSteps.push_back({Kind::kAwaitClientClose, {}, {}});
    return *this;
}
PeerScript& PeerScript::Close() {
    mSteps.push_back({Kind::kClose, {}, {}});
    return *this;
}
PeerScript& PeerScript::Reset() {
    mSteps.push_back({Kind::kReset, {}, {}});
    return *this;
}

std::string HttpResponse(const std::string& body, const std::string& statusLine) {
    return statusLine + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

struct ScriptedPeer::Connection {
    platform::Socket socket;
    std::string received;  // guarded by the peer's mLock
    std::string lastBody;  // used by its own thread only
    bool done = false;     // guarded by the peer's mLock
};

ScriptedPeer::ScriptedPeer(PeerScript everyConnection, int backlog)
    : ScriptedPeer([script = std::move(everyConnection)](int) { return script; }, backlog) {}

ScriptedPeer::ScriptedPeer(std::function<PeerScript(int)> scriptFor, int backlog)
    : mScriptFor(std::move(scriptFor)) {
    mListener = testnet::ListenLoopback(backlog, &mPort);
    if (mListener.IsOpen()) mAcceptThread = std::thread([this] { AcceptLoop(); });
}

ScriptedPeer::~ScriptedPeer() {
    {
        std::lock_guard<std::mutex> guard(mLock);
        mStopping = true;
    }
    mChanged.notify_all();
    if (mAcceptThread.joinable()) mAcceptThread.join();
    for (auto& handler : mHandlers) handler.first.join();
}

void ScriptedPeer::AcceptLoop() {
    while (!mStopping) {
        platform::Socket accepted = testnet::AcceptWithin(mListener, kSliceMs);
        JoinFinishedHandlers();
        if (!accepted.IsOpen()) continue;
        auto connection = std::make_shared<Connection>();
        connection->socket = std::move(accepted);
        int index;
        {
            std::lock_guard<std::mutex> guard(mLock);
            index = static_cast<int>(mConnections.size());
            mConnections.push_back(connection);
        }
        PeerScript script = mScriptFor(index);
        std::thread handler([this, connection, script = std::move(script)] {
            RunScript(*connection, script);
        });
        mHandlers.emplace_back(std::move(handler), connection);
    }
}

void ScriptedPeer::JoinFinishedHandlers() {
    for (auto it = mHandlers.begin(); it != mHandlers.end();) {
        bool done;
        {
            std::lock_guard<std::mutex> guard(mLock);
            done = it->second->done;
        }
        if (!done) {
            ++it;
            continue;
        }
        it->first.join();
        it = mHandlers.erase(it);
    }
}

void ScriptedPeer::RunScript(Connection& connection, const PeerScript& script) {
    bool open = true;
    for (const PeerScript::Step& step : script.steps()) {
        if (!open || mStopping) break;
        switch (step.kind) {
            case PeerScript::Kind::kReadRequest:
                open = ReadRequest(connection, false);
                break;
            case PeerScript::Kind::kReadHeader:
                open = ReadRequest(connection, true);
                break;
            case PeerScript::Kind::kSend:
                open = testnet::SendAll(connection.socket, step.bytes.data(), step.bytes.size());
                break;
            case PeerScript::Kind::kEchoBody: {
                const std::string response = HttpResponse(connection.lastBody);
                open = testnet::SendAll(connection.socket, response.data(), response.size());
                break;
            }
            case PeerScript::Kind::kDelay: {
                std::unique_lock<std::mutex> lock(mLock);
                mChanged.wait_for(lock, step.delay, [this] { return mStopping.load(); });
                break;
            }
            case PeerScript::Kind::kWaitGate: {
                std::unique_lock<std::mutex> lock(mLock);
                mChanged.wait_for(lock, kGateLimit, [this] { return mGateOpen || mStopping; });
                break;
            }
            case PeerScript::Kind::kAwaitClientClose:
                AwaitClientClose(connection);
                break;
            case PeerScript::Kind::kClose:
                testnet::ShutdownSend(connection.socket);
                connection.socket.Close();
                open = false;
                break;
            case PeerScript::Kind::kReset:
                testnet::ResetAndClose(connection.socket);
                open = false;
                break;
        }
    }
    if (connection.socket.IsOpen()) {
        testnet::ShutdownSend(connection.socket);
        connection.socket.Close();
    }
    {
        std::lock_guard<std::mutex> guard(mLock);
        connection.done = true;
        ++mFinished;
    }
    mChanged.notify_all();
}

bool ScriptedPeer::ReadSome(Connection& connection, std::string& into) {
    const auto giveUp = std::chrono::steady_clock::now() + kIdleLimit;
    while (!mStopping && std::chrono::steady_clock::now() < giveUp) {
        const platform::Readiness readiness = testnet::WaitReady(connection.socket, platform::Awaited::kReadable, kSliceMs);
        if (readiness == platform::Readiness::kFailed) return false;
        if (readiness == platform::Readiness::kTimedOut) continue;
        char buffer[64 * 1024];
        const int64_t got = platform::ReceiveOnce(connection.socket, buffer, sizeof buffer);
        if (got == 0) return false;  // the client has closed
        if (got < 0) {
            if (platform::LastSocketErrorKind() == platform::SocketError::kWouldBlock) continue;
            return false;
        }
        into.append(buffer, static_cast<size_t>(got));
        std::lock_guard<std::mutex> guard(mLock);
        connection.received.append(buffer, static_cast<size_t>(got));
        return true;
    }
    return false;
}

bool ScriptedPeer::ReadRequest(Connection& connection, bool headerOnly) {
    std::string request;
    for (;;) {
        const size_t size = CompleteRequestSize(request);
        if (size > 0 && (headerOnly || request.size() >= size)) break;
        if (!ReadSome(connection, request)) return false;
    }
    if (!headerOnly) request.resize(CompleteRequestSize(request));
    connection.lastBody = request.substr(request.find("\r\n\r\n") + 4);
    {
        std::lock_guard<std::mutex> guard(mLock);
        mRequests.push_back(std::move(request));
    }
    mChanged.notify_all();
    return true;
}

void ScriptedPeer::AwaitClientClose(Connection& connection) {
    std::string ignored;
    while (ReadSome(connection, ignored)) ignored.clear();
}

bool ScriptedPeer::WaitForRequests(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mLock);
    return mChanged.wait_for(lock, timeout, [&] { return mRequests.size() >= n; });
}

bool ScriptedPeer::WaitForFinishedConnections(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mLock);
    return mChanged.wait_for(lock, timeout, [&] { return mFinished >= n; });
}

std::vector<std::string> ScriptedPeer::Requests() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mRequests;
}

std::string ScriptedPeer::Received(size_t connection) const {
    std::lock_guard<std::mutex> guard(mLock);
    return connection < mConnections.size() ? mConnections[connection]->received : std::string();
}

size_t ScriptedPeer::AcceptedConnections() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mConnections.size();
}

void ScriptedPeer::OpenGate() {
    {
        std::lock_guard<std::mutex> guard(mLock);
        mGateOpen = true;
    }
    mChanged.notify_all();
}

uint16_t ScriptedPeer::UnusedPort() {
    uint16_t port = 0;
    platform::Socket listener = testnet::ListenLoopback(1, &port);
    return listener.IsOpen() ? port : 0;
}
