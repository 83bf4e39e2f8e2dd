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
#include "playlist_record.h"
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
    // The file name extensions of the kind, each with its dot and ";" after
    // it, in lower case: what push takes without --any-file. The phone's
    // media scanner files anything else in the wrong place, or not at all.
    const char* extensions;
};

const PushKind kPushKinds[] = {
    {"music", QS_FOLDER_MUSIC, &SyncMusicFile,
     ".mp3;.m4a;.aac;.flac;.ogg;.oga;.opus;.wav;.wma;.amr;.mid;.midi;.mka;.aif;.aiff;"},
    {"photos", QS_FOLDER_PICTURES, &SyncPhotoFile, ".jpg;.jpeg;.png;.gif;.bmp;.webp;.heic;.heif;.tif;.tiff;.dng;"},
    {"videos", QS_FOLDER_MOVIES, &SyncVideoFile, ".mp4;.m4v;.mkv;.webm;.3gp;.3g2;.avi;.mov;.wmv;.mpg;.mpeg;.ts;"},
    {"documents", QS_FOLDER_DOCUMENTS, &SyncDocumentFile,
     QS_BACKUP_DOCUMENT_EXTENSIONS ".odt;.ods;.odp;.rtf;.csv;.epub;.md;"},
    {"playlists", QS_FOLDER_PLAYLISTS, &SyncPlaylistFile, ".m3u;.m3u8;.pls;.wpl;.xspf;"},
};

const PushKind& FindPushKind(const std::string& name) {
    for (const auto& kind : kPushKinds)
        if (name == kind.name) return kind;
    throw UsageError("unknown kind '" + name + "'");
}

// Whether the file's name ends in one of the kind's extensions (ASCII case
// ignored).
bool KindTakes(const PushKind& kind, const std::string& path) {
    const size_t dot = path.find_last_of("./\\");
    if (dot == std::string::npos || path[dot] != '.') return false;
    std::string extension = path.substr(dot) + ";";
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    const std::string list = kind.extensions;
    return list.compare(0, extension.size(), extension) == 0 || list.find(";" + extension) != std::string::npos;
}

int32_t QS_CALL NoteEntry(void* context, const QsPhoneEntry* entry) {
    *static_cast<bool*>(context) = entry->isFile != 0;
    return 0;
}

// PhoneStat of one path: QS_PHONE_OK (isFile tells a file), QS_PHONE_ABSENT,
// or why it could not be looked up. Ctrl-C throws InterruptedError: these
// look-ups come before the job.
int32_t StatPhonePath(const Options& o, const std::string& phonePath, bool& isFile) {
    const std::u16string url = Utf8ToUtf16("http://" + o.host + ":" + std::to_string(o.port) + "/");
    const std::u16string path = Utf8ToUtf16(phonePath);
    isFile = false;
    const int32_t result =
        JobControl::Instance().Run([&] { return PhoneStat(AsHostText(url), AsHostText(path), &NoteEntry, &isFile); });
    if (result == QS_PHONE_STOPPED || JobControl::Instance().Interrupted())
        throw InterruptedError("interrupted before the job started");
    return result;
}

// Lists what a dry run would do, with the same counts a real run reports.
// `planned` gives the job and the counts of what it left out.
int PlanItems(Reporter& reporter, const ItemLedger& ledger, const Summary& planned) {
    Summary summary = ItemSummary(planned.job, ledger);
    summary.dryRun = true;
    summary.unchanged = planned.unchanged;
    summary.skipped = planned.skipped;
    summary.skippedWhy = planned.skippedWhy;
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
            // As a real push counts them: an upload over a changed phone
            // copy is a replacement, not a new file.
            ++(item.replacing ? summary.replaced : summary.stored);
            summary.bytes += item.bytes;
        }
    }
    summary.exitCode = JobControl::Instance().Interrupted() ? kExitInterrupted : kExitOk;
    reporter.End(summary);
    return summary.exitCode;
}

struct Planned {
    std::string pc, phone;
    uint64_t size;
};

