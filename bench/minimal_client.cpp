#include "minimal_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>

#include "filesync_wire.h"

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;
using wire::PutString;
using wire::PutU32;

// How long a connection whose answer is complete waits for the peer's close.
constexpr auto kCloseWait = std::chrono::milliseconds(200);

// A byte buffer that keeps its storage between exchanges and is zeroed only
// when it grows, so a 64 KiB chunk costs no clearing.
struct Buffer {
    std::unique_ptr<uint8_t[]> data;
    size_t capacity = 0;
    size_t length = 0;
    void Reserve(size_t wanted) {
        if (wanted <= capacity) return;
        auto grown = std::make_unique<uint8_t[]>(wanted);
        if (length > 0) std::memcpy(grown.get(), data.get(), length);
        data = std::move(grown);
        capacity = wanted;
    }
    void Append(const std::string& text) {
        Reserve(length + text.size());
        std::memcpy(data.get() + length, text.data(), text.size());
        length += text.size();
    }
};

enum class Kind { kUpload, kDownload, kList };
enum class Phase { kStat, kChunks, kScan, kDone };
enum class Purpose { kStat, kChunk, kScan, kList };
enum class Step { kIdle, kConnecting, kSending, kReceiving, kClosing };

struct Task {
    Kind kind = Kind::kUpload;
    std::string local;
    std::string remote;
    bool scan = false;
    Phase phase = Phase::kStat;
    UniqueFd file;
    int64_t size = 0;
    int64_t chunks = 0;   // how many chunk requests the file takes
    int64_t issued = 0;   // chunk requests started
    int inFlight = 0;
};

struct Exchange {
    UniqueFd socket;
    Step step = Step::kIdle;
    bool registered = false;
    Task* task = nullptr;
    Purpose purpose = Purpose::kStat;
    int64_t offset = 0;
    int64_t expected = 0;
    Buffer out;
    size_t sent = 0;
    Buffer in;
    wire::HttpHead head;
    Clock::time_point deadline;
};

int64_t ChunkLength(const Task& task, int64_t offset) {
    return std::min<int64_t>(wire::kChunkSize, task.size - offset);
}

