// A small in-memory file service for transfer tests: it answers stat (14),
// write chunk (12) and read chunk (11) for one file, each connection on its
// own thread, and watches the client from the phone's side: how many chunk
// requests are in flight at once (read, not yet answered), how many came in
// all, and at which offsets. It can hold the first chunk requests until the
// test opens a gate, and refuse the n-th chunk with status 0.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"

class ChunkPhone {
public:
    struct Options {
        std::string content;     // the phone file, served by stat and read chunk
        bool exists = true;      // whether stat finds it
        int holdFirst = 0;       // chunk requests held until OpenGate()
        int refuseNth = 0;       // this chunk request (1-based) gets status 0
    };
    explicit ChunkPhone(Options options);
    ~ChunkPhone();
    ChunkPhone(const ChunkPhone&) = delete;
    ChunkPhone& operator=(const ChunkPhone&) = delete;

    uint16_t port() const { return mPort; }
    void OpenGate();
    // Waits at most timeout until n chunk requests have been read.
    bool WaitForChunks(int n, std::chrono::milliseconds timeout);

    int MaxInFlight() const;
    int Chunks() const;
    std::vector<int64_t> Offsets() const;  // of the chunk requests, in arrival order
    std::string Content() const;           // the file as written by chunks

private:
    void AcceptLoop();
    void Serve(platform::Socket socket);
    std::string Answer(const std::string& body);

    Options mOptions;
    platform::Socket mListener;
    uint16_t mPort = 0;
    mutable std::mutex mLock;
    std::condition_variable mChanged;
    std::atomic<bool> mStopping{false};
    bool mGateOpen = false;
    int mInFlight = 0, mMaxInFlight = 0, mChunks = 0;
    std::vector<int64_t> mOffsets;
    std::list<std::thread> mHandlers;
    std::thread mAcceptThread;
};
