#include "fileapi/FileApi.h"

#include <chrono>
#include <limits>

#include "context/SyncContext.h"
#include "log/Log.h"
#include "platform/dir.h"
#include "platform/host_memory.h"
#include "platform/thread.h"
#include "platform/utf.h"

namespace {

// Folder operations always send the folder with one trailing "/".
std::string AsFolder(const std::string& folder) {
    if (!folder.empty() && folder.back() == '/') return folder;
    return folder + "/";
}

}  // namespace

bool FILE_API_PHONE::PhoneFileExist(const std::string& path) {
    SyncContext& context = GetSyncContext();
    RemoteFileInfo info;
    const int32_t result = CHttpFileAPI::GetInfo(context.host.c_str(), context.port, path.c_str(), &info,
                                                 &context.stopRequested, kTimeoutSeconds);
    if (result == 0) return true;
    if (result != 1) QS_LOG_COMPONENT("FILE_API_PHONE::PhoneFileExist");
    return false;
}

int64_t FILE_API_PHONE::PhoneGetFileSize(const std::string& path) {
    SyncContext& context = GetSyncContext();
    RemoteFileInfo info;
    const int32_t result = CHttpFileAPI::GetInfo(context.host.c_str(), context.port, path.c_str(), &info,
                                                 &context.stopRequested, kTimeoutSeconds);
    if (result != 0 || info.mnFileSize > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        QS_LOG_COMPONENT("FILE_API_PHONE::PhoneGetFileSize");
        return -1;
    }
    return static_cast<int64_t>(info.mnFileSize);
}

bool FILE_API_PHONE::PhoneDeleteFile(const std::string& path) {
    SyncContext& context = GetSyncContext();
    return CHttpFileAPI::DeleteFileW(context.host.c_str(), context.port, path.c_str(),
                                     &context.stopRequested, kTimeoutSeconds) == 0;
}

int32_t FILE_API_PHONE::PhoneDeletePath(const std::string& folder) {
    SyncContext& context = GetSyncContext();
    const std::string sent = AsFolder(folder);
    if (CHttpFileAPI::DeletePath(context.host.c_str(), context.port, sent.c_str(), &context.stopRequested,
                                 kTimeoutSeconds) != 0) {
        QS_LOG_COMPONENT("FILE_API_PHONE::PhoneDeletePath");
        return -4;
    }
    return 0;
}

int32_t FILE_API_PHONE::PhoneDeleteEmptyPath(const std::string& folder) {
    SyncContext& context = GetSyncContext();
    const std::string sent = AsFolder(folder);
    return CHttpFileAPI::DeleteEmptyPath(context.host.c_str(), context.port, sent.c_str(),
                                         &context.stopRequested, kTimeoutSeconds);
}

int32_t FILE_API_PHONE::ScanSingleMediaFile(const std::string& path, MediaScanEntry* out) {
    SyncContext& context = GetSyncContext();
    const std::vector<std::string> paths{path};
    std::vector<MediaScanEntry> answers;
    if (CHttpFileAPI::ScanMediaFile(context.host.c_str(), context.port, paths, &answers,
                                    &context.stopRequested, kTimeoutSeconds) != 0) {
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

int32_t FILE_API_PHONE::ScanListMediaFile(const std::vector<std::string>& paths,
                                          std::vector<MediaScanEntry>* answers) {
    SyncContext& context = GetSyncContext();
    if (CHttpFileAPI::ScanMediaFile(context.host.c_str(), context.port, paths, answers,
                                    &context.stopRequested, kTimeoutSeconds) != 0) {
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

bool SegmentAllowed(PathStyle style, const std::u16string& segment) {
    if (segment.empty() || segment == u"." || segment == u"..") return false;
    if (style == PathStyle::kPosix) return segment.find(u'\0') == std::u16string::npos;
    for (char16_t c : segment)
        if (!IsWindowsNameChar(c)) return false;
    // Windows drops a trailing dot or blank from a name, so such a name
    // would land on another file's name.
    return segment.back() != u'.' && segment.back() != u' ';
}

const StopFlag& StopRequested() { return GetSyncContext().stopRequested; }
bool Stopping() { return GetSyncContext().stopRequested.load() != 0; }

}  // namespace

// The task lives as long as the worker's thread function.
bool FILE_API::StartWorker(int32_t (*procedure)(std::shared_ptr<TransferTask>),
                           std::shared_ptr<TransferTask> task) {
    return platform::StartDetachedThread([procedure, task]() { procedure(task); });
}

int32_t TaskCounter::Running() {
    platform::LockGuard guard(lock);
    return running;
}

void TaskCounter::AddRunning(int32_t n) {
    platform::LockGuard guard(lock);
    running += n;
}

int32_t TaskCounter::Result() {
    platform::LockGuard guard(lock);
    return result;
}

void TaskCounter::Finish(int32_t failure, uint32_t messageId, std::unique_ptr<ItemResult> item) {
    platform::LockGuard guard(lock);
    if (item) pending.emplace_back(messageId, std::move(item));
    if (failure != 0) result = failure;
    --running;
    changed.notify_all();
}

int32_t TaskCounter::WaitAndDeliver(uint32_t timeoutMs, int32_t wakeBelow,
                                    const std::function<void(uint32_t, ItemResult*)>& deliver) {
    platform::UniqueLock guard(lock);
    changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                     [&] { return running < wakeBelow || (deliver && !pending.empty()); });
    if (deliver) {
        for (auto& entry : pending) deliver(entry.first, entry.second.get());
        pending.clear();
    }
    return running;
}

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

std::u16string TargetFor(PathStyle style, const std::u16string& pcFolder, const std::u16string& rel) {
    std::u16string local = rel;
    if (style == PathStyle::kWindows)
        for (char16_t& c : local)
            if (c == u'/') c = u'\\';
    return platform::JoinPath(style, platform::StripTrailingSeparators(style, pcFolder), local);
}

}  // namespace pc_paths

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
    return platform::CreateOneDirectory(path);
}

