// Ctrl-C while an export runs: the first one asks the library to stop and
// waits for the export to return, the second one ends the process.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace qsync {

class Reporter;

class JobControl {
public:
    static JobControl& Instance();

    // Called by the interrupt watcher's thread with 1, 2, ...
    void OnInterrupt(int count);
    bool Interrupted();
    // While attached, notices go through the reporter, so the bar stays whole.
    void Attach(Reporter* reporter);

    // Runs one export on this thread. After the first Ctrl-C a helper thread
    // calls Stop, and calls it again every 100 ms until the export returns:
    // a sync export clears the stop flag when it starts, so one early call
    // could be lost.
    int32_t Run(const std::function<int32_t()>& exportCall);

    // Waits `delay` between two rounds of a job; Ctrl-C ends the wait at
    // once. False when interrupted (before or during the wait).
    bool Wait(std::chrono::milliseconds delay);

private:
    JobControl() = default;

    std::mutex mLock;
    std::condition_variable mChanged;
    bool mInterrupted = false;
    bool mExportDone = false;
    Reporter* mReporter = nullptr;
};

}  // namespace qsync
