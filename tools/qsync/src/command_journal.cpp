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

void JournalSlot::RemoveAtOrBelow(const std::string& phonePath, bool folder) {
    if (mJournal && !mJournal->RemovePhone(phonePath, folder)) Drop();
}

void JournalSlot::Spoil(const std::string& phonePath, bool folder) {
    if (mJournal && !mJournal->SpoilPhone(phonePath, folder)) Drop();
}

void JournalSlot::Finish() {
    if (mJournal && !mJournal->Finish()) Drop();
    mJournal.reset();
}

JournalSlot::~JournalSlot() {
    try {
        Finish();
    } catch (...) {  // a failed message must not end the unwinding
    }
}

JournalSlot OpenCommandJournal(const Options& o) {
    // rm and mv of phone paths keep it true as remove does.
    if (o.command != "push" && o.command != "remove" && o.command != "rm" && o.command != "mv") return JournalSlot();
    if (o.noJournal && o.command == "push") return JournalSlot();
    const std::string path = !o.journal.empty()
                                 ? o.journal
                                 : DefaultJournalPath(NativePathStyle(), ReadJournalEnvironment(), o.host, o.port,
                                                      o.device);
    // remove --no-journal creates none and says nothing when there is none.
    if (o.noJournal && (path.empty() || StatPcFile(path).state != PcFileState::kFile)) return JournalSlot();
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
        std::unique_ptr<Journal> journal = Journal::Open(path, options);
        const std::string identity = o.host + ":" + std::to_string(o.port) + o.device;
        const std::string recorded = journal->identity();
        if (!recorded.empty() && recorded != identity) {
            std::fprintf(stderr,
                         "qsync: warning: the journal %s was written for the phone %s, not %s; what it records "
                         "may not be on this phone (push --check re-checks)\n",
                         path.c_str(), recorded.c_str(), identity.c_str());
            std::fflush(stderr);
        }
        JournalSlot slot(std::move(journal));
        if (recorded.empty() && !slot.get()->SetIdentity(identity)) slot.Drop();
        return slot;
    } catch (const JournalError& e) {
        if (e.kind() == JournalError::Kind::kStopped) throw InterruptedError("interrupted while waiting for the journal");
        std::fprintf(stderr, "qsync: %s; carrying on without the journal\n", e.what());
        std::fflush(stderr);
        return JournalSlot();
    }
}

}  // namespace qsync