bool FILE_API::EnsureParentDir(const std::u16string& filePath) {
    const PathStyle style = platform::NativePathStyle();
    size_t k = filePath.size();
    while (k > 0 && !platform::IsPathSeparator(style, filePath[k - 1])) --k;
    if (k == 0) return true;  // a bare name: the current folder
    return EnsureLocalDir(filePath.substr(0, k - 1));
}

int32_t FILE_API::MakeUniqueLocalName(std::u16string& path, uint64_t size) {
    int64_t found = 0;
    if (!platform::FindEntry(AddLongPathPrefix(path), &found)) return 0;
    if (static_cast<uint64_t>(found) == size) return 1;
    for (int n = 2;; ++n) {
        const std::u16string candidate = pc_paths::NumberedName(platform::NativePathStyle(), path, n);
        // Probed with the long-path prefix as well: a long candidate probed
        // without it would look free and an existing file would be replaced.
        if (!platform::FindEntry(AddLongPathPrefix(candidate), &found)) {
            path = candidate;
            return 0;
        }
        if (static_cast<uint64_t>(found) == size) return 1;
    }
}

int32_t FILE_API::CopyFilePCToPhone(const std::string& pcPath, const std::string& phonePath) {
    const SyncContext& context = GetSyncContext();
    const std::u16string widePc = platform::Utf8ToUtf16(pcPath);
    if (!LocalPathExists(widePc)) {
        QS_LOG_COMPONENT("FILE_API::CopyFilePCToPhone");
        return kCopyNoPcFile;
    }
    const int64_t pcSize = LocalFileSize(widePc);
    int32_t result = 0;
    const bool onPhone = FILE_API_PHONE::PhoneFileExist(phonePath);
    if (!onPhone || FILE_API_PHONE::PhoneGetFileSize(phonePath) != pcSize) {
        // Chunk writes never shorten a phone file: an old file of another
        // size goes first, or its tail would stay behind the new content.
        if (onPhone && !FILE_API_PHONE::PhoneDeleteFile(phonePath)) {
            QS_LOG_COMPONENT("FILE_API::CopyFilePCToPhone");
            result = kCopyUploadFailed;
        } else {
            const int32_t put = CHttpFileAPI::PutFileEx(context.host.c_str(), context.port, pcPath.c_str(),
                                                        phonePath.c_str(), &StopRequested(), kTimeoutSeconds);
            if (put != 0) {
                QS_LOG_COMPONENT("FILE_API::CopyFilePCToPhone");
                result = kCopyUploadFailed;
            }
            // A failed or stopped upload may have left some chunks, later
            // ones too: a file with holes that can have its full size. It
            // goes, with a request the stop flag does not cut short.
            if (put != 0 || Stopping())
                CHttpFileAPI::DeleteFileW(context.host.c_str(), context.port, phonePath.c_str(), nullptr,
                                          kTimeoutSeconds);
        }
    }
    if (Stopping()) result = kCopyStopped;
    return result;
}

