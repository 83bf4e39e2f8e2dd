#include "jobs.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "errors.h"
#include "folder_snapshot.h"
#include "host_abi.h"
#include "item_ledger.h"
#include "job_control.h"
#include "journal.h"
#include "command_journal.h"
#include "paths.h"
#include "probe.h"
#include "phone_commands.h"
#include "quellsync_http.h"
#include "retry_plan.h"
#include "text.h"

namespace qsync {
namespace {

using SyncExport = int32_t(QS_CALL*)(ConnectParams*, JobParams*);

constexpr intptr_t kChangeCopy = 1;
constexpr intptr_t kChangeRemove = 3;
// The connection probe before a job, its retries included, ends within
// kProbeBudget: a phone that cannot be reached is reported promptly,
// whatever the retry options. One attempt waits at most kProbeTimeoutMs,
// and a retry is made only while kProbeLastTry is left for it.
constexpr int kProbeTimeoutMs = 5000;
constexpr std::chrono::milliseconds kProbeBudget{8000};
constexpr std::chrono::milliseconds kProbeLastTry{1000};
// The library's first wait before a request is made again; the waits double
// up to 5 s. A lost request on a working link is best repeated at once (a
// sequential backup pays each wait in full), while the doubling still spans
// about 10 s of silence with the default 10 retries; longer outages are left
// to the rounds.
constexpr int32_t kRequestRetryDelayMs = 10;

struct PushKind {
    const char* name;
    const char* phoneFolder;  // below the device root
    SyncExport run;
};

const PushKind kPushKinds[] = {
    {"music", QS_FOLDER_MUSIC, &SyncMusicFile},
    {"photos", QS_FOLDER_PICTURES, &SyncPhotoFile},
    {"videos", QS_FOLDER_MOVIES, &SyncVideoFile},
    {"documents", QS_FOLDER_DOCUMENTS, &SyncDocumentFile},
    {"playlists", QS_FOLDER_PLAYLISTS, &SyncPlaylistFile},
};

const PushKind& FindPushKind(const std::string& name) {
    for (const auto& kind : kPushKinds)
        if (name == kind.name) return kind;
    throw UsageError("unknown kind '" + name + "'");
}

// The two texts every sync export reads from ConnectParams.
class Connection {
public:
    explicit Connection(const Options& o)
        : mUrl(Utf8ToUtf16("http://" + o.host + ":" + std::to_string(o.port) + "/")),
          mRole(Utf8ToUtf16("device=" + o.device)) {
        mParams.url = AsHostText(mUrl);
        mParams.role = AsHostText(mRole);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ConnectParams* params() { return &mParams; }

private:
    std::u16string mUrl, mRole;
    ConnectParams mParams{};
};

RetryPolicy PolicyOf(const Options& o) {
    RetryPolicy policy;
    policy.retries = o.retries;
    policy.delay = std::chrono::milliseconds(o.retryDelayMs);
    return policy;
}

// The probe before a job, tried again within the retry options and
// kProbeBudget: a phone that is a moment away (Wi-Fi waking up) is waited
// for, one that is gone is reported within the budget. It is qsync's own
// connection, untouched by the library's request retries.
void RequireReachable(const Options& o, Reporter& reporter) {
    using Clock = std::chrono::steady_clock;
    using std::chrono::milliseconds;
    if (o.verbose)
        std::fprintf(stderr, "qsync: phone service http://%s:%d/, device root '%s'\n", o.host.c_str(), o.port,
                     o.device.c_str());
    const std::string why = "the phone's service at " + o.host + ":" + std::to_string(o.port) + " cannot be reached";
    const Clock::time_point deadline = Clock::now() + kProbeBudget;
    const auto left = [&] { return std::chrono::duration_cast<milliseconds>(deadline - Clock::now()); };
    RetryRounds rounds(PolicyOf(o));
    for (;;) {
        const auto timeout = std::min(milliseconds(kProbeTimeoutMs), std::max(left(), milliseconds(1)));
        if (CanConnect(o.host, o.port, static_cast<int>(timeout.count()))) return;
        const RetryRounds::Decision next = rounds.AfterRound(0);
        const milliseconds room = left() - kProbeLastTry;
        if (!next.again || room.count() < 0) throw UnreachableError(why);
        const milliseconds delay = std::min(next.delay, room);
        reporter.Retry(next.round, 0, delay, nullptr, why);
        if (!JobControl::Instance().Wait(delay)) throw InterruptedError("interrupted");
    }
}

// Runs a job that cannot be resumed item by item again as a whole, within
// the retry budget, until it succeeds or Ctrl-C.
int32_t RunWhole(const Options& o, Reporter& reporter, const std::function<int32_t()>& call,
                 std::string (*resultText)(int32_t)) {
    RetryRounds rounds(PolicyOf(o));
    for (;;) {
        const int32_t result = JobControl::Instance().Run(call);
        if (result == 0 || JobControl::Instance().Interrupted()) return result;
        const RetryRounds::Decision next = rounds.AfterRound(0);
        if (!next.again) return result;
        reporter.Retry(next.round, 1, next.delay, &result, resultText(result));
        if (!JobControl::Instance().Wait(next.delay)) return result;
    }
}

int ExitCodeFor(int32_t result) {
    if (JobControl::Instance().Interrupted()) return kExitInterrupted;
    return result == 0 ? kExitOk : kExitJobFailed;
}

// The library's record of one item of a push or remove, with the texts it
// points to. What the item is and how it fared is kept in the ItemLedger.
struct Entry {
    size_t index = 0;  // in the ledger
    std::u16string pcText, phoneText;
    SyncItem record{};

