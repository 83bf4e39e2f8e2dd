// The sinks of JSON objects: one per line for --json, and handed to a
// function for a host of jobs (the page).
#include <algorithm>
#include <cmath>

#include "report_sink.h"

namespace qsync {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kProgressInterval = std::chrono::milliseconds(500);

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
            json["skipped"] = s.skipped;
            json["not_on_phone"] = s.notOnPhone;
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
    if (!s.note.empty() && s.exitCode == 1) json["note"] = s.note;
    return json;
}

Json ProgressJson(const JobState& job, const JobState::Figures& f) {
    const LedgerTotals& t = job.totals;
    Json json = {{"event", "progress"},
                 {"items_done", t.itemsDone},
                 {"items_total", t.itemsTotal},
                 {"bytes_done", t.bytesDone},
                 {"bytes_total", t.bytesTotal},
                 {"bytes_per_s", t.bytesTotal > 0 ? static_cast<uint64_t>(std::llround(f.perSecond)) : 0}};
    // Capped at 2^53 s, which a double holds exactly, so the conversion cannot overflow.
    json["eta_s"] = f.etaKnown ? Json(static_cast<uint64_t>(std::min(std::ceil(f.etaSeconds), 9007199254740992.0)))
                               : Json(nullptr);
    return json;
}

// Every event as an object; the progress of an item job at most once per
// kProgressInterval (from the ticker), and once more at its end.
class JsonSink : public ReportSink {
public:
    explicit JsonSink(std::FILE* err) : mErr(err) {}

    bool Ticks(const JobState& job) const override { return job.source == ProgressSource::kItems; }
    void Begin(const JobState& job) override { mLastProgress = job.start; }
    void Tick(const JobState& job, Clock::time_point now) override {
        if (!mProgressDirty || now - mLastProgress < kProgressInterval) return;
        Emit(ProgressJson(job, job.FiguresAt(now)));
        mLastProgress = now;
        mProgressDirty = false;
    }
    void Percent(const JobState& job, int) override { Emit({{"event", "percent"}, {"percent", job.percent}}); }
    void Item(const JobState&, const ItemEvent& item) override { Emit(ItemJson(item)); }
    void Retry(const JobState&, const RetryEvent& r) override {
        Emit({{"event", "retry"}, {"round", r.round}, {"of", r.of > 0 ? Json(r.of) : Json(nullptr)},
              {"items", r.items}, {"delay_s", r.delaySeconds}, {"result", r.result ? Json(*r.result) : Json(nullptr)},
              {"requests_retried", r.requestsRetried}});
    }
    void Progress(const JobState&, Clock::time_point) override { mProgressDirty = true; }
    void Notice(const JobState&, const std::string& text) override { WriteText(mErr, text + "\n"); }
    void Event(const Json& event) override { Emit(event); }

    void End(const JobState& job, const Summary& summary) override {
        const Clock::time_point now = Clock::now();
        for (const FailedItem& f : summary.failedItems) {
            ItemEvent event("failed", f.pc, f.phone);
            event.result = f.result;
            event.reason = f.reason;
            Emit(ItemJson(event));
        }
        if (job.source == ProgressSource::kItems && !summary.dryRun) Emit(ProgressJson(job, job.FiguresAt(now)));
        Emit(SummaryJson(summary, job.SecondsAt(now)));
        WriteFailureLines(mErr, summary);
    }

protected:
    virtual void Emit(const Json& event) = 0;

private:
    std::FILE* mErr;  // null: nothing but the events
    bool mProgressDirty = false;
    Clock::time_point mLastProgress;
};

class JsonLinesSink : public JsonSink {
public:
    JsonLinesSink(std::FILE* out, std::FILE* err) : JsonSink(err), mOut(out) {}

    void Write(const std::string& text) override { WriteText(mOut, text); }

private:
    void Emit(const Json& event) override { WriteText(mOut, JsonLine(event)); }

    std::FILE* mOut;
};

// A host of jobs renders everything itself: a notice is an event too, the
// done event carries the failed items and the error, and listing text has
// no place to go.
class PageSink : public JsonSink {
public:
    explicit PageSink(EventSink events) : JsonSink(nullptr), mEvents(std::move(events)) {}

    void Notice(const JobState&, const std::string& text) override { Emit({{"event", "notice"}, {"text", text}}); }
    void Write(const std::string&) override {}

private:
    void Emit(const Json& event) override { mEvents(event); }

    EventSink mEvents;
};

}  // namespace

std::unique_ptr<ReportSink> MakeJsonSink(std::FILE* out, std::FILE* err) {
    return std::make_unique<JsonLinesSink>(out, err);
}

std::unique_ptr<ReportSink> MakePageSink(EventSink events) {
    return std::make_unique<PageSink>(std::move(events));
}

}  // namespace qsync