struct PushPlan {
    std::vector<Planned> planned;
    std::vector<Planned> skipped;      // not of the kind
    std::vector<std::string> folders;  // the named folders, for --delete
};

// The PC files a push names, each with its phone path below `phoneFolder`.
// Throws when the push is refused before it looks at the journal or the
// phone: a name the phone cannot hold, nothing of the kind, nothing found,
// and for --delete a named path that is missing or a folder left empty.
PushPlan PlanPush(const Options& o, const PushKind& kind, const std::string& phoneFolder) {
    PushPlan plan;
    std::vector<Planned>& planned = plan.planned;
    std::vector<Planned>& skipped = plan.skipped;
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
            plan.folders.push_back(path);
        }
        for (const PcFile& file : files) {
            if (!seen.insert(file.path).second) continue;
            const std::string phone = MirrorPhonePath(file.path, phoneFolder);
            if (!IsValidUtf8(file.path)) {
                refused.push_back({file.path, "the name is not valid UTF-8"});
                continue;
            }
            // A name the phone cannot hold refuses the push, of the kind or not.
            for (const auto& reason : UnstorableReasons(phone, o.device)) refused.push_back({file.path, reason});
            if (!o.anyFile && !KindTakes(kind, file.path)) skipped.push_back({file.path, phone, file.size});
            else planned.push_back({file.path, phone, file.size});
        }
    }
    if (!refused.empty()) {
        std::string message = "the phone's storage cannot hold these names; nothing was sent:";
        for (const auto& name : refused) message += "\n  " + name.pc + ": " + name.reason;
        throw RefusedNamesError(message, refused);
    }
    if (planned.empty() && !skipped.empty())
        throw UsageError("push " + o.kind + ": none of the " + std::to_string(skipped.size()) + " files found is " +
                         o.kind + " (by its extension: see qsync push --help); --any-file pushes them all the same; " +
                         "nothing was sent");
    if (planned.empty()) throw UsageError("push: no files found in the given paths");
    return plan;
}

int Push(const Options& o, Reporter& reporter, JournalSlot& journal) {
    const PushKind& kind = FindPushKind(o.kind);
    // Without the journal nothing is known to be gone from the PC: mirroring
    // would silently remove nothing.
    if (o.mirrorDelete && !journal.get())
        throw UsageError("push --delete: the journal could not be used (see above), so qsync cannot tell which "
                         "phone files are gone from the PC; nothing was sent");
    const std::string phoneFolder = o.device + kind.phoneFolder;
    const PushPlan plan = PlanPush(o, kind, phoneFolder);
    const std::vector<Planned>& planned = plan.planned;
    const std::vector<Planned>& skipped = plan.skipped;
    const std::vector<std::string>& folders = plan.folders;
    const std::string notKind = "not " + o.kind;
    for (const Planned& s : skipped) {
        ItemEvent event("skipped", s.pc, "");
        event.reason = notKind;
        reporter.Item(event);
    }

    ItemLedger ledger;
    std::vector<PcFileStat> before;  // by ledger index: the PC file before the job
    Summary summary;
    summary.job = "push " + o.kind;
    summary.kind = SummaryKind::kItems;
    summary.skipped = skipped.size();
    summary.skippedWhy = notKind;
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
        // A file left out as not of the kind is still on the PC: its phone
        // copy, if an earlier push made one, stays.
        for (const Planned& s : skipped) current.push_back(s.phone);
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
    if (o.dryRun) return PlanItems(reporter, ledger, summary);
    return RunItems(o, reporter, journal, kind.run, ledger, before, summary);
}

// The removals a remove names, below `phoneFolder`. Throws when it is
// refused before it looks at the phone: a name that stands for the whole
// kind folder, or one that no phone path stands for.
ItemLedger PlanRemove(const Options& o, const std::string& phoneFolder) {
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
    return ledger;
}

