#include "fileapi/FileApi.h"

#include <limits>

#include "context/Progress.h"
#include "log/Log.h"
#include "platform/dir.h"
#include "platform/host_memory.h"
#include "platform/utf.h"
#include "pool/WorkerPool.h"

namespace {

// Folder operations always send the folder with one trailing "/".
std::string AsFolder(const std::string& folder) {
    if (!folder.empty() && folder.back() == '/') return folder;
    return folder + "/";
}

}  // namespace

bool FILE_API_PHONE::PhoneFileExist(const PhoneEndpoint& phone, const std::string& path) {
    RemoteFileInfo info;
    const int32_t result =
        CHttpFileAPI::GetInfo(phone.host.c_str(), phone.port, path.c_str(), &info, phone.stop, phone.timeout,
                              phone.retry);
    if (result == 0) return true;
    if (result != 1) QS_LOG_COMPONENT("FILE_API_PHONE::PhoneFileExist");
    return false;
}

int64_t FILE_API_PHONE::PhoneGetFileSize(const PhoneEndpoint& phone, const std::string& path) {
    RemoteFileInfo info;
    const int32_t result =
        CHttpFileAPI::GetInfo(phone.host.c_str(), phone.port, path.c_str(), &info, phone.stop, phone.timeout,
                              phone.retry);
    if (result != 0 || info.mnFileSize > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        QS_LOG_COMPONENT("FILE_API_PHONE::PhoneGetFileSize");
        return -1;
    }
    return static_cast<int64_t>(info.mnFileSize);
}

bool FILE_API_PHONE::PhoneDeleteFile(const PhoneEndpoint& phone, const std::string& path) {
    return CHttpFileAPI::DeleteFileW(phone.host.c_str(), phone.port, path.c_str(), phone.stop, phone.timeout,
                                     phone.retry) == 0;
}

int32_t FILE_API_PHONE::PhoneDeletePath(const PhoneEndpoint& phone, const std::string& folder) {
    const std::string sent = AsFolder(folder);
    if (CHttpFileAPI::DeletePath(phone.host.c_str(), phone.port, sent.c_str(), phone.stop, phone.timeout,
                                 phone.retry) != 0) {
        QS_LOG_COMPONENT("FILE_API_PHONE::PhoneDeletePath");
        return -4;
    }
    return 0;
}

int32_t FILE_API_PHONE::PhoneDeleteEmptyPath(const PhoneEndpoint& phone, const std::string& folder) {
    const std::string sent = AsFolder(folder);
    return CHttpFileAPI::DeleteEmptyPath(phone.host.c_str(), phone.port, sent.c_str(), phone.stop, phone.timeout,
                                         phone.retry);
}

int32_t FILE_API_PHONE::ScanSingleMediaFile(const PhoneEndpoint& phone, const std::string& path,
                                            MediaScanEntry* out) {
    const std::vector<std::string> paths{path};
    std::vector<MediaScanEntry> answers;
    if (CHttpFileAPI::ScanMediaFile(phone.host.c_str(), phone.port, paths, &answers, phone.stop, phone.timeout,
                                    phone.retry) != 0) {
        QS_LOG_COMPONENT("FILE_API_PHONE::ScanSingleMediaFile");
        return -1;
    }
    if (answers.empty()) {
        QS_LOG_COMPONENT("FILE_API_PHONE::ScanSingleMediaFile");
        return -2;
    }
    if (out != nullptr) *out = answers.front();
    return 0;
}

int32_t FILE_API_PHONE::ScanListMediaFile(const PhoneEndpoint& phone, const std::vector<std::string>& paths,
                                          std::vector<MediaScanEntry>* answers) {
    if (CHttpFileAPI::ScanMediaFile(phone.host.c_str(), phone.port, paths, answers, phone.stop, phone.timeout,
                                    phone.retry) != 0) {
        QS_LOG_COMPONENT("FILE_API_PHONE::ScanListMediaFile");
        return -1;
    }
    return 0;
}

// ---- FILE_API ---------------------------------------------------------------

namespace {

using platform::PathStyle;

bool IsWindowsNameChar(char16_t c) {
    if (c < 32) return false;
    switch (c) {
        case u'<': case u'>': case u':': case u'"': case u'/': case u'\\': case u'|': case u'?':
        case u'*':
            return false;
        default:
            return true;
    }
}

// Bidirectional controls reorder what a name shows: "doc\u202Egpj.exe"
// looks like a picture and is a program.
bool IsBidiControl(char16_t c) { return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069); }

}  // namespace

