#include <gtest/gtest.h>

#include <cerrno>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "OutputLog.h"
#include "log/Log.h"
#include "platform/last_error.h"
#include "platform/thread.h"
#include "platform/utf.h"
#include "support/test_env.h"

namespace {

struct CapturedLine {
    qslog::Sink sink;
    std::string text;
};

class LogCapture {
public:
    LogCapture() {
        qslog::SetCapture([this](qslog::Sink sink, const std::u16string& line) {
            lines.push_back({sink, platform::Utf16ToUtf8(line)});
        });
    }
    ~LogCapture() { qslog::SetCapture(nullptr); }
    std::vector<CapturedLine> lines;
};

}  // namespace

TEST(LogTest, UnitNameIsDotBackslashAndFileName) {
    EXPECT_EQ(qslog::UnitName("src/filesync/HttpFileAPI.cpp"), ".\\HttpFileAPI.cpp");
    EXPECT_EQ(qslog::UnitName("C:\\src\\TagParser.cpp"), ".\\TagParser.cpp");
    EXPECT_EQ(qslog::UnitName("ByteArray.cpp"), ".\\ByteArray.cpp");
}

TEST(LogTest, ComponentFormat) {
    EXPECT_EQ(platform::Utf16ToUtf8(
                  qslog::FormatComponentLine("a/b/FileApi.cpp", 42, "FILE_API::CopyFilePCToPhone", 5)),
              ".\\FileApi.cpp(42) : Function = FILE_API::CopyFilePCToPhone GetLastError = 5\r\n");
}

TEST(LogTest, SocketFormatCarriesThreadAndBothErrors) {
    const std::string line = platform::Utf16ToUtf8(
        qslog::FormatSocketLine("x/SocketClient.cpp", 7, "SocketClient::Connect", 2, 10061));
    EXPECT_TRUE(std::regex_match(
        line, std::regex("Thread=[0-9]+ : \\.\\\\SocketClient\\.cpp\\(7\\) : Function = "
                         "SocketClient::Connect GetLastError = 2 WSAGetLastError = 10061 \r\n")))
        << line;
}

TEST(LogTest, MacrosRouteToTheirSinksWithTheErrorAfterTheFailure) {
    LogCapture capture;
    errno = 0;
    QS_LOG_COMPONENT("CTest::Component");
    QS_LOG_TABLE("AndroidOperation::Serialize");
    QS_LOG_SOCKET("HttpClient::Request");
    qslog::LogToDebugger(u"Connect Success.\r\n");
    ASSERT_EQ(capture.lines.size(), 4u);
    EXPECT_EQ(capture.lines[0].sink, qslog::Sink::kComponent);
    EXPECT_TRUE(std::regex_match(capture.lines[0].text,
                                 std::regex("\\.\\\\log_test\\.cpp\\([0-9]+\\) : Function = "
                                            "CTest::Component GetLastError = -?[0-9]+\r\n")))
        << capture.lines[0].text;
    EXPECT_EQ(capture.lines[1].sink, qslog::Sink::kDebugger);
    EXPECT_EQ(capture.lines[1].text.find(".\\log_test.cpp("), 0u);
    EXPECT_EQ(capture.lines[2].sink, qslog::Sink::kDebugger);
    EXPECT_EQ(capture.lines[2].text.find("Thread="), 0u);
    EXPECT_EQ(capture.lines[3].text, "Connect Success.\r\n");
}

