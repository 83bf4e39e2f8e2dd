// A phone file service that keeps its files in memory, for benchmarks: it
// must never be what limits a transfer, so the client is what gets measured.
//
// It listens on 127.0.0.1 (a port of its own), reads one HTTP request per
// connection (head, Content-Length body), answers it from memory and closes,
// as the phone's service does. Commands: chunk read (11) and write (12),
// delete file (13), stat (14), listing (15: every file below the folder, as
// one flat list), media scan (16), delete tree (17), delete empty folders
// (18, nothing to do), rename (20); anything else is refused (status 0).
//
// Threads: `threads` event loops over non-blocking sockets (epoll), sharing
// the listening socket. The store's functions may be called from any thread,
// but the benchmark changes a file only while no transfer touches it.
#pragma once

#include <sys/uio.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "filesync_wire.h"

namespace bench {

// Pages handed out to files and taken back when a file goes, so that after
// the first round no chunk write touches fresh memory: page faults would
// make the peer, not the client, the slow side.
class PagePool {
public:
    static constexpr size_t kPage = 65536;
    using Page = std::unique_ptr<uint8_t[]>;
    Page Take();
    void Give(Page page);
    // Allocates (and so faults in) pages until the pool holds bytes' worth.
    void Fill(size_t bytes);

private:
    std::mutex mMutex;
    std::vector<Page> mFree;
};

// A file as 64 KiB pages: chunk writes in any order never move bytes already
// stored, and a chunk read is sent straight from its page.
class PagedFile {
public:
    static constexpr size_t kPage = PagePool::kPage;
    explicit PagedFile(PagePool& pool) : mPool(pool) {}
    ~PagedFile();
    PagedFile(const PagedFile&) = delete;
    PagedFile& operator=(const PagedFile&) = delete;
    void Write(int64_t offset, const uint8_t* data, size_t length);
    // Up to two pieces covering [offset, offset + length) clipped to the size;
    // returns the byte count.
    size_t Read(int64_t offset, size_t length, iovec pieces[2], int* count) const;
    int64_t size() const { return mSize; }
    bool Equals(const uint8_t* data, size_t length) const;

private:
    PagePool& mPool;
    std::vector<PagePool::Page> mPages;
    int64_t mSize = 0;
};

class MemoryPeer {
public:
    explicit MemoryPeer(int threads = 1);
    ~MemoryPeer();
    MemoryPeer(const MemoryPeer&) = delete;
    MemoryPeer& operator=(const MemoryPeer&) = delete;

    // Binds, listens and starts the loops; false with a reason on failure.
    bool Start(std::string* error);
    uint16_t port() const { return mPort; }

    void Store(const std::string& path, const uint8_t* data, size_t length);
    // Prepares memory for bytes of uploads, so that no timed run pays for it.
    void Reserve(size_t bytes) { mPool.Fill(bytes); }
    // True when path holds exactly these bytes.
    bool Holds(const std::string& path, const uint8_t* data, size_t length) const;
    void Remove(const std::string& path);
    void RemoveBelow(const std::string& folder);
    size_t FileCount() const;

    // CPU time the loops have used so far (all threads), in seconds.
    double CpuSeconds() const;
    // Requests answered with a status other than 1, and connections dropped
    // for a malformed request or a time-out.
    int64_t Refusals() const { return mRefusals.load(); }
    int64_t Dropped() const { return mDropped.load(); }

    // While recording, every complete request (head and body) is kept.
    void Record(bool on);
    std::vector<std::string> TakeRecorded();

private:
    struct Connection;
    struct Answer;
    class Loop;
    friend class Loop;

    Answer Handle(const uint8_t* body, size_t length);
    std::shared_ptr<PagedFile> Find(const std::string& path) const;

    int mThreadCount;
    UniqueFd mListener;
    UniqueFd mWake;  // eventfd: readable once the loops must stop
    uint16_t mPort = 0;
    std::vector<std::unique_ptr<Loop>> mLoops;

    PagePool mPool;  // outlives every file
    mutable std::mutex mMutex;  // guards the store and the recording
    std::unordered_map<std::string, std::shared_ptr<PagedFile>> mFiles;
    int64_t mNextMediaId = 1;
    std::atomic<bool> mRecording{false};
    std::vector<std::string> mRecorded;
    std::atomic<int64_t> mRefusals{0};
    std::atomic<int64_t> mDropped{0};
};

}  // namespace bench
