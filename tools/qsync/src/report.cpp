#include "report.h"

#include <algorithm>
#include <cmath>

namespace qsync {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr auto kProgressJsonInterval = std::chrono::milliseconds(500);
constexpr auto kRateWindow = std::chrono::seconds(5);
constexpr int kBarWidth = 20;
constexpr size_t kFailedListLines = 20;

std::string Format(const char* format, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

// 75 -> "1:15", 3725 -> "1:02:05"; ">99h" from 100 hours on (an ETA of
// a stalled job can be any size; the conversion below must not overflow).
std::string ClockText(double seconds) {
    if (!(seconds < 100.0 * 3600)) return ">99h";
    const int64_t whole = seconds > 0 ? static_cast<int64_t>(seconds) : 0;
    const int hours = static_cast<int>(whole / 3600), minutes = static_cast<int>(whole / 60 % 60),
              rest = static_cast<int>(whole % 60);
    char buffer[32];
    if (whole >= 3600)
        std::snprintf(buffer, sizeof buffer, "%d:%02d:%02d", hours, minutes, rest);
    else
        std::snprintf(buffer, sizeof buffer, "%d:%02d", minutes, rest);
    return buffer;
}

std::string Duration(double seconds) {
    return Format(seconds < 10 ? "%.2f s" : "%.0f s", seconds);
}

std::string ItemLine(const ItemEvent& item) {
    if (!item.playlistId.empty() || !item.name.empty())
        return std::string(item.action == "deleted" ? "- " : "+ ") + item.action + " playlist " + item.playlistId +
               (item.name.empty() ? "" : " \"" + item.name + "\"");
    if (item.action == "would-store") return "would store " + item.pc + " -> " + item.phone;
    if (item.action == "would-remove") return "would remove " + item.phone;
    if (item.action == "stored") return "+ stored " + item.pc + " -> " + item.phone;
    if (item.action == "fetched") return "+ fetched " + item.phone + " -> " + item.pc;
    if (item.action == "replaced") return "> replaced " + item.pc + " -> " + item.phone;
    if (item.action == "unchanged") return "= unchanged " + item.pc;
    if (item.action == "removed") return "- removed " + item.phone;
    if (item.action == "failed") return "! failed " + (item.pc.empty() ? item.phone : item.pc) + ": " + item.reason;
    return item.action + " " + item.phone;
}

Json ItemJson(const ItemEvent& item) {
    Json json = {{"event", "item"}, {"action", item.action}};
    if (!item.pc.empty()) json["pc"] = item.pc;
    if (!item.phone.empty()) json["phone"] = item.phone;
    if (!item.playlistId.empty()) json["id"] = item.playlistId;
    if (!item.name.empty()) json["name"] = item.name;
    json["result"] = item.result;
    if (item.hasBytes) json["bytes"] = item.bytes;
    if (!item.reason.empty()) json["reason"] = item.reason;
    return json;
}

std::string AverageRate(uint64_t bytes, double seconds) {
    if (bytes == 0 || seconds <= 0) return "";
    return ", " + HumanBytes(static_cast<uint64_t>(static_cast<double>(bytes) / seconds)) + "/s";
}

std::string SummaryLine(const Summary& s, double seconds) {
    std::string line = s.job + ": ";
    switch (s.kind) {
        case SummaryKind::kItems:
            if (s.dryRun) {
                const bool push = s.job.rfind("push", 0) == 0;
                return line + (push ? "would store " : "would remove ") + std::to_string(s.planned) +
                       (push ? " (" + HumanBytes(s.bytes) + ")" : "") + ", nothing sent\n";
            }
            {
                // A push (get, put) counts what it stored, a remove what it
                // removed.
                const bool push = s.job.rfind("push", 0) == 0 || s.job == "get" || s.job == "put";
                std::string counts;
                if (push || s.stored) counts += std::to_string(s.stored) + " stored (" + HumanBytes(s.bytes) + ")";
                if (s.replaced) counts += ", " + std::to_string(s.replaced) + " replaced";
                if (s.unchanged) counts += ", " + std::to_string(s.unchanged) + " unchanged";
                if (!push || s.removed) counts += (counts.empty() ? "" : ", ") + std::to_string(s.removed) + " removed";
                if (s.failed) counts += ", " + std::to_string(s.failed) + " failed";
                return line + counts + " in " + Duration(seconds) + AverageRate(s.bytes, seconds) + "\n";
            }
        case SummaryKind::kFiles:
        case SummaryKind::kCovered:
            if (s.countsKnown)
                return line + std::to_string(s.files) + (s.files == 1 ? " file (" : " files (") + HumanBytes(s.bytes) +
                       ") in " + Duration(seconds) + AverageRate(s.bytes, seconds) + "\n";
            return line + "result " + std::to_string(s.result) + " in " + Duration(seconds) + "\n";
        case SummaryKind::kPlain: break;
    }
    line += s.result == 0 ? "done" : "result " + std::to_string(s.result);
    if (!s.playlistId.empty()) line += ", playlist id " + s.playlistId;
    return line + " in " + Duration(seconds) + "\n";
}

Json SummaryJson(const Summary& s, double seconds) {
    Json json = {{"event", "done"}, {"job", s.job}, {"result", s.result}};
    if (!s.resultText.empty()) json["error"] = s.resultText;
    json["exit"] = s.exitCode;
    if (s.dryRun) {
        json["dry_run"] = true;
        json["planned"] = s.planned;
    }
    switch (s.kind) {
        case SummaryKind::kItems: {
            json["stored"] = s.stored;
            json["replaced"] = s.replaced;
            json["unchanged"] = s.unchanged;
            json["removed"] = s.removed;
            json["failed"] = s.failed;
            json["bytes"] = s.bytes;
            Json failed = Json::array();
            for (const FailedItem& f : s.failedItems)
                failed.push_back({{"pc", f.pc}, {"phone", f.phone}, {"result", f.result}, {"reason", f.reason}});
            json["failed_items"] = failed;
            break;
        }
        case SummaryKind::kFiles:
            json["files"] = s.files;
            json["replaced"] = s.replaced;
            json["unchanged"] = s.unchanged;
            json["bytes"] = s.bytes;
            break;
        case SummaryKind::kCovered:
            if (s.countsKnown) {
                json["files"] = s.files;
                json["bytes"] = s.bytes;
            }
            break;
        case SummaryKind::kPlain: break;
    }
    if (!s.playlistId.empty()) json["id"] = s.playlistId;
    json["retries"] = s.retries;
    json["seconds"] = std::round(seconds * 1000) / 1000;
    return json;
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
    return Format("%.1f ", value) + kUnits[unit];
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

Reporter::Reporter(std::FILE* out, OutputMode mode, int columns) : mOut(out), mMode(mode), mColumns(columns) {}

Reporter::Reporter(EventSink events) : mOut(nullptr), mEvents(std::move(events)), mMode(OutputMode::kJson), mColumns(0) {}

Reporter::~Reporter() {
    {
        std::lock_guard<std::mutex> lock(mLock);
        mTicking = false;
    }
    mWake.notify_all();
    if (mTicker.joinable()) mTicker.join();
}

double Reporter::Seconds() const {
    return std::chrono::duration<double>(Clock::now() - mStart).count();
}

void Reporter::Begin(ProgressSource source, const LedgerTotals& totals) {
    std::lock_guard<std::mutex> lock(mLock);
    mSource = source;
    mTotals = totals;
    if (mBegun) return;  // a further job of the command: clock and rate go on
    mBegun = true;
    mStart = Clock::now();
    mRate.Start(mStart, totals.bytesTotal > 0 ? totals.bytesDone : totals.itemsDone);
    mLastProgressJson = mStart;
    const bool tick = mMode == OutputMode::kTerminal || (mMode == OutputMode::kJson && source == ProgressSource::kItems);
    if (!tick || mTicking) return;
    mTicking = true;
    mTicker = std::thread(&Reporter::Tick, this);
}

// The bar and the JSON progress are written only here, so they are redrawn
// at most once per interval.
void Reporter::Tick() {
    std::unique_lock<std::mutex> lock(mLock);
    while (mTicking) {
        const Clock::time_point now = Clock::now();
        if (mMode == OutputMode::kTerminal) {
            DrawBarLocked();
        } else if (mProgressDirty && now - mLastProgressJson >= kProgressJsonInterval) {
            EmitLocked(ProgressJsonLocked(FiguresLocked(now)));
            mLastProgressJson = now;
            mProgressDirty = false;
        }
        mWake.wait_for(lock, kRedrawInterval, [this] { return !mTicking; });
    }
}

void Reporter::WriteLocked(const std::string& text) {
    if (!mOut) return;
    std::fwrite(text.data(), 1, text.size(), mOut);
    std::fflush(mOut);
}

void Reporter::EmitLocked(const Json& event) {
    if (mEvents)
        mEvents(event);
    else
        WriteLocked(JsonLine(event));
}

Reporter::Figures Reporter::FiguresLocked(Clock::time_point now) const {
    Figures f;
    if (mSource == ProgressSource::kLibrary) {
        f.percent = mPercent < 0 ? 0 : mPercent;
        return f;
    }
    // Finished bytes over all bytes; items where no bytes move (removals).
    const bool byBytes = mTotals.bytesTotal > 0;
    const uint64_t done = byBytes ? mTotals.bytesDone : mTotals.itemsDone;
    const uint64_t total = byBytes ? mTotals.bytesTotal : mTotals.itemsTotal;
    f.percent = total == 0 ? 0 : static_cast<int>(done * 100 / total);
    f.perSecond = mRate.PerSecond(now);
    if (done >= total) {
        f.etaKnown = true;
    } else if (f.perSecond > 0) {
        f.etaKnown = true;
        f.etaSeconds = static_cast<double>(total - done) / f.perSecond;
    }
    return f;
}

std::string Reporter::ProgressTextLocked(const Figures& f) const {
    char percent[16];
    std::snprintf(percent, sizeof percent, "%3d%%", f.percent);
    std::string text = percent + ("  " + ClockText(Seconds()));
    if (mSource == ProgressSource::kLibrary) return text;
    if (mTotals.bytesTotal > 0)
        text += "  " + HumanBytes(mTotals.bytesDone) + "/" + HumanBytes(mTotals.bytesTotal) + "  " +
                (f.perSecond > 0 ? HumanBytes(static_cast<uint64_t>(f.perSecond)) + "/s" : "-- B/s");
    text += "  ETA " + (f.etaKnown ? ClockText(std::ceil(f.etaSeconds)) : std::string("-:--"));
    text += "  " + std::to_string(mTotals.itemsDone) + "/" + std::to_string(mTotals.itemsTotal) + " items";
    if (mTotals.itemsInFlight) text += ", " + std::to_string(mTotals.itemsInFlight) + " in flight";
    return text;
}

Json Reporter::ProgressJsonLocked(const Figures& f) const {
    Json json = {{"event", "progress"},
                 {"items_done", mTotals.itemsDone},
                 {"items_total", mTotals.itemsTotal},
                 {"bytes_done", mTotals.bytesDone},
                 {"bytes_total", mTotals.bytesTotal},
                 {"bytes_per_s", mTotals.bytesTotal > 0 ? static_cast<uint64_t>(std::llround(f.perSecond)) : 0}};
    // Capped at 2^53 s, which a double holds exactly, so the conversion cannot overflow.
    json["eta_s"] = f.etaKnown ? Json(static_cast<uint64_t>(std::min(std::ceil(f.etaSeconds), 9007199254740992.0)))
                               : Json(nullptr);
    return json;
}

void Reporter::TrackLocked(const LedgerTotals& totals) {
    mTotals = totals;
    const Clock::time_point now = Clock::now();
    mRate.Add(now, totals.bytesTotal > 0 ? totals.bytesDone : totals.itemsDone);
    mProgressDirty = true;
    if (mMode != OutputMode::kPlain || mSource != ProgressSource::kItems) return;
    // Plain output is read later: a line per tenth, not per item.
    const Figures f = FiguresLocked(now);
    if (f.percent / 10 > mPlainTenth) {
        mPlainTenth = f.percent / 10;
        WriteLocked(ProgressTextLocked(f) + "\n");
    }
}

void Reporter::DrawBarLocked() {
    const Figures f = FiguresLocked(Clock::now());
    const int filled = f.percent * kBarWidth / 100;
    const std::string text = ProgressTextLocked(f);
    std::string line = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "] " + text;
    // A line that wraps could not be redrawn in place: narrow terminals get
    // the figures without the bar, cut to the width.
    const size_t room = mColumns > 1 ? static_cast<size_t>(mColumns - 1) : 79;
    if (line.size() > room) line = text.substr(0, room);
    const std::string bar = "\r\x1b[K" + line;
    if (mBarShown && bar == mLastBar) return;  // nothing changed on screen
    WriteLocked(bar);
    mLastBar = bar;
    mBarShown = true;
}

void Reporter::ClearBarLocked() {
    if (!mBarShown) return;
    WriteLocked("\r\x1b[K");
    mBarShown = false;
}

void Reporter::Percent(int percent) {
    std::lock_guard<std::mutex> lock(mLock);
    if (percent == mPercent) return;
    const int previous = mPercent;
    mPercent = percent;
    if (mMode == OutputMode::kJson) {
        EmitLocked({{"event", "percent"}, {"percent", percent}});
    } else if (mMode == OutputMode::kPlain && mSource == ProgressSource::kLibrary && percent / 10 != previous / 10) {
        WriteLocked(std::to_string(percent) + "%\n");
    }
}

void Reporter::Item(const ItemEvent& item, const LedgerTotals* totals) {
    std::lock_guard<std::mutex> lock(mLock);
    switch (mMode) {
        case OutputMode::kJson: EmitLocked(ItemJson(item)); break;
        case OutputMode::kTerminal: ClearBarLocked(); WriteLocked(ItemLine(item) + "\n"); break;
        case OutputMode::kPlain: WriteLocked(ItemLine(item) + "\n"); break;
        case OutputMode::kQuiet: break;
    }
    if (totals) TrackLocked(*totals);
}

void Reporter::Retry(int round, size_t items, std::chrono::milliseconds delay, const int32_t* result,
                     const std::string& why) {
    std::lock_guard<std::mutex> lock(mLock);
    const double seconds = static_cast<double>(delay.count()) / 1000;
    switch (mMode) {
        case OutputMode::kJson:
            EmitLocked({{"event", "retry"}, {"round", round}, {"items", items}, {"delay_s", seconds},
                        {"result", result ? Json(*result) : Json(nullptr)}});
            break;
        case OutputMode::kTerminal: ClearBarLocked(); [[fallthrough]];
        case OutputMode::kPlain:
            WriteLocked("~ retry " + std::to_string(round) + ": " + std::to_string(items) +
                        (items == 1 ? " item" : " items") + " after " + Format("%g", seconds) + " s (" + why +
                        (result ? ", result " + std::to_string(*result) : std::string()) + ")\n");
            break;
        case OutputMode::kQuiet: break;
    }
}

void Reporter::Progress(const LedgerTotals& totals) {
    std::lock_guard<std::mutex> lock(mLock);
    TrackLocked(totals);
}

void Reporter::Notice(const std::string& text) {
    std::lock_guard<std::mutex> lock(mLock);
    if (mEvents) {
        mEvents({{"event", "notice"}, {"text", text}});
        return;
    }
    ClearBarLocked();
    std::fputs((text + "\n").c_str(), stderr);
    std::fflush(stderr);
}

void Reporter::Write(const std::string& text) {
    std::lock_guard<std::mutex> lock(mLock);
    WriteLocked(text);
}

void Reporter::Event(const Json& event) {
    std::lock_guard<std::mutex> lock(mLock);
    EmitLocked(event);
}

void Reporter::End(const Summary& summary) {
    {
        std::lock_guard<std::mutex> lock(mLock);
        mTicking = false;
    }
    mWake.notify_all();
    if (mTicker.joinable()) mTicker.join();
    std::lock_guard<std::mutex> lock(mLock);
    const double seconds = Seconds();
    if (mBarShown) {
        DrawBarLocked();  // the last state stays on screen
        WriteLocked("\n");
        mBarShown = false;
    }
    // Items the library did not report done, each with its reason.
    for (const FailedItem& f : summary.failedItems) {
        ItemEvent event("failed", f.pc, f.phone);
        event.result = f.result;
        event.reason = f.reason;
        if (mMode == OutputMode::kJson) EmitLocked(ItemJson(event));
        else if (mMode != OutputMode::kQuiet) WriteLocked(ItemLine(event) + "\n");
    }
    switch (mMode) {
        case OutputMode::kJson:
            if (mSource == ProgressSource::kItems && !summary.dryRun)
                EmitLocked(ProgressJsonLocked(FiguresLocked(Clock::now())));
            {
                Json done = SummaryJson(summary, seconds);
                if (!summary.note.empty() && summary.exitCode == 1) done["note"] = summary.note;
                EmitLocked(done);
            }
            break;
        case OutputMode::kTerminal:
        case OutputMode::kPlain: {
            std::string line = SummaryLine(summary, seconds);
            if (summary.retries > 0)
                line.insert(line.size() - 1, " (" + std::to_string(summary.retries) +
                                                 (summary.retries == 1 ? " request" : " requests") + " retried)");
            WriteLocked(line);
            break;
        }
        case OutputMode::kQuiet:
            if (!summary.playlistId.empty()) WriteLocked(summary.playlistId + "\n");
            break;
    }
    if (mEvents) return;  // the done event carries the failed items and the error
    if (!summary.failedItems.empty()) {
        std::string list = "failed items:\n";
        for (size_t i = 0; i < summary.failedItems.size() && i < kFailedListLines; ++i) {
            const FailedItem& f = summary.failedItems[i];
            list += "  " + (f.pc.empty() ? f.phone : f.pc) + ": " + f.reason + "\n";
        }
        if (summary.failedItems.size() > kFailedListLines)
            list += "  and " + std::to_string(summary.failedItems.size() - kFailedListLines) + " more\n";
        std::fputs(list.c_str(), stderr);
    }
    if (summary.exitCode == 1) {
        std::fprintf(stderr, "qsync: %s failed: %s (result %d)\n", summary.job.c_str(), summary.resultText.c_str(),
                     static_cast<int>(summary.result));
        if (!summary.note.empty()) std::fprintf(stderr, "qsync: %s\n", summary.note.c_str());
    } else if (summary.exitCode == 130) {
        std::fprintf(stderr, "qsync: %s interrupted\n", summary.job.c_str());
    }
    std::fflush(stderr);
}

}  // namespace qsync
