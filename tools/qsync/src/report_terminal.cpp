// The sinks that write text for a person: the bar on a terminal, plain
// lines for a pipe, and the quiet output.
#include <algorithm>
#include <cmath>

#include "report_sink.h"

namespace qsync {
namespace {

using Clock = std::chrono::steady_clock;

// The bar's graphic is kBarWidth wide where the terminal has room, and
// shortened down to kShortestBar on a narrow one before figures are left out.
constexpr size_t kBarWidth = 20;
constexpr size_t kShortestBar = 10;

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
    if (item.action == "not-on-phone") return "- not on the phone: " + item.phone;
    if (item.action == "skipped") return "  skipped " + item.pc + ": " + item.reason;
    if (item.action == "failed") return "! failed " + (item.pc.empty() ? item.phone : item.pc) + ": " + item.reason;
    return item.action + " " + item.phone;
}

// "~ 3 items not done: an upload failed (result -1); trying again in 1 s
// (round 2, 4 requests retried)"; for a probe or a job tried again whole,
// "~ WHY; trying again in 1 s (2 of 4)".
std::string RetryLine(const RetryEvent& r) {
    std::string line = "~ ";
    if (r.items > 0) line += std::to_string(r.items) + (r.items == 1 ? " item" : " items") + " not done: ";
    line += r.why + (r.result ? " (result " + std::to_string(*r.result) + ")" : std::string()) + "; trying again " +
            (r.delaySeconds > 0 ? "in " + Format("%.3g", r.delaySeconds) + " s" : std::string("now"));
    line += r.of > 0 ? " (" + std::to_string(r.round) + " of " + std::to_string(r.of)
                     : " (round " + std::to_string(r.round);
    if (r.requestsRetried > 0)
        line += ", " + std::to_string(r.requestsRetried) + (r.requestsRetried == 1 ? " request" : " requests") +
                " retried";
    return line + ")\n";
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
                       (push ? " (" + HumanBytes(s.bytes) + ")" : "") +
                       (s.unchanged ? ", " + std::to_string(s.unchanged) + " unchanged" : "") + ", nothing sent\n";
            }
            {
                // A push (get, put) counts what it stored, a remove what it
                // removed. Of an interrupted job, what it did not get to.
                const bool remove = s.job.rfind("remove", 0) == 0;
                const bool push = s.job.rfind("push", 0) == 0 || s.job == "get" || s.job == "put";
                std::string counts;
                if (push || s.stored) counts += std::to_string(s.stored) + " stored (" + HumanBytes(s.bytes) + ")";
                if (s.replaced) counts += ", " + std::to_string(s.replaced) + " replaced";
                if (s.unchanged) counts += ", " + std::to_string(s.unchanged) + " unchanged";
                if (!push || s.removed) counts += (counts.empty() ? "" : ", ") + std::to_string(s.removed) + " removed";
                if (s.notOnPhone) counts += ", " + std::to_string(s.notOnPhone) + " not on the phone";
                if (s.skipped) counts += ", " + std::to_string(s.skipped) + " skipped: " + s.skippedWhy;
                if (s.failed)
                    counts += ", " + std::to_string(s.failed) +
                              (s.exitCode != 130 ? " failed" : remove ? " not removed" : " not sent");
                return line + counts + " in " + Duration(seconds) + AverageRate(s.bytes, seconds) + "\n";
            }
        case SummaryKind::kFiles:
        case SummaryKind::kCovered:
            if (s.countsKnown) {
                // The files a fetch or backup wrote, counting those written
                // over a PC copy; the files a fetch found in the folder and
                // left as they were.
                line += std::to_string(s.files) + (s.files == 1 ? " file (" : " files (") + HumanBytes(s.bytes) + ")";
                if (s.kind == SummaryKind::kFiles && s.replaced) line += ", " + std::to_string(s.replaced) + " replaced";
                if (s.kind == SummaryKind::kFiles && s.unchanged && s.job.rfind("fetch", 0) == 0)
                    line += ", " + std::to_string(s.unchanged) + " already there";
                return line + " in " + Duration(seconds) + AverageRate(s.bytes, seconds) + "\n";
            }
            return line + "result " + std::to_string(s.result) + " in " + Duration(seconds) + "\n";
        case SummaryKind::kPlain: break;
    }
    line += s.result == 0 ? "done" : "result " + std::to_string(s.result);
    if (!s.playlistId.empty()) line += ", playlist id " + s.playlistId;
    return line + " in " + Duration(seconds) + "\n";
}

