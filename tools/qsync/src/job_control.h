// Ctrl-C while an export runs: the first one asks the library to stop and
// waits for the export to return, the second one ends the process.
//
// A host that runs one job after another in the same process (the page
// server) starts each job with BeginJob and stops it with StopJob: the stop
// belongs to the job that runs, and the next BeginJob forgets it. Such a
// host takes Ctrl-C itself (SetInterruptHandler).
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
    // Set: a first Ctrl-C calls it (on the watcher's thread, no lock held)
    // instead of stopping the export here; a second one still ends the
    // process.
    void SetInterruptHandler(std::function<void()> handler);

    // A new job: the stop of the job before it is forgotten.
    void BeginJob();
    // Stops the running job as a first Ctrl-C does, without a notice.
    void StopJob();
    // True while a stopped job's export has not returned yet: the library's
    // Stop is then being called, and ends every phone file call it meets.
    bool Stopping();
    // Waits until Stopping() is false, or `giveUp` says so (checked every
    // 100 ms and on every change). False when it gave up.
    bool WaitWhileStopping(const std::function<bool()>& giveUp);

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
    bool mExportDone = true;
    Reporter* mReporter = nullptr;
    std::function<void()> mInterruptHandler;
};

}  // namespace qsync
