// SyncMusicFile end to end against the phone-service stand-in on loopback:
// 1,000 files of 100 KiB, then one file of 256 MiB, each compared with the
// same bytes copied over one plain loopback TCP stream. Prints files/s,
// MB/s and the ratio to the reference. One run each: repeat it by hand.
//
//   build/native/bench/sync_bench [files] [MiB]
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "platform/utf.h"
#include "quellsync_http.h"
#include "support/phone_service.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;

struct Run {
    int32_t result;
    double seconds;
};

// Uploads the files with SyncMusicFile as a host would call it.
Run Upload(int port, const std::vector<fs::path>& files) {
    const std::u16string url = platform::Utf8ToUtf16("http://127.0.0.1:" + std::to_string(port) + "/");
    const std::u16string role = u"device=/sdcard";
    ConnectParams connect{};
    connect.url = reinterpret_cast<const QS_WCHAR*>(url.c_str());
    connect.role = reinterpret_cast<const QS_WCHAR*>(role.c_str());
    std::deque<std::u16string> paths;
    std::vector<SyncItem> items(files.size());
    std::vector<void*> pointers;
    for (size_t i = 0; i < files.size(); ++i) {
        paths.push_back(files[i].u16string());
        items[i].pcPath = reinterpret_cast<const QS_WCHAR*>(paths.back().c_str());
        items[i].changeKind = 1;
        pointers.push_back(&items[i]);
    }
    QsHostList list{nullptr, pointers.data(), pointers.data() + pointers.size(), nullptr};
    JobParams job{};
    job.items = &list;
    const bench::Clock::time_point start = bench::Clock::now();
    const int32_t result = SyncMusicFile(&connect, &job);
    const double seconds = bench::Seconds(start);
    for (SyncItem& item : items) std::free(item.phonePath);
    return {result, seconds};
}

// The reference: every file's bytes over one stream, one after the other.
double ReferenceSeconds(const std::vector<fs::path>& files, const fs::path& scratch) {
    const fs::path joined = scratch / "joined.bin";
    {
        std::ofstream out(joined, std::ios::binary);
        for (const fs::path& file : files) out << std::ifstream(file, std::ios::binary).rdbuf();
    }
    const double seconds = bench::TcpCopySeconds(joined, scratch / "copy.bin");
    fs::remove(joined);
    fs::remove(scratch / "copy.bin");
    return seconds;
}

bool Report(const char* what, const std::vector<fs::path>& files, int64_t bytes, const Run& run,
            double reference) {
    if (run.result != 0 || reference <= 0) {
        std::fprintf(stderr, "%s failed: SyncMusicFile %d\n", what, run.result);
        return false;
    }
    std::fprintf(stderr, "%-22s %8.1f files/s %8.1f MB/s  (%.2f of plain TCP at %.1f MB/s)\n", what,
                 files.size() / run.seconds, bench::MBps(bytes, run.seconds),
                 reference / run.seconds, bench::MBps(bytes, reference));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int64_t mib = argc > 2 ? std::atoll(argv[2]) : 256;
    auto service = PhoneService::Start();
    ScratchDir scratch;

    std::vector<fs::path> small;
    for (int i = 0; i < count; ++i) {
        small.push_back(scratch.path() / "small" / ("song" + std::to_string(i) + ".mp3"));
        fs::create_directories(small.back().parent_path());
        bench::WriteRandomFile(small.back(), 100 * 1024);
    }
    const Run smallRun = Upload(service->port(), small);
    bool ok = Report("1,000 x 100 KiB", small, int64_t{count} * 100 * 1024, smallRun,
                     ReferenceSeconds(small, scratch.path()));
    for (const fs::path& file : small) fs::remove(file);

    const std::vector<fs::path> big = {scratch.path() / "big.bin"};
    bench::WriteRandomFile(big[0], mib * 1024 * 1024);
    const Run bigRun = Upload(service->port(), big);
    ok = Report("1 x 256 MiB", big, mib * 1024 * 1024, bigRun, ReferenceSeconds(big, scratch.path())) && ok;
    return ok ? 0 : 1;
}
