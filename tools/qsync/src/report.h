// What qsync shows while a job runs and when it ends: a progress bar on a
// terminal, plain lines otherwise, or one JSON object per event, for a file
// or for a host of jobs. It only renders: the figures come from the
// commands (and their ItemLedger).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "item_ledger.h"

namespace qsync {

enum class OutputMode { kTerminal, kPlain, kJson, kQuiet };

using Json = nlohmann::ordered_json;

// One line of JSON: UTF-8 whatever the texts hold (bytes that are not UTF-8
// become U+FFFD), with its newline.
std::string JsonLine(const Json& value);

struct ItemEvent {
    ItemEvent(std::string action_, std::string pc_, std::string phone_)
        : action(std::move(action_)), pc(std::move(pc_)), phone(std::move(phone_)) {}

    std::string action;  // "stored", "removed", "failed", "created", "would-store", ...
    std::string pc;      // empty when the item has none
    std::string phone;
    int32_t result = 0;
    bool hasBytes = false;   // an upload's size
    uint64_t bytes = 0;
    std::string reason;      // failed items only
    std::string playlistId;  // playlist items only
    std::string name;        // playlist items only
};

struct FailedItem {
    std::string pc;
    std::string phone;
    int32_t result = 0;
    std::string reason;
};

// How the summary counts what the job did.
enum class SummaryKind {
    kPlain,    // playlist changes: the result alone
    kItems,    // push, remove: items stored, removed and failed
    kFiles,    // fetch, backup: files created or replaced in the PC folder
    kCovered,  // restore: the files of the backup folder
};

struct Summary {
    std::string job;        // "push music", "fetch camera", ...
    int32_t result = 0;     // the export's result
    std::string resultText; // what the result means, for failures
    int exitCode = 0;
    SummaryKind kind = SummaryKind::kPlain;
    bool dryRun = false;    // planned items only; nothing was sent
    size_t planned = 0;
    size_t stored = 0;
    size_t removed = 0;
    size_t failed = 0;
    uint64_t bytes = 0;     // stored PC files, or the files counted
    size_t files = 0;       // kFiles: created + replaced; kCovered: files of the backup
    size_t replaced = 0;    // kItems: uploads over a changed phone copy (not in `stored`)
    size_t unchanged = 0;   // kItems: left out as the journal records them unchanged
    size_t skipped = 0;     // push: files left out as not of the kind
    std::string skippedWhy; // push: "not music", ...
    size_t notOnPhone = 0;  // remove: items the phone did not hold, so nothing was sent for them
    std::string note;       // a line after the error line (why a job was not retried)
    bool countsKnown = true;  // kCovered: false when the restore failed part-way
    std::string playlistId; // playlist create: the id the library handed back
    uint64_t retries = 0;   // requests the library made again after a lost connection
    std::vector<FailedItem> failedItems;
};

// Bytes (or items, when a job moves no bytes) per second over the last few
// seconds before the amount last grew, from the finished amount sampled as
// it grows.
class RateMeter {
public:
    using Clock = std::chrono::steady_clock;
    void Start(Clock::time_point now, uint64_t done);
    void Add(Clock::time_point now, uint64_t done);
    // 0 until something has finished; above 0 from then on.
    double PerSecond(Clock::time_point now) const;

private:
    std::deque<std::pair<Clock::time_point, uint64_t>> mSamples;
};

// Where the figures of the bar and progress lines come from.
enum class ProgressSource {
    kLibrary,  // the library's percentage (fetch, backup, restore, playlist)
    kItems,    // finished items and their bytes (push, remove)
};

// Receives each event of a job as the JSON output writes it (the same
// objects, one call per line), and {"event":"notice","text":...} for a
// notice. Called with the reporter's lock held: it must not call back.
using EventSink = std::function<void(const Json& event)>;

struct JobState;
class ReportSink;

// The one stream of a job's events. The reporter keeps the job's figures and
// hands each event to its sink (report_sink.h), which decides what, if
// anything, reaches the terminal, a pipe or a host of jobs.
class Reporter {
public:
    // `columns`: the terminal's width (0: unknown).
    Reporter(std::FILE* out, OutputMode mode, int columns = 0);
    // The JSON events of a job go to `events` instead of a file, and
    // nothing is written to standard output or standard error.
    explicit Reporter(EventSink events);
    ~Reporter();
    Reporter(const Reporter&) = delete;
    Reporter& operator=(const Reporter&) = delete;

    // Starts the clock (and on a terminal the bar); called again for a
    // further job of the same command, it takes the new figures only.
    void Begin(ProgressSource source, const LedgerTotals& totals = LedgerTotals());
    // The same for a job whose progress lines name it ("fetch camera: 50%"):
    // a piped log of several jobs tells them apart.
    void Begin(ProgressSource source, const std::string& job, const LedgerTotals& totals = LedgerTotals());
    // -v: the text output of an interrupted job lists the items it did not
    // carry out (otherwise it counts them; JSON always lists them).
    void SetVerbose(bool verbose);
    // The library's percentage message.
    void Percent(int percent);
    // An itemized line; `totals` (when given) are the figures after it.
    void Item(const ItemEvent& item, const LedgerTotals* totals = nullptr);
    // Another round of the job follows after `delay`: one line, or the
    // JSON "retry" event. `result`: the failed export's, or null when the
    // phone did not answer the probe. `items`: those not done yet (0: the
    // job or probe is tried again whole). `of`: the last round there can be
    // (0: not known in advance, as rounds that make progress do not count).
    // `requestsRetried`: the library's repeated requests so far.
    void Retry(int round, size_t items, std::chrono::milliseconds delay, const int32_t* result, const std::string& why,
               int of = 0, uint64_t requestsRetried = 0);
    // New figures without an item (an upload started).
    void Progress(const LedgerTotals& totals);
    // A line for the person at the terminal, on standard error, that does
    // not tear the bar.
    void Notice(const std::string& text);
    // Text of a command that lists rather than runs a job (ls, stat), on
    // the output as it is.
    void Write(const std::string& text);
    // An event of such a command for the JSON output (a line, or the sink).
    void Event(const Json& event);
    // Stops the bar; writes the failed items, the summary, the failed list
    // (standard error) and on failure the error line.
    void End(const Summary& summary);

    double Seconds() const;

private:
    void Tick();
    void StopTicker();
    // Takes new figures; returns when.
    std::chrono::steady_clock::time_point TrackLocked(const LedgerTotals& totals);

    std::unique_ptr<ReportSink> mSink;
    std::unique_ptr<JobState> mJob;
    mutable std::mutex mLock;
    std::condition_variable mWake;
    std::thread mTicker;
    bool mTicking = false;
    bool mBegun = false;
};

// 1536 -> "1.5 KiB"
std::string HumanBytes(uint64_t bytes);

}  // namespace qsync
