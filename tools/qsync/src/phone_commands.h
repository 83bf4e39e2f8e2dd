// The commands on phone paths: ls and stat, through the library's phone
// file calls.
#pragma once

#include <functional>

#include "cli.h"
#include "report.h"

namespace qsync {

// Whether the command is one of them.
bool IsPhoneCommand(const std::string& command);

// Runs ls or stat and returns the exit code: 0 every path was shown; 1 a
// path is absent or its call failed (each named on standard error, and in
// the JSON "done" event); 130 after Ctrl-C. requireReachable is the
// connection probe, called before the first call (it throws when the phone
// cannot be reached).
int RunPhoneCommand(const Options& options, Reporter& reporter, const std::function<void()>& requireReachable);

}  // namespace qsync