namespace pc_paths {

char16_t WindowsCaseFold(char16_t c) {
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) ||
        (c >= 0x430 && c <= 0x44F))
        return static_cast<char16_t>(c - 0x20);
    if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
    return c;
}

}  // namespace pc_paths

namespace {

// CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9 in any case, for the part before
// the first "." with trailing blanks removed: Windows takes such a name for
// a device, and under the long-path prefix it becomes a file most tools can
// neither open nor delete.
bool IsReservedDeviceName(const std::u16string& segment) {
    std::u16string stem = segment.substr(0, segment.find(u'.'));
    while (!stem.empty() && stem.back() == u' ') stem.pop_back();
    for (char16_t& c : stem) c = pc_paths::WindowsCaseFold(c);
    if (stem == u"CON" || stem == u"PRN" || stem == u"AUX" || stem == u"NUL") return true;
    return stem.size() == 4 && (stem.compare(0, 3, u"COM") == 0 || stem.compare(0, 3, u"LPT") == 0) &&
           stem[3] >= u'1' && stem[3] <= u'9';
}

bool SegmentAllowed(PathStyle style, const std::u16string& segment) {
    if (segment.empty() || segment == u"." || segment == u"..") return false;
    if (style == PathStyle::kPosix) return segment.find(u'\0') == std::u16string::npos;
    for (char16_t c : segment)
        if (!IsWindowsNameChar(c) || IsBidiControl(c)) return false;
    // Windows drops a trailing dot or blank from a name, so such a name
    // would land on another file's name.
    return segment.back() != u'.' && segment.back() != u' ' && !IsReservedDeviceName(segment);
}

}  // namespace

namespace pc_paths {

std::string BuildPhonePath(PathStyle style, const std::string& pcPath, const std::string& phoneFolder) {
    if (style == PathStyle::kPosix) {
        size_t skip = 0;
        while (skip < pcPath.size() && pcPath[skip] == '/') ++skip;
        return phoneFolder + "/" + pcPath.substr(skip);
    }
    std::u16string joined = platform::Utf8ToUtf16(phoneFolder + "//" + pcPath);
    for (char16_t& c : joined)
        if (c == u'\\') c = u'/';
    std::u16string once;
    for (size_t i = 0; i < joined.size(); ++i) {
        once.push_back(joined[i]);
        if (joined[i] == u'/' && i + 1 < joined.size() && joined[i + 1] == u'/') ++i;
    }
    std::u16string out;
    for (char16_t c : once)
        if (c != u':') out.push_back(c);
    return platform::Utf16ToUtf8(out);
}

bool TooShortToExist(PathStyle style, const std::u16string& path) {
    return style == PathStyle::kWindows && path.size() <= 6;
}

std::u16string DirProbe(PathStyle style, const std::u16string& folder) {
    if (style == PathStyle::kPosix) return folder;
    if (!folder.empty() && folder.back() == u'\\') return folder + u"*.*";
    return folder + u"\\*.*";
}

std::u16string ParentToEnsure(PathStyle style, const std::u16string& folder) {
    if (style == PathStyle::kWindows) {
        const size_t k = folder.rfind(u'\\');
        if (k == std::u16string::npos || k < 4) return std::u16string();
        return folder.substr(0, k);
    }
    const std::u16string trimmed = platform::StripTrailingSeparators(style, folder);
    if (trimmed == u"/") return std::u16string();
    return platform::ParentPart(style, trimmed);
}

std::u16string NumberedName(PathStyle style, const std::u16string& path, int n) {
    size_t nameStart = path.size();
    while (nameStart > 0 && !platform::IsPathSeparator(style, path[nameStart - 1])) --nameStart;
    const std::u16string name = path.substr(nameStart);
    const size_t dot = name.rfind(u'.');
    const std::u16string stem = dot == std::u16string::npos ? name : name.substr(0, dot);
    const std::u16string extension = dot == std::u16string::npos ? std::u16string() : name.substr(dot);
    return path.substr(0, nameStart) + stem + u"(" + platform::AsciiToUtf16(std::to_string(n).c_str()) +
           u")" + extension;
}

bool RelativeBelow(PathStyle style, const std::u16string& entry, const std::u16string& phoneFolder,
                   std::u16string& rel) {
    if (entry.size() <= phoneFolder.size() + 1 || entry.compare(0, phoneFolder.size(), phoneFolder) != 0 ||
        entry[phoneFolder.size()] != u'/')
        return false;
    rel = entry.substr(phoneFolder.size());
    size_t start = 1;
    while (start <= rel.size()) {
        size_t end = rel.find(u'/', start);
        if (end == std::u16string::npos) end = rel.size();
        if (!SegmentAllowed(style, rel.substr(start, end - start))) return false;
        start = end + 1;
    }
    return true;
}

std::u16string RunNames::Key(const std::u16string& path) const {
    if (mStyle == PathStyle::kPosix) return path;
    std::u16string key = path;
    for (char16_t& c : key) c = c == u'/' ? u'\\' : WindowsCaseFold(c);
    return key;
}

std::u16string TargetFor(PathStyle style, const std::u16string& pcFolder, const std::u16string& rel) {
    std::u16string local = rel;
    if (style == PathStyle::kWindows)
        for (char16_t& c : local)
            if (c == u'/') c = u'\\';
    return platform::JoinPath(style, platform::StripTrailingSeparators(style, pcFolder), local);
}

}  // namespace pc_paths

