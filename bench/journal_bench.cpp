// qsync's journal at 20,000 entries (a large music library): how long
// loading takes, the heap it then holds per entry (glibc's count of bytes
// in use, so the allocator's own overhead counts too), and how long the
// no-op push's lookups take. One run: repeat it by hand.
//
//   build/native/journal_bench [entries]
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "journal.h"
#include "support/test_env.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Paths as a music library has them: about 80 bytes on the PC, the same
// below /sdcard/Music on the phone.
qsync::JournalEntry Song(size_t i) {
    const std::string pc = "/home/someone/Music/Artist " + std::to_string(i / 200) + "/Album Title " +
                           std::to_string(i / 12) + "/" + std::to_string(i % 12 + 1) + " - Song Title " +
                           std::to_string(i) + ".mp3";
    return {pc, "/sdcard/Music" + pc, 4000000 + i * 7, 1733731200000000000LL + static_cast<int64_t>(i) * 1000};
}

}  // namespace

int main(int argc, char** argv) {
    const size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20000;
    ScratchDir scratch;
    const std::string path = (scratch.path() / "bench.journal").string();
    {
        const auto journal = qsync::Journal::Open(path);
        const Clock::time_point start = Clock::now();
        for (size_t i = 0; i < count; ++i)
            if (!journal->Put(Song(i))) {
                std::fprintf(stderr, "%s\n", journal->error().c_str());
                return 1;
            }
        if (!journal->Finish()) return 1;
        std::printf("append %zu entries: %.3f s (%.1f us each, one write per entry)\n", count, Seconds(start),
                    Seconds(start) * 1e6 / count);
    }
    std::printf("file: %.1f bytes per entry\n", static_cast<double>(ReadWholeFile(path).size()) / count);

    double best = 1e9;
    for (int run = 0; run < 5; ++run) {
        const Clock::time_point start = Clock::now();
        const auto journal = qsync::Journal::Open(path);
        best = std::min(best, Seconds(start));
        if (journal->size() != count) return 1;
    }
    std::printf("load %zu entries: %.3f s (best of 5)\n", count, best);

    const size_t before = mallinfo2().uordblks;
    const auto journal = qsync::Journal::Open(path);
    const size_t after = mallinfo2().uordblks;
    std::printf("memory: %.1f bytes per entry (heap in use after loading)\n",
                static_cast<double>(after - before) / count);

    const Clock::time_point start = Clock::now();
    size_t unchanged = 0;
    for (size_t i = 0; i < count; ++i) {
        const qsync::JournalEntry song = Song(i);
        unchanged += journal->Compare(song.pc, song.phone, song.size, song.mtimeNs) == qsync::JournalMatch::kUnchanged;
    }
    std::printf("compare %zu files: %.3f s, %zu unchanged\n", count, Seconds(start), unchanged);
    return unchanged == count ? 0 : 1;
}
