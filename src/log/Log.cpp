#include "log/Log.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "OutputLog.h"
#include "platform/debug_output.h"
#include "platform/last_error.h"
#include "platform/thread.h"
#include "platform/utf.h"

namespace qslog {
namespace {

constexpr char16_t kComponentTag[] = u"zeltPavaneT3";
constexpr int kComponentLevel = 3;

std::mutex& CaptureLock() {
    static std::mutex lock;
    return lock;
}

std::shared_ptr<Capture>& CaptureSlot() {
    static std::shared_ptr<Capture> slot;
    return slot;
}

void Emit(Sink sink, const std::u16string& text) {
    std::shared_ptr<Capture> capture;
    {
        std::lock_guard<std::mutex> guard(CaptureLock());
        capture = CaptureSlot();
    }
    if (capture) (*capture)(sink, text);
    if (sink == Sink::kComponent)
        OutputString(reinterpret_cast<const QS_WCHAR*>(kComponentTag), kComponentLevel,
                     platform::AsHostText(text));
    else
        platform::WriteDebugOutput(text);
}

}  // namespace

std::string UnitName(const char* sourcePath) {
    const char* name = sourcePath ? sourcePath : "";
    for (const char* p = name; *p; ++p)
        if (*p == '/' || *p == '\\') name = p + 1;
    return std::string(".\\") + name;
}

std::u16string FormatComponentLine(const char* sourcePath, int line, const char* function,
                                   int lastError) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "%s(%d) : Function = %s GetLastError = %d\r\n",
                  UnitName(sourcePath).c_str(), line, function, lastError);
    return platform::AsciiToUtf16(buffer);
}

std::u16string FormatSocketLine(const char* sourcePath, int line, const char* function,
                                int lastError, int lastSocketError) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer,
                  "Thread=%d : %s(%d) : Function = %s GetLastError = %d WSAGetLastError = %d \r\n",
                  static_cast<int>(platform::CurrentThreadId()), UnitName(sourcePath).c_str(), line,
                  function, lastError, lastSocketError);
    return platform::AsciiToUtf16(buffer);
}

namespace {

// Log lines are written at failure points, often inside a handler already:
// a line that cannot be made (no memory for its text) is dropped rather
// than turned into a second failure.
template <typename Write>
void NeverFailing(Write write) noexcept {
    try {
        write();
    } catch (...) {
    }
}

// The hold of the calling thread, if any (HoldLines).
thread_local HeldLines* tHold = nullptr;

std::u16string Text(const HeldLines::Line& line) {
    switch (line.format) {
        case HeldLines::Format::kComponent:
            return FormatComponentLine(line.sourcePath, line.line, line.function, line.lastError);
        case HeldLines::Format::kSocket:
            return FormatSocketLine(line.sourcePath, line.line, line.function, line.lastError,
                                    line.lastSocketError);
        case HeldLines::Format::kText:
            return line.text;
        case HeldLines::Format::kPath:
        case HeldLines::Format::kNote:
            break;
    }
    std::u16string text = FormatComponentLine(line.sourcePath, line.line, line.function, line.lastError);
    text.resize(text.size() - 2);  // the line ends after the detail
    return text + line.text + u"\r\n";
}

void Route(HeldLines::Line line) {
    NeverFailing([&] {
        if (tHold != nullptr)
            tHold->Hold(std::move(line));
        else
            Emit(line.sink, Text(line));
    });
}

HeldLines::Line At(Sink sink, HeldLines::Format format, const char* sourcePath, int line, const char* function,
                   int lastError, int lastSocketError = 0) {
    return HeldLines::Line{sink, format, sourcePath, line, function, lastError, lastSocketError, {}};
}

void LogDetail(HeldLines::Format format, const char* sourcePath, int line, const char* function, const char* what,
               const std::string& detail) {
    const int lastError = platform::LastSystemError();
    NeverFailing([&] {
        HeldLines::Line held = At(Sink::kComponent, format, sourcePath, line, function, lastError);
        held.text = u" : " + platform::AsciiToUtf16(what) + u" " + platform::Utf8ToUtf16(detail);
        Route(std::move(held));
    });
}

}  // namespace

void LogToComponent(const char* sourcePath, int line, const char* function) {
    const int lastError = platform::LastSystemError();
    Route(At(Sink::kComponent, HeldLines::Format::kComponent, sourcePath, line, function, lastError));
}

void LogComponentLineToDebugger(const char* sourcePath, int line, const char* function) {
    const int lastError = platform::LastSystemError();
    Route(At(Sink::kDebugger, HeldLines::Format::kComponent, sourcePath, line, function, lastError));
}

void LogSocketLineToDebugger(const char* sourcePath, int line, const char* function) {
    const int lastError = platform::LastSystemError();
    const int lastSocketError = platform::LastSocketError();
    Route(At(Sink::kDebugger, HeldLines::Format::kSocket, sourcePath, line, function, lastError, lastSocketError));
}

void LogToDebugger(const std::u16string& text) {
    NeverFailing([&] {
        HeldLines::Line held = At(Sink::kDebugger, HeldLines::Format::kText, nullptr, 0, nullptr, 0);
        held.text = text;
        Route(std::move(held));
    });
}

void LogPathToComponent(const char* sourcePath, int line, const char* function, const char* what,
                        const std::string& path) {
    LogDetail(HeldLines::Format::kPath, sourcePath, line, function, what, path);
}

void LogNoteToComponent(const char* sourcePath, int line, const char* function, const char* what,
                        const std::string& detail) {
    LogDetail(HeldLines::Format::kNote, sourcePath, line, function, what, detail);
}

// Both go out as if written now, so into an outer hold if this thread has one.
void HeldLines::Write() {
    std::vector<Line> lines;
    lines.swap(mLines);
    for (Line& line : lines) Route(std::move(line));
}

void HeldLines::Drop() {
    std::vector<Line> lines;
    lines.swap(mLines);
    for (Line& line : lines)
        if (line.format == Format::kPath) Route(std::move(line));
}

HoldLines::HoldLines(HeldLines& into) : mPrevious(tHold) { tHold = &into; }

HoldLines::~HoldLines() { tHold = mPrevious; }

void SetCapture(Capture capture) {
    std::shared_ptr<Capture> next;
    if (capture) next = std::make_shared<Capture>(std::move(capture));
    std::lock_guard<std::mutex> guard(CaptureLock());
    CaptureSlot() = std::move(next);
}

}  // namespace qslog