namespace phone_paths {

bool RemovalStaysBelow(const std::string& path, const std::string& folder) {
    std::string target = path;
    while (!target.empty() && target.back() == '/') target.pop_back();
    std::string base = folder;
    while (!base.empty() && base.back() == '/') base.pop_back();
    for (size_t start = 0; start <= target.size();) {
        size_t stop = target.find('/', start);
        if (stop == std::string::npos) stop = target.size();
        const std::string segment = target.substr(start, stop - start);
        if (segment == "." || segment == "..") return false;
        start = stop + 1;
    }
    // The folder itself, or a folder it lies in (the root too).
    return !(target.empty() || target == base || base.compare(0, target.size() + 1, target + "/") == 0);
}

}  // namespace phone_paths

std::string FILE_API::BuildPhonePath(const std::string& pcPath, const std::string& phoneFolder) {
    return pc_paths::BuildPhonePath(platform::NativePathStyle(), pcPath, phoneFolder);
}

std::u16string FILE_API::AddLongPathPrefix(const std::u16string& path) {
    return platform::AddLongPathPrefix(platform::NativePathStyle(), path);
}

bool FILE_API::LocalPathExists(const std::u16string& path) {
    if (pc_paths::TooShortToExist(platform::NativePathStyle(), path)) return false;
    return platform::FindEntry(AddLongPathPrefix(path), nullptr);
}

int64_t FILE_API::LocalFileSize(const std::u16string& path) {
    if (pc_paths::TooShortToExist(platform::NativePathStyle(), path)) return -1;
    int64_t size = 0;
    return platform::FindEntry(AddLongPathPrefix(path), &size) ? size : -1;
}

bool FILE_API::LocalDirExists(const std::u16string& folder) {
    const PathStyle style = platform::NativePathStyle();
    if (style == PathStyle::kPosix) return platform::IsDirectory(folder);
    return LocalPathExists(pc_paths::DirProbe(style, folder));
}

bool FILE_API::EnsureLocalDir(const std::u16string& folder) {
    const std::u16string path = AddLongPathPrefix(folder);
    if (LocalDirExists(path)) return true;
    const std::u16string parent = pc_paths::ParentToEnsure(platform::NativePathStyle(), path);
    if (!parent.empty() && !EnsureLocalDir(parent)) return false;
    // Another thread (five transfers run at once) may make it in between.
    return platform::CreateOneDirectory(path) || LocalDirExists(path);
}

bool FILE_API::EnsureParentDir(const std::u16string& filePath) {
    const PathStyle style = platform::NativePathStyle();
    size_t k = filePath.size();
    while (k > 0 && !platform::IsPathSeparator(style, filePath[k - 1])) --k;
    if (k == 0) return true;  // a bare name: the current folder
    return EnsureLocalDir(filePath.substr(0, k - 1));
}

int32_t FILE_API::MakeUniqueLocalName(std::u16string& path, uint64_t size, pc_paths::RunNames* run) {
    for (int n = 1;; ++n) {
        const std::u16string candidate =
            n == 1 ? path : pc_paths::NumberedName(platform::NativePathStyle(), path, n);
        if (run != nullptr && run->Taken(candidate)) continue;
        // Probed with the long-path prefix: a long candidate probed without
        // it would look free and an existing file would be replaced.
        int64_t found = 0;
        const platform::Probe probe = platform::ProbeEntry(AddLongPathPrefix(candidate), &found);
        // A search that failed cannot tell whether a file would be replaced.
        if (probe == platform::Probe::kFailed) return -1;
        const bool exists = probe == platform::Probe::kFound;
        if (exists && static_cast<uint64_t>(found) != size) continue;
        if (run != nullptr) run->Take(candidate);
        path = candidate;
        return exists ? 1 : 0;
    }
}

