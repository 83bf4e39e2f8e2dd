// A scripted loopback server for tests of everything that talks to the phone
// service. It listens on 127.0.0.1 at a port of the system's choosing (ready
// once constructed), runs a script of steps on every connection it accepts,
// each connection on its own thread, and records what the client sent.
//
//   ScriptedPeer peer(PeerScript().ReadRequest().Respond("hello").Close());
//   ... client talks to peer.port() ...
//   ASSERT_TRUE(peer.WaitForRequests(1, std::chrono::seconds(5)));
//   EXPECT_EQ(peer.Requests()[0], expectedBytes);
//
// Every wait inside the peer is bounded, and destroying the peer ends all of
// them, closes every socket and joins every thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"

class PeerScript {
public:
    enum class Kind { kReadRequest, kReadHeader, kSend, kEchoBody, kDelay, kWaitGate, kAwaitClientClose, kClose, kReset };
    struct Step {
        Kind kind;
        std::string bytes;
        std::chrono::milliseconds delay{0};
    };

    // Reads one request: its header block up to the blank line and as many
    // body bytes as its Content-Length announces. The bytes are recorded.
    PeerScript& ReadRequest();
    // Reads until one request's header block is complete and records the
    // bytes read as a request, body bytes that came with them included;
    // then reads nothing until a later step does, as a peer that stops
    // taking the body (its receive window fills).
    PeerScript& ReadHeader();
    // Sends bytes as one piece.
    PeerScript& Send(std::string bytes);
    // Sends HttpResponse(body, statusLine) as one piece.
    PeerScript& Respond(const std::string& body, const std::string& statusLine = "HTTP/1.1 200 OK");
    // Answers with the body of the request read last.
    PeerScript& EchoBody();
    // Pauses between pieces, as a slow peer would.
    PeerScript& Delay(std::chrono::milliseconds delay);
    // Waits until the test calls ScriptedPeer::OpenGate().
    PeerScript& WaitGate();
    // Reads (and records) until the client closes: a peer that has nothing
    // more to say but keeps the connection open.
    PeerScript& AwaitClientClose();
    // Orderly close; the script ends.
    PeerScript& Close();
    // Abortive close (the client sees a reset); the script ends.
    PeerScript& Reset();

    const std::vector<Step>& steps() const { return mSteps; }

private:
    std::vector<Step> mSteps;
};

// "statusLine\r\nContent-Length: N\r\n\r\nbody".
std::string HttpResponse(const std::string& body, const std::string& statusLine = "HTTP/1.1 200 OK");

class ScriptedPeer {
public:
    // The same script on every connection.
    explicit ScriptedPeer(PeerScript everyConnection, int backlog = 128);
    // scriptFor(i) is the script of the i-th accepted connection (from 0).
    explicit ScriptedPeer(std::function<PeerScript(int)> scriptFor, int backlog = 128);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    bool ok() const { return mListener.IsOpen(); }
    uint16_t port() const { return mPort; }

    // Waits at most timeout until n requests have been read (ReadRequest,
    // ReadHeader).
    bool WaitForRequests(size_t n, std::chrono::milliseconds timeout);
    // Waits at most timeout until n connections have run their scripts to
    // the end.
    bool WaitForFinishedConnections(size_t n, std::chrono::milliseconds timeout);

    // The requests read so far, in the order they were completed.
    std::vector<std::string> Requests() const;
    // Every byte read on the i-th accepted connection so far.
    std::string Received(size_t connection) const;
    size_t AcceptedConnections() const;

    // Releases every connection waiting in WaitGate, now and later.
    void OpenGate();

    // A loopback port on which nothing listens (a listener is opened on port
    // 0 and closed again).
    static uint16_t UnusedPort();

private:
    struct Connection;

    void AcceptLoop();
    void RunScript(Connection& connection, const PeerScript& script);
    // Reads what is waiting into the connection's record; false when the
    // client has closed, the peer is stopping or nothing came for too long.
    bool ReadSome(Connection& connection, std::string& into);
    bool ReadRequest(Connection& connection, bool headerOnly);
    void AwaitClientClose(Connection& connection);
    void JoinFinishedHandlers();

    std::function<PeerScript(int)> mScriptFor;
    platform::Socket mListener;
    uint16_t mPort = 0;

    mutable std::mutex mLock;
    std::condition_variable mChanged;
    std::atomic<bool> mStopping{false};  // written under mLock
    bool mGateOpen = false;
    std::vector<std::string> mRequests;
    std::vector<std::shared_ptr<Connection>> mConnections;
    size_t mFinished = 0;
    std::list<std::pair<std::thread, std::shared_ptr<Connection>>> mHandlers;
    std::thread mAcceptThread;
};
