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

}  // namespace

void LogToComponent(const char* sourcePath, int line, const char* function) {
    const int lastError = platform::LastSystemError();
    NeverFailing([&] { Emit(Sink::kComponent, FormatComponentLine(sourcePath, line, function, lastError)); });
}

void LogComponentLineToDebugger(const char* sourcePath, int line, const char* function) {
    const int lastError = platform::LastSystemError();
    NeverFailing([&] { Emit(Sink::kDebugger, FormatComponentLine(sourcePath, line, function, lastError)); });
}

void LogSocketLineToDebugger(const char* sourcePath, int line, const char* function) {
    const int lastError = platform::LastSystemError();
    const int lastSocketError = platform::LastSocketError();
    NeverFailing([&] {
        Emit(Sink::kDebugger, FormatSocketLine(sourcePath, line, function, lastError, lastSocketError));
    });
}

void LogToDebugger(const std::u16string& text) {
    NeverFailing([&] { Emit(Sink::kDebugger, text); });
}

void LogPathToComponent(const char* sourcePath, int line, const char* function, const char* what,
                        const std::string& path) {
    const int lastError = platform::LastSystemError();
    NeverFailing([&] {
        std::u16string text = FormatComponentLine(sourcePath, line, function, lastError);
        text.resize(text.size() - 2);  // the line ends after the path
        text += u" : " + platform::AsciiToUtf16(what) + u" " + platform::Utf8ToUtf16(path) + u"\r\n";
        Emit(Sink::kComponent, text);
    });
}

void SetCapture(Capture capture) {
    std::shared_ptr<Capture> next;
    if (capture) next = std::make_shared<Capture>(std::move(capture));
    std::lock_guard<std::mutex> guard(CaptureLock());
    CaptureSlot() = std::move(next);
}

}  // namespace qslog
