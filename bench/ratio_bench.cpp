// The library's transfers against the minimal client of the same protocol
// shape, both against the in-memory peer on loopback, in one run. Each line
// alternates library and reference runs (the first of a round alternates
// too) and reports the medians of the rounds and their ratio:
//   up    PutFileEx of one large file, and SyncMusicFile of it;
//   down  GetFile of one large file, and SyncPhoto of the folder holding it;
//   small SyncMusicFile of many small files.
// Every run's result is checked byte for byte outside the timed part, and
// before any timing the requests of both clients are compared byte for
// byte on small transfers.
//
//   build/native/ratio_bench [--mib=256] [--files=1000] [--file-kib=100]
//                            [--rounds=5] [--peer-threads=1] [--only=up,down,small]
//                            [--nice=N]
//   build/native/ratio_bench --profile-upload=FILE
//
// The second form makes one PutFileEx upload of FILE against the in-memory
// peer and nothing else, for a profiler (the peer's threads are named
// memory-peer, the upload's threads upload, so `perf report --comms upload`
// shows the library's side alone; the set-up and the tear-down of the peer's
// pages are outside it).
//
// Other work on the machine moves the times (and favours the library's many
// threads over the reference's one): --nice=-10 runs every thread of the
// benchmark ahead of it, and the client CPU columns (the process's CPU time
// less the peer's) compare the two clients' cost whatever the load.
// Figures go to standard error; the library prints its stat and listing
// records on standard output (send it to /dev/null).
#include <pthread.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "filesync_wire.h"
#include "library_calls.h"
#include "memory_peer.h"
#include "minimal_client.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr int kIdleSeconds = 20;      // the reference's bound on an exchange without progress
constexpr int kRunBoundSeconds = 600; // any single timed run, library or reference

struct Options {
    int64_t mib = 256;
    int files = 1000;
    int fileKib = 100;
    int rounds = 5;
    int peerThreads = 1;
    int nice = 0;  // 0: the priority the benchmark was started with
    std::string profileUpload;  // a PC file to upload once, for a profiler
    std::string only = "up,down,small";
};

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const size_t equals = arg.find('=');
        const std::string key = arg.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : arg.substr(equals + 1);
        const long number = std::atol(value.c_str());
        if (key == "--mib" && number > 0) options->mib = number;
        else if (key == "--files" && number > 0) options->files = static_cast<int>(number);
        else if (key == "--file-kib" && number > 0) options->fileKib = static_cast<int>(number);
        else if (key == "--rounds" && number > 0) options->rounds = static_cast<int>(number);
        else if (key == "--peer-threads" && number > 0) options->peerThreads = static_cast<int>(number);
        else if (key == "--only" && !value.empty()) options->only = value;
        else if (key == "--profile-upload" && !value.empty()) options->profileUpload = value;
        else if (key == "--nice" && number >= -20 && number <= 19 && !value.empty()) options->nice = static_cast<int>(number);
        else {
            std::fprintf(stderr, "unknown or invalid argument: %s\n", arg.c_str());
            return false;
        }
    }
    return true;
}

// Ends the process with a message when a run takes longer than its bound:
// a stuck library call or peer must not hang the benchmark. The scratch
// folder goes first, since no destructor runs after that.
class Watchdog {
public:
    Watchdog(std::string what, int seconds, fs::path scratch)
        : mThread([this, what = std::move(what), seconds, scratch = std::move(scratch)] {
              std::unique_lock<std::mutex> lock(mMutex);
              if (mChanged.wait_for(lock, std::chrono::seconds(seconds), [this] { return mDone; })) return;
              std::fprintf(stderr, "%s did not finish within %d s; giving up\n", what.c_str(), seconds);
              std::error_code ignored;
              fs::remove_all(scratch, ignored);
              std::_Exit(3);
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> guard(mMutex);
            mDone = true;
        }
        mChanged.notify_all();
        mThread.join();
    }

private:
    std::mutex mMutex;
    std::condition_variable mChanged;
    bool mDone = false;
    std::thread mThread;  // last: starts once the members above exist
};

Bytes RandomBytes(size_t length, uint64_t seed) {
    std::mt19937_64 generator(seed);
    Bytes bytes(length);
    for (size_t i = 0; i < length; i += 8) {
        const uint64_t word = generator();
        std::memcpy(bytes.data() + i, &word, std::min<size_t>(8, length - i));
    }
    return bytes;
}

