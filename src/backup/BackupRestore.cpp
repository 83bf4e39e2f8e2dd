#include "backup/BackupRestore.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <set>
#include <string>
#include <utility>

#include "fileapi/FileApi.h"
#include "filesync/HttpFileAPI.h"
#include "log/Log.h"
#include "pool/WorkerPool.h"
#include "platform/dir.h"
#include "platform/file.h"
#include "platform/path_style.h"
#include "platform/utf.h"

using platform::PathStyle;

namespace backup_paths {

namespace {

std::u16string JoinWith(char16_t separator, const std::u16string& folder, const std::u16string& name) {
    std::u16string out = folder;
    if (out.empty() || out.back() != separator) out.push_back(separator);
    if (!name.empty() && name.front() == separator)
        out.append(name, 1, std::u16string::npos);
    else
        out.append(name);
    return out;
}

char16_t AsciiLower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool EqualsIgnoringCase(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

// The part of path after its first length characters; empty when the path
// is not longer (never throws).
std::u16string After(const std::u16string& path, size_t length) {
    return length < path.size() ? path.substr(length) : std::u16string();
}

}  // namespace

std::u16string JoinPcPath(PathStyle style, const std::u16string& folder, const std::u16string& name) {
    return JoinWith(platform::PathSeparator(style), folder, name);
}

std::u16string JoinPhonePath(const std::u16string& folder, const std::u16string& name) {
    return JoinWith(u'/', folder, name);
}

std::u16string AddLongPathPrefix(PathStyle style, const std::u16string& path) {
    return platform::AddLongPathPrefix(style, path);
}

bool HasListedExtension(const std::u16string& path, const BackupExtensions& extensions) {
    const size_t dot = path.rfind(u'.');
    const std::u16string extension = dot == std::u16string::npos ? path : path.substr(dot);
    for (const std::u16string& listed : extensions)
        if (EqualsIgnoringCase(extension, listed)) return true;
    return false;
}

std::u16string MapPcToPhone(PathStyle style, const std::u16string& pcEntry, const std::u16string& pcRoot,
                            const std::u16string& phoneRoot) {
    std::u16string relative = After(pcEntry, backup_paths::AddLongPathPrefix(style, pcRoot).size());
    // A POSIX name may hold "\": only the Windows separator is turned round.
    if (style == PathStyle::kWindows)
        for (char16_t& c : relative)
            if (c == u'\\') c = u'/';
    return JoinPhonePath(phoneRoot, relative);
}

std::u16string MapPhoneToPc(PathStyle style, const std::u16string& phoneEntry, const std::u16string& phoneRoot,
                            const std::u16string& pcRoot) {
    std::u16string relative = After(phoneEntry, phoneRoot.size());
    const char16_t separator = platform::PathSeparator(style);
    for (char16_t& c : relative)
        if (c == u'/') c = separator;
    return backup_paths::AddLongPathPrefix(style, JoinPcPath(style, pcRoot, relative));
}

std::u16string NumberedPhoneName(const std::u16string& path, int64_t n) {
    const size_t slash = path.rfind(u'/');
    const size_t nameStart = slash == std::u16string::npos ? 0 : slash;
    const size_t dot = path.rfind(u'.');
    const size_t split = dot == std::u16string::npos || dot < nameStart ? path.size() : dot;
    return path.substr(0, split) + u"(" + platform::AsciiToUtf16(std::to_string(n).c_str()) + u")" +
           path.substr(split);
}

std::vector<CopyPass> BackupPlan(PathStyle style, int32_t category, const std::u16string& pcFolder,
                                 const std::u16string& phoneRoot) {
    switch (category) {
        case CBackupRestore::kMusic:
            return {{JoinPcPath(style, pcFolder, u"Music"), phoneRoot, {u"Music"}, nullptr, 100, {}, {}}};
        case CBackupRestore::kPhotosAndVideos:
            return {{JoinPcPath(style, pcFolder, u"Gallery"), phoneRoot, {u"Movies", u"Pictures", u"DCIM"},
                     nullptr, 100, {}, {}}};
        case CBackupRestore::kDocuments: {
            const std::u16string pcRoot = JoinPcPath(style, pcFolder, u"Document");
            // The second pass stores the phone's My Documents/Documents
            // content directly below the category folder.
            return {{pcRoot, phoneRoot, {u"Download", u"Downloads"}, &CBackupRestore::DocumentExtensions(), 50, {}, {}},
                    {pcRoot, JoinPhonePath(JoinPhonePath(phoneRoot, u"My Documents"), u"Documents"), {}, nullptr,
                     100, {}, {}}};
        }
        default:
            return {};
    }
}

std::vector<CopyPass> RestorePlan(PathStyle style, int32_t category, const std::u16string& pcFolder,
                                  const std::u16string& phoneRoot) {
    if (category != CBackupRestore::kDocuments) {
        std::vector<CopyPass> passes = BackupPlan(style, category, pcFolder, phoneRoot);
        for (CopyPass& pass : passes) pass.filter = nullptr;
        return passes;
    }
    const std::u16string pcRoot = JoinPcPath(style, pcFolder, u"Document");
    // The second pass reads what the backup's second pass wrote, the files
    // and folders directly below Document but for the folders of the first
    // pass, and after them Document\My Documents\Documents, where backup
    // folders of an older layout keep that content. Both go to the phone's
    // My Documents/Documents as one list, so the host still sees two passes;
    // of two files with one relative name the one directly below Document
    // goes up, whatever the conflict mode.
    return {{pcRoot, phoneRoot, {u"Download", u"Downloads"}, nullptr, 50, {}, {}},
            {pcRoot, JoinPhonePath(JoinPhonePath(phoneRoot, u"My Documents"), u"Documents"), {}, nullptr, 100,
             {u"Download", u"Downloads", u"My Documents"},
             JoinPcPath(style, JoinPcPath(style, pcRoot, u"My Documents"), u"Documents")}};
}

}  // namespace backup_paths

namespace {

PathStyle Native() { return platform::NativePathStyle(); }
std::string Utf8(const std::u16string& text) { return platform::Utf16ToUtf8(text); }

// True when path is not there, or is a file, or lies below a file. A probe
// that fails (Windows answers a path below a file so) looks at the folder
// above; when no probe answers, the folder counts as there and unreadable.
bool NoFolderCanBeThere(PathStyle style, const std::u16string& path) {
    for (std::u16string at = path; !at.empty();) {
        const platform::Probe probe = platform::ProbeEntry(at, nullptr);
        if (probe == platform::Probe::kAbsent) return true;
        if (probe == platform::Probe::kFound) return !platform::IsDirectory(at);
        const std::u16string parent = platform::ParentPart(style, at);
        if (parent == at) break;
        at = parent;
    }
    return false;
}

// skipped (may be null) names folders directly below folder that are not
// entered.
int32_t ListPcFolder(const std::u16string& folder, BackupFileList& list, const PhoneEndpoint::StopFlag* stop,
                     int depth, const pc_paths::RunNames* skipped = nullptr) {
    const PathStyle style = Native();
    const std::u16string root = backup_paths::AddLongPathPrefix(style, folder);
    if (depth > CBackupRestore::kMaxPcDepth) {
        QS_LOG_COMPONENT("CBackupRestore::GetAllFileListFromPC");
        return 0;
    }
    // The folder's entries are taken first and walked after its search is
    // closed, so a deep tree holds one open search at a time.
    std::vector<platform::DirEntry> entries;
    const platform::ListResult listed =
        platform::ListDirectory(root, [&entries](const platform::DirEntry& entry) { entries.push_back(entry); });
    if (listed == platform::ListResult::kCannotOpen) {
        QS_LOG_COMPONENT("CBackupRestore::GetAllFileListFromPC");
        // A folder that is not there, or cannot be there because a file
        // stands in its place or above it (a restore pass that reads the
        // file's folder takes the file), holds nothing to restore; one that
        // is there but cannot be read must not pass for an empty one.
        return NoFolderCanBeThere(style, root) ? 0 : CBackupRestore::kPcListFailed;
    }
    for (const platform::DirEntry& entry : entries) {
        if (stop != nullptr && stop->load() != 0) break;
        if (!entry.isDirectory) {
            list.Append({backup_paths::JoinPcPath(style, root, entry.name), entry.size});
        } else if (!entry.isLink && !entry.name.empty() && entry.name.front() != u'.' &&
                   (skipped == nullptr || !skipped->Taken(entry.name))) {
            // A linked folder is never entered: a link loop would never end.
            const int32_t below = ListPcFolder(backup_paths::JoinPcPath(style, root, entry.name), list, stop, depth + 1);
            if (below != 0) return below;
        }
    }
    if (listed == platform::ListResult::kReadFailed) {
        QS_LOG_COMPONENT("CBackupRestore::GetAllFileListFromPC");
        return CBackupRestore::kPcListFailed;
    }
    return 0;
}

// Phone folders as the backup walks them: no trailing "/", so that listed
// entries are checked and mapped against one form. The phone's root becomes
// the empty text.
std::u16string WithoutTrailingSlashes(const std::u16string& folder) {
    size_t end = folder.size();
    while (end > 0 && folder[end - 1] == u'/') --end;
    return folder.substr(0, end);
}

void Report(ProgressCallback callback, size_t j, int32_t scale, size_t n) {
    if (callback == nullptr) return;
    callback(static_cast<int32_t>(static_cast<int64_t>(j) * scale / static_cast<int64_t>(n)));
}

// The first numbered name (n = 2, 3, ...) for path, an existing phone file,
// that its folder does not hold and that is not among alsoTaken (full phone
// paths the run has settled on and may not have written yet). 0 and path
// replaced; 1 the folder could not be listed or path holds no "/" (logged,
// unchanged).
int32_t FreeNumberedName(const PhoneEndpoint& phone, std::u16string& path,
                         const std::set<std::u16string>& alsoTaken) {
    const size_t slash = path.rfind(u'/');
    if (slash == std::u16string::npos) {
        QS_LOG_COMPONENT("CBackupRestore::GetFileNameOnPhone");
        return CBackupRestore::kFailed;
    }
    const std::u16string folder = path.substr(0, slash);
    std::vector<RemoteFileInfo> records;
    const std::string listed = folder.empty() ? std::string("/") : Utf8(folder);
    if (CHttpFileAPI::EnumDir(phone.host.c_str(), phone.port, listed.c_str(), &records, phone.stop, false,
                              phone.timeout, phone.retry) != 0) {
        QS_LOG_COMPONENT("CBackupRestore::GetFileNameOnPhone");
        return CBackupRestore::kFailed;
    }
    // Names taken in the folder, files and folders alike, compared exactly.
    std::set<std::u16string> taken;
    for (const RemoteFileInfo& record : records) {
        const std::u16string name = platform::Utf8ToUtf16(record.FileName);
        const size_t at = name.rfind(u'/');
        taken.insert(at == std::u16string::npos ? name : name.substr(at));
    }
    const std::u16string name = path.substr(slash);
    // At most one candidate per name taken in the folder or by the run can
    // be taken, so this ends.
    for (int64_t n = 2;; ++n) {
        const std::u16string candidate = backup_paths::NumberedPhoneName(name, n);
        if (taken.count(candidate) == 0 && alsoTaken.count(folder + candidate) == 0) {
            path = folder + candidate;
            return 0;
        }
    }
}

// ---- Overlapped runs -------------------------------------------------------
//
// Both engines move up to FILE_API::kMaxWorkers files at once on a worker
// pool, each file's chunks five at a time, and take the files' outcomes on
// the export's thread in list order. There, and only there, a file counts
// as handled: a download is put under its name, progress is reported, and
// the stop flag is tested before the next file. So the host sees what one
// file at a time gives: the same progress values in the same order on the
// same thread, and after a stop or a failure at a file no later file of
// the list stands under its name. What the run moved beyond that point is
// removed again once every transfer has ended.
//
// The log reads the same way: what a file's work writes while it runs
// ahead of its turn is held for the file, written out in its turn, and
// dropped for the files the run never reached (but for the lines that name
// a file left behind).

// One file's transfer. The task writes result, then sets done; the export's
// thread reads result once it has seen done.
struct Transfer {
    bool started = false;  // handed to the pool
    bool handled = false;  // taken in its turn: it stays
    int32_t result = 0;    // 0: the whole file stands where the task put it
    std::atomic<bool> done{false};