bool ReadAt(int fd, uint8_t* to, size_t length, int64_t offset) {
    while (length > 0) {
        const ssize_t got = ::pread(fd, to, length, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        to += got;
        length -= static_cast<size_t>(got);
        offset += got;
    }
    return true;
}

bool WriteAt(int fd, const uint8_t* from, size_t length, int64_t offset) {
    while (length > 0) {
        const ssize_t put = ::pwrite(fd, from, length, offset);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        from += put;
        length -= static_cast<size_t>(put);
        offset += put;
    }
    return true;
}

class Session {
public:
    Session(uint16_t port, int idleSeconds, int boundSeconds)
        : mPort(port), mIdle(std::chrono::seconds(idleSeconds)),
          mBound(Clock::now() + std::chrono::seconds(boundSeconds)),
          mEpoll(::epoll_create1(EPOLL_CLOEXEC)) {}

    void Add(std::unique_ptr<Task> task) { mQueue.push_back(std::move(task)); }
    // Where the files of a listing go.
    void SetPcFolder(std::string pcFolder) { mPcFolder = std::move(pcFolder); }

    bool Run(std::string* error) {
        if (!mEpoll.valid()) Fail("epoll: " + std::string(std::strerror(errno)));
        StartTasks();
        epoll_event events[64];
        while (mError.empty() && (mActive > 0 || !mQueue.empty() || Live() > 0)) {
            const int ready = ::epoll_wait(mEpoll.get(), events, 64, 100);
            if (ready < 0 && errno != EINTR) Fail("epoll_wait: " + std::string(std::strerror(errno)));
            for (int i = 0; i < ready && mError.empty(); ++i)
                OnEvent(*static_cast<Exchange*>(events[i].data.ptr));
            CheckDeadlines();
        }
        *error = mError;
        return mError.empty();
    }

private:
    void Fail(const std::string& why) {
        if (mError.empty()) mError = why;
    }

    size_t Live() const {
        size_t live = 0;
        for (const auto& exchange : mAll) live += exchange->step != Step::kIdle;
        return live;
    }

    void CheckDeadlines() {
        const Clock::time_point now = Clock::now();
        if (now > mBound) Fail("the call ran past its bound");
        for (const auto& exchange : mAll) {
            if (exchange->step == Step::kIdle || now < exchange->deadline) continue;
            if (exchange->step == Step::kClosing)
                Recycle(*exchange);  // the answer is in; only the peer's close is late
            else
                Fail("no progress on an exchange with " + exchange->task->remote);
        }
    }

    // Keeps up to five files going; a folder download lists first.
    void StartTasks() {
        while (mError.empty() && mActive < wire::kMaxInFlight && !mQueue.empty()) {
            mTasks.push_back(std::move(mQueue.front()));
            mQueue.pop_front();
            ++mActive;
            Begin(*mTasks.back());
        }
    }

    void Begin(Task& task) {
        if (task.kind == Kind::kList) {
            std::string payload;
            PutString(payload, task.remote);
            Issue(task, Purpose::kList, phone_service::kEnumDir, payload);
            return;
        }
        if (task.kind == Kind::kUpload) {
            task.file.Reset(::open(task.local.c_str(), O_RDONLY | O_CLOEXEC));
            struct stat info {};
            if (!task.file.valid() || ::fstat(task.file.get(), &info) != 0) {
                Fail("cannot open " + task.local);
                return;
            }
            task.size = info.st_size;
        }
        std::string payload;
        PutString(payload, task.remote);
        Issue(task, Purpose::kStat, phone_service::kGetInfo, payload);
    }

    void Finish(Task& task) {
        task.phase = Phase::kDone;
        task.file.Reset();
        --mActive;
        mTasks.erase(std::find_if(mTasks.begin(), mTasks.end(),
                                  [&](const std::unique_ptr<Task>& held) { return held.get() == &task; }));
        StartTasks();
    }

    // Starts chunk requests while fewer than five are in flight; moves on
    // when the last one is answered.
    void Pump(Task& task) {
        while (mError.empty() && task.inFlight < wire::kMaxInFlight && task.issued < task.chunks) {
            const int64_t offset = task.issued * wire::kChunkSize;
            ++task.issued;
            ++task.inFlight;
            if (task.kind == Kind::kUpload)
                IssuePutChunk(task, offset);
            else
                IssueGetChunk(task, offset);
        }
        if (task.inFlight > 0 || task.issued < task.chunks) return;
        if (task.kind == Kind::kUpload && task.scan) {
            task.phase = Phase::kScan;
            std::string payload;
            PutU32(payload, 1);
            PutString(payload, task.remote);
            Issue(task, Purpose::kScan, phone_service::kScanMedia, payload);
            return;
        }
        Finish(task);
    }

    Exchange& Take(Task& task, Purpose purpose) {
        Exchange* exchange = nullptr;
        for (const auto& candidate : mAll)
            if (candidate->step == Step::kIdle) {
                exchange = candidate.get();
                break;
            }
        if (!exchange) {
            mAll.push_back(std::make_unique<Exchange>());
            exchange = mAll.back().get();
        }
        exchange->task = &task;
        exchange->purpose = purpose;
        exchange->out.length = 0;
        exchange->sent = 0;
        exchange->in.length = 0;
        exchange->head = {};
        return *exchange;
    }

    void Issue(Task& task, Purpose purpose, int32_t command, const std::string& payload) {
        Exchange& exchange = Take(task, purpose);
        exchange.out.Append(wire::Request(command, payload));
        Open(exchange);
    }

    // The chunk's bytes are read from the PC file straight into the request.
    void IssuePutChunk(Task& task, int64_t offset) {
        Exchange& exchange = Take(task, Purpose::kChunk);
        const size_t length = static_cast<size_t>(ChunkLength(task, offset));
        std::string fields;
        PutString(fields, task.remote);
        PutU32(fields, static_cast<uint32_t>(offset));
        PutU32(fields, static_cast<uint32_t>(length));
        const std::string prefix = wire::FramePrefix(phone_service::kPutChunk, fields.size() + length);
        exchange.out.Append(wire::RequestHead(prefix.size() + fields.size() + length));
        exchange.out.Append(prefix);
        exchange.out.Append(fields);
        exchange.out.Reserve(exchange.out.length + length);
        if (length > 0 && !ReadAt(task.file.get(), exchange.out.data.get() + exchange.out.length, length, offset)) {
            Fail("cannot read " + task.local);
            return;
        }
        exchange.out.length += length;
        exchange.offset = offset;
        Open(exchange);
    }

    void IssueGetChunk(Task& task, int64_t offset) {
        std::string payload;
        PutString(payload, task.remote);
        PutU32(payload, static_cast<uint32_t>(offset));
        PutU32(payload, wire::kChunkSize);
        Exchange& exchange = Take(task, Purpose::kChunk);
        exchange.out.Append(wire::Request(phone_service::kGetChunk, payload));
        exchange.offset = offset;
        exchange.expected = ChunkLength(task, offset);
        Open(exchange);
    }

    void Open(Exchange& exchange) {
        exchange.socket.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        exchange.registered = false;
        exchange.deadline = Clock::now() + mIdle;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(mPort);
        if (!exchange.socket.valid()) {
            Fail("socket: " + std::string(std::strerror(errno)));
            return;
        }
        const int connected = ::connect(exchange.socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        if (connected == 0) {
            exchange.step = Step::kSending;
            TrySend(exchange);
        } else if (errno == EINPROGRESS) {
            exchange.step = Step::kConnecting;
            Watch(exchange, EPOLLOUT);
        } else {
            Fail("connect: " + std::string(std::strerror(errno)));
        }
    }

    void Watch(Exchange& exchange, uint32_t events) {
        epoll_event event{};
        event.events = events;
        event.data.ptr = &exchange;
        const int op = exchange.registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
        if (::epoll_ctl(mEpoll.get(), op, exchange.socket.get(), &event) != 0)
            Fail("epoll_ctl: " + std::string(std::strerror(errno)));
        exchange.registered = true;
    }

    void Recycle(Exchange& exchange) {
        exchange.socket.Reset();  // closing the descriptor also leaves the epoll set
        exchange.step = Step::kIdle;
        exchange.task = nullptr;
    }

    void OnEvent(Exchange& exchange) {
        exchange.deadline = Clock::now() + (exchange.step == Step::kClosing ? kCloseWait : mIdle);
        switch (exchange.step) {
            case Step::kConnecting: {
                int error = 0;
                socklen_t length = sizeof error;
                if (::getsockopt(exchange.socket.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
                    Fail("connect: " + std::string(std::strerror(error)));
                    return;
                }
                exchange.step = Step::kSending;
                TrySend(exchange);
                return;
            }
            case Step::kSending:
                TrySend(exchange);
                return;
            case Step::kReceiving:
            case Step::kClosing:
                TryReceive(exchange);
                return;
            case Step::kIdle:
                return;
        }
    }

    void TrySend(Exchange& exchange) {
        while (exchange.sent < exchange.out.length) {
            const ssize_t put = ::send(exchange.socket.get(), exchange.out.data.get() + exchange.sent,
                                       exchange.out.length - exchange.sent, MSG_NOSIGNAL);
            if (put < 0 && errno == EINTR) continue;
            if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                Watch(exchange, EPOLLOUT);
                return;
            }
            if (put <= 0) {
                Fail("send: " + std::string(std::strerror(errno)));
                return;
            }
            exchange.sent += static_cast<size_t>(put);
        }
        exchange.step = Step::kReceiving;
        exchange.in.Reserve(wire::kChunkSize + 1024);
        Watch(exchange, EPOLLIN);
    }

    void TryReceive(Exchange& exchange) {
        Buffer& in = exchange.in;
        for (;;) {
            if (in.length == in.capacity) in.Reserve(in.capacity * 2);
            const ssize_t got = ::recv(exchange.socket.get(), in.data.get() + in.length, in.capacity - in.length, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            if (got < 0) {
                Fail("recv: " + std::string(std::strerror(errno)));
                return;
            }
            if (got == 0) {
                if (exchange.step == Step::kClosing)
                    Recycle(exchange);
                else
                    Fail("the peer closed before its answer was complete");
                return;
            }
            in.length += static_cast<size_t>(got);
            if (exchange.step != Step::kReceiving) continue;  // bytes past the answer are ignored
            if (exchange.head.bodyStart == 0) {
                exchange.head = wire::ParseHead(in.data.get(), in.length, false);
                if (exchange.head.bodyStart == 0) continue;
                if (exchange.head.bodyLength < 0) {
                    Fail("an answer without Content-Length");
                    return;
                }
                in.Reserve(exchange.head.bodyStart + static_cast<size_t>(exchange.head.bodyLength) + 1);
            }
            if (in.length < exchange.head.bodyStart + static_cast<size_t>(exchange.head.bodyLength)) continue;
            exchange.step = Step::kClosing;
            exchange.deadline = Clock::now() + kCloseWait;
            Answered(exchange, in.data.get() + exchange.head.bodyStart,
                     static_cast<size_t>(exchange.head.bodyLength));
            if (!mError.empty()) return;
        }
    }

    void Answered(Exchange& exchange, const uint8_t* body, size_t length) {
        Task& task = *exchange.task;
        wire::Reader reader(body, length);
        if (!wire::AnswerOk(reader)) {
            Fail("refused: " + task.remote);
            return;
        }
        switch (exchange.purpose) {
            case Purpose::kStat:
                StatAnswered(task, reader);
                return;
            case Purpose::kChunk:
                ChunkAnswered(task, exchange, reader);
                return;
            case Purpose::kScan:
                reader.U32();
                if (reader.U32() < 1 || !reader.ok()) {
                    Fail("the scan answered no entry for " + task.remote);
                    return;
                }
                Finish(task);
                return;
            case Purpose::kList:
                ListAnswered(task, reader);
                return;
        }
    }

    void StatAnswered(Task& task, wire::Reader& reader) {
        reader.U32();
        const uint32_t found = reader.U32();
        if (task.kind == Kind::kDownload) {
            reader.String();
            reader.U32();
            reader.U32();
            const uint64_t size = reader.U64();
            if (found != 1 || !reader.ok() || size > 0x7FFFFFFF) {
                Fail("no size for " + task.remote);
                return;
            }
            task.size = static_cast<int64_t>(size);
            task.file.Reset(::open(task.local.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
            if (!task.file.valid()) {
                Fail("cannot create " + task.local);
                return;
            }
        }
        // At least one chunk: an empty file is still sent (or asked for) once.
        task.chunks = std::max<int64_t>(1, (task.size + wire::kChunkSize - 1) / wire::kChunkSize);
        task.phase = Phase::kChunks;
        Pump(task);
    }

    void ChunkAnswered(Task& task, Exchange& exchange, wire::Reader& reader) {
        if (task.kind == Kind::kDownload) {
            const uint32_t count = reader.U32();
            if (!reader.ok() || static_cast<int64_t>(count) != exchange.expected || reader.remaining() < count) {
                Fail("a chunk of the wrong length for " + task.remote);
                return;
            }
            if (count > 0 && !WriteAt(task.file.get(), reader.at(), count, exchange.offset)) {
                Fail("cannot write " + task.local);
                return;
            }
        }
        --task.inFlight;
        Pump(task);
    }

    void ListAnswered(Task& task, wire::Reader& reader) {
        reader.U32();
        const uint32_t listed = reader.U32();
        const uint32_t count = listed == 1 ? reader.U32() : 0;
        const std::string prefix = task.remote + "/";
        for (uint32_t i = 0; i < count && reader.ok(); ++i) {
            const std::string name = reader.String();
            const uint32_t readable = reader.U32();
            reader.U32();
            reader.U64();
            const uint32_t isFile = reader.U32();
            reader.U32();
            reader.U32();
            reader.U64();
            if (!reader.ok() || !isFile || !readable || name.compare(0, prefix.size(), prefix) != 0) continue;
            auto download = std::make_unique<Task>();
            download->kind = Kind::kDownload;
            download->remote = name;
            download->local = mPcFolder + "/" + name.substr(prefix.size());
            std::error_code ignored;
            std::filesystem::create_directories(std::filesystem::path(download->local).parent_path(), ignored);
            mQueue.push_back(std::move(download));
        }
        if (!reader.ok()) {
            Fail("a malformed listing of " + task.remote);
            return;
        }
        Finish(task);
    }

    uint16_t mPort;
    Clock::duration mIdle;
    Clock::time_point mBound;
    UniqueFd mEpoll;
    std::string mError;
    std::string mPcFolder;
    std::deque<std::unique_ptr<Task>> mQueue;
    std::vector<std::unique_ptr<Task>> mTasks;  // started and not finished
    int mActive = 0;
    std::vector<std::unique_ptr<Exchange>> mAll;  // addresses stay put: epoll holds them
};

}  // namespace

MinimalClient::MinimalClient(uint16_t port, int idleTimeoutSeconds, int callBoundSeconds)
    : mPort(port), mIdleTimeoutSeconds(idleTimeoutSeconds), mCallBoundSeconds(callBoundSeconds) {}

bool MinimalClient::Upload(const std::vector<Transfer>& files, bool scan, std::string* error) const {
    Session session(mPort, mIdleTimeoutSeconds, mCallBoundSeconds);
    for (const Transfer& file : files) {
        auto task = std::make_unique<Task>();
        task->kind = Kind::kUpload;
        task->local = file.local;
        task->remote = file.remote;
        task->scan = scan;
        session.Add(std::move(task));
    }
    return session.Run(error);
}

bool MinimalClient::Download(const std::vector<Transfer>& files, std::string* error) const {
    Session session(mPort, mIdleTimeoutSeconds, mCallBoundSeconds);
    for (const Transfer& file : files) {
        auto task = std::make_unique<Task>();
        task->kind = Kind::kDownload;
        task->local = file.local;
        task->remote = file.remote;
        session.Add(std::move(task));
    }
    return session.Run(error);
}

bool MinimalClient::DownloadFolder(const std::string& phoneFolder, const std::string& pcFolder,
                                   std::string* error) const {
    Session session(mPort, mIdleTimeoutSeconds, mCallBoundSeconds);
    session.SetPcFolder(pcFolder);
    auto task = std::make_unique<Task>();
    task->kind = Kind::kList;
    task->remote = phoneFolder;
    session.Add(std::move(task));
    return session.Run(error);
}

}  // namespace bench
