// Replays every corpus file through its fuzz target; exits non-zero when a
// target reports a broken invariant (crashes and out-of-bounds reads are
// caught by the sanitizer builds). Prints "N passed, N failed".
//
//   fuzz_replay CORPUS_DIR
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz_target.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    FuzzSetUp();
    int passed = 0, failed = 0;
    for (size_t t = 0; t < kFuzzTargetCount; ++t) {
        const FuzzTarget& target = kFuzzTargets[t];
        const std::filesystem::path folder = std::filesystem::u8path(argv[1]) / target.name;
        if (!std::filesystem::is_directory(folder)) {
            std::fprintf(stderr, "%s: no corpus folder\n", target.name);
            ++failed;
            continue;
        }
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            std::ifstream in(entry.path(), std::ios::binary);
            const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (target.run(bytes.data(), bytes.size()) == 0) {
                ++passed;
            } else {
                ++failed;
                std::fprintf(stderr, "%s: %s broke an invariant\n", target.name, entry.path().filename().string().c_str());
            }
        }
    }
    std::printf("fuzz replay: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
