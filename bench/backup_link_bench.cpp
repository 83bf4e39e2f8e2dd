// Backup and restore against the sync jobs over a link with latency: the
// phone-service stand-in behind a delaying TCP proxy on loopback, in one
// run. Each pair moves the same files:
//   backup media (Backup, photos and videos)  vs  fetch camera (SyncPhoto);
//   restore media (Restore, photos and videos) vs push music (SyncMusicFile);
//   the same restore again over the phone's copies, replacing them
//   (conflict mode 2), vs the first restore;
// for 500 files of 100 KiB and 20 files of 10 MiB. Prints files/s of each
// job and the ratio of each pair.
//
// With --lossy=PERMILLE, backup and restore also run against a second
// stand-in behind a proxy of its own that loses that many requests in a
// thousand, half before the work and half after it, and the time of each
// against its run over the faultless link is printed: what the waits
// before the retries cost. Both runs make up to 10 retries per request.
//
//   build/native/backup_link_bench [--rtt-ms=5] [--small=500] [--big=20] [--big-mib=10] [--lossy=10]
//
// The proxy holds every piece it forwards for half the round trip, and the
// first bytes of each connection for a whole round trip more, as a TCP
// handshake over the link costs. The library prints its stat and listing
// records on standard output (send it to /dev/null); figures go to standard
// error.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "context/SyncContext.h"
#include "library_calls.h"
#include "platform/utf.h"
#include "quellsync_http.h"
#include "support/phone_service.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Forwards each accepted connection to 127.0.0.1:upstream with a delay per
// direction. One thread per direction of each connection: it reads what is
// there, waits until the bytes are due and writes them on.
class DelayProxy {
public:
    DelayProxy(uint16_t upstream, std::chrono::microseconds oneWay) : mUpstream(upstream), mOneWay(oneWay) {}
    ~DelayProxy() {
        mClosing = true;
        if (mListener >= 0) ::shutdown(mListener, SHUT_RDWR);
        if (mAcceptor.joinable()) mAcceptor.join();
        if (mListener >= 0) ::close(mListener);
        // The pumps run detached (thousands of short connections); each
        // counts itself out.
        std::unique_lock<std::mutex> lock(mLock);
        mPumpsEnded.wait(lock, [this] { return mPumps == 0; });
    }
    DelayProxy(const DelayProxy&) = delete;
    DelayProxy& operator=(const DelayProxy&) = delete;

    bool Start() {
        mListener = ::socket(AF_INET, SOCK_STREAM, 0);
        if (mListener < 0) return false;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(mListener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(mListener, 512) != 0)
            return false;
        socklen_t length = sizeof address;
        ::getsockname(mListener, reinterpret_cast<sockaddr*>(&address), &length);
        mPort = ntohs(address.sin_port);
        mAcceptor = std::thread([this] { Accept(); });
        return true;
    }
    uint16_t port() const { return mPort; }

private:
    struct Connection {
        int client = -1;
        int server = -1;
        std::atomic<int> open{2};
        ~Connection() {
            ::close(client);
            ::close(server);
        }
    };

