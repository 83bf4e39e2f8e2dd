// What qsync shows while a job runs and when it ends: a progress bar on a
// terminal, plain lines otherwise, or one JSON object per event.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace qsync {

enum class OutputMode { kTerminal, kPlain, kJson, kQuiet };

struct ItemEvent {
    ItemEvent(std::string action_, std::string pc_, std::string phone_)
        : action(std::move(action_)), pc(std::move(pc_)), phone(std::move(phone_)) {}

    std::string action;  // "stored", "removed", "created", "would-store", ...
    std::string pc;      // empty when the item has none
    std::string phone;
    int result = 0;
    std::string playlistId;  // playlist items only
    std::string name;        // playlist items only
};

struct Summary {
    std::string job;        // "push music", "fetch camera", ...
    int32_t result = 0;     // the export's result
    std::string resultText; // what the result means, for failures
    int exitCode = 0;
    bool hasItems = false;  // false: fetch, backup and restore report no items
    size_t stored = 0;
    size_t removed = 0;
    uint64_t bytes = 0;     // of the stored PC files
    std::string playlistId; // playlist create: the id the library handed back
    bool dryRun = false;    // planned items only; nothing was sent
    size_t planned = 0;
};

class Reporter {
public:
    Reporter(std::FILE* out, OutputMode mode);
    ~Reporter();
    Reporter(const Reporter&) = delete;
    Reporter& operator=(const Reporter&) = delete;

    // Starts the clock (and on a terminal the bar); totalItems 0 shows no
    // item count.
    void Begin(size_t totalItems);
    void Percent(int percent);
    void Item(const ItemEvent& item);
    // A line for the person at the terminal, on standard error, that does
    // not tear the bar.
    void Notice(const std::string& text);
    // Stops the bar and writes the summary (and on failure the error line).
    void End(const Summary& summary);

    double Seconds() const;

private:
    void DrawBarLocked();
    void ClearBarLocked();
    void Tick();
    void WriteLocked(const std::string& text);

    std::FILE* mOut;
    OutputMode mMode;
    std::mutex mLock;
    std::condition_variable mWake;
    std::thread mTicker;
    bool mTicking = false;
    bool mBarShown = false;
    std::chrono::steady_clock::time_point mStart = std::chrono::steady_clock::now();
    size_t mTotal = 0;
    size_t mDone = 0;
    int mPercent = -1;
    std::string mLastBar;
};

// 1536 -> "1.5 KiB"
std::string HumanBytes(uint64_t bytes);

}  // namespace qsync
