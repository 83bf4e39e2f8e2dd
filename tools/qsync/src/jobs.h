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

// The refusals of RunCommand that need neither the phone nor the journal,
// made on their own: the PC folder a fetch, backup or restore uses, and
// the PC files a push or remove names (what is missing, not of the kind, or
// under a name the phone cannot hold). Throws UsageError with the command
// line's words. A host that queues jobs refuses such a job at once; the
// job makes the same checks again when it runs.
void CheckCommand(const Options& options);

}  // namespace qsync
