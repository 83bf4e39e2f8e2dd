#include "memory_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace bench {

using wire::PutString;
using wire::PutU32;
using wire::PutU64;

// ---------------------------------------------------------------------------
// PagedFile

PagePool::Page PagePool::Take() {
    {
        std::lock_guard<std::mutex> guard(mMutex);
        if (!mFree.empty()) {
            Page page = std::move(mFree.back());
            mFree.pop_back();
            return page;
        }
    }
    return std::make_unique<uint8_t[]>(kPage);
}

void PagePool::Give(Page page) {
    std::lock_guard<std::mutex> guard(mMutex);
    mFree.push_back(std::move(page));
}

void PagePool::Fill(size_t bytes) {
    std::lock_guard<std::mutex> guard(mMutex);
    while (mFree.size() * kPage < bytes) mFree.push_back(std::make_unique<uint8_t[]>(kPage));
}

PagedFile::~PagedFile() {
    for (PagePool::Page& page : mPages)
        if (page) mPool.Give(std::move(page));
}

void PagedFile::Write(int64_t offset, const uint8_t* data, size_t length) {
    const int64_t end = offset + static_cast<int64_t>(length);
    const size_t pagesNeeded = static_cast<size_t>((end + kPage - 1) / kPage);
    if (mPages.size() < pagesNeeded) mPages.resize(pagesNeeded);
    while (length > 0) {
        const size_t index = static_cast<size_t>(offset / kPage);
        const size_t within = static_cast<size_t>(offset % kPage);
        const size_t piece = std::min(length, kPage - within);
        if (!mPages[index]) {
            mPages[index] = mPool.Take();
            // A page only partly written reads as zeros elsewhere, as a
            // file's hole does; a pooled page holds an older file's bytes.
            if (piece < kPage) std::memset(mPages[index].get(), 0, kPage);
        }
        std::memcpy(mPages[index].get() + within, data, piece);
        data += piece;
        offset += static_cast<int64_t>(piece);
        length -= piece;
    }
    mSize = std::max(mSize, end);
}

size_t PagedFile::Read(int64_t offset, size_t length, iovec pieces[2], int* count) const {
    *count = 0;
    if (offset >= mSize) return 0;
    length = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(length), mSize - offset));
    size_t total = 0;
    static const uint8_t kZeros[kPage] = {};
    while (total < length && *count < 2) {
        const size_t index = static_cast<size_t>(offset / kPage);
        const size_t within = static_cast<size_t>(offset % kPage);
        const size_t piece = std::min(length - total, kPage - within);
        const uint8_t* page = mPages[index] ? mPages[index].get() : kZeros;
        pieces[*count].iov_base = const_cast<uint8_t*>(page + within);
        pieces[*count].iov_len = piece;
        ++*count;
        total += piece;
        offset += static_cast<int64_t>(piece);
    }
    return total;
}