int Remove(const Options& o, Reporter& reporter, JournalSlot& journal) {
    const PushKind& kind = FindPushKind(o.kind);
    const std::string phoneFolder = o.device + kind.phoneFolder;
    ItemLedger ledger = PlanRemove(o, phoneFolder);
    Summary summary;
    summary.job = "remove " + o.kind;
    summary.kind = SummaryKind::kItems;
    if (o.dryRun) return PlanItems(reporter, ledger, summary);
    // The library reports a removal of what the phone does not hold as done:
    // such items are told apart first, and not sent.
    RequireReachable(o, reporter);
    ItemLedger present;
    for (size_t i = 0; i < ledger.size(); ++i) {
        const LedgerItem& item = ledger.at(i);
        bool isFile = false;
        if (StatPhonePath(o, item.phone, isFile) != QS_PHONE_ABSENT) {
            present.Add(item);
            continue;
        }
        ++summary.notOnPhone;
        journal.RemoveAtOrBelow(item.phone, item.folder);  // what it recorded there is gone
        reporter.Item(ItemEvent("not-on-phone", item.pc, item.folder ? item.phone + "/" : item.phone));
    }
    return RunItems(o, reporter, journal, kind.run, present, {}, summary);
}

std::string JoinPc(const std::string& a, const std::string& b) {
    return (std::filesystem::u8path(a) / std::filesystem::u8path(b)).u8string();
}

// What a documents restore uploads from the backup folder pc, as the library
// reads it: every file below Document but those in its folder My Documents,
// and then those of Document/My Documents/Documents (an older backup's
// layout) whose name below it the files outside Download and Downloads do
// not already give. Names compare as the PC file system compares them
// (the folder names are ASCII, so an ASCII case fold is the Windows rule).
FileCount CountDocumentRestore(const std::string& pc) {
    const bool windows = NativePathStyle() == PathStyle::kWindows;
    const auto key = [windows](std::string name) {
        if (windows)
            for (char& c : name)
                if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        return name;
    };
    const auto below = [&](const std::string& name, const char* folder) {
        return name.rfind(key(std::string(folder + 1) + "/"), 0) == 0;
    };
    const std::string older = key(std::string(QS_FOLDER_DOCUMENTS + 1) + "/");
    FileCount count;
    std::unordered_set<std::string> given;
    std::vector<std::pair<std::string, uint64_t>> olderFiles;
    for (const auto& [name, state] : TakeSnapshot(JoinPc(pc, QS_BACKUP_DOCUMENTS_FOLDER))) {
        const std::string k = key(name);
        if (k.rfind(older, 0) == 0) {
            olderFiles.emplace_back(k.substr(older.size()), state.size);
            continue;
        }
        if (below(k, "/My Documents")) continue;
        if (!below(k, QS_FOLDER_DOWNLOAD) && !below(k, QS_FOLDER_DOWNLOADS)) given.insert(k);
        ++count.files;
        count.bytes += state.size;
    }
    for (const auto& [k, size] : olderFiles) {
        if (given.count(k) != 0) continue;
        ++count.files;
        count.bytes += size;
    }
    return count;
}

// The PC folders a restore of music or media uploads from, below the backup
// folder: the places where a backup of the category put its files.
std::vector<std::string> RestoreSources(int32_t category, const std::string& pc) {
    // The header's folders without their leading "/", below the category's
    // PC folder.
    const auto below = [&](const char* categoryFolder, const char* phoneFolder) {
        return JoinPc(JoinPc(pc, categoryFolder), phoneFolder + 1);
    };
    switch (category) {
        case QS_CATEGORY_MUSIC: return {below(QS_BACKUP_MUSIC_FOLDER, QS_FOLDER_MUSIC)};
        default:
            return {below(QS_BACKUP_GALLERY_FOLDER, QS_FOLDER_MOVIES), below(QS_BACKUP_GALLERY_FOLDER, QS_FOLDER_PICTURES),
                    below(QS_BACKUP_GALLERY_FOLDER, QS_FOLDER_CAMERA)};
    }
}

// Results of fetch and backup that name a failure on the PC side.
bool FetchFailedOnThePc(int32_t result) { return result == -3; }
bool BackupFailedOnThePc(int32_t result) { return result == -7 || result == -8; }

