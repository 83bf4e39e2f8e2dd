// How a command that ended by an exception ends: its exit code, its message
// and (for refused names) the names. One mapping for the command line and
// for the page's jobs, so both say the same.
#pragma once

#include <exception>
#include <string>
#include <vector>

#include "errors.h"
#include "report.h"

namespace qsync {

struct CommandFailure {
    int exitCode = kExitJobFailed;
    std::string message;
    bool json = false;  // the command line asked for JSON (CommandLineError only)
    std::vector<RefusedName> refused;
};

// Bytes as lower-case hex digits, two per byte.
std::string HexBytes(const std::string& bytes);

// The failure that `error` (a caught exception) stands for.
CommandFailure DescribeFailure(const std::exception_ptr& error);

// The "done" event of a command that failed before its job ended:
// {"event":"done","result":null,"error":...,"exit":...}, with the refused
// names, each also as hex bytes (a name that is not UTF-8 cannot be carried
// in JSON as it is).
Json FailureEvent(const CommandFailure& failure);

}  // namespace qsync
