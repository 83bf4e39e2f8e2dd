#include "report.h"

#include "text.h"

namespace qsync {
namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kBarWidth = 24;

std::string Format(const char* format, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

std::string Elapsed(double seconds) {
    const long whole = static_cast<long>(seconds);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%ld:%02ld", whole / 60, whole % 60);
    return buffer;
}

std::string ItemLine(const ItemEvent& item) {
    if (!item.playlistId.empty() || !item.name.empty())
        return item.action + " playlist " + item.playlistId + (item.name.empty() ? "" : " \"" + item.name + "\"");
    if (item.action.rfind("would-", 0) == 0) {
        std::string line = "would " + item.action.substr(6) + " ";
        return line + (item.pc.empty() || item.action == "would-remove" ? item.phone : item.pc + " -> " + item.phone);
    }
    return item.action + " " + item.phone;
}

std::string ItemJson(const ItemEvent& item) {
    std::string json = "{\"event\":\"item\",\"action\":" + JsonQuote(item.action);
    if (!item.pc.empty()) json += ",\"pc\":" + JsonQuote(item.pc);
    if (!item.phone.empty()) json += ",\"phone\":" + JsonQuote(item.phone);
    if (!item.playlistId.empty()) json += ",\"id\":" + JsonQuote(item.playlistId);
    if (!item.name.empty()) json += ",\"name\":" + JsonQuote(item.name);
    return json + ",\"result\":" + std::to_string(item.result) + "}\n";
}

std::string SummaryLine(const Summary& s, double seconds) {
    std::string line = s.job + ": ";
    if (s.dryRun) {
        line += std::to_string(s.planned) + " planned" + (s.bytes ? " (" + HumanBytes(s.bytes) + " to store)" : "") +
                ", nothing sent";
    } else if (s.hasItems) {
        // A push counts what it stored, a remove what it removed.
        const bool push = s.job.rfind("push", 0) == 0;
        if (push || s.stored) line += std::to_string(s.stored) + " stored (" + HumanBytes(s.bytes) + ")";
        if (!push || s.removed) line += std::string(push ? ", " : "") + std::to_string(s.removed) + " removed";
    } else {
        line += s.result == 0 ? "done" : "result " + std::to_string(s.result);
    }
    if (!s.playlistId.empty()) line += ", playlist id " + s.playlistId;
    return line + " in " + Format("%.2f s", seconds) + "\n";
}

std::string SummaryJson(const Summary& s, double seconds) {
    std::string json = "{\"event\":\"done\",\"job\":" + JsonQuote(s.job) + ",\"result\":" + std::to_string(s.result);
    if (!s.resultText.empty()) json += ",\"error\":" + JsonQuote(s.resultText);
    json += ",\"exit\":" + std::to_string(s.exitCode);
    if (s.dryRun) json += ",\"dry_run\":true,\"planned\":" + std::to_string(s.planned);
    if (s.hasItems)
        json += ",\"stored\":" + std::to_string(s.stored) + ",\"removed\":" + std::to_string(s.removed) +
                ",\"bytes\":" + std::to_string(s.bytes);
    if (!s.playlistId.empty()) json += ",\"id\":" + JsonQuote(s.playlistId);
    return json + ",\"seconds\":" + Format("%.3f", seconds) + "}\n";
}

}  // namespace

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

Reporter::Reporter(std::FILE* out, OutputMode mode) : mOut(out), mMode(mode) {}

Reporter::~Reporter() {
    {
        std::lock_guard<std::mutex> lock(mLock);
        mTicking = false;
    }
    mWake.notify_all();
    if (mTicker.joinable()) mTicker.join();
}

double Reporter::Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - mStart).count();
}

void Reporter::Begin(size_t totalItems) {
    std::lock_guard<std::mutex> lock(mLock);
    mStart = std::chrono::steady_clock::now();
    mTotal = totalItems;
    if (mMode != OutputMode::kTerminal || mTicking) return;
    mTicking = true;
    mTicker = std::thread(&Reporter::Tick, this);
}

// The bar is drawn only here, so it is redrawn at most once per interval.
void Reporter::Tick() {
    std::unique_lock<std::mutex> lock(mLock);
    while (mTicking) {
        DrawBarLocked();
        mWake.wait_for(lock, kRedrawInterval, [this] { return !mTicking; });
    }
}

void Reporter::WriteLocked(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), mOut);
    std::fflush(mOut);
}

void Reporter::DrawBarLocked() {
    const int percent = mPercent < 0 ? 0 : mPercent;
    const int filled = percent * kBarWidth / 100;
    std::string bar = "\r\x1b[K[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "] ";
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "%3d%%  %s", percent, Elapsed(Seconds()).c_str());
    bar += numbers;
    if (mTotal > 0) bar += "  " + std::to_string(mDone) + "/" + std::to_string(mTotal) + " items";
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
        WriteLocked("{\"event\":\"percent\",\"percent\":" + std::to_string(percent) + "}\n");
    } else if (mMode == OutputMode::kPlain && percent / 10 != previous / 10) {
        // Plain output is read later: a line per tenth, not per message.
        WriteLocked(std::to_string(percent) + "%\n");
    }
}

void Reporter::Item(const ItemEvent& item) {
    std::lock_guard<std::mutex> lock(mLock);
    ++mDone;
    switch (mMode) {
        case OutputMode::kJson: WriteLocked(ItemJson(item)); break;
        case OutputMode::kTerminal: ClearBarLocked(); WriteLocked(ItemLine(item) + "\n"); break;
        case OutputMode::kPlain: WriteLocked(ItemLine(item) + "\n"); break;
        case OutputMode::kQuiet: break;
    }
}

void Reporter::Notice(const std::string& text) {
    std::lock_guard<std::mutex> lock(mLock);
    ClearBarLocked();
    std::fputs((text + "\n").c_str(), stderr);
    std::fflush(stderr);
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
    switch (mMode) {
        case OutputMode::kJson: WriteLocked(SummaryJson(summary, seconds)); break;
        case OutputMode::kTerminal:
        case OutputMode::kPlain: WriteLocked(SummaryLine(summary, seconds)); break;
        case OutputMode::kQuiet:
            if (!summary.playlistId.empty()) WriteLocked(summary.playlistId + "\n");
            break;
    }
    if (summary.exitCode == 1) {
        std::fprintf(stderr, "qsync: %s failed: %s (result %d)\n", summary.job.c_str(), summary.resultText.c_str(),
                     static_cast<int>(summary.result));
    } else if (summary.exitCode == 130) {
        std::fprintf(stderr, "qsync: %s interrupted\n", summary.job.c_str());
    }
}

}  // namespace qsync