// A PC folder a job is to fill is checked before the job: a file in its
// place would fail every try, naming no path.
void RequireFolder(const std::string& option, const std::string& path) {
    const std::string problem = FolderProblem(path);
    if (!problem.empty()) throw UsageError(option + ": " + problem);
}

// The PC folder a fetch fills, checked before the job.
std::string FetchFolder(const Options& o) {
    const std::string pc = AbsolutePath(o.folder);
    RequireFolder("fetch --to", pc);
    return pc;
}

int Fetch(const Options& o, Reporter& reporter) {
    const bool camera = o.kind == "camera";
    const std::string pc = FetchFolder(o);
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
        &FetchResultText, &FetchFailedOnThePc);
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

// Whether each song is a file on the phone. The phone leaves a song it does
// not hold out of a playlist without a word, so they are looked up first.
// A song whose look-up failed otherwise counts as there: the playlist call
// itself then says what is wrong. Ctrl-C throws InterruptedError.
std::vector<bool> SongsOnPhone(const Options& o, const std::vector<std::string>& songs) {
    std::vector<bool> there;
    for (const std::string& song : songs) {
        bool file = false;
        const int32_t result = StatPhonePath(o, song, file);
        there.push_back(result == QS_PHONE_OK ? file : result != QS_PHONE_ABSENT && result != QS_PHONE_INVALID);
    }
    return there;
}

// The record of the playlists qsync made, held for this command; null
// (after a warning) when a create cannot use it. Update and delete need it
// to tell a playlist qsync made, unless --force.
std::unique_ptr<PlaylistRecord> OpenPlaylistRecord(const Options& o, Reporter& reporter) {
    const bool create = o.kind == "create";
    const std::string path = PlaylistRecordPathFor(o);
    std::string problem;
    if (path.empty()) {
        problem = "no place for the record of qsync's playlists (neither --journal nor the environment names one)";
    } else {
        try {
            return PlaylistRecord::Open(path);
        } catch (const PlaylistRecordError& e) {
            problem = e.what();
        }
    }
    if (create) {
        reporter.Notice("qsync: warning: " + problem + "; the new playlist will not be remembered");
    } else if (!o.force) {
        throw UsageError("playlist " + o.kind + ": " + problem +
                         ", so qsync cannot tell whether it made playlist " + o.operands[0] + "; --force " + o.kind +
                         "s it all the same");
    }
    return nullptr;
}

