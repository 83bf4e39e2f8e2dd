// The sinks of a reporter: each turns the one stream of job events
// (begin, percent, item, retry, progress, notice, write, event, end) into
// one kind of output. The reporter keeps the job's figures and its lock;
// a sink is called with that lock held, from the job's threads and from the
// reporter's ticker, one call at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "report.h"

namespace qsync {

// What the reporter knows of the running job, as the sinks read it.
struct JobState {
    using Clock = std::chrono::steady_clock;

    struct Figures {
        int percent = 0;
        double perSecond = 0;
        bool etaKnown = false;
        double etaSeconds = 0;
    };

    Clock::time_point start = Clock::now();
    ProgressSource source = ProgressSource::kLibrary;
    LedgerTotals totals;
    RateMeter rate;
    int percent = -1;  // the library's; -1 before its first message
    std::string job;   // empty when the commands did not name the job

    Figures FiguresAt(Clock::time_point now) const;
    double SecondsAt(Clock::time_point now) const;
};

// Another round of a job follows (see Reporter::Retry).
struct RetryEvent {
    int round = 0;
    size_t items = 0;
    double delaySeconds = 0;
    const int32_t* result = nullptr;  // null: the phone did not answer the probe
    std::string why;
    int of = 0;                    // the last round there can be; 0: not known
    uint64_t requestsRetried = 0;  // by the library, so far
};

class ReportSink {
public:
    using Clock = JobState::Clock;
    virtual ~ReportSink() = default;

    void SetVerbose(bool verbose) { mVerbose = verbose; }
    // Whether the reporter's ticker should call Tick while the job runs.
    virtual bool Ticks(const JobState&) const { return false; }
    // The job's clock has started (the first Begin of a command).
    virtual void Begin(const JobState&) {}
    virtual void Tick(const JobState&, Clock::time_point) {}
    // The library's percentage changed from `previous` to job.percent.
    virtual void Percent(const JobState&, int /*previous*/) {}
    // An item line; job.totals are already the figures after it, and
    // Progress follows.
    virtual void Item(const JobState&, const ItemEvent& item) = 0;
    virtual void Retry(const JobState&, const RetryEvent& retry) = 0;
    // job.totals changed (after an item, or without one).
    virtual void Progress(const JobState&, Clock::time_point) {}
    virtual void Notice(const JobState&, const std::string& text) = 0;
    virtual void Write(const std::string& text) = 0;
    virtual void Event(const Json& event) = 0;
    // The ticker has stopped; the job's last figures are in `job`.
    virtual void End(const JobState& job, const Summary& summary) = 0;

protected:
    bool mVerbose = false;  // -v: an interrupted job's text lists its items not done
};

// The bar redrawn in place on a terminal of `columns` (0: unknown), and the
// lines of the plain sink.
std::unique_ptr<ReportSink> MakeTerminalSink(std::FILE* out, std::FILE* err, int columns);
// Lines for a pipe or a file: items, a progress line per tenth, the summary.
std::unique_ptr<ReportSink> MakePlainSink(std::FILE* out, std::FILE* err);
// Only what a script needs: a new playlist's id, and failures on `err`.
std::unique_ptr<ReportSink> MakeQuietSink(std::FILE* out, std::FILE* err);
// One JSON object per line on `out`; notices and failures on `err`.
std::unique_ptr<ReportSink> MakeJsonSink(std::FILE* out, std::FILE* err);
// The JSON objects handed to `events`, notices as {"event":"notice"}; no
// stream is written.
std::unique_ptr<ReportSink> MakePageSink(EventSink events);

// Writes `text` to `stream` (null: nowhere) and flushes it.
void WriteText(std::FILE* stream, const std::string& text);
// For the person at the terminal, after the summary: the failed items (the
// first of them; none of an interrupted job) and, for a failed or
// interrupted job, the error line.
void WriteFailureLines(std::FILE* err, const Summary& summary);

}  // namespace qsync
