// The chunk exchanges of one transfer, driven from the calling thread: at
// most `width` at once, each over a connection of its own, all of them
// waited for by one readiness wait. No thread is started, so a transfer
// costs no hand-off between threads per chunk, and when Run returns no
// exchange of it is left under way.
//
// Each chunk is one HTTP exchange (HttpClient's Begin and Advance), with the
// same bytes, bounds, waits and results as a request made on its own.
// Chunks start in the order the transfer produces them, each as soon as a
// connection is free, and none after the stop flag is raised or a chunk has
// failed; the chunks already under way run to their end (a stop ends them at
// their next check).
//
// A chunk whose exchange lost the connection is made again inside the pump
// when the exchange's retry policy allows it (transport/Retry.h): it keeps
// its connection slot, waits its delay while the other chunks go on, and
// then sends the same request again. The transfer hears of a chunk once,
// with its last attempt's result. A stop, or another chunk's failure, ends
// a chunk waiting to be retried with the failure it waits after.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "transport/ByteArray.h"
#include "transport/RetryPolicy.h"

class ChunkPump {
public:
    using StopFlag = std::atomic<uint8_t>;

    // The transfer's side of the pump. Both calls run on the thread that
    // called Run.
    class Chunks {
    public:
        // Frames the next chunk's request into request (a buffer the pump
        // reuses chunk after chunk) and sets *tag to what Done needs to
        // know of it. 1: a chunk; 0: no more; negative: the transfer's own
        // failure, which ends it.
        virtual int32_t Next(ByteArray& request, int64_t* tag) = 0;
        // The chunk tagged tag has ended: requestResult is the HTTP
        // client's result (negative: the exchange failed), response the
        // answer's body. 0, or the chunk's failure.
        virtual int32_t Done(int32_t requestResult, ByteArray& response, int64_t tag) = 0;

    protected:
        ~Chunks() = default;
    };

    struct Exchange {
        const char* host;
        int32_t port;
        const char* path;
        int32_t timeoutSeconds;  // inactivity bound of each exchange
        int32_t maxBody;         // longest answer a chunk can legitimately bring
        uint32_t settleMs;       // HttpClient::SetSettleOnAbandon for each exchange
        const StopFlag* stopFlag;
        const RetryPolicy* retry = nullptr;  // null: no retries
    };

    // Runs the transfer's chunks, width (1 to 16) at once. An exchange that
    // throws fails its chunk with -1 and one log line under name (a string
    // literal), which also names the retries' log lines. Returns Next's failure, else the last failure of a chunk,
    // else 0. An exception from Next or Done leaves Run after every chunk
    // under way has ended.
    static int32_t Run(const Exchange& exchange, Chunks& chunks, int32_t width, const char* name);

    // Test seam: called with name when each chunk's exchange begins;
    // whatever it throws is that exchange's exception. Empty: nothing is
    // called.
    static void SetChunkHookForTesting(std::function<void(const char* name)> hook);
};