    void Accept() {
        while (!mClosing) {
            const int client = ::accept(mListener, nullptr, nullptr);
            if (client < 0) return;
            auto connection = std::make_shared<Connection>();
            connection->client = client;
            connection->server = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(mUpstream);
            if (::connect(connection->server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) continue;
            {
                std::lock_guard<std::mutex> guard(mLock);
                mPumps += 2;
            }
            std::thread([this, connection] { Counted(connection->client, connection->server, 3 * mOneWay); }).detach();
            std::thread([this, connection] { Counted(connection->server, connection->client, mOneWay); }).detach();
        }
    }

    void Counted(int from, int to, std::chrono::microseconds first) {
        Pump(from, to, first);
        std::lock_guard<std::mutex> guard(mLock);
        if (--mPumps == 0) mPumpsEnded.notify_all();
    }

    // from -> to; the first piece waits first, every later one mOneWay.
    void Pump(int from, int to, std::chrono::microseconds first) {
        std::vector<char> buffer(256 * 1024);
        std::chrono::microseconds delay = first;
        for (;;) {
            const ssize_t got = ::recv(from, buffer.data(), buffer.size(), 0);
            const Clock::time_point due = Clock::now() + delay;
            delay = mOneWay;
            std::this_thread::sleep_until(due);
            if (got <= 0) break;
            for (ssize_t sent = 0; sent < got;) {
                const ssize_t put = ::send(to, buffer.data() + sent, static_cast<size_t>(got - sent), MSG_NOSIGNAL);
                if (put <= 0) {
                    ::shutdown(from, SHUT_RD);
                    return;
                }
                sent += put;
            }
        }
        ::shutdown(to, SHUT_WR);
    }

    uint16_t mUpstream;
    std::chrono::microseconds mOneWay;
    int mListener = -1;
    uint16_t mPort = 0;
    std::atomic<bool> mClosing{false};
    std::thread mAcceptor;
    std::mutex mLock;
    std::condition_variable mPumpsEnded;
    int mPumps = 0;
};

struct Timed {
    int32_t result;
    double seconds;
};

template <typename Job>
Timed Time(Job job) {
    const Clock::time_point start = Clock::now();
    const int32_t result = job();
    return {result, bench::Seconds(start)};
}

size_t FilesBelow(const fs::path& folder) {
    size_t n = 0;
    if (fs::exists(folder))
        for (const auto& entry : fs::recursive_directory_iterator(folder)) n += entry.is_regular_file() ? 1 : 0;
    return n;
}

bool Line(const char* what, size_t files, const Timed& job, const Timed& reference, const char* jobName,
          const char* referenceName) {
    if (job.result != 0 || reference.result != 0) {
        std::fprintf(stderr, "%s: %s %d, %s %d\n", what, jobName, job.result, referenceName, reference.result);
        return false;
    }
    const double jobRate = files / job.seconds;
    const double referenceRate = files / reference.seconds;
    std::fprintf(stderr, "%-16s %-14s %8.1f files/s   %-13s %8.1f files/s   ratio %.2f\n", what, jobName, jobRate,
                 referenceName, referenceRate, jobRate / referenceRate);
    return true;
}

long Option(int argc, char** argv, const char* name, long fallback) {
    const size_t length = std::strlen(name);
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') return std::atol(argv[i] + length + 1);
    return fallback;
}

// One set of files through the four jobs.
bool RunSet(const char* what, PhoneService& service, uint16_t port, size_t count, int64_t bytes) {
    const std::string camera = "/sdcard/DCIM/Camera";
    fs::remove_all(service.OnDisk("/sdcard/DCIM"));
    fs::remove_all(service.OnDisk("/sdcard/Music"));
    for (size_t i = 0; i < count; ++i) {
        const fs::path file = service.OnDisk(camera + "/img" + std::to_string(i) + ".jpg");
        fs::create_directories(file.parent_path());
        bench::WriteRandomFile(file, bytes);
    }
    ScratchDir fetched, backedUp;
    const std::u16string host = u"127.0.0.1";
    const std::u16string pcFolder = backedUp.path().u16string();
    const std::u16string phoneRoot = u"/sdcard";
    GetSyncContext().stopRequested.store(0);

    const Timed fetch = Time([&] { return bench::library::SyncPhoto(port, fetched.path().string()); });
    const Timed backup = Time([&] {
        return Backup(1, platform::AsHostText(host), port, platform::AsHostText(pcFolder),
                      platform::AsHostText(phoneRoot), nullptr);
    });
    bool ok = FilesBelow(fetched.path()) == count && FilesBelow(backedUp.path()) == count;
    ok = Line(what, count, backup, fetch, "backup media", "fetch camera") && ok;

    fs::remove_all(service.OnDisk("/sdcard/DCIM"));
    auto restoreIn = [&](int32_t conflictMode) {
        return Time([&] {
            return Restore(1, platform::AsHostText(host), port, platform::AsHostText(pcFolder),
                           platform::AsHostText(phoneRoot), conflictMode, nullptr);
        });
    };
    const Timed restore = restoreIn(0);
    // Over the copies the phone has now, replacing each (conflict mode 2).
    const Timed replace = restoreIn(2);
    std::vector<std::string> pcFiles;
    for (const auto& entry : fs::recursive_directory_iterator(backedUp.path()))
        if (entry.is_regular_file()) pcFiles.push_back(entry.path().string());
    const Timed push = Time([&] { return bench::library::SyncMusicFile(port, pcFiles, nullptr); });
    ok = FilesBelow(service.OnDisk("/sdcard/DCIM")) == count && FilesBelow(service.OnDisk("/sdcard/Music")) == count &&
         ok;
    ok = Line(what, count, restore, push, "restore media", "push music") && ok;
    ok = Line(what, count, replace, restore, "restore, replace", "restore media") && ok;
    fs::remove_all(service.OnDisk("/sdcard/DCIM"));
    fs::remove_all(service.OnDisk("/sdcard/Music"));
    if (!ok) std::fprintf(stderr, "%s: a job failed or left the wrong number of files\n", what);
    return ok;
}

// Backup and restore of one set of files over the faultless link and over
// the lossy one, one after the other.
bool RunLossySet(const char* what, PhoneService& clean, uint16_t cleanPort, PhoneService& lossy, uint16_t lossyPort,
                 size_t count, int64_t bytes) {
    const std::u16string host = u"127.0.0.1";
    const std::u16string phoneRoot = u"/sdcard";
    GetSyncContext().stopRequested.store(0);
    GetSyncContext().requestRetries.store(10);
    for (PhoneService* service : {&clean, &lossy}) {
        fs::remove_all(service->OnDisk("/sdcard/DCIM"));
        for (size_t i = 0; i < count; ++i) {
            const fs::path file = service->OnDisk("/sdcard/DCIM/Camera/img" + std::to_string(i) + ".jpg");
            fs::create_directories(file.parent_path());
            bench::WriteRandomFile(file, bytes);
        }
    }
    ScratchDir cleanPc, lossyPc;
    auto backup = [&](uint16_t port, const ScratchDir& pc) {
        return Time([&] {
            return Backup(1, platform::AsHostText(host), port, platform::AsHostText(pc.path().u16string()),
                          platform::AsHostText(phoneRoot), nullptr);
        });
    };
    auto restore = [&](PhoneService& service, uint16_t port, const ScratchDir& pc) {
        fs::remove_all(service.OnDisk("/sdcard/DCIM"));
        return Time([&] {
            return Restore(1, platform::AsHostText(host), port, platform::AsHostText(pc.path().u16string()),
                           platform::AsHostText(phoneRoot), 0, nullptr);
        });
    };
    const Timed cleanBackup = backup(cleanPort, cleanPc);
    const Timed lossyBackup = backup(lossyPort, lossyPc);
    bool ok = FilesBelow(cleanPc.path()) == count && FilesBelow(lossyPc.path()) == count;
    ok = Line(what, count, cleanBackup, lossyBackup, "backup", "lossy") && ok;
    const Timed cleanRestore = restore(clean, cleanPort, cleanPc);
    const Timed lossyRestore = restore(lossy, lossyPort, lossyPc);
    ok = FilesBelow(clean.OnDisk("/sdcard/DCIM")) == count && FilesBelow(lossy.OnDisk("/sdcard/DCIM")) == count && ok;
    ok = Line(what, count, cleanRestore, lossyRestore, "restore", "lossy") && ok;
    GetSyncContext().requestRetries.store(0);
    if (!ok) std::fprintf(stderr, "%s: a job failed or left the wrong number of files\n", what);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const long rttMs = Option(argc, argv, "--rtt-ms", 5);
    const long small = Option(argc, argv, "--small", 500);
    const long big = Option(argc, argv, "--big", 20);
    const long bigMib = Option(argc, argv, "--big-mib", 10);
    const long lossyPerMille = Option(argc, argv, "--lossy", 0);
    auto service = PhoneService::Start();
    if (!service) {
        std::fprintf(stderr, "the phone-service stand-in did not start\n");
        return 1;
    }
    DelayProxy proxy(static_cast<uint16_t>(service->port()), std::chrono::microseconds(rttMs * 500));
    if (!proxy.Start()) {
        std::fprintf(stderr, "the delaying proxy did not start\n");
        return 1;
    }
    std::fprintf(stderr, "round trip %ld ms through the proxy\n", rttMs);
    bool ok = RunSet((std::to_string(small) + " x 100 KiB").c_str(), *service, proxy.port(),
                     static_cast<size_t>(small), 100 * 1024);
    ok = RunSet((std::to_string(big) + " x " + std::to_string(bigMib) + " MiB").c_str(), *service, proxy.port(),
                static_cast<size_t>(big), bigMib * 1024 * 1024) &&
         ok;
    if (lossyPerMille <= 0) return ok ? 0 : 1;

    char half[32];
    std::snprintf(half, sizeof half, "%g", lossyPerMille / 2.0);
    auto lossy = PhoneService::Start({"--fault", std::string("close:rate=") + half + ",seed=21", "--fault",
                                      std::string("drop:rate=") + half + ",seed=22"});
    if (!lossy) {
        std::fprintf(stderr, "the lossy phone-service stand-in did not start\n");
        return 1;
    }
    DelayProxy lossyProxy(static_cast<uint16_t>(lossy->port()), std::chrono::microseconds(rttMs * 500));
    if (!lossyProxy.Start()) {
        std::fprintf(stderr, "the second delaying proxy did not start\n");
        return 1;
    }
    std::fprintf(stderr, "lossy link: %ld requests in 1000 lost; each ratio: lossy time / faultless time\n",
                 lossyPerMille);
    ok = RunLossySet((std::to_string(small) + " x 100 KiB").c_str(), *service, proxy.port(), *lossy, lossyProxy.port(),
                     static_cast<size_t>(small), 100 * 1024) &&
         ok;
    ok = RunLossySet((std::to_string(big) + " x " + std::to_string(bigMib) + " MiB").c_str(), *service, proxy.port(),
                     *lossy, lossyProxy.port(), static_cast<size_t>(big), bigMib * 1024 * 1024) &&
         ok;
    return ok ? 0 : 1;
}
