#include "command_journal.h"

#include <cstdio>

#include "errors.h"
#include "job_control.h"

namespace qsync {

void JournalSlot::Drop() {
    std::fprintf(stderr, "qsync: %s; carrying on without the journal\n", mJournal->error().c_str());
    std::fflush(stderr);
    mJournal.reset();
}

void JournalSlot::Put(const JournalEntry& entry) {
    if (mJournal && !mJournal->Put(entry)) Drop();
}

void JournalSlot::RemoveAtOrBelow(const std::string& phonePath) {
    if (!mJournal) return;
    for (const JournalEntry& entry : mJournal->AtOrBelowPhone(phonePath))
        if (!mJournal->Remove(entry.pc, entry.phone)) {
            Drop();
            return;
        }
}

void JournalSlot::Finish() {
    if (mJournal && !mJournal->Finish()) Drop();
}

JournalSlot OpenCommandJournal(const Options& o) {
    if (o.noJournal || (o.command != "push" && o.command != "remove")) return JournalSlot();
    const std::string path = !o.journal.empty()
                                 ? o.journal
                                 : DefaultJournalPath(NativePathStyle(), ReadJournalEnvironment(), o.host, o.port,
                                                      o.device);
    if (path.empty()) {
        std::fputs("qsync: no place for the journal (neither --journal nor the environment names one); "
                   "carrying on without it\n",
                   stderr);
        return JournalSlot();
    }
    JournalOpenOptions options;
    options.readOnly = o.dryRun;
    options.stop = [] { return JobControl::Instance().Interrupted(); };
    options.onBusy = [&path] {
        std::fprintf(stderr, "qsync: the journal %s is in use by another qsync; waiting for it\n", path.c_str());
        std::fflush(stderr);
    };
    try {
        return JournalSlot(Journal::Open(path, options));
    } catch (const JournalError& e) {
        if (e.kind() == JournalError::Kind::kStopped) throw InterruptedError("interrupted while waiting for the journal");
        std::fprintf(stderr, "qsync: %s; carrying on without the journal\n", e.what());
        std::fflush(stderr);
        return JournalSlot();
    }
}

}  // namespace qsync
