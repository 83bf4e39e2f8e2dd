#include "backup/BackupRestore.h"

#include <set>
#include <string>
#include <utility>

#include "fileapi/FileApi.h"
#include "filesync/HttpFileAPI.h"
#include "log/Log.h"
#include "platform/dir.h"
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
            return {{JoinPcPath(style, pcFolder, u"Music"), phoneRoot, {u"Music"}, nullptr, 100}};
        case CBackupRestore::kPhotosAndVideos:
            return {{JoinPcPath(style, pcFolder, u"Gallery"), phoneRoot, {u"Movies", u"Pictures", u"DCIM"},
                     nullptr, 100}};
        case CBackupRestore::kDocuments: {
            const std::u16string pcRoot = JoinPcPath(style, pcFolder, u"Document");
            // The second pass stores the phone's My Documents/Documents
            // content directly below the category folder.
            return {{pcRoot, phoneRoot, {u"Download", u"Downloads"}, &CBackupRestore::DocumentExtensions(), 50},
                    {pcRoot, JoinPhonePath(JoinPhonePath(phoneRoot, u"My Documents"), u"Documents"), {}, nullptr,
                     100}};
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
    // The second pass reads Document\My Documents\Documents, unlike the
    // backup's second pass; backup folders of either layout exist.
    return {{pcRoot, phoneRoot, {u"Download", u"Downloads"}, nullptr, 50},
            {JoinPcPath(style, JoinPcPath(style, pcRoot, u"My Documents"), u"Documents"),
             JoinPhonePath(JoinPhonePath(phoneRoot, u"My Documents"), u"Documents"), {}, nullptr, 100}};
}

}  // namespace backup_paths

namespace {

PathStyle Native() { return platform::NativePathStyle(); }
std::string Utf8(const std::u16string& text) { return platform::Utf16ToUtf8(text); }

int32_t ListPcFolder(const std::u16string& folder, BackupFileList& list, const PhoneEndpoint::StopFlag* stop,
                     int depth) {
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
        // A folder that is not there holds nothing to restore; one that is
        // there but cannot be read must not pass for an empty one.
        return platform::ProbeEntry(root, nullptr) == platform::Probe::kAbsent ? 0 : CBackupRestore::kPcListFailed;
    }
    for (const platform::DirEntry& entry : entries) {
        if (stop != nullptr && stop->load() != 0) break;
        if (!entry.isDirectory) {
            list.Append({backup_paths::JoinPcPath(style, root, entry.name), entry.size});
        } else if (!entry.isLink && !entry.name.empty() && entry.name.front() != u'.') {
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

int32_t RunRestore(const PhoneEndpoint& phone, const std::u16string& pcRoot, const std::u16string& phoneRoot,
                   const std::vector<std::u16string>& folders, int32_t conflictMode, ProgressCallback callback,
                   int32_t scale) {
    const PathStyle style = Native();
    BackupFileList list;
    std::vector<std::u16string> sources;
    if (folders.empty()) sources.push_back(pcRoot);
    for (const std::u16string& name : folders) sources.push_back(backup_paths::JoinPcPath(style, pcRoot, name));
    for (const std::u16string& source : sources) {
        if (CBackupRestore::GetAllFileListFromPC(source, list, phone.stop) != 0) {
            QS_LOG_COMPONENT("CBackupRestore::CopyPathFromPCToPhone");
            return CBackupRestore::kFailed;
        }
    }

    const size_t n = list.GetCount();
    for (size_t j = 0; j < n; ++j) {
        if (phone.Stopping()) return CBackupRestore::kStopped;
        const BackupFileEntry& entry = list.GetAt(j);
        std::u16string phonePath = backup_paths::MapPcToPhone(style, entry.mstrPath, pcRoot, phoneRoot);
        const std::u16string pcFile = backup_paths::AddLongPathPrefix(style, entry.mstrPath);
        bool upload = true;
        RemoteFileInfo found;
        const int32_t stat = CHttpFileAPI::GetInfo(phone.host.c_str(), phone.port, Utf8(phonePath).c_str(), &found,
                                                   phone.stop, phone.timeout, phone.retry);
        if (stat < 0) {
            // The phone did not say whether it has the file: taking that for
            // "absent" would write over it.
            QS_LOG_COMPONENT("CBackupRestore::CopyPathFromPCToPhone");
            return phone.Stopping() ? CBackupRestore::kStopped : CBackupRestore::kFailed;
        }
        // The PC file is opened before anything on the phone is replaced: one
        // that cannot be read must not cost the phone its copy.
        CHttpFileAPI::UploadSource source;
        const bool keepsPhoneFile = stat == 0 && conflictMode != 1 && conflictMode != 2;
        if (!keepsPhoneFile) {
            const int32_t opened = CHttpFileAPI::OpenUploadSource(Utf8(pcFile).c_str(), source);
            if (opened != 0) return opened;
        }
        if (stat == 0) {
            if (conflictMode == 1) {
                const int32_t renamed = CBackupRestore::GetFileNameOnPhone(phone, phonePath);
                if (renamed != 0) return renamed;
            } else if (conflictMode == 2) {
                if (CHttpFileAPI::DeleteFileW(phone.host.c_str(), phone.port, Utf8(phonePath).c_str(), phone.stop,
                                              phone.timeout, phone.retry) != 0) {
                    QS_LOG_COMPONENT("CBackupRestore::CopyPathFromPCToPhone");
                    return CBackupRestore::kFailed;
                }
            } else {
                upload = false;  // the phone's file stays
            }
        }
        if (upload) {
            // The phone path was free or freed just before. A partial file
            // is cleaned up, or a later restore that keeps existing files
            // would keep the broken one for good.
            const int32_t put = FILE_API::UploadToFreePath(phone, source, Utf8(phonePath),
                                                           "CBackupRestore::CopyPathFromPCToPhone");
            if (put != 0) return put;
        }
        Report(callback, j, scale, n);
    }
    return 0;
}

int32_t RunBackup(const PhoneEndpoint& phone, const std::u16string& phoneRoot, const std::u16string& pcRoot,
                  const std::vector<std::u16string>& folders, ProgressCallback callback,
                  const BackupExtensions* filter, int32_t scale,
                  pc_paths::RunNames* taken) {
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
            QS_LOG_COMPONENT("CBackupRestore::CopyPathFromPhoneToPC");
            return CBackupRestore::kFailed;
        }
        listed.emplace_back(source, list.GetCount());
    }

    const size_t n = list.GetCount();
    size_t folder = 0;
    bool refused = false;
    for (size_t j = 0; j < n; ++j) {
        if (phone.Stopping()) return CBackupRestore::kStopped;
        while (j >= listed[folder].second) ++folder;
        const BackupFileEntry& entry = list.GetAt(j);
        if (filter != nullptr && !backup_paths::HasListedExtension(entry.mstrPath, *filter)) continue;
        std::u16string below;
        if (!pc_paths::RelativeBelow(style, entry.mstrPath, listed[folder].first, below)) {
            // Never written: it would land outside the PC folder, or cannot
            // be a PC file name. The rest is copied; the run reports that
            // the backup is incomplete.
            QS_LOG_COMPONENT("CBackupRestore::CopyPathFromPhoneToPC");
            refused = true;
            continue;
        }
        std::u16string pcFile = backup_paths::MapPhoneToPc(style, entry.mstrPath, root, pcRoot);
        if (taken != nullptr) {
            const std::u16string mapped = pcFile;
            for (int n = 2; taken->Taken(pcFile); ++n) pcFile = pc_paths::NumberedName(style, mapped, n);
            taken->Take(pcFile);
        }
        FILE_API::EnsureParentDir(pcFile);  // a folder not made shows up as a failing download
        // The download goes through a temporary file: an earlier copy of
        // this file stays intact until the new one is complete.
        const int32_t got = CHttpFileAPI::GetFile(phone.host.c_str(), phone.port, Utf8(entry.mstrPath).c_str(),
                                                  Utf8(pcFile).c_str(), phone.stop, phone.timeout, phone.retry);
        if (got != 0) return got;
        Report(callback, j, scale, n);
    }
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
            const int32_t result = CBackupRestore::CopyPathFromPCToPhone(phone, pass.pcRoot, pass.phoneRoot,
                                                                        pass.folders, conflictMode, callback,
                                                                        pass.scale);
            if (result != 0) return result;
        }
        return 0;
    });
}

}  // namespace

