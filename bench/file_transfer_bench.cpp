// Upload and download of one 256 MiB file through PutFileEx and GetFile
// against the phone-service stand-in on loopback, and the same bytes copied
// file to file over one plain loopback TCP stream as the reference. Prints
// MB/s for each and the ratio to the reference. One run of each, no
// repetition: run it a few times by hand.
//
//   build/native/bench/file_transfer_bench [MiB]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "library_calls.h"
#include "platform/socket.h"
#include "support/peer_socket.h"
#include "support/phone_service.h"
#include "support/test_env.h"

namespace fs = std::filesystem;
using bench::Clock;
using bench::MBps;
using bench::Seconds;

int main(int argc, char** argv) {
    const int64_t mib = argc > 1 ? std::atoll(argv[1]) : 256;
    const int64_t bytes = mib * 1024 * 1024;
    platform::StartSockets();
    auto service = PhoneService::Start();
    ScratchDir scratch;
    const fs::path local = scratch.path() / "source.bin";
    const fs::path back = scratch.path() / "back.bin";
    bench::WriteRandomFile(local, bytes);

    const uint16_t port = static_cast<uint16_t>(service->port());
    const std::string remote = "/sdcard/bench/source.bin";

    Clock::time_point start = Clock::now();
    const int32_t up = bench::library::PutFileEx(port, local.string(), remote);
    const double upSeconds = Seconds(start);
    start = Clock::now();
    std::fflush(stdout);
    const int32_t down = bench::library::GetFile(port, remote, back.string());
    const double downSeconds = Seconds(start);
    if (up != 0 || down != 0 || fs::file_size(back) != static_cast<uintmax_t>(bytes)) {
        std::fprintf(stderr, "transfer failed: PutFileEx %d, GetFile %d\n", up, down);
        return 1;
    }
    fs::remove(back);
    const double tcpSeconds = bench::TcpCopySeconds(local, back);
    if (tcpSeconds <= 0 || fs::file_size(back) != static_cast<uintmax_t>(bytes)) {
        std::fprintf(stderr, "reference copy failed\n");
        return 1;
    }
    const double tcp = MBps(bytes, tcpSeconds);
    std::fprintf(stderr, "%lld MiB\n", static_cast<long long>(mib));
    std::fprintf(stderr, "PutFileEx  %8.1f MB/s  (%.2f of plain TCP)\n", MBps(bytes, upSeconds),
                 MBps(bytes, upSeconds) / tcp);
    std::fprintf(stderr, "GetFile    %8.1f MB/s  (%.2f of plain TCP)\n", MBps(bytes, downSeconds),
                 MBps(bytes, downSeconds) / tcp);
    std::fprintf(stderr, "plain TCP  %8.1f MB/s\n", tcp);
    return 0;
}
