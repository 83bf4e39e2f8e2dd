// The commands on phone paths: ls, stat, rm and mv, through the library's
// phone file calls.
#pragma once

#include <functional>

#include "cli.h"
#include "command_journal.h"
#include "report.h"

namespace qsync {

// Whether the command is one of them.
bool IsPhoneCommand(const std::string& command);

// Runs the command and returns the exit code: 0 every path was done; 1 a
// path is absent or its call failed (each named on standard error, and in
// the JSON "done" event); 130 after Ctrl-C. rm refuses the storage root and
// the kind folders without --force (UsageError, before anything is sent).
// rm and mv keep the journal true: the entries at or below a path removed
// or moved go (a later push sends those files again), and a call that may
// or may not have acted spoils them (Journal::SpoilPhone).
// requireReachable is the connection probe, called before the first call
// (it throws when the phone cannot be reached).
int RunPhoneCommand(const Options& options, Reporter& reporter, JournalSlot& journal,
                    const std::function<void()>& requireReachable);

}  // namespace qsync
