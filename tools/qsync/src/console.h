// The process's standard streams and arguments, as qsync needs them.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace qsync {

// The command-line arguments in UTF-8, without the program name.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// The library writes a line per stat and listing record to the process's
// standard output. This keeps a copy of the original standard output for
// qsync's own lines and returns it, then points the standard output at
// standard error (verbose) or at the null device. Called once, before the
// first export. Returns stdout itself when the copy cannot be made.
std::FILE* TakeOverStandardOutput(bool toStandardError);

// True when the stream is a terminal; on Windows it is then also switched to
// UTF-8 output and to in-place redraws with escape sequences.
// On Windows consoles without escape sequences (older than Windows 10) it
// is false: plain lines are written there instead.
bool PrepareTerminal(std::FILE* stream);

// The width of the terminal the stream writes to; 0 when unknown.
int TerminalColumns(std::FILE* stream);

}  // namespace qsync
