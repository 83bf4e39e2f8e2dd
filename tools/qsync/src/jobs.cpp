#include "jobs.h"

#include <atomic>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "errors.h"
#include "host_abi.h"
#include "job_control.h"
#include "paths.h"
#include "probe.h"
#include "quellsync_http.h"
#include "text.h"

namespace qsync {
namespace {

using SyncExport = int32_t(QS_CALL*)(ConnectParams*, JobParams*);

constexpr intptr_t kChangeCopy = 1;
constexpr intptr_t kChangeRemove = 3;
constexpr int kProbeTimeoutMs = 5000;

struct PushKind {
    const char* name;
    const char* phoneFolder;  // below the device root
    SyncExport run;
};

const PushKind kPushKinds[] = {
    {"music", "/Music", &SyncMusicFile},
    {"photos", "/Pictures", &SyncPhotoFile},
    {"videos", "/Movies", &SyncVideoFile},
    {"documents", "/My Documents/Documents", &SyncDocumentFile},
    {"playlists", "/Music/Playlist", &SyncPlaylistFile},
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

void RequireReachable(const Options& o) {
    if (o.verbose)
        std::fprintf(stderr, "qsync: phone service http://%s:%d/, device root '%s'\n", o.host.c_str(), o.port,
                     o.device.c_str());
    if (!CanConnect(o.host, o.port, kProbeTimeoutMs))
        throw UnreachableError("the phone's service at " + o.host + ":" + std::to_string(o.port) +
                               " cannot be reached");
}

int ExitCodeFor(int32_t result) {
    if (JobControl::Instance().Interrupted()) return kExitInterrupted;
    return result == 0 ? kExitOk : kExitJobFailed;
}

// One SyncItem of a push or remove, with the texts it points to.
struct Entry {
    std::string pc;
    std::string phone;  // the mirrored path: planned for uploads, sent for removals
    uint64_t size = 0;
    std::u16string pcText, phoneText;
    SyncItem record{};

    Entry() = default;
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    // An upload's phonePath is written by the library, which hands it over.
    ~Entry() {
        if (record.changeKind != kChangeRemove) FreeLibraryText(record.phonePath);
    }
    std::string StoredPhonePath() const { return record.phonePath ? HostTextToUtf8(record.phonePath) : phone; }
};

class EntryList {
public:
    Entry& Add(std::string pc, std::string phone, uint64_t size, intptr_t changeKind, bool folder) {
        auto entry = std::make_unique<Entry>();
        entry->pc = std::move(pc);
        entry->phone = std::move(phone);
        entry->size = size;
        entry->pcText = Utf8ToUtf16(entry->pc);
        entry->record.pcPath = AsHostText(entry->pcText);
        entry->record.changeKind = changeKind;
        entry->record.isFolder = folder ? 1 : 0;
        if (changeKind == kChangeRemove && !folder) {
            // The library removes a file by the phone path the item carries.
            entry->phoneText = Utf8ToUtf16(entry->phone);
            entry->record.phonePath = reinterpret_cast<QS_WCHAR*>(entry->phoneText.data());
        }
        mByRecord[&entry->record] = entry.get();
        mPointers.push_back(&entry->record);
        mEntries.push_back(std::move(entry));
        return *mEntries.back();
    }
    // True the first time a PC path is seen: a path named twice (or inside
    // two named folders) becomes one item.
    bool FirstTime(const std::string& pc) { return mSeen.insert(pc).second; }
    Entry* Find(const void* record) const {
        const auto found = mByRecord.find(record);
        return found == mByRecord.end() ? nullptr : found->second;
    }
    QsHostList* HostList() {
        mList.first = mPointers.empty() ? nullptr : mPointers.data();
        mList.last = mPointers.data() + mPointers.size();
        return &mList;
    }
    const std::vector<std::unique_ptr<Entry>>& entries() const { return mEntries; }

private:
    std::vector<std::unique_ptr<Entry>> mEntries;
    std::vector<void*> mPointers;
    std::unordered_map<const void*, Entry*> mByRecord;
    std::unordered_set<std::string> mSeen;
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

void Finish(Reporter& reporter, Summary summary, int32_t result, const std::string& failureText) {
    summary.result = result;
    summary.exitCode = ExitCodeFor(result);
    if (summary.exitCode == kExitJobFailed) summary.resultText = failureText;
    reporter.End(summary);
}

// Runs a PC-to-phone export over the entries and reports each carried-out
// item as the library announces it.
int RunItems(const Options& o, Reporter& reporter, SyncExport run, EntryList& entries, const std::string& job) {
    Summary summary;
    summary.job = job;
    summary.hasItems = true;
    if (o.dryRun) {
        for (const auto& e : entries.entries()) {
            const bool remove = e->record.changeKind == kChangeRemove;
            reporter.Item({remove ? "would-remove" : "would-store", e->pc, e->record.isFolder ? e->phone + "/" : e->phone});
            if (!remove) summary.bytes += e->size;
        }
        summary.dryRun = true;
        summary.planned = entries.entries().size();
        summary.exitCode = JobControl::Instance().Interrupted() ? kExitInterrupted : kExitOk;
        reporter.End(summary);
        return summary.exitCode;
    }
    RequireReachable(o);
    Connection connection(o);
    HostWindow window([&](uintptr_t wParam, intptr_t lParam) {
        if (wParam == QS_PROGRESS_PERCENT) {
            reporter.Percent(static_cast<int>(lParam));
            return;
        }
        const auto* result = reinterpret_cast<const ItemResult*>(lParam);
        const Entry* entry = result ? entries.Find(result->item) : nullptr;
        if (!entry || result->status != 0) return;
        if (entry->record.changeKind == kChangeRemove) {
            ++summary.removed;
            reporter.Item({"removed", entry->pc, entry->record.isFolder ? entry->phone + "/" : entry->phone});
        } else {
            ++summary.stored;
            summary.bytes += entry->size;
            reporter.Item({"stored", entry->pc, entry->StoredPhonePath()});
        }
    });
    JobParams params{};
    params.window = window.handle();
    params.items = entries.HostList();
    if (JobControl::Instance().Interrupted()) return kExitInterrupted;
    reporter.Begin(entries.entries().size());
    const int32_t result = JobControl::Instance().Run([&] { return run(connection.params(), &params); });
    Finish(reporter, summary, result, SyncResultText(result));
    return ExitCodeFor(result);
}

int Push(const Options& o, Reporter& reporter) {
    const PushKind& kind = FindPushKind(o.kind);
    const std::string phoneFolder = o.device + kind.phoneFolder;
    EntryList entries;
    std::vector<std::string> refused;
    for (const auto& argument : o.operands) {
        for (const PcFile& file : CollectFiles(AbsolutePath(argument))) {
            if (!entries.FirstTime(file.path)) continue;
            const std::string phone = MirrorPhonePath(NativePathStyle(), file.path, phoneFolder);
            if (!IsValidUtf8(file.path)) {
                refused.push_back(file.path + ": the name is not valid UTF-8");
                continue;
            }
            for (const auto& reason : UnstorableReasons(phone, o.device)) refused.push_back(file.path + ": " + reason);
            entries.Add(file.path, phone, file.size, kChangeCopy, false);
        }
    }
    if (!refused.empty()) {
        std::string message = "the phone's storage cannot hold these names; nothing was sent:";
        for (const auto& line : refused) message += "\n  " + line;
        throw UsageError(message);
    }
    if (entries.entries().empty()) throw UsageError("push: no files found in the given paths");
    return RunItems(o, reporter, kind.run, entries, "push " + o.kind);
}

int Remove(const Options& o, Reporter& reporter) {
    const PushKind& kind = FindPushKind(o.kind);
    const std::string phoneFolder = o.device + kind.phoneFolder;
    EntryList entries;
    for (const auto& argument : o.operands) {
        const std::string pc = AbsolutePath(argument);
        if (!entries.FirstTime(pc)) continue;
        const bool folder = IsFolder(pc) || (EndsInSeparator(argument) && !IsFile(pc));
        std::string phone = MirrorPhonePath(NativePathStyle(), pc, phoneFolder);
        while (phone.size() > 1 && phone.back() == '/') phone.pop_back();
        if (phone.size() <= phoneFolder.size())
            throw UsageError("remove: '" + argument + "' stands for the whole phone folder " + phoneFolder +
                             "; name a folder below it");
        entries.Add(pc, phone, 0, kChangeRemove, folder);
    }
    return RunItems(o, reporter, kind.run, entries, "remove " + o.kind);
}

int Fetch(const Options& o, Reporter& reporter) {
    const bool camera = o.kind == "camera";
    const std::u16string folder = Utf8ToUtf16(AbsolutePath(o.folder));
    RequireReachable(o);
    Connection connection(o);
    HostWindow window([&](uintptr_t wParam, intptr_t lParam) {
        if (wParam == QS_PROGRESS_PERCENT) reporter.Percent(static_cast<int>(lParam));
    });
    DestinationFolders destination{};
    (camera ? destination.cameraFolder : destination.documentFolder) = AsHostText(folder);
    JobParams params{};
    params.window = window.handle();
    params.word2 = &destination;
    if (JobControl::Instance().Interrupted()) return kExitInterrupted;
    reporter.Begin(0);
    const int32_t result = JobControl::Instance().Run(
        [&] { return (camera ? SyncPhoto : SyncDevDocument)(connection.params(), &params); });
    Summary summary;
    summary.job = "fetch " + o.kind;
    Finish(reporter, summary, result, FetchResultText(result));
    return ExitCodeFor(result);
}

// The phone path a playlist song stands for.
std::string SongPhonePath(const Options& o, const std::string& song) {
    const std::string pc = AbsolutePath(song);
    if (IsFile(pc)) return MirrorPhonePath(NativePathStyle(), pc, o.device + "/Music");
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

    RequireReachable(o);
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
    if (JobControl::Instance().Interrupted()) return kExitInterrupted;
    reporter.Begin(0);
    const int32_t result = JobControl::Instance().Run([&] { return SyncPlaylist(connection.params(), &params); });
    if (create) createdId = LibraryText(item.playlistId);
    Summary summary;
    summary.job = "playlist " + o.kind;
    if (create && result == 0) summary.playlistId = HostTextToUtf8(createdId.get());
    Finish(reporter, summary, result, "the phone refused a playlist change, or its songs could not be looked up");
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
    RequireReachable(o);
    if (JobControl::Instance().Interrupted()) return kExitInterrupted;
    reporter.Begin(0);
    gBackupReporter = &reporter;
    const int32_t result = JobControl::Instance().Run([&] {
        return backup ? Backup(category, AsHostText(host), o.port, AsHostText(pcText), AsHostText(phoneRoot),
                               &OnBackupProgress)
                      : Restore(category, AsHostText(host), o.port, AsHostText(pcText), AsHostText(phoneRoot),
                                o.conflictMode, &OnBackupProgress);
    });
    gBackupReporter = nullptr;
    Summary summary;
    summary.job = o.command + " " + o.kind;
    Finish(reporter, summary, result, BackupResultText(result));
    return ExitCodeFor(result);
}

}  // namespace

int RunCommand(const Options& options, Reporter& reporter) {
    if (options.command == "push") return Push(options, reporter);
    if (options.command == "remove") return Remove(options, reporter);
    if (options.command == "fetch") return Fetch(options, reporter);
    if (options.command == "playlist") return Playlist(options, reporter);
    return BackupOrRestore(options, reporter);
}

}  // namespace qsync