bool PagedFile::Equals(const uint8_t* data, size_t length) const {
    if (mSize != static_cast<int64_t>(length)) return false;
    for (size_t offset = 0; offset < length; offset += kPage) {
        iovec pieces[2];
        int count = 0;
        const size_t got = Read(static_cast<int64_t>(offset), kPage, pieces, &count);
        if (std::memcmp(pieces[0].iov_base, data + offset, got) != 0) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Answers

namespace {

constexpr size_t kMaxHead = 16 * 1024;
constexpr int64_t kMaxBody = 64 * 1024 * 1024 + 4096;
constexpr auto kIdle = std::chrono::seconds(10);
constexpr uint64_t kModified = 1700000000000;  // every file's modification time

void PutInfo(std::string& out, const std::string& path, int64_t size) {
    PutString(out, path);
    PutU32(out, 1);  // readable
    PutU32(out, 1);  // writable
    PutU64(out, static_cast<uint64_t>(size));
    PutU32(out, 1);  // a file
    PutU32(out, 0);  // not a folder
    PutU32(out, 0);  // not hidden
    PutU64(out, kModified);
}

}  // namespace

// What goes back: the response head, the body's frame and small result data
// in one text, then (chunk reads only) the file's bytes straight from its
// pages.
struct MemoryPeer::Answer {
    int32_t status = 0;
    std::string result;
    std::shared_ptr<PagedFile> source;  // keeps the pages alive while they are sent
    iovec pieces[2] = {};
    int pieceCount = 0;
    size_t pieceBytes = 0;
};

MemoryPeer::Answer MemoryPeer::Handle(const uint8_t* body, size_t length) {
    Answer answer;
    wire::Reader in(body, length);
    if (in.remaining() < wire::kMarker.size() ||
        std::memcmp(in.at(), wire::kMarker.data(), wire::kMarker.size()) != 0)
        return answer;
    in.Skip(wire::kMarker.size());
    in.U32();
    const int32_t command = static_cast<int32_t>(in.U32());
    switch (command) {
        case phone_service::kGetChunk: {
            const std::string path = in.String();
            const int64_t offset = in.U32();
            const size_t wanted = std::min<uint32_t>(in.U32(), wire::kChunkSize);
            answer.source = Find(path);
            if (!in.ok() || !answer.source) break;
            answer.pieceBytes = answer.source->Read(offset, wanted, answer.pieces, &answer.pieceCount);
            PutU32(answer.result, static_cast<uint32_t>(answer.pieceBytes));
            answer.status = 1;
            break;
        }
        case phone_service::kPutChunk: {
            const std::string path = in.String();
            const int64_t offset = in.U32();
            const uint32_t count = in.U32();
            if (!in.ok() || in.remaining() < count) break;
            std::lock_guard<std::mutex> guard(mMutex);
            std::shared_ptr<PagedFile>& file = mFiles[path];
            if (!file) file = std::make_shared<PagedFile>(mPool);
            file->Write(offset, in.at(), count);
            answer.status = 1;
            break;
        }
        case phone_service::kGetInfo: {
            const std::string path = in.String();
            if (!in.ok()) break;
            const std::shared_ptr<PagedFile> file = Find(path);
            PutU32(answer.result, phone_service::kGetInfo);
            PutU32(answer.result, file ? 1 : 0);
            if (file) PutInfo(answer.result, path, file->size());
            answer.status = 1;
            break;
        }
        case phone_service::kEnumDir: {
            const std::string folder = in.String();
            if (!in.ok()) break;
            const std::string prefix = folder.empty() || folder.back() != '/' ? folder + "/" : folder;
            std::string entries;
            uint32_t count = 0;
            {
                std::lock_guard<std::mutex> guard(mMutex);
                for (const auto& [path, file] : mFiles) {
                    if (path.compare(0, prefix.size(), prefix) != 0) continue;
                    PutInfo(entries, path, file->size());
                    ++count;
                }
            }
            PutU32(answer.result, phone_service::kEnumDir);
            PutU32(answer.result, 1);
            PutU32(answer.result, count);
            answer.result += entries;
            answer.status = 1;
            break;
        }
        case phone_service::kScanMedia: {
            const uint32_t asked = in.U32();
            std::string entries;
            uint32_t found = 0;
            for (uint32_t i = 0; i < asked && in.ok(); ++i) {
                const std::string path = in.String();
                if (!in.ok() || !Find(path)) continue;
                int64_t id = 0;
                {
                    std::lock_guard<std::mutex> guard(mMutex);
                    id = mNextMediaId++;
                }
                PutString(entries, path);  // byte for byte as asked: callers match on it
                PutString(entries, "audio/mpeg");
                PutString(entries, std::to_string(id));
                ++found;
            }
            if (!in.ok()) break;
            PutU32(answer.result, phone_service::kScanMedia);
            PutU32(answer.result, found);
            answer.result += entries;
            answer.status = 1;
            break;
        }
        case phone_service::kDeleteFile: {
            const std::string path = in.String();
            if (!in.ok()) break;
            Remove(path);
            answer.status = 1;
            break;
        }
        case phone_service::kDeletePath: {
            const std::string path = in.String();
            if (!in.ok()) break;
            Remove(path);
            RemoveBelow(path);
            answer.status = 1;
            break;
        }
        case phone_service::kDeleteEmptyPath:
            // A flat store has no folders to remove.
            in.String();
            answer.status = in.ok() ? 1 : 0;
            break;
        case phone_service::kRename: {
            const std::string from = in.String();
            const std::string to = in.String();
            if (!in.ok()) break;
            std::lock_guard<std::mutex> guard(mMutex);
            const auto found = mFiles.find(from);
            if (found == mFiles.end() || mFiles.count(to) != 0) break;
            std::shared_ptr<PagedFile> file = found->second;
            mFiles.erase(found);
            mFiles[to] = std::move(file);
            answer.status = 1;
            break;
        }
        default:
            break;
    }
    if (answer.status != 1) {
        answer = Answer{};
        ++mRefusals;
    }
    return answer;
}

// ---------------------------------------------------------------------------
// Connections and loops

struct MemoryPeer::Connection {
    UniqueFd fd;
    std::vector<uint8_t> in;
    size_t received = 0;
    wire::HttpHead head;
    // The answer being sent: text first, then the pieces.
    std::string text;
    Answer answer;
    size_t sent = 0;
    bool answering = false;
    std::chrono::steady_clock::time_point deadline;
};

class MemoryPeer::Loop {
public:
    explicit Loop(MemoryPeer& peer) : mPeer(peer) {}
    ~Loop() {
        if (mThread.joinable()) mThread.join();
    }

    bool Start(std::string* error) {
        mEpoll.Reset(::epoll_create1(EPOLL_CLOEXEC));
        epoll_event listen{};
        // EPOLLEXCLUSIVE: a new connection wakes one loop, not all of them.
        listen.events = EPOLLIN | EPOLLEXCLUSIVE;
        listen.data.ptr = nullptr;
        epoll_event wake{};
        wake.events = EPOLLIN;
        wake.data.ptr = &mPeer.mWake;
        if (!mEpoll.valid() || ::epoll_ctl(mEpoll.get(), EPOLL_CTL_ADD, mPeer.mListener.get(), &listen) != 0 ||
            ::epoll_ctl(mEpoll.get(), EPOLL_CTL_ADD, mPeer.mWake.get(), &wake) != 0) {
            *error = std::string("epoll: ") + std::strerror(errno);
            return false;
        }
        mThread = std::thread([this] { Run(); });
        return true;
    }

    double CpuSeconds() const {
        std::lock_guard<std::mutex> guard(mClockMutex);
        if (!mHasClock) return 0;
        timespec spent{};
        if (::clock_gettime(mClock, &spent) != 0) return 0;
        return static_cast<double>(spent.tv_sec) + spent.tv_nsec / 1e9;
    }

private:
    void Run() {
        // Named, so that a profile can tell the peer's samples from the client's.
        ::pthread_setname_np(::pthread_self(), "memory-peer");
        {
            std::lock_guard<std::mutex> guard(mClockMutex);
            mHasClock = ::pthread_getcpuclockid(::pthread_self(), &mClock) == 0;
        }
        epoll_event events[64];
        auto lastSweep = std::chrono::steady_clock::now();
        for (;;) {
            const int ready = ::epoll_wait(mEpoll.get(), events, 64, 100);
            if (ready < 0 && errno != EINTR) return;
            for (int i = 0; i < ready; ++i) {
                void* tag = events[i].data.ptr;
                if (tag == &mPeer.mWake) return;
                if (tag == nullptr)
                    AcceptAll();
                else
                    Serve(*static_cast<Connection*>(tag), events[i].events);
            }
            const auto now = std::chrono::steady_clock::now();
            if (now - lastSweep > std::chrono::milliseconds(100)) {
                lastSweep = now;
                DropIdle(now);
            }
        }
    }

    void AcceptAll() {
        for (;;) {
            const int fd = ::accept4(mPeer.mListener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) return;  // EAGAIN: none left (another loop may have taken it)
            auto connection = std::make_unique<Connection>();
            connection->fd.Reset(fd);
            connection->in.resize(4096);
            connection->deadline = std::chrono::steady_clock::now() + kIdle;
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.ptr = connection.get();
            if (::epoll_ctl(mEpoll.get(), EPOLL_CTL_ADD, fd, &event) != 0) continue;
            Connection* key = connection.get();
            mConnections.emplace(key, std::move(connection));
        }
    }

    void Close(Connection& connection) { mConnections.erase(&connection); }

    void Drop(Connection& connection) {
        ++mPeer.mDropped;
        Close(connection);
    }

    void DropIdle(std::chrono::steady_clock::time_point now) {
        std::vector<Connection*> idle;
        for (const auto& [key, connection] : mConnections)
            if (connection->deadline < now) idle.push_back(key);
        for (Connection* connection : idle) Drop(*connection);
    }

    void Serve(Connection& connection, uint32_t events) {
        connection.deadline = std::chrono::steady_clock::now() + kIdle;
        if (connection.answering) {
            SendMore(connection);
            return;
        }
        if (events & EPOLLERR) {
            Drop(connection);
            return;
        }
        Receive(connection);
    }

    // Reads what has arrived; once the whole request is there, answers it.
    void Receive(Connection& c) {
        for (;;) {
            if (c.received == c.in.size()) c.in.resize(c.in.size() * 2);
            const ssize_t got = ::recv(c.fd.get(), c.in.data() + c.received, c.in.size() - c.received, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            if (got <= 0) {
                Drop(c);  // closed or failed before a whole request
                return;
            }
            c.received += static_cast<size_t>(got);
            if (c.head.bodyStart == 0) {
                c.head = wire::ParseHead(c.in.data(), c.received, true);
                if (c.head.bodyStart == 0) {
                    if (c.received <= kMaxHead) continue;
                    Drop(c);
                    return;
                }
                if (c.head.bodyLength < 0) c.head.bodyLength = 0;
                if (c.head.bodyLength > kMaxBody) {
                    Drop(c);
                    return;
                }
                // One buffer for the whole request, plus a byte so that a
                // full buffer always means "more may come".
                const size_t whole = c.head.bodyStart + static_cast<size_t>(c.head.bodyLength);
                if (c.in.size() < whole + 1) c.in.resize(whole + 1);
            }
            const size_t whole = c.head.bodyStart + static_cast<size_t>(c.head.bodyLength);
            if (c.received >= whole) {
                Respond(c, whole);
                return;
            }
        }
    }

    void Respond(Connection& c, size_t whole) {
        if (mPeer.mRecording.load()) {
            std::lock_guard<std::mutex> guard(mPeer.mMutex);
            if (mPeer.mRecording) mPeer.mRecorded.emplace_back(reinterpret_cast<const char*>(c.in.data()), whole);
        }
        c.answer = mPeer.Handle(c.in.data() + c.head.bodyStart, static_cast<size_t>(c.head.bodyLength));
        std::string frame(wire::kMarker);
        PutU32(frame, static_cast<uint32_t>(4 + c.answer.result.size() + c.answer.pieceBytes));
        PutU32(frame, static_cast<uint32_t>(c.answer.status));
        frame += c.answer.result;
        const size_t bodyLength = frame.size() + c.answer.pieceBytes;
        c.text = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(bodyLength) + "\r\n\r\n";
        c.text += frame;
        c.answering = true;
        std::vector<uint8_t>().swap(c.in);  // a 64 KiB request buffer is not kept while answering
        SendMore(c);
    }

    // Sends what is left of the answer; closes once all of it is out.
    void SendMore(Connection& c) {
        const size_t total = c.text.size() + c.answer.pieceBytes;
        while (c.sent < total) {
            iovec parts[3];
            int count = 0;
            size_t skip = c.sent;
            if (skip < c.text.size()) {
                parts[count++] = {c.text.data() + skip, c.text.size() - skip};
                skip = 0;
            } else {
                skip -= c.text.size();
            }
            for (int i = 0; i < c.answer.pieceCount; ++i) {
                const iovec& piece = c.answer.pieces[i];
                if (skip >= piece.iov_len) {
                    skip -= piece.iov_len;
                    continue;
                }
                parts[count++] = {static_cast<uint8_t*>(piece.iov_base) + skip, piece.iov_len - skip};
                skip = 0;
            }
            msghdr message{};
            message.msg_iov = parts;
            message.msg_iovlen = static_cast<size_t>(count);
            const ssize_t put = ::sendmsg(c.fd.get(), &message, MSG_NOSIGNAL);
            if (put < 0 && errno == EINTR) continue;
            if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                epoll_event event{};
                event.events = EPOLLOUT;
                event.data.ptr = &c;
                if (::epoll_ctl(mEpoll.get(), EPOLL_CTL_MOD, c.fd.get(), &event) != 0) Drop(c);
                return;
            }
            if (put <= 0) {
                Drop(c);
                return;
            }
            c.sent += static_cast<size_t>(put);
        }
        Close(c);  // the service closes after every answer
    }

    MemoryPeer& mPeer;
    UniqueFd mEpoll;
    std::thread mThread;
    std::unordered_map<Connection*, std::unique_ptr<Connection>> mConnections;
    mutable std::mutex mClockMutex;
    clockid_t mClock{};
    bool mHasClock = false;
};

// ---------------------------------------------------------------------------
// MemoryPeer

MemoryPeer::MemoryPeer(int threads) : mThreadCount(std::max(1, threads)) {}

MemoryPeer::~MemoryPeer() {
    if (mWake.valid()) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(mWake.get(), &one, sizeof one);
    }
    mLoops.clear();  // joins every loop
}

bool MemoryPeer::Start(std::string* error) {
    mWake.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    mListener.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (!mWake.valid() || !mListener.valid() ||
        ::bind(mListener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(mListener.get(), 1024) != 0 ||
        ::getsockname(mListener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        *error = std::string("cannot listen: ") + std::strerror(errno);
        return false;
    }
    mPort = ntohs(address.sin_port);
    for (int i = 0; i < mThreadCount; ++i) {
        mLoops.push_back(std::make_unique<Loop>(*this));
        if (!mLoops.back()->Start(error)) return false;
    }
    return true;
}

std::shared_ptr<PagedFile> MemoryPeer::Find(const std::string& path) const {
    std::lock_guard<std::mutex> guard(mMutex);
    const auto found = mFiles.find(path);
    return found == mFiles.end() ? nullptr : found->second;
}

void MemoryPeer::Store(const std::string& path, const uint8_t* data, size_t length) {
    auto file = std::make_shared<PagedFile>(mPool);
    file->Write(0, data, length);
    std::lock_guard<std::mutex> guard(mMutex);
    mFiles[path] = std::move(file);
}

bool MemoryPeer::Holds(const std::string& path, const uint8_t* data, size_t length) const {
    const std::shared_ptr<PagedFile> file = Find(path);
    return file && file->Equals(data, length);
}

void MemoryPeer::Remove(const std::string& path) {
    std::lock_guard<std::mutex> guard(mMutex);
    mFiles.erase(path);
}

void MemoryPeer::RemoveBelow(const std::string& folder) {
    const std::string prefix = folder.empty() || folder.back() != '/' ? folder + "/" : folder;
    std::lock_guard<std::mutex> guard(mMutex);
    for (auto it = mFiles.begin(); it != mFiles.end();)
        it = it->first.compare(0, prefix.size(), prefix) == 0 ? mFiles.erase(it) : std::next(it);
}

size_t MemoryPeer::FileCount() const {
    std::lock_guard<std::mutex> guard(mMutex);
    return mFiles.size();
}

double MemoryPeer::CpuSeconds() const {
    double total = 0;
    for (const auto& loop : mLoops) total += loop->CpuSeconds();
    return total;
}

void MemoryPeer::Record(bool on) {
    std::lock_guard<std::mutex> guard(mMutex);
    mRecording = on;
}

std::vector<std::string> MemoryPeer::TakeRecorded() {
    std::lock_guard<std::mutex> guard(mMutex);
    return std::move(mRecorded);
}

}  // namespace bench
