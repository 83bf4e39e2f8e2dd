// The commands of qsync, each carried out through the library's exports.
#pragma once

#include <cstdio>

#include "cli.h"
#include "command_journal.h"
#include "report.h"

namespace qsync {

// Runs the parsed command and returns the exit code. Throws UsageError,
// UnreachableError and InterruptedError before any job starts. Push and
// remove read and write the journal (when the slot holds one).
int RunCommand(const Options& options, Reporter& reporter, JournalSlot& journal);

}  // namespace qsync