// Lines held on a worker thread go out only when the owner writes them, in
// the order they came and as the owner's thread writes them (its id in the
// socket format), with the error value of the moment of failure; dropped,
// only the lines that name a file left behind go out. A nested hold gives
// the outer one back.
TEST(LogTest, HeldLinesGoOutInOrderWhenWrittenAndOnlyFileLinesWhenDropped) {
    LogCapture capture;
    for (const bool write : {true, false}) {
        SCOPED_TRACE(write ? "written" : "dropped");
        capture.lines.clear();
        qslog::HeldLines held;
        std::thread([&] {
            qslog::HoldLines hold(held);
            platform::SetLastSystemError(0);
            QS_LOG_SOCKET("HttpClient::Request");
            qslog::LogToDebugger(u"Connect Success.\r\n");
            QS_LOG_NOTE("CHttpFileAPI::GetFile", "retry", "1 of 3");
            {
                qslog::HeldLines inner;
                qslog::HoldLines nested(inner);
                QS_LOG_COMPONENT("CTest::Inner");
            }
            platform::SetLastSystemError(2);
            QS_LOG_PATH("CHttpFileAPI::GetFile", "temporary file left behind:", "/tmp/x");
        }).join();
        EXPECT_TRUE(capture.lines.empty());
        ASSERT_FALSE(held.Empty());
        write ? held.Write() : held.Drop();
        EXPECT_TRUE(held.Empty());
        std::vector<std::string> texts;
        for (const CapturedLine& line : capture.lines) texts.push_back(line.text);
        const std::string thread = "Thread=" + std::to_string(platform::CurrentThreadId()) + " : ";
        const std::string left =
            " : Function = CHttpFileAPI::GetFile GetLastError = 2 : temporary file left behind: /tmp/x\r\n";
        ASSERT_EQ(texts.size(), write ? 4u : 1u);
        if (write) {
            EXPECT_EQ(texts[0].find(thread), 0u) << texts[0];
            EXPECT_NE(texts[0].find("GetLastError = 0 WSAGetLastError"), std::string::npos) << texts[0];
            EXPECT_EQ(texts[1], "Connect Success.\r\n");
            EXPECT_NE(texts[2].find("GetFile GetLastError = 0 : retry 1 of 3\r\n"), std::string::npos) << texts[2];
        }
        EXPECT_NE(texts.back().find(left), std::string::npos) << texts.back();
        EXPECT_EQ(capture.lines.back().sink, qslog::Sink::kComponent);
    }
}

TEST(OutputLogTest, AppendsUtf8LinesToTheNamedFileFromManyThreads) {
    ScratchDir dir;
    const auto file = dir.path() / "output.log";
    SetTestEnv("OUTPUTLOG_FILE", file.string());
    const std::u16string tag = u"zeltPavaneT3";
    const std::u16string first = u"caf\u00e9 line\r\n";
    OutputString(platform::AsHostText(tag), 3, platform::AsHostText(first));

    constexpr int kThreads = 4, kLines = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::u16string text =
                platform::Utf8ToUtf16("thread " + std::to_string(t) + " " + std::string(200, 'x'));
            for (int i = 0; i < kLines; ++i)
                OutputString(platform::AsHostText(tag), 3, platform::AsHostText(text));
        });
    }
    for (auto& thread : threads) thread.join();
    UnsetTestEnv("OUTPUTLOG_FILE");
    OutputString(platform::AsHostText(tag), 3, platform::AsHostText(first));  // goes nowhere

    const std::string content = ReadWholeFile(file);
    ASSERT_EQ(content.rfind("caf\xC3\xA9 line\r\n", 0), 0u);
    size_t count = 0, at = content.find('\n') + 1;
    while (at < content.size()) {
        const size_t end = content.find('\n', at);
        ASSERT_NE(end, std::string::npos);
        const std::string line = content.substr(at, end - at);
        EXPECT_TRUE(std::regex_match(line, std::regex("thread [0-9] x{200}"))) << line;
        ++count;
        at = end + 1;
    }
    EXPECT_EQ(count, static_cast<size_t>(kThreads * kLines));
}

TEST(OutputLogTest, LibraryLinesReachTheComponentFile) {
    ScratchDir dir;
    const auto file = dir.path() / "lib.log";
    SetTestEnv("OUTPUTLOG_FILE", file.string());
    QS_LOG_COMPONENT("CTagParser::ParseRoleString");
    UnsetTestEnv("OUTPUTLOG_FILE");
    const std::string content = ReadWholeFile(file);
    EXPECT_EQ(content.find(".\\log_test.cpp("), 0u) << content;
    EXPECT_NE(content.find(" : Function = CTagParser::ParseRoleString GetLastError = "),
              std::string::npos);
}