const BackupExtensions& CBackupRestore::DocumentExtensions() {
    static const BackupExtensions extensions{u".doc", u".docx", u".xls", u".xlsx",
                                             u".ppt", u".pptx", u".pdf", u".txt"};
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
    const size_t slash = path.rfind(u'/');
    if (slash == std::u16string::npos) {
        QS_LOG_COMPONENT("CBackupRestore::GetFileNameOnPhone");
        return kFailed;
    }
    const std::u16string folder = path.substr(0, slash);
    std::vector<RemoteFileInfo> records;
    const std::string listed = folder.empty() ? std::string("/") : Utf8(folder);
    if (CHttpFileAPI::EnumDir(phone.host.c_str(), phone.port, listed.c_str(), &records, phone.stop, false,
                              phone.timeout, phone.retry) != 0) {
        QS_LOG_COMPONENT("CBackupRestore::GetFileNameOnPhone");
        return kFailed;
    }
    // Names taken in the folder, files and folders alike, compared exactly.
    std::set<std::u16string> taken;
    for (const RemoteFileInfo& record : records) {
        const std::u16string name = platform::Utf8ToUtf16(record.FileName);
        const size_t at = name.rfind(u'/');
        taken.insert(at == std::u16string::npos ? name : name.substr(at));
    }
    const std::u16string name = path.substr(slash);
    // At most one candidate per taken name can be taken, so this ends.
    for (int64_t n = 2;; ++n) {
        const std::u16string candidate = backup_paths::NumberedPhoneName(name, n);
        if (taken.count(candidate) == 0) {
            path = folder + candidate;
            return 0;
        }
    }
}

int32_t CBackupRestore::CopyPathFromPCToPhone(const PhoneEndpoint& phone, const std::u16string& pcRoot, const std::u16string& phoneRoot,
                                              const std::vector<std::u16string>& folders, int32_t conflictMode,
                                              ProgressCallback callback, int32_t scale) {
    return Guarded("CBackupRestore::CopyPathFromPCToPhone",
                   [&]() { return RunRestore(phone, pcRoot, phoneRoot, folders, conflictMode, callback, scale); });
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