// Which figures a progress text leaves out to fit a narrow terminal.
struct Shortened {
    bool inFlight = false;  // ", 2 in flight"
    bool clock = false;     // the time since the start
};

// The figures of the bar and of a plain progress line.
std::string ProgressText(const JobState& job, const JobState::Figures& f, Clock::time_point now,
                         Shortened left = Shortened()) {
    char percent[16];
    std::snprintf(percent, sizeof percent, "%3d%%", f.percent);
    std::string text = percent;
    if (!left.clock) text += "  " + ClockText(job.SecondsAt(now));
    if (job.source == ProgressSource::kLibrary) return text;
    const LedgerTotals& t = job.totals;
    if (t.bytesTotal > 0)
        text += "  " + HumanBytes(t.bytesDone) + "/" + HumanBytes(t.bytesTotal) + "  " +
                (f.perSecond > 0 ? HumanBytes(static_cast<uint64_t>(f.perSecond)) + "/s" : "-- B/s");
    text += "  ETA " + (f.etaKnown ? ClockText(std::ceil(f.etaSeconds)) : std::string("-:--"));
    text += "  " + std::to_string(t.itemsDone) + "/" + std::to_string(t.itemsTotal) + " items";
    if (t.itemsInFlight && !left.inFlight) text += ", " + std::to_string(t.itemsInFlight) + " in flight";
    return text;
}

// Item and retry lines on the output, notices on the error stream, and
// after the summary the failed list and the error line.
class TextSink : public ReportSink {
public:
    TextSink(std::FILE* out, std::FILE* err) : mOut(out), mErr(err) {}

    void Item(const JobState&, const ItemEvent& item) override { WriteText(mOut, ItemLine(item) + "\n"); }
    void Retry(const JobState&, const RetryEvent& retry) override { WriteText(mOut, RetryLine(retry)); }
    void Notice(const JobState&, const std::string& text) override { WriteText(mErr, text + "\n"); }
    void Write(const std::string& text) override { WriteText(mOut, text); }
    void Event(const Json& event) override { WriteText(mOut, JsonLine(event)); }

    void End(const JobState& job, const Summary& summary) override {
        const double seconds = job.SecondsAt(Clock::now());
        // Items the library did not report done, each with its reason; of
        // an interrupted job only with -v: it is mostly the ones not started.
        if (summary.exitCode != 130 || mVerbose)
            for (const FailedItem& f : summary.failedItems) WriteText(mOut, ItemLine(FailedEvent(f)) + "\n");
        std::string line = SummaryLine(summary, seconds);
        if (summary.retries > 0)
            line.insert(line.size() - 1, " (" + std::to_string(summary.retries) +
                                             (summary.retries == 1 ? " request" : " requests") + " retried)");
        WriteText(mOut, line);
        WriteFailureLines(mErr, summary);
    }

protected:
    static ItemEvent FailedEvent(const FailedItem& f) {
        ItemEvent event("failed", f.pc, f.phone);
        event.result = f.result;
        event.reason = f.reason;
        return event;
    }

    std::FILE* mOut;
    std::FILE* mErr;
};

// Plain output is read later: a progress line per tenth, not per item.
class PlainSink : public TextSink {
public:
    using TextSink::TextSink;

    // The library's percentage of a named job, a line per tenth; a job
    // that succeeded ends at 100% before its summary.
    void Percent(const JobState& job, int previous) override {
        if (job.source == ProgressSource::kLibrary && job.percent / 10 != previous / 10) WritePercent(job, job.percent);
    }

    void End(const JobState& job, const Summary& summary) override {
        if (job.source == ProgressSource::kLibrary && summary.exitCode == 0 && mPercentWritten < 100)
            WritePercent(job, 100);
        TextSink::End(job, summary);
    }

    void Progress(const JobState& job, Clock::time_point now) override {
        if (job.source != ProgressSource::kItems) return;
        const JobState::Figures f = job.FiguresAt(now);
        if (f.percent / 10 > mTenth) {
            mTenth = f.percent / 10;
            WriteText(mOut, ProgressText(job, f, now) + "\n");
        }
    }

private:
    // A percentage alone would not say which job it is of, so a job the
    // commands did not name (a playlist change) has no percentage lines.
    void WritePercent(const JobState& job, int percent) {
        if (job.job.empty()) return;
        WriteText(mOut, job.job + ": " + std::to_string(percent) + "%\n");
        mPercentWritten = percent;
    }