bool FILE_API::CleanUpPartialUpload(const PhoneEndpoint& phone, const std::string& phonePath, const char* name) {
    try {
        if (CHttpFileAPI::DeleteFileW(phone.host.c_str(), phone.port, phonePath.c_str(), nullptr,
                                      kCleanUpTimeoutSeconds) == 0)
            return true;
    } catch (...) {
        // Out of memory, say: the file is named below all the same.
    }
    QS_LOG_PATH(name, "partial file left on the phone:", phonePath);
    return false;
}

int32_t FILE_API::UploadToFreePath(const PhoneEndpoint& phone, CHttpFileAPI::UploadSource& source,
                                   const std::string& phonePath, const char* name,
                                   const CHttpFileAPI::ByteProgress* progress) {
    bool chunkSent = false;
    int32_t put = -1;
    try {
        put = CHttpFileAPI::PutFileEx(phone.host.c_str(), phone.port, source, phonePath.c_str(), phone.stop,
                                      phone.timeout, CHttpFileAPI::kPhoneSizeAbsent, &chunkSent, phone.retry,
                                      progress);
    } catch (...) {
        // Out of memory, say, after some chunks went out: they are cleaned
        // up as after any other failure.
        QS_LOG_COMPONENT(name);
    }
    // A failed or stopped upload that sent chunks may have left some, later
    // ones too: a file with holes that can have its full size. It goes; an
    // upload that sent nothing left nothing.
    if (put != 0 && chunkSent) CleanUpPartialUpload(phone, phonePath, name);
    return put;
}

int32_t FILE_API::CopyFilePCToPhone(const PhoneEndpoint& phone, const std::string& pcPath,
                                    const std::string& phonePath) {
    static const char kName[] = "FILE_API::CopyFilePCToPhone";
    if (phone.Stopping()) return kCopyStopped;  // not started: nothing sent
    const std::u16string widePc = platform::Utf8ToUtf16(pcPath);
    if (!LocalPathExists(widePc)) {
        QS_LOG_COMPONENT(kName);
        return kCopyNoPcFile;
    }
    const int64_t pcSize = LocalFileSize(widePc);
    int32_t result = 0;
    RemoteFileInfo found;
    const int32_t stat =
        CHttpFileAPI::GetInfo(phone.host.c_str(), phone.port, phonePath.c_str(), &found, phone.stop, phone.timeout,
                              phone.retry);
    if (stat < 0) {
        // The phone did not say whether it has the file (a refused or
        // unanswered stat). It is logged as the existence query logs it, and
        // the copy fails with nothing sent and nothing deleted. Uploading
        // anyway, as if the file were absent, would put the phone's copy at
        // risk: a failed upload is cleaned up by deleting the file it wrote
        // to, and that would be the phone's intact copy.
        QS_LOG_COMPONENT("FILE_API_PHONE::PhoneFileExist");
        QS_LOG_COMPONENT(kName);
        result = kCopyUploadFailed;
    } else if (stat == 1 || FILE_API_PHONE::PhoneGetFileSize(phone, phonePath) != pcSize) {
        // The PC file is opened before anything on the phone is touched: one
        // that cannot be read (locked by another program, say) must not cost
        // the phone its copy.
        CHttpFileAPI::UploadSource source;
        if (CHttpFileAPI::OpenUploadSource(pcPath.c_str(), source) != 0) {
            QS_LOG_COMPONENT(kName);
            result = kCopyUploadFailed;
        } else if (stat == 0 && !FILE_API_PHONE::PhoneDeleteFile(phone, phonePath)) {
            // Chunk writes never shorten a phone file: an old file of another
            // size goes first, or its tail would stay behind the new content.
            QS_LOG_COMPONENT(kName);
            result = kCopyUploadFailed;
        } else if (UploadToFreePath(phone, source, phonePath, kName) != 0) {
            // The phone holds no file there now, so the upload did not ask
            // again.
            QS_LOG_COMPONENT(kName);
            result = kCopyUploadFailed;
        }
    }
    if (phone.Stopping()) result = kCopyStopped;
    return result;
}