bool WriteFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool FileHolds(const fs::path& path, const Bytes& bytes) {
    std::error_code error;
    if (fs::file_size(path, error) != bytes.size() || error) return false;
    std::ifstream in(path, std::ios::binary);
    Bytes read(bytes.size());
    in.read(reinterpret_cast<char*>(read.data()), static_cast<std::streamsize>(read.size()));
    return static_cast<bool>(in) && read == bytes;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// One side of a line: a transfer to time, then a check of what it left.
struct Side {
    std::function<std::string()> run;    // empty on success, else the reason
    std::function<std::string()> check;  // empty when the result is right
};

struct Line {
    std::string name;
    double amount = 0;   // bytes, or files
    bool perFile = false;
    Side library;
    Side reference;
    std::function<void()> reset;  // before every run: what the last run left goes
};

struct Timing {
    std::vector<double> seconds;
    std::vector<double> clientCpu;  // the process's CPU time less the peer's, in seconds
    std::vector<double> peerShare;  // the peer's CPU time over the run's time
};

// CPU time of every thread of the process so far (user and system), in seconds.
double ProcessCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool RunSide(const char* who, const Line& line, const Side& side, int round, bench::MemoryPeer& peer,
             const fs::path& scratch, Timing* timing) {
    line.reset();
    const int64_t refusalsBefore = peer.Refusals();
    const double cpuBefore = peer.CpuSeconds();
    const double processBefore = ProcessCpuSeconds();
    const Clock::time_point start = Clock::now();
    std::string failure;
    {
        Watchdog watchdog(line.name + " (" + who + ", round " + std::to_string(round + 1) + ")", kRunBoundSeconds,
                          scratch);
        failure = side.run();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = peer.CpuSeconds() - cpuBefore;
    const double process = ProcessCpuSeconds() - processBefore;
    if (failure.empty()) failure = side.check();
    if (failure.empty() && peer.Refusals() != refusalsBefore) failure = "the peer refused a request";
    if (!failure.empty()) {
        std::fprintf(stderr, "%s, %s, round %d: %s\n", line.name.c_str(), who, round + 1, failure.c_str());
        return false;
    }
    timing->seconds.push_back(seconds);
    timing->clientCpu.push_back(process - cpu);
    timing->peerShare.push_back(cpu / seconds);
    return true;
}

bool Measure(const Line& line, int rounds, bench::MemoryPeer& peer, const fs::path& scratch) {
    Timing library;
    Timing reference;
    for (int round = 0; round < rounds; ++round) {
        const bool libraryFirst = round % 2 == 0;
        for (int k = 0; k < 2; ++k) {
            const bool isLibrary = (k == 0) == libraryFirst;
            if (!RunSide(isLibrary ? "library" : "reference", line, isLibrary ? line.library : line.reference,
                         round, peer, scratch, isLibrary ? &library : &reference))
                return false;
        }
    }
    line.reset();
    const double librarySeconds = Median(library.seconds);
    const double referenceSeconds = Median(reference.seconds);
    const char* unit = line.perFile ? "files/s" : "MB/s";
    const double scale = line.perFile ? 1 : 1e-6;
    const double libraryCpu = Median(library.clientCpu);
    const double referenceCpu = Median(reference.clientCpu);
    std::fprintf(stderr, "%-34s library %8.1f %s  reference %8.1f %s  ratio %.2f\n", line.name.c_str(),
                 line.amount * scale / librarySeconds, unit, line.amount * scale / referenceSeconds, unit,
                 referenceSeconds / librarySeconds);
    std::fprintf(stderr,
                 "    medians of %d, library / reference: %.3f s / %.3f s; client CPU %.3f s / %.3f s"
                 " (ratio %.2f); peer CPU %.0f%% / %.0f%% of the time\n",
                 rounds, librarySeconds, referenceSeconds, libraryCpu, referenceCpu, referenceCpu / libraryCpu,
                 100 * Median(library.peerShare), 100 * Median(reference.peerShare));
    return true;
}

// ---------------------------------------------------------------------------
// The requests of both clients, compared byte for byte

int32_t CommandOf(const std::string& request) {
    const size_t body = request.find("\r\n\r\n");
    if (body == std::string::npos || request.size() < body + 4 + 28) return -1;
    return static_cast<int32_t>(bench::wire::GetU32(reinterpret_cast<const uint8_t*>(request.data()) + body + 4 + 24));
}

std::string Commands(const std::vector<std::string>& requests) {
    std::map<int32_t, int> counts;
    for (const std::string& request : requests) ++counts[CommandOf(request)];
    std::string text;
    for (const auto& [command, count] : counts)
        text += (text.empty() ? "" : ", ") + std::to_string(count) + " x cmd " + std::to_string(command);
    return text.empty() ? "none" : text;
}

// Every reference request must be one the library sends too, byte for byte
// (order aside: chunks complete in any order). With exact, the library must
// send nothing else either.
bool SameRequests(const char* what, std::vector<std::string> library, std::vector<std::string> reference,
                  bool exact) {
    std::sort(library.begin(), library.end());
    std::sort(reference.begin(), reference.end());
    std::vector<std::string> missing;
    std::set_difference(reference.begin(), reference.end(), library.begin(), library.end(),
                        std::back_inserter(missing));
    std::vector<std::string> extra;
    std::set_difference(library.begin(), library.end(), reference.begin(), reference.end(),
                        std::back_inserter(extra));
    const bool ok = !reference.empty() && missing.empty() && (!exact || extra.empty());
    std::fprintf(stderr, "requests %-26s %s: %zu reference requests (%s); the library sends %zu more (%s)\n", what,
                 ok ? "match" : "DIFFER", reference.size(), Commands(reference).c_str(), extra.size(),
                 Commands(extra).c_str());
    if (!missing.empty())
        std::fprintf(stderr, "  not sent by the library: %s\n", Commands(missing).c_str());
    return ok;
}

// Paths and contents shared by the check and the timed lines.
struct Setup {
    uint16_t port = 0;
    fs::path scratch;
    bench::MemoryPeer* peer = nullptr;
    bench::MinimalClient* client = nullptr;
};

bool CheckRequests(const Setup& s) {
    bench::MemoryPeer& peer = *s.peer;
    const bench::MinimalClient& client = *s.client;
    const fs::path folder = s.scratch / "check";
    fs::create_directories(folder / "camera-lib");
    fs::create_directories(folder / "camera-ref");
    const Bytes content = RandomBytes(3 * 65536 + 1234, 7);
    const std::string local = (folder / "song.mp3").string();
    if (!WriteFile(local, content)) return false;
    std::string error;
    bool ok = true;

    auto recorded = [&](const std::function<bool()>& run) {
        peer.TakeRecorded();
        peer.Record(true);
        const bool done = run();
        peer.Record(false);
        if (!done) ok = false;
        return peer.TakeRecorded();
    };
    auto reported = [&](bool done) {
        if (!done && !error.empty()) std::fprintf(stderr, "reference: %s\n", error.c_str());
        return done;
    };

    const std::string remote = "/sdcard/check/song.mp3";
    auto library = recorded([&] { return bench::library::PutFileEx(s.port, local, remote) == 0; });
    peer.Remove(remote);
    auto reference = recorded([&] { return reported(client.Upload({{local, remote}}, false, &error)); });
    peer.Remove(remote);
    ok = SameRequests("PutFileEx", library, reference, true) && ok;

    std::vector<std::string> phonePaths;
    library = recorded([&] { return bench::library::SyncMusicFile(s.port, {local}, &phonePaths) == 0; });
    peer.RemoveBelow("/sdcard/Music");
    if (phonePaths.size() != 1 || phonePaths[0].empty()) return false;
    reference = recorded([&] { return reported(client.Upload({{local, phonePaths[0]}}, true, &error)); });
    peer.RemoveBelow("/sdcard/Music");
    ok = SameRequests("SyncMusicFile", library, reference, false) && ok;

    const std::string photo = "/sdcard/DCIM/check.jpg";
    peer.Store(photo, content.data(), content.size());
    library = recorded([&] {
        return bench::library::GetFile(s.port, photo, (folder / "lib.jpg").string()) == 0;
    });
    reference = recorded([&] { return reported(client.Download({{(folder / "ref.jpg").string(), photo}}, &error)); });
    ok = SameRequests("GetFile", library, reference, true) && ok;
    ok = FileHolds(folder / "lib.jpg", content) && FileHolds(folder / "ref.jpg", content) && ok;

    library = recorded([&] { return bench::library::SyncPhoto(s.port, (folder / "camera-lib").string()) == 0; });
    reference = recorded([&] {
        return reported(client.DownloadFolder("/sdcard/DCIM", (folder / "camera-ref").string(), &error));
    });
    ok = SameRequests("SyncPhoto", library, reference, true) && ok;
    ok = FileHolds(folder / "camera-lib" / "check.jpg", content) && FileHolds(folder / "camera-ref" / "check.jpg", content) && ok;
    peer.Remove(photo);
    fs::remove_all(folder);
    return ok;
}

// ---------------------------------------------------------------------------
// The lines

std::string Failed(const char* call, int32_t result) {
    return result == 0 ? std::string() : std::string(call) + " returned " + std::to_string(result);
}

std::string Reason(bool done, const std::string& error) { return done ? std::string() : error; }

Line UploadLine(const Setup& s, const std::string& name, double bytes, const std::string& local,
                const Bytes& content, bool viaExport, const std::string& remote) {
    bench::MemoryPeer& peer = *s.peer;
    const bench::MinimalClient& client = *s.client;
    Line line;
    line.name = name;
    line.amount = bytes;
    line.reset = [&peer, remote] { peer.Remove(remote); };
    auto holds = [&peer, remote, &content] {
        return peer.Holds(remote, content.data(), content.size()) ? std::string() : "the phone file differs";
    };
    const uint16_t port = s.port;
    if (viaExport)
        line.library.run = [port, local] { return Failed("SyncMusicFile", bench::library::SyncMusicFile(port, {local}, nullptr)); };
    else
        line.library.run = [port, local, remote] { return Failed("PutFileEx", bench::library::PutFileEx(port, local, remote)); };
    line.library.check = holds;
    line.reference.run = [&client, local, remote, viaExport] {
        std::string error;
        return Reason(client.Upload({{local, remote}}, viaExport, &error), error);
    };
    line.reference.check = holds;
    return line;
}

Line DownloadLine(const Setup& s, const std::string& name, double bytes, const std::string& remote,
                  const Bytes& content, bool viaExport) {
    const bench::MinimalClient& client = *s.client;
    const fs::path folder = s.scratch / "down";
    const fs::path target = folder / fs::path(remote).filename();
    Line line;
    line.name = name;
    line.amount = bytes;
    line.reset = [folder] {
        fs::remove_all(folder);
        fs::create_directories(folder);
    };
    auto holds = [target, &content] { return FileHolds(target, content) ? std::string() : "the PC file differs"; };
    const uint16_t port = s.port;
    if (viaExport)
        line.library.run = [port, folder] { return Failed("SyncPhoto", bench::library::SyncPhoto(port, folder.string())); };
    else
        line.library.run = [port, remote, target] { return Failed("GetFile", bench::library::GetFile(port, remote, target.string())); };
    line.library.check = holds;
    line.reference.run = [&client, remote, folder, target, viaExport] {
        std::string error;
        const bool done = viaExport ? client.DownloadFolder("/sdcard/DCIM", folder.string(), &error)
                                    : client.Download({{target.string(), remote}}, &error);
        return Reason(done, error);
    };
    line.reference.check = holds;
    return line;
}

Line SmallFilesLine(const Setup& s, const std::string& name, const std::vector<std::string>& locals,
                    const std::vector<std::string>& remotes, const Bytes& content) {
    bench::MemoryPeer& peer = *s.peer;
    const bench::MinimalClient& client = *s.client;
    Line line;
    line.name = name;
    line.amount = static_cast<double>(locals.size());
    line.perFile = true;
    line.reset = [&peer] { peer.RemoveBelow("/sdcard/Music"); };
    auto holds = [&peer, remotes, &content] {
        for (const std::string& remote : remotes)
            if (!peer.Holds(remote, content.data(), content.size())) return "the phone file differs: " + remote;
        return std::string();
    };
    const uint16_t port = s.port;
    line.library.run = [port, locals] { return Failed("SyncMusicFile", bench::library::SyncMusicFile(port, locals, nullptr)); };
    line.library.check = holds;
    std::vector<bench::MinimalClient::Transfer> transfers;
    for (size_t i = 0; i < locals.size(); ++i) transfers.push_back({locals[i], remotes[i]});
    line.reference.run = [&client, transfers] {
        std::string error;
        return Reason(client.Upload(transfers, true, &error), error);
    };
    line.reference.check = holds;
    return line;
}

// The machine's load: other work on the two cores moves every figure, so
// each run says what it ran beside.
std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

bool Wanted(const Options& options, const char* group) {
    return ("," + options.only + ",").find("," + std::string(group) + ",") != std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) return 2;
    // Before any thread starts, so that every thread (the peer's, the
    // library's workers) runs at this priority.
    if (options.nice != 0 && ::setpriority(PRIO_PROCESS, 0, options.nice) != 0)
        std::fprintf(stderr, "cannot set the priority to %d: %s\n", options.nice, std::strerror(errno));
    std::fprintf(stderr, "priority: nice %d\n", ::getpriority(PRIO_PROCESS, 0));
    bench::MemoryPeer peer(options.peerThreads);
    std::string error;
    if (!peer.Start(&error)) {
        std::fprintf(stderr, "in-memory peer: %s\n", error.c_str());
        return 1;
    }
    ScratchDir scratch;
    bench::MinimalClient client(peer.port(), kIdleSeconds, kRunBoundSeconds);
    const Setup setup{peer.port(), scratch.path(), &peer, &client};

    if (!options.profileUpload.empty()) {
        peer.Reserve(static_cast<size_t>(fs::file_size(options.profileUpload)));
        Watchdog watchdog("the profiled upload", kRunBoundSeconds, scratch.path());
        // From here on this thread, and the threads the library starts from
        // it, are named "upload": the set-up above stays out of a profile
        // read with --comms upload.
        ::pthread_setname_np(::pthread_self(), "upload");
        const Clock::time_point start = Clock::now();
        const int32_t result = bench::library::PutFileEx(peer.port(), options.profileUpload, "/sdcard/bench/big.bin");
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        // The tear-down that follows (the peer returns its page pool to the
        // system, hundreds of MiB through brk) is not the upload's.
        ::pthread_setname_np(::pthread_self(), "teardown");
        std::fprintf(stderr, "PutFileEx %d: %.1f MB/s\n", result, static_cast<double>(fs::file_size(options.profileUpload)) / 1e6 / seconds);
        return result == 0 ? 0 : 1;
    }

    {
        Watchdog watchdog("the request comparison", 120, scratch.path());
        if (!CheckRequests(setup)) {
            std::fprintf(stderr, "the reference does not send what the library sends, or a check transfer failed\n");
            return 1;
        }
    }

    std::fprintf(stderr, "load average at the start: %s\n", LoadAverage().c_str());
    bool ok = true;
    const double bytes = static_cast<double>(options.mib) * 1024 * 1024;
    const std::string sizeText = std::to_string(options.mib) + " MiB";
    if (Wanted(options, "up") || Wanted(options, "down")) {
        const Bytes content = RandomBytes(static_cast<size_t>(bytes), 42);
        peer.Reserve(content.size() + bench::PagedFile::kPage);
        const fs::path big = scratch.path() / "big.bin";
        if (!WriteFile(big, content)) return 1;
        if (Wanted(options, "up")) {
            std::vector<std::string> phonePaths;
            // The export's own phone path for the file, so both clients write the same one.
            if (bench::library::SyncMusicFile(peer.port(), {big.string()}, &phonePaths) != 0) return 1;
            peer.RemoveBelow("/sdcard");
            ok = ok && Measure(UploadLine(setup, sizeText + " up, PutFileEx", bytes, big.string(), content, false,
                                          "/sdcard/bench/big.bin"),
                               options.rounds, peer, scratch.path());
            ok = ok && Measure(UploadLine(setup, sizeText + " up, SyncMusicFile", bytes, big.string(), content, true,
                                          phonePaths[0]),
                               options.rounds, peer, scratch.path());
        }
        if (Wanted(options, "down")) {
            const std::string remote = "/sdcard/DCIM/big.jpg";
            peer.Store(remote, content.data(), content.size());
            ok = ok && Measure(DownloadLine(setup, sizeText + " down, GetFile", bytes, remote, content, false),
                               options.rounds, peer, scratch.path());
            ok = ok && Measure(DownloadLine(setup, sizeText + " down, SyncPhoto", bytes, remote, content, true),
                               options.rounds, peer, scratch.path());
            peer.Remove(remote);
        }
        fs::remove(big);
    }
    if (ok && Wanted(options, "small")) {
        const Bytes content = RandomBytes(static_cast<size_t>(options.fileKib) * 1024, 99);
        const size_t pagesPerFile = (content.size() + bench::PagedFile::kPage - 1) / bench::PagedFile::kPage;
        peer.Reserve(static_cast<size_t>(options.files) * pagesPerFile * bench::PagedFile::kPage);
        std::vector<std::string> locals;
        fs::create_directories(scratch.path() / "small");
        for (int i = 0; i < options.files; ++i) {
            locals.push_back((scratch.path() / "small" / ("song" + std::to_string(i) + ".mp3")).string());
            if (!WriteFile(locals.back(), content)) return 1;
        }
        std::vector<std::string> remotes;
        if (bench::library::SyncMusicFile(peer.port(), locals, &remotes) != 0) return 1;
        const std::string name = std::to_string(options.files) + " x " + std::to_string(options.fileKib) +
                                 " KiB up, SyncMusicFile";
        ok = Measure(SmallFilesLine(setup, name, locals, remotes, content), options.rounds, peer, scratch.path());
    }
    std::fprintf(stderr, "load average at the end: %s\n", LoadAverage().c_str());
    if (peer.Dropped() != 0) std::fprintf(stderr, "the peer dropped %lld connections\n", static_cast<long long>(peer.Dropped()));
    return ok ? 0 : 1;
}