    int mTenth = 0;            // the last tenth a progress line was written for
    int mPercentWritten = -1;  // the last percentage line, -1 before the first
};

// The bar, redrawn in place by the ticker and at once below every line
// written above it, which first erases it.
class TerminalSink : public TextSink {
public:
    TerminalSink(std::FILE* out, std::FILE* err, int columns) : TextSink(out, err), mColumns(columns) {}

    bool Ticks(const JobState&) const override { return true; }
    void Tick(const JobState& job, Clock::time_point now) override { DrawBar(job, now); }

    void Item(const JobState& job, const ItemEvent& item) override {
        ClearBar();
        TextSink::Item(job, item);
        Redraw(job);
    }
    void Notice(const JobState& job, const std::string& text) override {
        ClearBar();
        TextSink::Notice(job, text);
        Redraw(job);
    }
    void Retry(const JobState& job, const RetryEvent& retry) override {
        ClearBar();
        TextSink::Retry(job, retry);
        Redraw(job);
    }
    void Begin(const JobState&) override { mBegun = true; }
    void End(const JobState& job, const Summary& summary) override {
        if (mBarShown) {
            // The last state stays on screen: a job the library finished
            // ends at 100% even when its last message said less.
            JobState last = job;
            if (last.source == ProgressSource::kLibrary && summary.exitCode == 0) last.percent = 100;
            DrawBar(last, Clock::now());
            WriteText(mOut, "\n");
            mBarShown = false;
        }
        mBegun = false;
        TextSink::End(job, summary);
    }

private:
    void Redraw(const JobState& job) {
        if (mBegun) DrawBar(job, Clock::now());
    }

    void DrawBar(const JobState& job, Clock::time_point now) {
        const JobState::Figures f = job.FiguresAt(now);
        // A line that wraps could not be redrawn in place. A narrow terminal
        // gets a shorter bar, then fewer figures; where even the fewest
        // leave no room for a bar, the figures alone, cut to the width.
        const size_t room = mColumns > 1 ? static_cast<size_t>(mColumns - 1) : 79;
        std::string line;
        for (const Shortened left : {Shortened{false, false}, Shortened{true, false}, Shortened{true, true}}) {
            const std::string text = ProgressText(job, f, now, left);
            if (text.size() + 3 + kShortestBar > room) continue;
            mBarWidth = std::min(mBarWidth, room - text.size() - 3);  // it never grows back: no jitter
            const size_t filled = static_cast<size_t>(std::clamp(f.percent, 0, 100)) * mBarWidth / 100;
            line = "[" + std::string(filled, '#') + std::string(mBarWidth - filled, '.') + "] " + text;
            break;
        }
        if (line.empty()) line = ProgressText(job, f, now).substr(0, room);
        const std::string bar = "\r\x1b[K" + line;
        if (mBarShown && bar == mLastBar) return;  // nothing changed on screen
        WriteText(mOut, bar);
        mLastBar = bar;
        mBarShown = true;
    }

    void ClearBar() {
        if (!mBarShown) return;
        WriteText(mOut, "\r\x1b[K");
        mBarShown = false;
    }

    int mColumns;
    size_t mBarWidth = kBarWidth;
    bool mBegun = false;  // between the job's Begin and End: a bar belongs below the lines
    bool mBarShown = false;
    std::string mLastBar;
};

// -q: no items, progress or summary; a new playlist's id for a script, and
// what failed for the person.
class QuietSink : public TextSink {
public:
    using TextSink::TextSink;

    void Item(const JobState&, const ItemEvent&) override {}
    void Retry(const JobState&, const RetryEvent&) override {}
    void End(const JobState&, const Summary& summary) override {
        if (!summary.playlistId.empty()) WriteText(mOut, summary.playlistId + "\n");
        WriteFailureLines(mErr, summary);
    }
};

}  // namespace

std::unique_ptr<ReportSink> MakeTerminalSink(std::FILE* out, std::FILE* err, int columns) {
    return std::make_unique<TerminalSink>(out, err, columns);
}

std::unique_ptr<ReportSink> MakePlainSink(std::FILE* out, std::FILE* err) {
    return std::make_unique<PlainSink>(out, err);
}

std::unique_ptr<ReportSink> MakeQuietSink(std::FILE* out, std::FILE* err) {
    return std::make_unique<QuietSink>(out, err);
}

}  // namespace qsync