int32_t FILE_API::GetFileTaskProc(const PhoneEndpoint& phone, const std::string& source, const std::string& target) {
    const int32_t got = CHttpFileAPI::GetFile(phone.host.c_str(), phone.port, source.c_str(), target.c_str(),
                                              phone.stop, phone.timeout, phone.retry);
    if (got != 0) {
        QS_LOG_COMPONENT("FILE_API::GetFileTaskProc");
        return -1;
    }
    return 0;
}

int32_t FILE_API::PutFileTaskProc(const PhoneEndpoint& phone, const TransferTask& task) {
    if (CopyFilePCToPhone(phone, task.source, task.target) != 0) {
        QS_LOG_COMPONENT("FILE_API::PutFileTaskProc");
        return -1;
    }
    QS_WCHAR* stored = platform::AllocateHostText(platform::Utf8ToUtf16(task.target));
    if (!stored) {
        QS_LOG_COMPONENT("FILE_API::PutFileTaskProc");
        return -1;
    }
    task.item->phonePath = stored;  // the host owns it, and the text it replaced
    if (task.scanAfterUpload && FILE_API_PHONE::ScanSingleMediaFile(phone, task.target, nullptr) != 0) {
        QS_LOG_COMPONENT("FILE_API::PutFileTaskProc");
        return -2;
    }
    return 0;
}

int32_t FILE_API::CopyPathFromPhoneToPC(const PhoneEndpoint& phone, HWND window, const std::string& phoneFolder,
                                        const std::string& pcFolder) {
    static const char kName[] = "FILE_API::CopyPathFromPhoneToPC";
    const PathStyle style = platform::NativePathStyle();
    const std::u16string widePhone = platform::Utf8ToUtf16(phoneFolder);
    const std::u16string widePc = platform::StripTrailingSeparators(style, platform::Utf8ToUtf16(pcFolder));
    if (widePc.empty()) {
        // No folder named: the targets would land at the top of the drive
        // (or the file system's root).
        QS_LOG_COMPONENT(kName);
        return -3;
    }

    std::vector<RemoteFileInfo> entries;
    if (CHttpFileAPI::EnumDir(phone.host.c_str(), phone.port, phoneFolder.c_str(), &entries, phone.stop, true,
                              phone.timeout, phone.retry) != 0) {
        QS_LOG_COMPONENT(kName);
        return -2;
    }

    bool skipped = false;
    bool folderFailed = false;
    pc_paths::RunNames taken(style);
    const size_t n = entries.size();
    WorkerPool pool(kMaxWorkers, "FILE_API::GetFileTaskProc");
    for (size_t i = 0; i < n; ++i) {
        if (phone.Stopping() || pool.Failure() != 0) break;
        while (pool.Unfinished() >= kMaxWorkers && !phone.Stopping()) pool.Wait(kPollMs, kMaxWorkers);
        const RemoteFileInfo& entry = entries[i];
        if (entry.mnIsFile != 0 && entry.mnCanRead != 0) {
            std::u16string rel;
            if (!pc_paths::RelativeBelow(style, platform::Utf8ToUtf16(entry.FileName), widePhone, rel)) {
                // Never written: it would land outside the PC folder, or
                // cannot be a PC file name.
                QS_LOG_COMPONENT(kName);
                skipped = true;
            } else {
                std::u16string target = pc_paths::TargetFor(style, widePc, rel);
                const int32_t named = MakeUniqueLocalName(target, entry.mnFileSize, &taken);
                if (named == 1) continue;
                if (named != 0) {
                    QS_LOG_COMPONENT(kName);
                    skipped = true;  // not written: the job reports a failure
                    continue;
                }
                target = AddLongPathPrefix(target);
                if (!EnsureParentDir(target)) {
                    QS_LOG_COMPONENT(kName);
                    folderFailed = true;
                    break;
                }
                pool.Submit([&phone, source = entry.FileName, target = platform::Utf16ToUtf8(target)]() {
                    // A stop that keeps a download from starting is no failure.
                    if (phone.Stopping()) return 0;
                    return GetFileTaskProc(phone, source, target);
                });
            }
        }
        ReportPercent(window, static_cast<uint32_t>(i * 100u / n));
    }
    pool.WaitAll(kPollMs);
    if (folderFailed) return -3;
    const int32_t result = pool.Failure();
    return result == 0 && skipped ? -1 : result;
}