    Entry() = default;
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    // An upload's phonePath is written by the library, which hands it over.
    ~Entry() {
        if (record.changeKind != kChangeRemove) FreeLibraryText(record.phonePath);
    }
};

// The host list of one job over some of the ledger's items.
class EntryList {
public:
    EntryList(const ItemLedger& ledger, const std::vector<size_t>& indices) {
        for (const size_t index : indices) {
            const LedgerItem& item = ledger.at(index);
            auto entry = std::make_unique<Entry>();
            entry->index = index;
            entry->pcText = Utf8ToUtf16(item.pc);
            entry->record.pcPath = AsHostText(entry->pcText);
            const bool remove = item.action == ItemAction::kRemove;
            entry->record.changeKind = remove ? kChangeRemove : kChangeCopy;
            entry->record.isFolder = item.folder ? 1 : 0;
            if (remove && !item.folder) {
                // The library removes a file by the phone path the item carries.
                entry->phoneText = Utf8ToUtf16(item.phone);
                entry->record.phonePath = reinterpret_cast<QS_WCHAR*>(entry->phoneText.data());
            }
            mByRecord[&entry->record] = entry.get();
            mPointers.push_back(&entry->record);
            mEntries.push_back(std::move(entry));
        }
    }
    EntryList(const EntryList&) = delete;
    EntryList& operator=(const EntryList&) = delete;
    Entry* Find(const void* record) const {
        const auto found = mByRecord.find(record);
        return found == mByRecord.end() ? nullptr : found->second;
    }
    QsHostList* HostList() {
        mList.first = mPointers.empty() ? nullptr : mPointers.data();
        mList.last = mPointers.data() + mPointers.size();
        return &mList;
    }

private:
    std::vector<std::unique_ptr<Entry>> mEntries;
    std::vector<void*> mPointers;
    std::unordered_map<const void*, Entry*> mByRecord;
    QsHostList mList{};
};

std::string SyncResultText(int32_t result) {
    switch (result) {
        case -1: return "an upload failed";
        case -2: return "removing a phone file failed, or the media scan after an upload";
        case -4: return "removing a phone folder failed";
        default: return "the job failed";
    }
}

std::string FetchResultText(int32_t result) {
    switch (result) {
        case -1: return "a download failed";
        case -2: return "the phone folder could not be listed";
        case -3: return "a PC folder could not be created";
        default: return "the job failed";
    }
}

std::string BackupResultText(int32_t result) {
    switch (result) {
        case 1: return "a listing failed, or a phone file could not be replaced or given a numbered name";
        case 21: return "stopped";
        case -1: return "a transfer failed: no answer from the phone";
        case -6: return "a transfer failed: the phone refused it";
        case -7: return "a PC file could not be opened or created";
        case -8: return "a PC file could not be read or written";
        case -10: return "a file is too large to transfer";
        case -11: return "the phone holds a longer file under the same name";
        case -12: return "a path is too long for the phone";
        default: return "a transfer failed";
    }
}

std::string PlaylistResultText(int32_t) {
    return "the phone refused a playlist change, or its songs could not be looked up";
}

// The library's retries are counted from the start of the command (see
// RunCommand).
uint64_t RequestRetriesMade() {
    const int32_t made = GetOption(QS_OPTION_RETRIES_MADE);
    return made > 0 ? static_cast<uint64_t>(made) : 0;
}

void Finish(Reporter& reporter, Summary summary, int32_t result, const std::string& failureText) {
    summary.result = result;
    summary.retries = RequestRetriesMade();
    summary.exitCode = ExitCodeFor(result);
    if (summary.exitCode == kExitJobFailed) summary.resultText = failureText;
    reporter.End(summary);
}

ItemEvent DoneEvent(const LedgerItem& item) {
    if (item.action == ItemAction::kRemove) return ItemEvent("removed", item.pc, item.folder ? item.phone + "/" : item.phone);
    ItemEvent event(item.replacing ? "replaced" : "stored", item.pc, item.phone);
    event.hasBytes = true;
    event.bytes = item.bytes;
    return event;
}

Summary ItemSummary(const std::string& job, const ItemLedger& ledger) {
    Summary summary;
    summary.job = job;
    summary.kind = SummaryKind::kItems;
    const LedgerTotals totals = ledger.Totals();
    summary.bytes = totals.bytesDone;  // removals weigh nothing
    // The removal of a phone copy that is then replaced counts with its
    // upload, as one replaced item.
    for (size_t i = 0; i < ledger.size(); ++i) {
        const LedgerItem& item = ledger.at(i);
        if (item.state != ItemState::kDone) continue;
        if (item.action == ItemAction::kStore) ++(item.replacing ? summary.replaced : summary.stored);
        else if (!item.replacing) ++summary.removed;
    }
    for (const size_t i : ledger.Failed()) {
        const LedgerItem& item = ledger.at(i);
        if (item.action == ItemAction::kRemove && item.replacing) continue;  // its upload is listed
        summary.failedItems.push_back({item.pc, item.folder ? item.phone + "/" : item.phone, item.result, item.reason});
    }
    summary.failed = summary.failedItems.size();
    // The items that failed come before those that were never started.
    std::stable_partition(summary.failedItems.begin(), summary.failedItems.end(),
                          [](const FailedItem& f) { return f.reason != ItemLedger::kNotStarted; });
    return summary;
}

// Lists what a dry run would do, with the same counts a real run reports.
int PlanItems(Reporter& reporter, const ItemLedger& ledger, const std::string& job, size_t unchanged) {
    Summary summary = ItemSummary(job, ledger);
    summary.dryRun = true;
    summary.unchanged = unchanged;
    for (size_t i = 0; i < ledger.size(); ++i) {
        const LedgerItem& item = ledger.at(i);
        if (item.action == ItemAction::kRemove && item.replacing) continue;  // shown with its upload
        ++summary.planned;
        if (item.action == ItemAction::kRemove) {
            reporter.Item({"would-remove", item.pc, item.folder ? item.phone + "/" : item.phone});
            ++summary.removed;
        } else {
            ItemEvent event("would-store", item.pc, item.phone);
            event.hasBytes = true;
            event.bytes = item.bytes;
            reporter.Item(event);
            ++summary.stored;
            summary.bytes += item.bytes;
        }
    }
    summary.exitCode = JobControl::Instance().Interrupted() ? kExitInterrupted : kExitOk;
    reporter.End(summary);
    return summary.exitCode;
}

// One export call over the given items (none of them done yet), reporting
// each as the library announces it and passing it to onDone; the items it
// does not announce have failed, with the returned text as their reason.
int32_t RunJob(Reporter& reporter, SyncExport run, Connection& connection, ItemLedger& ledger,
               const std::vector<size_t>& indices, const std::function<void(size_t)>& onDone, std::string& failure) {
    EntryList entries(ledger, indices);
    HostWindow window([&](uintptr_t wParam, intptr_t lParam) {
        if (wParam == QS_PROGRESS_PERCENT) {
            ledger.OnStep();  // one per reported removal or started upload
            reporter.Percent(static_cast<int>(lParam));
            reporter.Progress(ledger.Totals());
            return;
        }
        const auto* result = reinterpret_cast<const ItemResult*>(lParam);
        const Entry* entry = result ? entries.Find(result->item) : nullptr;
        if (!entry || result->status != 0) return;
        const std::string stored =
            entry->record.changeKind == kChangeRemove ? std::string() : HostTextToUtf8(entry->record.phonePath);
        if (!ledger.OnDone(entry->index, stored)) return;
        onDone(entry->index);
        const LedgerTotals totals = ledger.Totals();
        const LedgerItem& item = ledger.at(entry->index);
        if (item.action == ItemAction::kRemove && item.replacing) reporter.Progress(totals);  // shown with its upload
        else reporter.Item(DoneEvent(item), &totals);
    });
    JobParams params{};
    params.window = window.handle();
    params.items = entries.HostList();
    ledger.BeginJob(indices);
    const int32_t result = JobControl::Instance().Run([&] { return run(connection.params(), &params); });
    failure = JobControl::Instance().Interrupted() ? "stopped by Ctrl-C"
              : result != 0                        ? SyncResultText(result)
                                                   : "the library did not report it done";
    ledger.EndJob(result, failure);
    return result;
}

// Rounds of jobs over `order` until each item is done, the retries run
// out, or Ctrl-C. Each next round takes the items not done, the ones under
// way when the job failed moved to the end (NextRoundItems). Rounds are
// numbered across the command: `roundsBefore` (the removals' rounds) come
// first, and it ends as the rounds run so far.
int32_t RunRounds(Reporter& reporter, SyncExport run, Connection& connection, ItemLedger& ledger,
                  std::vector<size_t> order, RetryPolicy policy, size_t underWay,
                  const std::function<void(size_t)>& onDone, std::string& failure, int& roundsBefore) {
    RetryRounds rounds(policy);
    const int offset = roundsBefore;
    int32_t result = 0;
    while (!order.empty() && !JobControl::Instance().Interrupted()) {
        result = RunJob(reporter, run, connection, ledger, order, onDone, failure);
        roundsBefore = offset + rounds.roundsRun() + 1;
        // After Ctrl-C no round starts: its export would clear the stop flag.
        if (result == 0 || JobControl::Instance().Interrupted()) break;
        std::vector<bool> done(ledger.size(), false);
        size_t completed = 0;  // none of `order` was done before the round
        for (const size_t i : order) {
            done[i] = ledger.at(i).state == ItemState::kDone;
            if (done[i]) ++completed;
        }
        const RetryRounds::Decision next = rounds.AfterRound(completed);
        if (!next.again) break;
        order = NextRoundItems(order, done, underWay);
        reporter.Retry(offset + next.round, order.size(), next.delay, &result, failure);
        if (!JobControl::Instance().Wait(next.delay)) break;
    }
    return result;
}

// The removals of a push or remove go first, as a job of their own: in one
// job a failed removal would end it before any upload. A removal still
// failing after two rounds is given up.
int32_t RunRemovals(const Options& o, Reporter& reporter, SyncExport run, Connection& connection,
                    ItemLedger& ledger, std::vector<size_t> removals, const std::function<void(size_t)>& onDone,
                    std::string& failure, int& rounds) {
    // The library takes folder removals before file removals.
    std::stable_partition(removals.begin(), removals.end(), [&](size_t i) { return ledger.at(i).folder; });
    RetryPolicy policy = PolicyOf(o);
    policy.maxRounds = 2;
    return RunRounds(reporter, run, connection, ledger, removals, policy, 1, onDone, failure, rounds);
}

// The end of a push or remove: exit 0 only when every item is done.
int EndItems(Reporter& reporter, Summary summary, int32_t result, const std::string& failure) {
    summary.result = result;
    summary.retries = RequestRetriesMade();
    summary.exitCode = JobControl::Instance().Interrupted() ? kExitInterrupted
                       : summary.failed > 0 || result != 0  ? kExitJobFailed
                                                            : kExitOk;
    if (summary.exitCode == kExitJobFailed) summary.resultText = failure;
    reporter.End(summary);
    return summary.exitCode;
}

// Carries out the items of a push or remove: removals first, then uploads,
// each in rounds; the journal follows each item the library reports.
int RunItems(const Options& o, Reporter& reporter, JournalSlot& journal, SyncExport run, ItemLedger& ledger,
             const std::vector<PcFileStat>& before, Summary summary) {
    std::vector<size_t> removals, uploads;
    for (size_t i = 0; i < ledger.size(); ++i)
        (ledger.at(i).action == ItemAction::kRemove ? removals : uploads).push_back(i);
    if (ledger.size() == 0) return EndItems(reporter, summary, 0, "");  // nothing to send: no request at all
    RequireReachable(o, reporter);
    Connection connection(o);
    if (JobControl::Instance().Interrupted()) throw InterruptedError("interrupted before the job started");
    reporter.Begin(ProgressSource::kItems, ledger.Totals());
    const auto onDone = [&](size_t i) {
        const LedgerItem& item = ledger.at(i);
        if (item.action == ItemAction::kRemove) {
            journal.RemoveAtOrBelow(item.phone, item.folder);
        } else if (i < before.size() && before[i].state == PcFileState::kFile) {
            // The file as it was before the job: one changed during the
            // upload is sent again next time.
            journal.Put({item.pc, item.phone, before[i].size, before[i].mtimeNs});
        }
    };
    std::string failure;
    int rounds = 0;
    int32_t result = RunRemovals(o, reporter, run, connection, ledger, removals, onDone, failure, rounds);
    std::string removalFailure = result != 0 ? failure : "";
    const int32_t removalResult = result;
    // A removal not reported done may still have been carried out (its
    // answer lost): its entries must not make the next push skip the file.
    for (const size_t r : removals)
        if (ledger.at(r).state != ItemState::kDone) journal.Spoil(ledger.at(r).phone, ledger.at(r).folder);
    // An upload that replaces a phone copy goes only once that copy is gone:
    // the library would take the old copy, of the same size, for this file.
    std::vector<size_t> ready;
    for (const size_t i : uploads) {
        const bool blocked = ledger.at(i).replacing && std::any_of(removals.begin(), removals.end(), [&](size_t r) {
            return ledger.at(r).replacing && ledger.at(r).pc == ledger.at(i).pc &&
                   ledger.at(r).state != ItemState::kDone;
        });
        if (blocked) ledger.Fail(i, removalResult, "its changed phone copy could not be removed first");
        else ready.push_back(i);
    }
    if (!JobControl::Instance().Interrupted()) {
        const int32_t uploadResult = RunRounds(reporter, run, connection, ledger, ready, PolicyOf(o), kUploadsAtOnce,
                                               onDone, failure, rounds);
        if (!ready.empty()) result = uploadResult;
    } else {
        for (const size_t i : ready) ledger.Fail(i, result, ItemLedger::kNotStarted);  // Ctrl-C during the removals
    }
    if (result == 0 && !removalFailure.empty()) {
        result = removalResult;
        failure = removalFailure;
    }
    Summary done = ItemSummary(summary.job, ledger);
    done.unchanged = summary.unchanged;
    if (done.failed > 0 && failure.empty()) failure = "the library did not report every item done";
    return EndItems(reporter, done, result, failure);
}

int Push(const Options& o, Reporter& reporter, JournalSlot& journal) {
    const PushKind& kind = FindPushKind(o.kind);
    // Without the journal nothing is known to be gone from the PC: mirroring
    // would silently remove nothing.
    if (o.mirrorDelete && !journal.get())
        throw UsageError("push --delete: the journal could not be used (see above), so qsync cannot tell which "
                         "phone files are gone from the PC; nothing was sent");
    const std::string phoneFolder = o.device + kind.phoneFolder;
    struct Planned {
        std::string pc, phone;
        uint64_t size;
    };
    std::vector<Planned> planned;
    std::vector<std::string> folders;  // the named folders, for --delete
    std::unordered_set<std::string> seen;  // a path named twice (or inside two named folders) is one item
    std::vector<RefusedName> refused;
    for (const auto& argument : o.operands) {
        const std::string path = AbsolutePath(argument);
        if (o.mirrorDelete && !IsFolder(path) && !IsFile(path))
            throw UsageError("push --delete: " + path + " does not exist; nothing was sent");
        const std::vector<PcFile> files = CollectFiles(path);
        if (o.mirrorDelete && IsFolder(path)) {
            // An unmounted drive looks like an empty folder: mirroring it
            // would empty the phone.
            if (files.empty())
                throw UsageError("push --delete: the folder " + path + " holds no files (is its drive mounted?); "
                                 "nothing was sent");
            folders.push_back(path);
        }
        for (const PcFile& file : files) {
            if (!seen.insert(file.path).second) continue;
            const std::string phone = MirrorPhonePath(file.path, phoneFolder);
            if (!IsValidUtf8(file.path)) {
                refused.push_back({file.path, "the name is not valid UTF-8"});
                continue;
            }
            for (const auto& reason : UnstorableReasons(phone, o.device)) refused.push_back({file.path, reason});
            planned.push_back({file.path, phone, file.size});
        }
    }
    if (!refused.empty()) {
        std::string message = "the phone's storage cannot hold these names; nothing was sent:";
        for (const auto& name : refused) message += "\n  " + name.pc + ": " + name.reason;
        throw RefusedNamesError(message, refused);
    }
    if (planned.empty()) throw UsageError("push: no files found in the given paths");

    ItemLedger ledger;
    std::vector<PcFileStat> before;  // by ledger index: the PC file before the job
    Summary summary;
    summary.job = "push " + o.kind;
    summary.kind = SummaryKind::kItems;
    const Journal* const recorded = journal.get();
    const auto add = [&](LedgerItem item, PcFileStat stat) {
        ledger.Add(std::move(item));
        before.push_back(stat);
    };
    std::vector<std::pair<LedgerItem, PcFileStat>> uploads;
    for (const Planned& p : planned) {
        const PcFileStat stat = StatPcFile(p.pc);
        const JournalMatch match = recorded && stat.state == PcFileState::kFile
                                       ? recorded->Compare(p.pc, p.phone, stat.size, stat.mtimeNs)
                                       : JournalMatch::kNotRecorded;
        if (match == JournalMatch::kUnchanged && !o.check) {
            ++summary.unchanged;
            if (o.itemizeUnchanged) reporter.Item(ItemEvent("unchanged", p.pc, p.phone));
            continue;
        }
        LedgerItem upload;
        upload.pc = p.pc;
        upload.phone = p.phone;
        upload.bytes = stat.state == PcFileState::kFile ? stat.size : p.size;
        upload.action = ItemAction::kStore;
        // Same size, another time: the library, comparing sizes, would keep
        // the phone's old copy. It is removed first.
        upload.replacing = match == JournalMatch::kChangedSameSize;
        if (upload.replacing) {
            LedgerItem removal;
            removal.pc = p.pc;
            removal.phone = p.phone;
            removal.action = ItemAction::kRemove;
            removal.replacing = true;
            add(std::move(removal), PcFileStat());
        }
        uploads.emplace_back(std::move(upload), stat);
    }
    if (o.mirrorDelete) {
        std::vector<std::string> current;
        current.reserve(planned.size());
        for (const Planned& p : planned) current.push_back(p.phone);
        const std::vector<JournalEntry> gone =
            recorded->Vanished(folders, phoneFolder, NativePathStyle(), current,
                               [](const std::string& pc) { return StatPcFile(pc).state == PcFileState::kAbsent; });
        if (o.maxDelete >= 0 && gone.size() > static_cast<size_t>(o.maxDelete))
            throw UsageError("push --delete would remove " + std::to_string(gone.size()) +
                             " phone files, more than --max-delete " + std::to_string(o.maxDelete) +
                             "; nothing was sent");
        for (const JournalEntry& entry : gone) {
            LedgerItem removal;
            removal.pc = entry.pc;
            removal.phone = entry.phone;
            removal.action = ItemAction::kRemove;
            add(std::move(removal), PcFileStat());
        }
    }
    for (auto& upload : uploads) add(std::move(upload.first), upload.second);
    if (o.dryRun) return PlanItems(reporter, ledger, summary.job, summary.unchanged);
    return RunItems(o, reporter, journal, kind.run, ledger, before, summary);
}

int Remove(const Options& o, Reporter& reporter, JournalSlot& journal) {
    const PushKind& kind = FindPushKind(o.kind);
    const std::string phoneFolder = o.device + kind.phoneFolder;
    ItemLedger ledger;
    std::unordered_set<std::string> seen;
    std::vector<RefusedName> refused;
    for (const auto& argument : o.operands) {
        const std::string pc = AbsolutePath(argument);
        if (!seen.insert(pc).second) continue;
        // Its phone path would not be the one push stored it under (push
        // refuses such names): removing it could hit another phone file.
        if (!IsValidUtf8(pc)) {
            refused.push_back({pc, "the name is not valid UTF-8"});
            continue;
        }
        const bool folder = IsFolder(pc) || (EndsInSeparator(argument) && !IsFile(pc));
        std::string phone = MirrorPhonePath(pc, phoneFolder);
        while (phone.size() > 1 && phone.back() == '/') phone.pop_back();
        if (phone.size() <= phoneFolder.size())
            throw UsageError("remove: '" + argument + "' stands for the whole phone folder " + phoneFolder +
                             "; name a folder below it");
        LedgerItem item;
        item.pc = pc;
        item.phone = phone;
        item.action = ItemAction::kRemove;
        item.folder = folder;
        ledger.Add(std::move(item));
    }
    if (!refused.empty()) {
        std::string message = "these names are not valid UTF-8, so no phone path stands for them; nothing was removed:";
        for (const auto& name : refused) message += "\n  " + name.pc + ": " + name.reason;
        throw RefusedNamesError(message, refused);
    }
    Summary summary;
    summary.job = "remove " + o.kind;
    summary.kind = SummaryKind::kItems;
    if (o.dryRun) return PlanItems(reporter, ledger, summary.job, 0);
    return RunItems(o, reporter, journal, kind.run, ledger, {}, summary);
}

// What a job that writes PC files did to the folder.
Summary FilesSummary(const std::string& job, const FolderSnapshot& before, const FolderSnapshot& after) {
    const FolderChange change = CompareSnapshots(before, after);
    Summary summary;
    summary.job = job;
    summary.kind = SummaryKind::kFiles;
    summary.files = change.created + change.replaced;
    summary.replaced = change.replaced;
    summary.unchanged = change.unchanged;
    summary.bytes = change.bytes;
    return summary;
}

// The PC folders a restore of the category uploads from, below the backup
// folder: the places where a backup of the category put its files.
std::vector<std::string> RestoreSources(int32_t category, const std::string& pc) {
    const auto join = [](const std::string& a, const std::string& b) {
        return (std::filesystem::u8path(a) / std::filesystem::u8path(b)).u8string();
    };
    // The header's folders without their leading "/", below the category's
    // PC folder.
    const auto below = [&](const char* categoryFolder, const char* phoneFolder) {
        return join(join(pc, categoryFolder), phoneFolder + 1);
    };
    switch (category) {
        case QS_CATEGORY_MUSIC: return {below(QS_BACKUP_MUSIC_FOLDER, QS_FOLDER_MUSIC)};
        case QS_CATEGORY_GALLERY:
            return {below(QS_BACKUP_GALLERY_FOLDER, QS_FOLDER_MOVIES), below(QS_BACKUP_GALLERY_FOLDER, QS_FOLDER_PICTURES),
                    below(QS_BACKUP_GALLERY_FOLDER, QS_FOLDER_CAMERA)};
        default:
            return {below(QS_BACKUP_DOCUMENTS_FOLDER, QS_FOLDER_DOWNLOAD),
                    below(QS_BACKUP_DOCUMENTS_FOLDER, QS_FOLDER_DOWNLOADS),
                    below(QS_BACKUP_DOCUMENTS_FOLDER, QS_FOLDER_DOCUMENTS)};
    }
}

int Fetch(const Options& o, Reporter& reporter) {
    const bool camera = o.kind == "camera";
    const std::string pc = AbsolutePath(o.folder);
    const std::u16string folder = Utf8ToUtf16(pc);
    RequireReachable(o, reporter);
    Connection connection(o);
    HostWindow window([&](uintptr_t wParam, intptr_t lParam) {
        if (wParam == QS_PROGRESS_PERCENT) reporter.Percent(static_cast<int>(lParam));
    });
    DestinationFolders destination{};
    (camera ? destination.cameraFolder : destination.documentFolder) = AsHostText(folder);
    JobParams params{};
    params.window = window.handle();
    params.word2 = &destination;
    if (JobControl::Instance().Interrupted()) throw InterruptedError("interrupted before the job started");
    const FolderSnapshot before = TakeSnapshot(pc);
    reporter.Begin(ProgressSource::kLibrary, "fetch " + o.kind);
    // A rerun skips the files a run before it fetched (same name and size).
    const int32_t result = RunWhole(
        o, reporter, [&] { return (camera ? SyncPhoto : SyncDevDocument)(connection.params(), &params); },
        &FetchResultText);
    Summary summary = FilesSummary("fetch " + o.kind, before, TakeSnapshot(pc));
    Finish(reporter, summary, result, FetchResultText(result));
    return ExitCodeFor(result);
}

// The phone path a playlist song stands for.
std::string SongPhonePath(const Options& o, const std::string& song) {
    const std::string pc = AbsolutePath(song);
    if (IsFile(pc)) return MirrorPhonePath(pc, o.device + QS_FOLDER_MUSIC);
    if (!song.empty() && song[0] == '/') return song;
    throw UsageError("playlist: song '" + song + "' is neither a PC file nor a phone path (starting with '/')");
}

int Playlist(const Options& o, Reporter& reporter) {
    struct Member {
        std::u16string phone;
        SyncItem record{};
    };
    const bool create = o.kind == "create";
    const bool remove = o.kind == "delete";
    std::u16string id = create ? u"" : Utf8ToUtf16(o.operands[0]);
    const std::string name = remove ? "" : o.operands[create ? 0 : 1];
    const std::u16string nameText = Utf8ToUtf16(name);
    std::vector<std::unique_ptr<Member>> members;
    std::vector<void*> memberPointers;
    for (size_t i = create ? 1 : 2; !remove && i < o.operands.size(); ++i) {
        auto member = std::make_unique<Member>();
        member->phone = Utf8ToUtf16(SongPhonePath(o, o.operands[i]));
        member->record.phonePath = reinterpret_cast<QS_WCHAR*>(member->phone.data());
        memberPointers.push_back(&member->record);
        members.push_back(std::move(member));
    }
    PlaylistItem item{};
    item.playlistName = AsHostText(nameText);
    item.playlistOp = create ? 1 : remove ? 3 : 2;
    item.playlistId = create ? nullptr : reinterpret_cast<QS_WCHAR*>(id.data());
    item.members.first = memberPointers.empty() ? nullptr : memberPointers.data();
    item.members.last = memberPointers.data() + memberPointers.size();
    std::vector<void*> itemPointers{&item};
    QsHostList playlists{nullptr, itemPointers.data(), itemPointers.data() + 1, nullptr};

    RequireReachable(o, reporter);
    Connection connection(o);
    LibraryText createdId;  // a create hands over the new id's text
    const std::string action = create ? "created" : remove ? "deleted" : "updated";
    HostWindow window([&](uintptr_t wParam, intptr_t lParam) {
        if (wParam == QS_PROGRESS_PERCENT) {
            reporter.Percent(static_cast<int>(lParam));
            return;
        }
        const auto* result = reinterpret_cast<const ItemResult*>(lParam);
        if (!result || result->item != &item || result->status != 0) return;
        ItemEvent event(action, "", "");
        event.playlistId = HostTextToUtf8(item.playlistId);
        event.name = name;
        reporter.Item(event);
    });
    JobParams params{};
    params.window = window.handle();
    params.word2 = &playlists;
    if (JobControl::Instance().Interrupted()) throw InterruptedError("interrupted before the job started");
    reporter.Begin(ProgressSource::kLibrary);
    const auto call = [&] { return SyncPlaylist(connection.params(), &params); };
    // A create run again after a failure could make a second playlist.
    const int32_t result =
        create ? JobControl::Instance().Run(call) : RunWhole(o, reporter, call, &PlaylistResultText);
    if (create) createdId = LibraryText(item.playlistId);
    Summary summary;
    summary.job = "playlist " + o.kind;
    if (create) summary.note = "not retried: a second try could make a second playlist";
    if (create && result == 0) summary.playlistId = HostTextToUtf8(createdId.get());
    Finish(reporter, summary, result, PlaylistResultText(result));
    return ExitCodeFor(result);
}

std::atomic<Reporter*> gBackupReporter{nullptr};

void QS_CALL OnBackupProgress(int32_t percent) {
    try {  // called by the library: nothing may unwind into it
        if (Reporter* reporter = gBackupReporter.load()) reporter->Percent(percent);
    } catch (...) {
    }
}

int BackupOrRestore(const Options& o, Reporter& reporter) {
    const bool backup = o.command == "backup";
    const int32_t category = o.kind == "music" ? 0 : o.kind == "media" ? 1 : 5;
    const std::string pc = AbsolutePath(o.folder);
    if (!backup && !IsFolder(pc)) throw UsageError("restore: no backup folder " + pc);
    const std::u16string host = Utf8ToUtf16(o.host);
    const std::u16string pcText = Utf8ToUtf16(pc);
    // The phone's own root is "/" here: the category folders are joined to it.
    const std::u16string phoneRoot = Utf8ToUtf16(o.device.empty() ? "/" : o.device);
    RequireReachable(o, reporter);
    if (JobControl::Instance().Interrupted()) throw InterruptedError("interrupted before the job started");
    const FolderSnapshot before = backup ? TakeSnapshot(pc) : FolderSnapshot();
    reporter.Begin(ProgressSource::kLibrary, o.command + " " + o.kind);
    gBackupReporter = &reporter;
    const auto call = [&] {
        return backup ? Backup(category, AsHostText(host), o.port, AsHostText(pcText), AsHostText(phoneRoot),
                               &OnBackupProgress)
                      : Restore(category, AsHostText(host), o.port, AsHostText(pcText), AsHostText(phoneRoot),
                                o.conflictMode, &OnBackupProgress);
    };
    // A restore that keeps both copies, run again, would store a numbered
    // second copy of each file the failed run stored.
    const bool both = !backup && o.conflictMode == 1;
    const int32_t result = both ? JobControl::Instance().Run(call) : RunWhole(o, reporter, call, &BackupResultText);
    gBackupReporter = nullptr;
    const std::string job = o.command + " " + o.kind;
    Summary summary;
    if (both) summary.note = "not retried: with --on-conflict both a second try could store second copies";
    if (backup) {
        summary = FilesSummary(job, before, TakeSnapshot(pc));
    } else {
        summary.job = job;
        summary.kind = SummaryKind::kCovered;
        // A restore that failed part-way covered an unknown share of them.
        summary.countsKnown = result == 0 && !JobControl::Instance().Interrupted();
        const FileCount count = CountFiles(RestoreSources(category, pc));
        summary.files = count.files;
        summary.bytes = count.bytes;
    }
    Finish(reporter, summary, result, BackupResultText(result));
    return ExitCodeFor(result);
}

}  // namespace

int RunCommand(const Options& options, Reporter& reporter, JournalSlot& journal) {
    // Before any job: each job reads the options when it starts. The
    // connection probe is qsync's own and does not use them.
    if (SetOption(QS_OPTION_REQUEST_RETRIES, options.requestRetries) != 0 ||
        SetOption(QS_OPTION_RETRY_DELAY_MS, kRequestRetryDelayMs) != 0 || SetOption(QS_OPTION_RETRIES_MADE, 0) != 0)
        throw std::runtime_error("the library refused --request-retries " + std::to_string(options.requestRetries));
    if (options.command == "push") return Push(options, reporter, journal);
    if (options.command == "remove") return Remove(options, reporter, journal);
    if (options.command == "fetch") return Fetch(options, reporter);
    if (options.command == "playlist") return Playlist(options, reporter);
    if (IsPhoneCommand(options.command))
        return RunPhoneCommand(options, reporter, journal, [&] { RequireReachable(options, reporter); });
    return BackupOrRestore(options, reporter);
}

}  // namespace qsync
