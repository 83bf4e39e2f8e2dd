#include "report.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using qsync::Json;
using qsync::LedgerTotals;
using qsync::Reporter;

// A push of three items as the commands report it: a failed round, a retry,
// a notice (Ctrl-C), an event of a listing, and the end with a failed item.
void PushOfThree(Reporter& reporter) {
    LedgerTotals totals;
    totals.itemsTotal = 3;
    totals.bytesTotal = 300;
    reporter.Begin(qsync::ProgressSource::kItems, totals);
    reporter.Percent(33);
    totals.itemsDone = 1;
    totals.bytesDone = 100;
    qsync::ItemEvent stored("stored", "/pc/a \xC3\xA9.mp3", "/sdcard/Music/a \xC3\xA9.mp3");
    stored.hasBytes = true;
    stored.bytes = 100;
    reporter.Item(stored, &totals);
    const int32_t failed = -2;
    reporter.Retry(2, 2, std::chrono::milliseconds(1500), &failed, "the connection was lost");
    reporter.Notice("stopping\xE2\x80\xA6");
    totals.itemsInFlight = 1;
    reporter.Progress(totals);
    reporter.Event(Json({{"event", "entry"}, {"path", "/sdcard/x"}}));
    qsync::Summary summary;
    summary.job = "push music";
    summary.kind = qsync::SummaryKind::kItems;
    summary.result = -2;
    summary.resultText = "the connection was lost";
    summary.exitCode = 1;
    summary.stored = 1;
    summary.bytes = 100;
    summary.failed = 1;
    summary.failedItems.push_back({"/pc/b.mp3", "/sdcard/Music/b.mp3", -2, "the connection was lost"});
    reporter.End(summary);
}

// What the page receives is what --json prints, with the notice as an event
// instead of a line on standard error, and nothing written anywhere else.
TEST(Reporter, ThePageReceivesTheEventsThatJsonLinesPrint) {
    const std::filesystem::path path = std::filesystem::temp_directory_path() / "qsync-report-test.jsonl";
    std::FILE* file = std::fopen(path.string().c_str(), "wb");
    ASSERT_NE(file, nullptr);
    testing::internal::CaptureStderr();
    {
        Reporter lines(file, qsync::OutputMode::kJson);
        PushOfThree(lines);
    }
    const std::string linesError = testing::internal::GetCapturedStderr();
    std::fclose(file);
    std::vector<Json> printed;
    {
        std::ifstream in(path, std::ios::binary);
        for (std::string line; std::getline(in, line);) printed.push_back(Json::parse(line));
    }
    std::filesystem::remove(path);

    std::vector<Json> received;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    {
        Reporter page([&](const Json& event) { received.push_back(event); });
        PushOfThree(page);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    // The clock's figures and the ticker's progress differ from run to run.
    const auto steady = [](std::vector<Json> events) {
        std::vector<Json> kept;
        for (size_t i = 0; i < events.size(); ++i) {
            const bool last = i + 2 == events.size();
            if (events[i]["event"] == "progress" && !last) continue;
            for (const char* clocked : {"seconds", "bytes_per_s", "eta_s"}) events[i].erase(clocked);
            kept.push_back(events[i]);
        }
        return kept;
    };
    std::vector<Json> expected = steady(printed);
    const Json notice = {{"event", "notice"}, {"text", "stopping\xE2\x80\xA6"}};
    expected.insert(expected.begin() + 3, notice);  // percent, item, retry, then the notice
    EXPECT_EQ(steady(received), expected);
    ASSERT_GE(printed.size(), 3u);
    EXPECT_EQ(printed[printed.size() - 2]["event"], "progress");
    EXPECT_EQ(printed.back()["event"], "done");
    EXPECT_NE(linesError.find("stopping\xE2\x80\xA6\n"), std::string::npos) << linesError;
    EXPECT_NE(linesError.find("qsync: push music failed: the connection was lost (result -2)\n"), std::string::npos)
        << linesError;
}

// The library's percentage is drawn as it comes, whatever it says; the bar
// below an item line must still fit the terminal and keep its graphic.
TEST(Reporter, TheBarFitsTheTerminalWhateverPercentageTheLibraryReports) {
    const std::filesystem::path path = std::filesystem::temp_directory_path() / "qsync-report-bar-test.txt";
    for (const int columns : {0, 40, 80, 200}) {
        for (const int percent : {INT_MIN, -5, 0, 37, 100, 250, INT_MAX}) {
            SCOPED_TRACE("columns " + std::to_string(columns) + ", percent " + std::to_string(percent));
            std::FILE* file = std::fopen(path.string().c_str(), "wb");
            ASSERT_NE(file, nullptr);
            {
                Reporter terminal(file, qsync::OutputMode::kTerminal, columns);
                terminal.Begin(qsync::ProgressSource::kLibrary, "fetch camera");
                terminal.Percent(percent);
                terminal.Item(qsync::ItemEvent("fetched", "/pc/a.jpg", "/sdcard/DCIM/a.jpg"));
                qsync::Summary summary;
                summary.job = "fetch camera";
                summary.result = -1;
                summary.exitCode = 1;
                testing::internal::CaptureStderr();
                terminal.End(summary);
                testing::internal::GetCapturedStderr();
            }
            std::fclose(file);
            std::ifstream in(path, std::ios::binary);
            const std::string screen((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            const size_t room = columns > 1 ? static_cast<size_t>(columns - 1) : 79;
            const std::regex bar(R"(\[[#.]{10,20}\] +-?\d+%  \d+:\d\d)");
            size_t bars = 0;
            for (size_t at = screen.find("\r\x1b[K"); at != std::string::npos; at = screen.find("\r\x1b[K", at + 1)) {
                const size_t start = at + 4;
                const std::string line = screen.substr(start, screen.find_first_of("\r\n", start) - start);
                if (line.find("%  ") == std::string::npos) continue;
                ++bars;
                EXPECT_LE(line.size(), room) << line;
                EXPECT_TRUE(std::regex_match(line, bar)) << line;
            }
            EXPECT_GE(bars, 1u) << screen;  // below the item line, and the last state
            EXPECT_NE(screen.find("fetch camera: result -1 in "), std::string::npos) << screen;
        }
    }
    std::filesystem::remove(path);
}

}  // namespace
