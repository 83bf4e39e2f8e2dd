// The journal as one command uses it: opened (or not) from the command
// line, and dropped with one message when it cannot be written, after
// which the command carries on as with --no-journal.
#pragma once

#include <memory>
#include <string>

#include "cli.h"
#include "journal.h"

namespace qsync {

class JournalSlot {
public:
    JournalSlot() = default;
    explicit JournalSlot(std::unique_ptr<Journal> journal) : mJournal(std::move(journal)) {}

    // Null when there is none (--no-journal, or it failed).
    Journal* get() const { return mJournal.get(); }
    // An item the library reported stored, with the PC file as it was
    // before the job.
    void Put(const JournalEntry& entry);
    // The library removed this phone file or folder: its entries go.
    void RemoveAtOrBelow(const std::string& phonePath);
    // The end of the command: compacts or syncs the file.
    void Finish();

private:
    void Drop();
    std::unique_ptr<Journal> mJournal;
};

// Opens the journal a push or remove uses: --journal FILE or the default
// place, read-only for a dry run. Prints why and returns an empty slot when
// it cannot be used; throws InterruptedError when Ctrl-C ended the wait
// for another qsync's lock.
JournalSlot OpenCommandJournal(const Options& options);

}  // namespace qsync