    bool Complete() const { return started && done.load(std::memory_order_acquire) && result == 0; }
};

// Runs body as a pool task whose result goes into transfer and whose log
// lines are held in lines, for the file's turn. A file whose turn to start
// comes after the stop flag was raised is not started: it counts as
// stopped.
template <typename Body>
void StartTransfer(WorkerPool& pool, const PhoneEndpoint& phone, Transfer& transfer, qslog::HeldLines& lines,
                   const char* name, Body body) {
    transfer.started = true;
    pool.Submit([&phone, &transfer, &lines, name, body]() {
        int32_t result = CBackupRestore::kStopped;
        qslog::HoldLines hold(lines);
        try {
            if (!phone.Stopping()) result = body();
        } catch (...) {
            // Out of memory, say: the file fails as the engine fails on a
            // caught exception.
            try {
                QS_LOG_COMPONENT(name);
            } catch (...) {
            }
            result = CBackupRestore::kFailed;
        }
        transfer.result = result;
        transfer.done.store(true, std::memory_order_release);
        return 0;
    });
}

// Files a run may have started ahead of the one in its turn, done or not.
// While the file in its turn waits out a retry, the pool goes on moving the
// files behind it, up to this many: a backup's finished downloads wait as
// temporary files on the PC, a restore's finished uploads on the phone,
// each with the few log lines it held. So what a stop or a failure leaves
// to remove is bounded too. At most FILE_API::kMaxWorkers of them are
// under way at once.
constexpr size_t kLookAhead = 256;

// Waits on the export's thread until transfer has ended, calling refill
// after every wake (a task ended, or a poll passed) so that the files ahead
// keep the pool busy. A raised stop flag ends the transfer itself within a
// receive poll, so the wait ends too.
template <typename Refill>
void AwaitTransfer(WorkerPool& pool, const Transfer& transfer, Refill refill) {
    while (!transfer.done.load(std::memory_order_acquire)) {
        pool.Wait(FILE_API::kPollMs, pool.Unfinished());
        refill();
    }
}

bool Running(const Transfer& transfer) { return transfer.started && !transfer.done.load(std::memory_order_acquire); }

// One upload of a restore, decided on the export's thread.
struct RestoreFile {
    size_t index = 0;
    std::u16string target;  // the phone path the file goes to
    bool shared = false;    // an earlier file of the list goes to target too
    Transfer look;          // the stat of target, made ahead on the pool:
    int32_t stat = -1;      // its result (0 found, 1 absent, negative failed)
    bool decided = false;
    int32_t ends = 0;       // nonzero: the run ends at this file with it
    bool logAtTurn = false; // the engine's line for ends is written in its turn
    bool upload = false;
    bool replace = false;   // the phone's file is deleted in its turn, then uploaded
    CHttpFileAPI::UploadSource source;
    Transfer transfer;
    qslog::HeldLines lines; // of the stat, the decision and the upload, in that order
};

// Whatever uploads of a run ended complete but were never taken in their
// turn are deleted once the pool has joined them, five at a time, as they
// were made; only files this run wrote to free phone paths are ever
// deleted. A failed upload cleaned up after itself. A phone that stops
// answering would cost every delete its own time-out, so after
// kCleanUpBudget in all the rest are only named as left on the phone: a
// stopped run returns within seconds whatever the look-ahead left.
class RemoveUnhandledUploads {
public:
    RemoveUnhandledUploads(const PhoneEndpoint& phone, std::deque<RestoreFile>& files)
        : mPhone(phone), mFiles(files) {}
    ~RemoveUnhandledUploads() {
        static const char kName[] = "CBackupRestore::CopyPathFromPCToPhone";
        for (RestoreFile& file : mFiles) file.lines.Drop();
        try {
            const auto deadline = std::chrono::steady_clock::now() + kCleanUpBudget;
            WorkerPool pool(FILE_API::kMaxWorkers, kName);
            for (RestoreFile& file : mFiles) {
                if (!file.transfer.Complete() || file.transfer.handled) continue;
                pool.Submit([this, &file, deadline]() {
                    qslog::HoldLines hold(file.lines);
                    if (std::chrono::steady_clock::now() < deadline)
                        FILE_API::CleanUpPartialUpload(mPhone, Utf8(file.target), kName);
                    else
                        QS_LOG_PATH(kName, "partial file left on the phone:", Utf8(file.target));
                    return 0;
                });
            }
        } catch (...) {
            // Out of memory: the removals submitted have ended with the pool.
        }
        // One file at a time never made these uploads, nor their removal:
        // only a file that stays behind on the phone is worth a line.
        for (RestoreFile& file : mFiles) file.lines.Drop();
    }
    RemoveUnhandledUploads(const RemoveUnhandledUploads&) = delete;
    RemoveUnhandledUploads& operator=(const RemoveUnhandledUploads&) = delete;

private:
    static constexpr std::chrono::seconds kCleanUpBudget{10};
    const PhoneEndpoint& mPhone;
    std::deque<RestoreFile>& mFiles;
};

// What to do with one file of a restore, in list order, once its stat is
// back: open the PC file, pick a numbered name. claimed holds the phone
// paths earlier files of the run go to; one of them counts as existing
// whether or not its upload has arrived (or had when the stat was made), so
// two files never race for one name.
void DecideRestore(const PhoneEndpoint& phone, const std::u16string& pcFile, int32_t conflictMode,
                   std::set<std::u16string>& claimed, RestoreFile& file) {
    if (file.look.result != 0 || file.stat < 0) {
        // The phone did not say whether it has the file (or the stat was
        // never made): taking that for "absent" would write over it.
        file.ends = phone.Stopping() ? CBackupRestore::kStopped : CBackupRestore::kFailed;
        file.logAtTurn = true;
        return;
    }
    const bool exists = file.stat == 0 || claimed.count(file.target) != 0;
    // The PC file is opened before anything on the phone is replaced: one
    // that cannot be read must not cost the phone its copy.
    if (exists && conflictMode != 1 && conflictMode != 2) return;  // the phone's file stays
    const int32_t opened = CHttpFileAPI::OpenUploadSource(Utf8(pcFile).c_str(), file.source);
    if (opened != 0) {
        file.ends = opened;
        return;
    }
    if (exists && conflictMode == 1) {
        const int32_t renamed = FreeNumberedName(phone, file.target, claimed);
        if (renamed != 0) {
            file.ends = renamed;
            return;
        }
    }
    file.replace = exists && conflictMode == 2;
    file.upload = true;
    claimed.insert(file.target);
}

// A listed PC file's path below root (the long-path form the listing gives
// its entries), without leading separators.
std::u16string BelowPcRoot(PathStyle style, const std::u16string& entry, const std::u16string& root) {
    size_t at = backup_paths::AddLongPathPrefix(style, root).size();
    while (at < entry.size() && platform::IsPathSeparator(style, entry[at])) ++at;
    return at < entry.size() ? entry.substr(at) : std::u16string();
}

// The files of a restore pass in list order, and the phone path each goes
// to: those below the PC root's folders (or below the PC root but for its
// skipped folders), then those below the older PC root that the first ones
// do not already give. 0, or 1 when a listing failed (logged).
int32_t ListRestorePass(const PhoneEndpoint& phone, const backup_paths::CopyPass& pass, BackupFileList& list,
                        std::vector<std::u16string>& targets) {
    static const char kName[] = "CBackupRestore::CopyPathFromPCToPhone";
    const PathStyle style = Native();
    pc_paths::RunNames skipped(style);
    for (const std::u16string& name : pass.skipped) skipped.Take(name);
    std::vector<std::u16string> sources;
    if (pass.folders.empty()) sources.push_back(pass.pcRoot);
    for (const std::u16string& name : pass.folders) sources.push_back(backup_paths::JoinPcPath(style, pass.pcRoot, name));
    BackupFileList found;
    for (const std::u16string& source : sources) {
        if (ListPcFolder(source, found, phone.stop, 0, pass.folders.empty() ? &skipped : nullptr) != 0) {
            QS_LOG_COMPONENT(kName);
            return CBackupRestore::kFailed;
        }
    }
    pc_paths::RunNames given(style);  // relative names the PC root's files give
    for (size_t j = 0; j < found.GetCount(); ++j) {
        const BackupFileEntry& entry = found.GetAt(j);
        list.Append(entry);
        targets.push_back(backup_paths::MapPcToPhone(style, entry.mstrPath, pass.pcRoot, pass.phoneRoot));
        if (!pass.olderPcRoot.empty()) given.Take(BelowPcRoot(style, entry.mstrPath, pass.pcRoot));
    }
    if (pass.olderPcRoot.empty()) return 0;
    BackupFileList older;
    if (ListPcFolder(pass.olderPcRoot, older, phone.stop, 0) != 0) {
        QS_LOG_COMPONENT(kName);
        return CBackupRestore::kFailed;
    }
    for (size_t j = 0; j < older.GetCount(); ++j) {
        const BackupFileEntry& entry = older.GetAt(j);
        if (given.Taken(BelowPcRoot(style, entry.mstrPath, pass.olderPcRoot))) continue;
        list.Append(entry);
        targets.push_back(backup_paths::MapPcToPhone(style, entry.mstrPath, pass.olderPcRoot, pass.phoneRoot));
    }
    return 0;
}

int32_t RunRestore(const PhoneEndpoint& phone, const backup_paths::CopyPass& pass, int32_t conflictMode,
                   ProgressCallback callback) {
    static const char kName[] = "CBackupRestore::CopyPathFromPCToPhone";
    const PathStyle style = Native();
    const int32_t scale = pass.scale;
    BackupFileList list;
    std::vector<std::u16string> phoneTargets;  // of the list's files
    if (ListRestorePass(phone, pass, list, phoneTargets) != 0) return CBackupRestore::kFailed;

    const size_t n = list.GetCount();
    const size_t width = static_cast<size_t>(FILE_API::kMaxWorkers);
    std::set<std::u16string> claimed;
    std::deque<RestoreFile> files;  // looked at so far, in list order; never moved
    RemoveUnhandledUploads cleanUp(phone, files);
    WorkerPool pool(FILE_API::kMaxWorkers, kName);  // joined before the clean-up runs
    auto startUpload = [&](RestoreFile& file) {
        // The phone path was free or freed just before. A partial file is
        // cleaned up, or a later restore that keeps existing files would
        // keep the broken one for good.
        StartTransfer(pool, phone, file.transfer, file.lines, kName, [&phone, &file]() {
            const int32_t put = FILE_API::UploadToFreePath(phone, file.source, Utf8(file.target), kName);
            file.source = CHttpFileAPI::UploadSource();  // closed now, not when the run ends
            return put;
        });
    };
    // The files ahead of the one in its turn: their stats go out on the
    // pool, and they are decided as the stats come back; the uploads start
    // in list order as the pool has room. In keep-both mode the files are
    // decided in list order, as each numbered name depends on the names the
    // files before it took. Otherwise a file's decision depends on no other
    // file's unless they share a target, so it is made as soon as its stat
    // is back, and a stat that waits out a retry does not hold up the
    // uploads behind it. The first window's files are all decided before
    // the first upload starts. A replace waits for its turn, and nothing is
    // looked at past a file that ends the run. Decided uploads that wait for
    // room (each holds its PC file open) are at most as many as the pool's
    // width: no further stat goes out while they are.
    const bool decideAhead = conflictMode != 1;
    std::set<std::u16string> targets;  // of the files looked at
    size_t decided = 0;                // files[0, decided) are all decided
    size_t endAt = n;                  // the first decided file that ends the run
    auto decide = [&](RestoreFile& file) {
        qslog::HoldLines hold(file.lines);
        DecideRestore(phone, backup_paths::AddLongPathPrefix(style, list.GetAt(file.index).mstrPath), conflictMode,
                      claimed, file);
        file.decided = true;
        if (file.ends != 0 && file.index < endAt) endAt = file.index;
    };
    auto decideInOrder = [&](bool awaitAll) {
        for (; decided < files.size() && decided <= endAt; ++decided) {
            RestoreFile& file = files[decided];
            if (file.decided) continue;
            if (!awaitAll && !file.look.done.load(std::memory_order_acquire)) break;
            AwaitTransfer(pool, file.look, [] {});
            decide(file);
        }
    };
    auto startUploads = [&](size_t head, size_t& busy, bool anyWidth) {
        for (size_t k = head; k < files.size() && k < endAt; ++k) {
            RestoreFile& file = files[k];
            if (!file.decided || !file.upload || file.replace || file.transfer.started) continue;
            if (k > head && busy >= width && !anyWidth) break;
            startUpload(file);
            ++busy;
        }
    };
    auto lookFurther = [&](size_t head, size_t& busy, size_t waiting) {
        while (files.size() < endAt && files.size() < head + kLookAhead && busy < width && waiting < width &&
               !phone.Stopping()) {
            files.emplace_back();
            RestoreFile& file = files.back();
            file.index = files.size() - 1;
            file.target = phoneTargets[file.index];
            file.shared = !targets.insert(file.target).second;
            StartTransfer(pool, phone, file.look, file.lines, kName, [&phone, &file]() {
                RemoteFileInfo found;
                file.stat = CHttpFileAPI::GetInfo(phone.host.c_str(), phone.port, Utf8(file.target).c_str(), &found,
                                                  phone.stop, phone.timeout, phone.retry);
                return 0;
            });
            ++busy;
        }
    };
    auto fill = [&](size_t head) {
        size_t busy = 0;
        for (size_t k = head; k < files.size(); ++k)
            busy += Running(files[k].look) || Running(files[k].transfer) ? 1 : 0;
        if (files.empty()) {
            lookFurther(head, busy, 0);
            decideInOrder(true);
            startUploads(head, busy, true);
            return;
        }
        decideInOrder(false);
        if (decideAhead)
            for (size_t k = decided; k < files.size() && k < endAt; ++k) {
                RestoreFile& file = files[k];
                if (!file.decided && !file.shared && file.look.done.load(std::memory_order_acquire)) decide(file);
            }
        startUploads(head, busy, false);
        size_t waiting = 0;
        for (size_t k = head; k < files.size(); ++k)
            waiting += files[k].decided && files[k].upload && !files[k].transfer.started ? 1 : 0;
        lookFurther(head, busy, waiting);
    };

    for (size_t j = 0; j < n; ++j) {
        if (phone.Stopping()) return CBackupRestore::kStopped;
        fill(j);
        if (decided <= j && j < files.size()) {
            // Its stat is not back (a retry, say): the files behind it go on.
            AwaitTransfer(pool, files[j].look, [&] { fill(j); });
            fill(j);
        }
        if (decided <= j) return CBackupRestore::kStopped;  // raised while looking ahead
        RestoreFile& file = files[j];
        // The stat's and the decision's lines; a running upload is still
        // adding its own, which follow once it has ended.
        if (!file.upload || file.replace) file.lines.Write();
        if (file.ends != 0) {
            if (file.logAtTurn) QS_LOG_COMPONENT(kName);
            return file.ends;
        }
        if (file.replace) {
            // Everything before it succeeded: only now may the phone's copy go.
            if (CHttpFileAPI::DeleteFileW(phone.host.c_str(), phone.port, Utf8(file.target).c_str(), phone.stop,
                                          phone.timeout, phone.retry) != 0) {
                QS_LOG_COMPONENT(kName);
                return CBackupRestore::kFailed;
            }
            startUpload(file);
        }
        if (file.upload) {
            if (!file.transfer.started) startUpload(file);
            AwaitTransfer(pool, file.transfer, [&] { fill(j); });
            file.lines.Write();
            if (file.transfer.result != 0) return file.transfer.result;
            file.transfer.handled = true;
        }
        Report(callback, j, scale, n);
    }
    return 0;
}

// One download of a backup, planned on the export's thread in list order.
struct BackupFile {
    size_t index = 0;
    bool refused = false;      // never written: logged in its turn
    std::string source;        // the phone path, UTF-8
    std::u16string target;     // the PC file, prefixed
    std::u16string temporary;  // where the download waits for its turn
    Transfer transfer;
    qslog::HeldLines lines;    // of the download
};

// Removes the downloads of a run that ended complete but were never put
// under their names, once the pool has joined them.
class RemoveUnhandledDownloads {
public:
    explicit RemoveUnhandledDownloads(std::deque<BackupFile>& files) : mFiles(files) {}
    ~RemoveUnhandledDownloads() {
        for (BackupFile& file : mFiles) {
            file.lines.Drop();
            if (!file.transfer.Complete() || file.transfer.handled) continue;
            try {
                if (!platform::RemoveFile(file.temporary))
                    QS_LOG_PATH("CBackupRestore::CopyPathFromPhoneToPC", "temporary file left behind:",
                                Utf8(file.temporary));
            } catch (...) {
            }
        }
    }
    RemoveUnhandledDownloads(const RemoveUnhandledDownloads&) = delete;
    RemoveUnhandledDownloads& operator=(const RemoveUnhandledDownloads&) = delete;

private:
    std::deque<BackupFile>& mFiles;
};

// The folder part of a PC path (empty for a bare name).
std::u16string FolderOf(const std::u16string& path) {
    size_t k = path.size();
    while (k > 0 && !platform::IsPathSeparator(Native(), path[k - 1])) --k;
    return k == 0 ? std::u16string() : path.substr(0, k - 1);
}

int32_t RunBackup(const PhoneEndpoint& phone, const std::u16string& phoneRoot, const std::u16string& pcRoot,
                  const std::vector<std::u16string>& folders, ProgressCallback callback,
                  const BackupExtensions* filter, int32_t scale,
                  pc_paths::RunNames* taken) {
    static const char kName[] = "CBackupRestore::CopyPathFromPhoneToPC";
    const PathStyle style = Native();
    const std::u16string root = WithoutTrailingSlashes(phoneRoot);
    // Each listed folder with the index just past its last entry: an entry
    // is accepted only below the folder whose listing delivered it.
    std::vector<std::pair<std::u16string, size_t>> listed;
    BackupFileList list;
    std::vector<std::u16string> sources;
    if (folders.empty()) sources.push_back(root);
    for (const std::u16string& name : folders) sources.push_back(backup_paths::JoinPhonePath(root, name));
    for (const std::u16string& source : sources) {
        if (CBackupRestore::GetAllFileListFromPhone(phone, source.empty() ? u"/" : source, list) != 0) {
            QS_LOG_COMPONENT(kName);
            return CBackupRestore::kFailed;
        }
        listed.emplace_back(source, list.GetCount());
    }

    // The files to copy, in list order, with their PC names: names are
    // settled here, as one file at a time settles them.
    const size_t n = list.GetCount();
    std::deque<BackupFile> files;  // never moved: tasks hold references
    size_t folder = 0;
    for (size_t j = 0; j < n; ++j) {
        while (j >= listed[folder].second) ++folder;
        const BackupFileEntry& entry = list.GetAt(j);
        if (filter != nullptr && !backup_paths::HasListedExtension(entry.mstrPath, *filter)) continue;
        files.emplace_back();
        BackupFile& file = files.back();
        file.index = j;
        std::u16string below;
        if (!pc_paths::RelativeBelow(style, entry.mstrPath, listed[folder].first, below)) {
            // Never written: it would land outside the PC folder, or cannot
            // be a PC file name. The rest is copied; the run reports that
            // the backup is incomplete.
            file.refused = true;
            continue;
        }
        file.source = Utf8(entry.mstrPath);
        file.target = backup_paths::MapPhoneToPc(style, entry.mstrPath, root, pcRoot);
        if (taken != nullptr) {
            const std::u16string mapped = file.target;
            for (int k = 2; taken->Taken(file.target); ++k) file.target = pc_paths::NumberedName(style, mapped, k);
            taken->Take(file.target);
        }
    }

    const size_t width = static_cast<size_t>(FILE_API::kMaxWorkers);
    std::set<std::u16string> present;  // PC folders known to exist
    auto folderPresent = [&](const std::u16string& target) {
        const std::u16string parent = FolderOf(target);
        if (parent.empty() || present.count(parent) != 0) return true;
        if (!FILE_API::LocalDirExists(parent)) return false;
        present.insert(parent);
        return true;
    };
    RemoveUnhandledDownloads cleanUp(files);
    WorkerPool pool(FILE_API::kMaxWorkers, kName);  // joined before the clean-up runs
    auto startDownload = [&](BackupFile& file) {
        // The download is put under its name in its turn: an earlier copy
        // of this file stays intact until then.
        file.temporary = platform::TemporarySiblingName(file.target);
        StartTransfer(pool, phone, file.transfer, file.lines, kName, [&phone, &file]() {
            return CHttpFileAPI::GetFile(phone.host.c_str(), phone.port, file.source.c_str(),
                                         Utf8(file.temporary).c_str(), phone.stop, phone.timeout, phone.retry);
        });
    };
    size_t next = 0;  // the first file not yet looked at for starting
    bool handledOne = false;
    bool refused = false;
    for (size_t head = 0; head < files.size(); ++head) {
        if (phone.Stopping()) return CBackupRestore::kStopped;
        BackupFile& file = files[head];
        if (file.refused) {
            QS_LOG_COMPONENT(kName);
            refused = true;
            continue;
        }
        if (!file.transfer.started) {
            // Its folder is made in its turn, as one file at a time makes it;
            // a folder not made shows up as a failing download.
            FILE_API::EnsureParentDir(file.target);
            startDownload(file);
        }
        // The files ahead start whose folders are there; the first whose
        // folder is missing waits for its turn, so that no folder is made
        // for a file beyond a stop or a failure. Until one file has been
        // handled the run moves one file at a time: a run of one or two
        // files sends its requests in the order one file at a time sends
        // them, and a phone that fails the first file costs no more.
        if (next <= head) next = head + 1;
        auto startAhead = [&] {
            if (!handledOne) return;
            size_t running = 0;
            for (size_t k = head; k < next; ++k) running += Running(files[k].transfer) ? 1 : 0;
            for (; next < files.size() && next < head + kLookAhead && running < width && !phone.Stopping(); ++next) {
                BackupFile& ahead = files[next];
                if (ahead.refused) continue;
                if (!folderPresent(ahead.target)) break;
                startDownload(ahead);
                ++running;
            }
        };
        startAhead();
        AwaitTransfer(pool, file.transfer, startAhead);
        file.lines.Write();
        if (file.transfer.result != 0) return file.transfer.result;
        if (!platform::ReplaceFileWith(file.temporary, file.target)) {
            QS_LOG_COMPONENT(kName);
            return -7;  // as a download that could not be moved into place
        }
        file.transfer.handled = true;
        handledOne = true;
        Report(callback, file.index, scale, n);
    }
    // Entries after the last file (filtered out) are passed only when no
    // stop came.
    const size_t passed = files.empty() ? 0 : files.back().index + 1;
    if (passed < n && phone.Stopping()) return CBackupRestore::kStopped;
    return refused ? CBackupRestore::kFailed : 0;
}

template <typename Body>
int32_t Guarded(const char* function, Body body) {
    try {
        return body();
    } catch (...) {
        QS_LOG_COMPONENT(function);
        return CBackupRestore::kFailed;
    }
}

int32_t RunBackupPlan(const PhoneEndpoint& phone, const char* function, int32_t category, const std::u16string& phoneRoot,
                      const std::u16string& pcFolder, ProgressCallback callback) {
    return Guarded(function, [&]() {
        pc_paths::RunNames taken(Native());
        for (const backup_paths::CopyPass& pass : backup_paths::BackupPlan(Native(), category, pcFolder, phoneRoot)) {
            const int32_t result = CBackupRestore::CopyPathFromPhoneToPC(phone, pass.phoneRoot, pass.pcRoot,
                                                                        pass.folders, callback, pass.filter,
                                                                        pass.scale, &taken);
            if (result != 0) return result;  // a failed pass ends the category
        }
        return 0;
    });
}

int32_t RunRestorePlan(const PhoneEndpoint& phone, const char* function, int32_t category, const std::u16string& pcFolder,
                       const std::u16string& phoneRoot, int32_t conflictMode, ProgressCallback callback) {
    return Guarded(function, [&]() {
        for (const backup_paths::CopyPass& pass : backup_paths::RestorePlan(Native(), category, pcFolder, phoneRoot)) {
            const int32_t result = CBackupRestore::CopyPathFromPCToPhone(phone, pass, conflictMode, callback);
            if (result != 0) return result;
        }
        return 0;
    });
}

}  // namespace

const BackupExtensions& CBackupRestore::DocumentExtensions() {
    static const BackupExtensions extensions = [] {
        BackupExtensions list;
        const std::u16string all = platform::Utf8ToUtf16(QS_BACKUP_DOCUMENT_EXTENSIONS);
        for (size_t start = 0, end; (end = all.find(u';', start)) != std::u16string::npos; start = end + 1)
            list.push_back(all.substr(start, end - start));
        return list;
    }();
    return extensions;
}

std::u16string CBackupRestore::JoinPcPath(const std::u16string& folder, const std::u16string& name) {
    return backup_paths::JoinPcPath(Native(), folder, name);
}

std::u16string CBackupRestore::JoinPhonePath(const std::u16string& folder, const std::u16string& name) {
    return backup_paths::JoinPhonePath(folder, name);
}

std::u16string CBackupRestore::AddLongPathPrefix(const std::u16string& path) {
    return backup_paths::AddLongPathPrefix(Native(), path);
}

bool CBackupRestore::HasListedExtension(const std::u16string& path, const BackupExtensions& extensions) {
    return backup_paths::HasListedExtension(path, extensions);
}

int32_t CBackupRestore::GetAllFileListFromPC(const std::u16string& folder, BackupFileList& list,
                                             const PhoneEndpoint::StopFlag* stop) {
    return ListPcFolder(folder, list, stop, 0);
}

int32_t CBackupRestore::GetAllFileListFromPhone(const PhoneEndpoint& phone, const std::u16string& folder,
                                                BackupFileList& list) {
    std::vector<RemoteFileInfo> records;
    if (CHttpFileAPI::EnumDir(phone.host.c_str(), phone.port, Utf8(folder).c_str(), &records, phone.stop, true,
                              phone.timeout, phone.retry) != 0) {
        QS_LOG_COMPONENT("CBackupRestore::GetAllFileListFromPhone");
        return kFailed;
    }
    for (auto record = records.rbegin(); record != records.rend(); ++record) {
        if (record->mnIsFile == 0) continue;
        list.Append({platform::Utf8ToUtf16(record->FileName), static_cast<int64_t>(record->mnFileSize)});
    }
    return 0;
}

int32_t CBackupRestore::GetFileNameOnPhone(const PhoneEndpoint& phone, std::u16string& path) {
    return FreeNumberedName(phone, path, {});
}

int32_t CBackupRestore::CopyPathFromPCToPhone(const PhoneEndpoint& phone, const std::u16string& pcRoot, const std::u16string& phoneRoot,
                                              const std::vector<std::u16string>& folders, int32_t conflictMode,
                                              ProgressCallback callback, int32_t scale) {
    return Guarded("CBackupRestore::CopyPathFromPCToPhone", [&]() {
        backup_paths::CopyPass pass;
        pass.pcRoot = pcRoot;
        pass.phoneRoot = phoneRoot;
        pass.folders = folders;
        pass.scale = scale;
        return RunRestore(phone, pass, conflictMode, callback);
    });
}

int32_t CBackupRestore::CopyPathFromPCToPhone(const PhoneEndpoint& phone, const backup_paths::CopyPass& pass,
                                              int32_t conflictMode, ProgressCallback callback) {
    return Guarded("CBackupRestore::CopyPathFromPCToPhone",
                   [&]() { return RunRestore(phone, pass, conflictMode, callback); });
}

int32_t CBackupRestore::CopyPathFromPhoneToPC(const PhoneEndpoint& phone, const std::u16string& phoneRoot, const std::u16string& pcRoot,
                                              const std::vector<std::u16string>& folders, ProgressCallback callback,
                                              const BackupExtensions* filter, int32_t scale,
                                              pc_paths::RunNames* taken) {
    return Guarded("CBackupRestore::CopyPathFromPhoneToPC",
                   [&]() { return RunBackup(phone, phoneRoot, pcRoot, folders, callback, filter, scale, taken); });
}

int32_t CBackupRestore::BackupMusic(const PhoneEndpoint& phone, const std::u16string& phoneRoot,
                                    const std::u16string& pcFolder, ProgressCallback callback) {
    return RunBackupPlan(phone, "CBackupRestore::BackupMusic", kMusic, phoneRoot, pcFolder, callback);
}

int32_t CBackupRestore::BackupPhotosAndVideos(const PhoneEndpoint& phone, const std::u16string& phoneRoot,
                                              const std::u16string& pcFolder, ProgressCallback callback) {
    return RunBackupPlan(phone, "CBackupRestore::BackupPhotosAndVideos", kPhotosAndVideos, phoneRoot, pcFolder, callback);
}

int32_t CBackupRestore::BackupDocument(const PhoneEndpoint& phone, const std::u16string& phoneRoot,
                                       const std::u16string& pcFolder, ProgressCallback callback) {
    return RunBackupPlan(phone, "CBackupRestore::BackupDocument", kDocuments, phoneRoot, pcFolder, callback);
}

int32_t CBackupRestore::RestoreMusic(const PhoneEndpoint& phone, const std::u16string& pcFolder,
                                     const std::u16string& phoneRoot, int32_t conflictMode,
                                     ProgressCallback callback) {
    return RunRestorePlan(phone, "CBackupRestore::RestoreMusic", kMusic, pcFolder, phoneRoot, conflictMode, callback);
}

int32_t CBackupRestore::RestorePhotosAndVideos(const PhoneEndpoint& phone, const std::u16string& pcFolder,
                                               const std::u16string& phoneRoot, int32_t conflictMode,
                                               ProgressCallback callback) {
    return RunRestorePlan(phone, "CBackupRestore::RestorePhotosAndVideos", kPhotosAndVideos, pcFolder, phoneRoot,
                          conflictMode, callback);
}

int32_t CBackupRestore::RestoreDocument(const PhoneEndpoint& phone, const std::u16string& pcFolder,
                                        const std::u16string& phoneRoot, int32_t conflictMode,
                                        ProgressCallback callback) {
    return RunRestorePlan(phone, "CBackupRestore::RestoreDocument", kDocuments, pcFolder, phoneRoot, conflictMode,
                          callback);
}
