// Pieces shared by the benchmarks: timing, random files, and the reference
// copy of the same bytes over one plain loopback TCP stream.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>

namespace bench {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since);
double MBps(int64_t bytes, double seconds);
// A file of pseudo-random bytes (the same for a given size).
void WriteRandomFile(const std::filesystem::path& path, int64_t bytes);
// Reads source, sends it over one loopback connection and writes what
// arrives to target: a file-to-file copy without the protocol. Seconds, or
// -1 on failure.
double TcpCopySeconds(const std::filesystem::path& source, const std::filesystem::path& target);

}  // namespace bench
