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
    JournalSlot(JournalSlot&&) = default;
    JournalSlot& operator=(JournalSlot&&) = default;
    // Finishes the journal when the command did not (it ended by an
    // exception): what was recorded still goes to disk.
    ~JournalSlot();

    // Null when there is none (--no-journal, or it failed).
    Journal* get() const { return mJournal.get(); }
    // An item the library reported stored, with the PC file as it was
    // before the job.
    void Put(const JournalEntry& entry);
    // The library removed this phone file or folder: its entries go.
    void RemoveAtOrBelow(const std::string& phonePath, bool folder);
    // A removal of it was sent but not reported done: its entries stay,
    // never again taken for unchanged (Journal::SpoilPhone).
    void Spoil(const std::string& phonePath, bool folder);
    // The end of the command: compacts or syncs the file, and closes it.
    void Finish();
    // Says why the journal failed, once, and carries on without it.
    void Drop();

private:
    std::unique_ptr<Journal> mJournal;
};

// Opens the journal a push or remove uses: --journal FILE or the default
// place, read-only for a dry run. With --no-journal, remove still opens an
// existing journal, to drop the entries of what it removes (else a later
// push would skip those files as unchanged); push does not open it. A
// journal that names another phone than the command's is used, after a
// warning. Prints why and returns an empty slot when
// it cannot be used; throws InterruptedError when Ctrl-C ended the wait
// for another qsync's lock.
JournalSlot OpenCommandJournal(const Options& options);

}  // namespace qsync
