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

// Test seam: while a capture is installed, every line is also handed to it,
// with the sink it went to. An empty function removes the capture.
using Capture = std::function<void(Sink, const std::u16string&)>;
void SetCapture(Capture capture);

}  // namespace qslog

#define QS_LOG_COMPONENT(function) ::qslog::LogToComponent(__FILE__, __LINE__, function)
#define QS_LOG_PATH(function, what, path) ::qslog::LogPathToComponent(__FILE__, __LINE__, function, what, path)
#define QS_LOG_TABLE(function) ::qslog::LogComponentLineToDebugger(__FILE__, __LINE__, function)
#define QS_LOG_SOCKET(function) ::qslog::LogSocketLineToDebugger(__FILE__, __LINE__, function)
