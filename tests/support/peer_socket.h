// The server side of loopback sockets for tests, over the library's platform
// socket layer: listening, accepting and closing in the ways a test peer
// needs, plus the few facts about the platform that tests depend on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/socket.h"

namespace testnet {

// A socket listening on 127.0.0.1 at a port the system chooses (port 0);
// *port receives it. Not open on failure.
platform::Socket ListenLoopback(int backlog, uint16_t* port);

// Accepts one connection, waiting at most milliseconds; not open when none
// arrived or accepting failed.
platform::Socket AcceptWithin(const platform::Socket& listener, uint32_t milliseconds);

// Waits at most milliseconds until socket is ready for what: one entry of
// platform::WaitForAny. kReady when it is.
platform::Readiness WaitReady(const platform::Socket& socket, platform::Awaited what, uint32_t milliseconds);

// Sends every byte, looping over partial sends (on a non-blocking socket,
// waiting for room); false on failure.
bool SendAll(const platform::Socket& socket, const void* data, size_t length);

// Orderly close of the sending direction (FIN); the socket stays open.
void ShutdownSend(const platform::Socket& socket);

// Abortive close: the peer sees a reset.
void ResetAndClose(platform::Socket& socket);

// A non-blocking connect to 127.0.0.1:port that is left in progress or
// connected; used to fill a listener's queue.
platform::Socket StartLoopbackConnect(uint16_t port);

// A listener that never accepts, with its queue filled, so that a further
// connect to it gets no answer at all: the system drops the SYN of a
// connection its full queue cannot take. Stands in for a host that does not
// answer, on loopback.
class SilentListener {
public:
    SilentListener();
    // False when the queue could not be filled (the connect would not hang).
    bool ok() const { return mOk; }
    uint16_t port() const { return mPort; }

private:
    platform::Socket mListener;
    std::vector<platform::Socket> mFillers;
    uint16_t mPort = 0;
    bool mOk = false;
};

// True when the Windows build runs under Wine.
bool IsWine();

// Counts TCP sockets in TIME_WAIT whose remote end is 127.0.0.1:port, that
// is, client-side sockets of connections to a listener on that port. False
// when the platform offers no such listing (only Linux does, through ss).
bool CountClientTimeWait(uint16_t port, int* count);

}  // namespace testnet
