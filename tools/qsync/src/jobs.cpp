// The commands of qsync: what each one plans from its arguments and which
// export carries it out. The retry loops are in job_rounds, the host records
// in host_records, the summaries and result texts in job_results.
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
#include "host_records.h"
#include "item_ledger.h"
#include "job_control.h"
#include "job_results.h"
#include "job_rounds.h"
#include "journal.h"
#include "command_journal.h"
#include "paths.h"
#include "phone_commands.h"
#include "quellsync_http.h"
#include "text.h"

namespace qsync {
namespace {

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
    reporter.Begin(ProgressSource::kLibrary);
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
    reporter.Begin(ProgressSource::kLibrary);
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