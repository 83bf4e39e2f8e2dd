#include "bench_support.h"

#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "support/peer_socket.h"

namespace bench {

namespace fs = std::filesystem;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

double MBps(int64_t bytes, double seconds) { return bytes / 1e6 / seconds; }

void WriteRandomFile(const fs::path& path, int64_t bytes) {
    std::mt19937_64 generator(42);
    std::vector<uint64_t> block(1 << 16);
    std::ofstream out(path, std::ios::binary);
    for (int64_t written = 0; written < bytes;) {
        for (uint64_t& word : block) word = generator();
        const int64_t piece = std::min<int64_t>(bytes - written, block.size() * sizeof(uint64_t));
        out.write(reinterpret_cast<const char*>(block.data()), piece);
        written += piece;
    }
}

double TcpCopySeconds(const fs::path& source, const fs::path& target) {
    uint16_t port = 0;
    platform::Socket listener = testnet::ListenLoopback(1, &port);
    if (!listener.IsOpen()) return -1;
    const Clock::time_point start = Clock::now();
    std::thread receiver([&] {
        platform::Socket socket = testnet::AcceptWithin(listener, 10000);
        std::ofstream out(target, std::ios::binary);
        std::vector<char> buffer(1 << 16);
        for (;;) {
            if (testnet::WaitReady(socket, platform::Awaited::kReadable, 10000) != platform::Readiness::kReady) break;
            const int64_t got = platform::ReceiveOnce(socket, buffer.data(), buffer.size());
            if (got <= 0) break;
            out.write(buffer.data(), got);
        }
    });
    platform::Socket socket = testnet::StartLoopbackConnect(port);
    if (socket.IsOpen() &&
        testnet::WaitReady(socket, platform::Awaited::kConnected, 10000) == platform::Readiness::kReady &&
        platform::ConnectOutcome(socket, false) == platform::ConnectProgress::kConnected) {
        std::ifstream in(source, std::ios::binary);
        std::vector<char> buffer(1 << 16);
        while (in.read(buffer.data(), buffer.size()) || in.gcount() > 0)
            if (!testnet::SendAll(socket, buffer.data(), static_cast<size_t>(in.gcount()))) break;
    }
    socket.Close();
    receiver.join();
    return Seconds(start);
}

}  // namespace bench