int Playlist(const Options& o, Reporter& reporter) {
    struct Member {
        std::u16string phone;
        SyncItem record{};
    };
    const bool create = o.kind == "create";
    const bool remove = o.kind == "delete";
    const std::string idText = create ? "" : o.operands[0];
    std::u16string id = Utf8ToUtf16(idText);
    const std::string name = remove ? "" : o.operands[create ? 0 : 1];
    const std::u16string nameText = Utf8ToUtf16(name);
    std::vector<std::string> songs;
    for (size_t i = create ? 1 : 2; !remove && i < o.operands.size(); ++i) songs.push_back(SongPhonePath(o, o.operands[i]));

    // The phone cannot tell a playlist qsync made from another: the record
    // does, before anything is sent.
    std::unique_ptr<PlaylistRecord> record = OpenPlaylistRecord(o, reporter);
    if (!create && record && !record->Find(idText) && !o.force)
        throw UsageError("playlist " + o.kind + ": playlist " + idText +
                         " is not one qsync made (qsync remembers those it created); --force " + o.kind +
                         "s it all the same");
    if (create && record)
        for (const RememberedPlaylist& made : record->playlists())
            if (made.name == name)
                reporter.Notice("qsync: warning: qsync already made a playlist named '" + name + "' (id " + made.id +
                                "); this makes a second one");

    RequireReachable(o, reporter);
    std::vector<std::string> held;  // the songs the playlist will hold
    if (!songs.empty()) {
        const std::vector<bool> there = SongsOnPhone(o, songs);
        for (size_t i = 0; i < songs.size(); ++i)
            if (there[i]) held.push_back(songs[i]);
        const size_t missing = static_cast<size_t>(std::count(there.begin(), there.end(), false));
        if (missing > 0) {
            std::string names;
            for (size_t i = 0; i < songs.size(); ++i)
                if (!there[i]) names += "\n  " + songs[i];
            const std::string counted = std::to_string(missing) + " of " + std::to_string(songs.size()) +
                                        " songs are not on the phone; pushed with 'qsync push music'?";
            if (missing == songs.size() && !o.allowEmpty)
                throw UsageError("playlist " + o.kind + ": " + counted + names + "\nthe playlist would be empty; " +
                                 "nothing was sent (--allow-empty " + (create ? "creates" : "updates") + " it all the same)");
            reporter.Notice("qsync: warning: " + counted + names);
        }
    }

    std::vector<std::unique_ptr<Member>> members;
    std::vector<void*> memberPointers;
    for (const std::string& song : songs) {
        auto member = std::make_unique<Member>();
        member->phone = Utf8ToUtf16(song);
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

    Connection connection(o);
    LibraryText createdId;  // a create hands over the new id's text
    const std::string action = create ? "created" : remove ? "deleted" : "updated";
    // One playlist change is one step: its percentage says nothing.
    HostWindow window([&](uintptr_t wParam, intptr_t lParam) {
        if (wParam == QS_PROGRESS_PERCENT) return;
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
    // No Begin: one playlist change shows no bar, only its line and summary.
    const auto call = [&] { return SyncPlaylist(connection.params(), &params); };
    // A create run again after a failure could make a second playlist.
    const int32_t result =
        create ? JobControl::Instance().Run(call) : RunWhole(o, reporter, call, &PlaylistResultText);
    if (create) createdId = LibraryText(item.playlistId);
    Summary summary;
    summary.job = "playlist " + o.kind;
    if (create) summary.note = "not retried: a second try could make a second playlist";
    if (create && result == 0) summary.playlistId = HostTextToUtf8(createdId.get());
    if (record && result == 0 && !JobControl::Instance().Interrupted()) {
        if (create) record->Add({summary.playlistId, name, held, PlaylistRecord::Now()});
        else if (remove) record->Remove(idText);
        else record->Update(idText, name, held);
        try {
            record->Save();
        } catch (const PlaylistRecordError& e) {
            reporter.Notice("qsync: warning: " + std::string(e.what()) + "; the change is not remembered");
        }
    }
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

// The PC folder a backup fills or a restore reads, checked before the job.
std::string BackupFolder(const Options& o) {
    const std::string pc = AbsolutePath(o.folder);
    if (o.command == "backup") RequireFolder("backup --to", pc);
    else if (!IsFolder(pc)) throw UsageError("restore: no backup folder " + pc);
    return pc;
}

int BackupOrRestore(const Options& o, Reporter& reporter) {
    const bool backup = o.command == "backup";
    const int32_t category = o.kind == "music" ? 0 : o.kind == "media" ? 1 : 5;
    const std::string pc = BackupFolder(o);
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
    const int32_t result =
        both ? JobControl::Instance().Run(call) : RunWhole(o, reporter, call, &BackupResultText, &BackupFailedOnThePc);
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
        const FileCount count = category == QS_CATEGORY_DOCUMENTS ? CountDocumentRestore(pc)
                                                                  : CountFiles(RestoreSources(category, pc));
        summary.files = count.files;
        summary.bytes = count.bytes;
    }
    Finish(reporter, summary, result, BackupResultText(result));
    return ExitCodeFor(result);
}

}  // namespace

void CheckCommand(const Options& options) {
    if (options.command == "push" || options.command == "remove") {
        const PushKind& kind = FindPushKind(options.kind);
        const std::string phoneFolder = options.device + kind.phoneFolder;
        if (options.command == "push") PlanPush(options, kind, phoneFolder);
        else PlanRemove(options, phoneFolder);
    } else if (options.command == "fetch") {
        FetchFolder(options);
    } else if (options.command == "backup" || options.command == "restore") {
        BackupFolder(options);
    }
}

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