int32_t FILE_API::GetFileTaskProc(std::shared_ptr<TransferTask> task) {
    const int32_t got = CHttpFileAPI::GetFile(task->host.c_str(), task->port, task->source.c_str(),
                                              task->target.c_str(), task->stop, kTimeoutSeconds);
    if (got != 0) {
        QS_LOG_COMPONENT("FILE_API::GetFileTaskProc");
        task->counter->Finish(-1, 0, nullptr);
        return -1;
    }
    task->counter->Finish(0, 0, nullptr);
    return 0;
}

int32_t FILE_API::PutFileTaskProc(std::shared_ptr<TransferTask> task) {
    if (CopyFilePCToPhone(task->source, task->target) != 0) {
        QS_LOG_COMPONENT("FILE_API::PutFileTaskProc");
        task->counter->Finish(-1, 0, nullptr);
        return -1;
    }
    QS_WCHAR* stored = platform::AllocateHostText(platform::Utf8ToUtf16(task->target));
    if (!stored) {
        QS_LOG_COMPONENT("FILE_API::PutFileTaskProc");
        task->counter->Finish(-1, 0, nullptr);
        return -1;
    }
    task->item->phonePath = stored;  // the host owns it, and the text it replaced
    if (task->scanAfterUpload && FILE_API_PHONE::ScanSingleMediaFile(task->target, nullptr) != 0) {
        QS_LOG_COMPONENT("FILE_API::PutFileTaskProc");
        task->counter->Finish(-2, 0, nullptr);
        return -2;
    }
    task->counter->Finish(0, task->messageId,
                          std::make_unique<ItemResult>(ItemResult{0, task->code, task->item}));
    return 0;
}

int32_t FILE_API::CopyPathFromPhoneToPC(const std::string& phoneFolder, const std::string& pcFolder) {
    const SyncContext& context = GetSyncContext();
    const PathStyle style = platform::NativePathStyle();
    const std::u16string widePhone = platform::Utf8ToUtf16(phoneFolder);
    const std::u16string widePc = platform::StripTrailingSeparators(style, platform::Utf8ToUtf16(pcFolder));
    if (widePc.empty()) {
        // No folder named: the targets would land at the top of the drive
        // (or the file system's root).
        QS_LOG_COMPONENT("FILE_API::CopyPathFromPhoneToPC");
        return -3;
    }

    std::vector<RemoteFileInfo> entries;
    if (CHttpFileAPI::EnumDir(context.host.c_str(), context.port, phoneFolder.c_str(), &entries,
                              &StopRequested(), true, kTimeoutSeconds) != 0) {
        QS_LOG_COMPONENT("FILE_API::CopyPathFromPhoneToPC");
        return -2;
    }

    TaskCounter counter;
    bool skippedUnsafe = false;
    const size_t n = entries.size();
    for (size_t i = 0; i < n; ++i) {
        if (Stopping() || counter.Result() != 0) break;
        while (counter.Running() >= kMaxWorkers && !Stopping())
            counter.WaitAndDeliver(kPollMs, kMaxWorkers, nullptr);
        const RemoteFileInfo& entry = entries[i];
        if (entry.mnIsFile != 0 && entry.mnCanRead != 0) {
            std::u16string rel;
            if (!pc_paths::RelativeBelow(style, platform::Utf8ToUtf16(entry.FileName), widePhone, rel)) {
                // Never written: it would land outside the PC folder, or
                // cannot be a PC file name.
                QS_LOG_COMPONENT("FILE_API::CopyPathFromPhoneToPC");
                skippedUnsafe = true;
            } else {
                std::u16string target = pc_paths::TargetFor(style, widePc, rel);
                if (MakeUniqueLocalName(target, entry.mnFileSize) == 1) continue;
                target = AddLongPathPrefix(target);
                if (!EnsureParentDir(target)) {
                    QS_LOG_COMPONENT("FILE_API::CopyPathFromPhoneToPC");
                    while (counter.WaitAndDeliver(kPollMs, 1, nullptr) != 0) {
                    }
                    return -3;
                }
                auto task = std::make_shared<TransferTask>();
                task->counter = &counter;
                task->host = context.host;
                task->port = context.port;
                task->stop = &StopRequested();
                task->source = entry.FileName;
                task->target = platform::Utf16ToUtf8(target);
                counter.AddRunning(1);
                if (!StartWorker(&FILE_API::GetFileTaskProc, task)) {
                    QS_LOG_COMPONENT("FILE_API::CopyPathFromPhoneToPC");
                    counter.Finish(-1, 0, nullptr);
                }
            }
        }
        ReportPercent(static_cast<uint32_t>(i * 100u / n));
    }
    while (counter.WaitAndDeliver(kPollMs, 1, nullptr) != 0) {
    }
    const int32_t result = counter.Result();
    return result == 0 && skippedUnsafe ? -1 : result;
}
