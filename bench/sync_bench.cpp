// SyncMusicFile end to end against the phone-service stand-in on loopback:
// 1,000 files of 100 KiB, then one file of 256 MiB, each compared with the
// same bytes copied over one plain loopback TCP stream. Prints files/s,
// MB/s and the ratio to the reference. One run each: repeat it by hand.
//
//   build/native/bench/sync_bench [files] [MiB]
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "library_calls.h"
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
    std::vector<std::string> paths;
    for (const fs::path& file : files) paths.push_back(file.string());
    const bench::Clock::time_point start = bench::Clock::now();
    const int32_t result = bench::library::SyncMusicFile(static_cast<uint16_t>(port), paths, nullptr);
    return {result, bench::Seconds(start)};
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
