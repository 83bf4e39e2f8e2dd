// The commands of qsync, each carried out through the library's exports.
#pragma once

#include <cstdio>

#include "cli.h"
#include "report.h"

namespace qsync {

// Runs the parsed command and returns the exit code. Throws UsageError and
// UnreachableError before any job starts.
int RunCommand(const Options& options, Reporter& reporter);

}  // namespace qsync
