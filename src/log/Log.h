// Diagnostic lines written at failure points. Two line formats exist:
//
//   component: "%s(%d) : Function = %s GetLastError = %d\r\n"
//   socket:    "Thread=%d : %s(%d) : Function = %s GetLastError = %d WSAGetLastError = %d \r\n"
//
// filled with the unit name (".\" + source file name), the source line, the
// qualified function name and the thread's last error values, read when the
// line is formatted (that is, after the failure). The component format goes
// to the OutputLog component or, for the table-sync units, to the debugger
// output; the socket format always goes to the debugger output.
//
// Logging never fails from the caller's view and never changes a result.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qslog {

enum class Sink { kComponent, kDebugger };

// ".\" + the file name of a source path ("src/export/TagParser.cpp" ->
// ".\TagParser.cpp").
std::string UnitName(const char* sourcePath);

std::u16string FormatComponentLine(const char* sourcePath, int line, const char* function,
                                   int lastError);
std::u16string FormatSocketLine(const char* sourcePath, int line, const char* function,
                                int lastError, int lastSocketError);

// Component format to OutputString(tag "zeltPavaneT3", level 3, line).
void LogToComponent(const char* sourcePath, int line, const char* function);
// Component format to the debugger output (the table-sync units).
void LogComponentLineToDebugger(const char* sourcePath, int line, const char* function);
// Socket format to the debugger output (byte buffer, socket and HTTP client).
void LogSocketLineToDebugger(const char* sourcePath, int line, const char* function);
// A fixed or preformatted line to the debugger output.
void LogToDebugger(const std::u16string& text);
// The component format with what and a path (UTF-8) after the last error,
// for a failure the user must be able to act on, such as a file left
// behind: "... GetLastError = %d : <what> <path>\r\n".
void LogPathToComponent(const char* sourcePath, int line, const char* function, const char* what,
                        const std::string& path);

// The path format for a note that names no failure to act on, such as a
// request that is tried again. Unlike the path lines above, a note is not
// kept when held lines are dropped (HeldLines::Drop).
void LogNoteToComponent(const char* sourcePath, int line, const char* function, const char* what,
                        const std::string& detail);

// Lines held back for a later turn. Work that runs ahead of its turn (a
// transfer started before the files in front of it are done) keeps its
// lines here, and its owner writes them when the work's turn comes, so
// that the log reads as if the work had run in turn; or drops them when the
// turn never comes. A held line keeps the last error values of the moment
// it was written; the rest of it (the thread of the socket format) is
// filled in when it goes out, as if the writing thread had written it.
//
// Not locked: one thread at a time writes into it (the hold below), and
// the owner writes it out or drops it once that thread is known to be done
// with it.
class HeldLines {
public:
    HeldLines() = default;
    HeldLines(const HeldLines&) = delete;
    HeldLines& operator=(const HeldLines&) = delete;

    bool Empty() const { return mLines.empty(); }
    // Writes the held lines out in the order they came, then forgets them.
    void Write();
    // Forgets the held lines, but writes out the path lines among them:
    // they name what a failure left behind (a temporary or partial file),
    // which the user must still be able to find.
    void Drop();

    enum class Format { kComponent, kSocket, kText, kPath, kNote };
    struct Line {
        Sink sink;
        Format format;
        const char* sourcePath;
        int line;
        const char* function;
        int lastError;
        int lastSocketError;
        std::u16string text;  // kText: the line; kPath, kNote: " : <what> <detail>"
    };
    void Hold(Line line) { mLines.push_back(std::move(line)); }

private:
    std::vector<Line> mLines;
};

// While alive, every line written on the thread that made it goes into
// into instead of out. Holds nest: the one it replaced is back afterwards.
class HoldLines {
public:
    explicit HoldLines(HeldLines& into);
    ~HoldLines();
    HoldLines(const HoldLines&) = delete;
    HoldLines& operator=(const HoldLines&) = delete;

private:
    HeldLines* mPrevious;
};

// Test seam: while a capture is installed, every line is also handed to it,
// with the sink it went to. An empty function removes the capture.
using Capture = std::function<void(Sink, const std::u16string&)>;
void SetCapture(Capture capture);

}  // namespace qslog

#define QS_LOG_COMPONENT(function) ::qslog::LogToComponent(__FILE__, __LINE__, function)
#define QS_LOG_PATH(function, what, path) ::qslog::LogPathToComponent(__FILE__, __LINE__, function, what, path)
#define QS_LOG_NOTE(function, what, detail) ::qslog::LogNoteToComponent(__FILE__, __LINE__, function, what, detail)
#define QS_LOG_TABLE(function) ::qslog::LogComponentLineToDebugger(__FILE__, __LINE__, function)
#define QS_LOG_SOCKET(function) ::qslog::LogSocketLineToDebugger(__FILE__, __LINE__, function)
