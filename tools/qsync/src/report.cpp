#include "report.h"

#include "report_sink.h"

namespace qsync {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr auto kRateWindow = std::chrono::seconds(5);
constexpr size_t kFailedListLines = 20;

std::unique_ptr<ReportSink> SinkFor(std::FILE* out, OutputMode mode, int columns) {
    switch (mode) {
        case OutputMode::kTerminal: return MakeTerminalSink(out, stderr, columns);
        case OutputMode::kJson: return MakeJsonSink(out, stderr);
        case OutputMode::kQuiet: return MakeQuietSink(out, stderr);
        case OutputMode::kPlain: break;
    }
    return MakePlainSink(out, stderr);
}

}  // namespace

std::string JsonLine(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string HumanBytes(uint64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + " B";
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
        value /= 1024;
        ++unit;
    }
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.1f %s", value, kUnits[unit]);
    return buffer;
}

void WriteText(std::FILE* stream, const std::string& text) {
    if (!stream) return;
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

void WriteFailureLines(std::FILE* err, const Summary& summary) {
    // The items of an interrupted job are mostly the ones it did not get
    // to: they are counted in the summary, and listed only on request.
    const bool interrupted = summary.exitCode == 130;
    std::string text;
    if (!summary.failedItems.empty() && !interrupted) {
        text = "failed items:\n";
        for (size_t i = 0; i < summary.failedItems.size() && i < kFailedListLines; ++i) {
            const FailedItem& f = summary.failedItems[i];
            text += "  " + (f.pc.empty() ? f.phone : f.pc) + ": " + f.reason + "\n";
        }
        if (summary.failedItems.size() > kFailedListLines)
            text += "  and " + std::to_string(summary.failedItems.size() - kFailedListLines) + " more\n";
    }
    if (summary.exitCode == 1) {
        text += "qsync: " + summary.job + " failed: " + summary.resultText + " (result " +
                std::to_string(summary.result) + ")\n";
        if (!summary.note.empty()) text += "qsync: " + summary.note + "\n";
    } else if (interrupted) {
        // A push or remove skips what it carried out (the journal), a fetch
        // the files it has fetched; a backup would copy everything again.
        const bool resumes = summary.kind == SummaryKind::kItems || summary.job.rfind("fetch", 0) == 0;
        text += "qsync: " + summary.job + " interrupted" + (resumes ? "; run the same command to resume" : "") + "\n";
    }
    WriteText(err, text);
}

void RateMeter::Start(Clock::time_point now, uint64_t done) {
    mSamples.assign(1, {now, done});
}

void RateMeter::Add(Clock::time_point now, uint64_t done) {
    if (mSamples.empty()) Start(now, done);
    if (mSamples.back().second != done) mSamples.emplace_back(now, done);
    // Keep one sample at or before the window's start: the amount then.
    while (mSamples.size() >= 2 && mSamples[1].first <= mSamples.back().first - kRateWindow) mSamples.pop_front();
}

double RateMeter::PerSecond(Clock::time_point now) const {
    if (mSamples.size() < 2) return 0;
    // The window ends at the last growth, and the rate is what finished
    // since its base sample over the time since then: while a large file is
    // on its way (nothing finishes), it sinks steadily instead of falling
    // to nothing once the last finished item leaves a window ending now.
    const Clock::time_point windowStart = mSamples.back().first - std::chrono::duration_cast<Clock::duration>(kRateWindow);
    auto base = mSamples.front();
    for (const auto& sample : mSamples)
        if (sample.first <= windowStart) base = sample;
    const double span = std::chrono::duration<double>(now - base.first).count();
    if (span <= 0.001 || mSamples.back().second <= base.second) return 0;
    return static_cast<double>(mSamples.back().second - base.second) / span;
}

JobState::Figures JobState::FiguresAt(Clock::time_point now) const {
    Figures f;
    if (source == ProgressSource::kLibrary) {
        f.percent = percent < 0 ? 0 : percent;
        return f;
    }
    // Finished bytes over all bytes; items where no bytes move (removals).
    const bool byBytes = totals.bytesTotal > 0;
    const uint64_t done = byBytes ? totals.bytesDone : totals.itemsDone;
    const uint64_t total = byBytes ? totals.bytesTotal : totals.itemsTotal;
    f.percent = total == 0 ? 0 : static_cast<int>(done * 100 / total);
    f.perSecond = rate.PerSecond(now);
    if (done >= total) {
        f.etaKnown = true;
    } else if (f.perSecond > 0) {
        f.etaKnown = true;
        f.etaSeconds = static_cast<double>(total - done) / f.perSecond;
    }
    return f;
}

double JobState::SecondsAt(Clock::time_point now) const {
    return std::chrono::duration<double>(now - start).count();
}

Reporter::Reporter(std::FILE* out, OutputMode mode, int columns)
    : mSink(SinkFor(out, mode, columns)), mJob(std::make_unique<JobState>()) {}

Reporter::Reporter(EventSink events) : mSink(MakePageSink(std::move(events))), mJob(std::make_unique<JobState>()) {}

Reporter::~Reporter() {
    StopTicker();
}

void Reporter::StopTicker() {
    {
        std::lock_guard<std::mutex> lock(mLock);
        mTicking = false;
    }
    mWake.notify_all();
    if (mTicker.joinable()) mTicker.join();
}

double Reporter::Seconds() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mJob->SecondsAt(Clock::now());
}

void Reporter::SetVerbose(bool verbose) {
    std::lock_guard<std::mutex> lock(mLock);
    mSink->SetVerbose(verbose);
}

void Reporter::Begin(ProgressSource source, const std::string& job, const LedgerTotals& totals) {
    {
        std::lock_guard<std::mutex> lock(mLock);
        mJob->job = job;
    }
    Begin(source, totals);
}

void Reporter::Begin(ProgressSource source, const LedgerTotals& totals) {
    std::lock_guard<std::mutex> lock(mLock);
    mJob->source = source;
    mJob->totals = totals;
    if (mBegun) return;  // a further job of the command: clock and rate go on
    mBegun = true;
    mJob->start = Clock::now();
    mJob->rate.Start(mJob->start, totals.bytesTotal > 0 ? totals.bytesDone : totals.itemsDone);
    mSink->Begin(*mJob);
    if (!mSink->Ticks(*mJob) || mTicking) return;
    mTicking = true;
    mTicker = std::thread(&Reporter::Tick, this);
}

// What a sink redraws in time (the bar, the JSON progress) is written only
// here, so it is redrawn at most once per interval.
void Reporter::Tick() {
    std::unique_lock<std::mutex> lock(mLock);
    while (mTicking) {
        mSink->Tick(*mJob, Clock::now());
        mWake.wait_for(lock, kRedrawInterval, [this] { return !mTicking; });
    }
}

Clock::time_point Reporter::TrackLocked(const LedgerTotals& totals) {
    mJob->totals = totals;
    const Clock::time_point now = Clock::now();
    mJob->rate.Add(now, totals.bytesTotal > 0 ? totals.bytesDone : totals.itemsDone);
    return now;
}

void Reporter::Percent(int percent) {
    std::lock_guard<std::mutex> lock(mLock);
    if (percent == mJob->percent) return;
    const int previous = mJob->percent;
    mJob->percent = percent;
    mSink->Percent(*mJob, previous);
}

void Reporter::Item(const ItemEvent& item, const LedgerTotals* totals) {
    std::lock_guard<std::mutex> lock(mLock);
    // The figures first, so that a bar redrawn below the item line counts it.
    const Clock::time_point now = totals ? TrackLocked(*totals) : Clock::now();
    mSink->Item(*mJob, item);
    if (totals) mSink->Progress(*mJob, now);
}

void Reporter::Retry(int round, size_t items, std::chrono::milliseconds delay, const int32_t* result,
                     const std::string& why, int of, uint64_t requestsRetried) {
    std::lock_guard<std::mutex> lock(mLock);
    RetryEvent retry;
    retry.round = round;
    retry.items = items;
    retry.delaySeconds = static_cast<double>(delay.count()) / 1000;
    retry.result = result;
    retry.why = why;
    retry.of = of;
    retry.requestsRetried = requestsRetried;
    mSink->Retry(*mJob, retry);
}

void Reporter::Progress(const LedgerTotals& totals) {
    std::lock_guard<std::mutex> lock(mLock);
    mSink->Progress(*mJob, TrackLocked(totals));
}

void Reporter::Notice(const std::string& text) {
    std::lock_guard<std::mutex> lock(mLock);
    mSink->Notice(*mJob, text);
}

void Reporter::Write(const std::string& text) {
    std::lock_guard<std::mutex> lock(mLock);
    mSink->Write(text);
}

void Reporter::Event(const Json& event) {
    std::lock_guard<std::mutex> lock(mLock);
    mSink->Event(event);
}

void Reporter::End(const Summary& summary) {
    StopTicker();
    std::lock_guard<std::mutex> lock(mLock);
    mSink->End(*mJob, summary);
}

}  // namespace qsync
