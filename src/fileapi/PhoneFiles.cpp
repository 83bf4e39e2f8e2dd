#include "fileapi/PhoneFiles.h"

#include <cctype>
#include <vector>

#include "fileapi/FileApi.h"
#include "log/Log.h"
#include "platform/dir.h"
#include "platform/file.h"
#include "platform/path_style.h"
#include "platform/utf.h"

namespace phone_files {
namespace {

// A folder path without its trailing slashes ("/" stays "/").
std::string FolderKey(const std::string& path) {
    std::string key = path;
    while (key.size() > 1 && key.back() == '/') key.pop_back();
    return key;
}

// The stop flag turns a failure into kStopped: the file service's -1 covers
// a stop and a lost connection alike.
int32_t Settled(const PhoneEndpoint& phone, int32_t result) {
    return result != kDone && phone.Stopping() ? kStopped : result;
}

bool IsDirectory(const RemoteFileInfo& info) { return info.mnIsDir != 0; }

int32_t StatInto(const PhoneEndpoint& phone, const std::string& path, RemoteFileInfo& info) {
    return CHttpFileAPI::GetInfo(phone.host.c_str(), phone.port, path.c_str(), &info, phone.stop, phone.timeout,
                                 phone.retry);
}

// The endpoint for the last steps of a replacing upload: once the new file
// is complete, deleting the old one and renaming the new one into its place
// are not cut short by a stop, which would leave neither file under the
// name.
PhoneEndpoint Unstoppable(const PhoneEndpoint& phone) {
    PhoneEndpoint copy = phone;
    copy.stop = nullptr;
    return copy;
}

// A PC path as the local file calls take it: on Windows with backslashes
// only (the host may write "/", which the long-path prefix no longer turns
// into separators), then under the long-path prefix.
std::u16string LocalPath(const std::string& pcPath) {
    std::u16string path = platform::Utf8ToUtf16(pcPath);
    if (platform::NativePathStyle() == platform::PathStyle::kWindows)
        for (char16_t& c : path)
            if (c == u'/') c = u'\\';
    return FILE_API::AddLongPathPrefix(path);
}

}  // namespace

bool UsablePhonePath(const std::string& path, bool allowRoot) {
    if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos) return false;
    if (FolderKey(path) == "/") return allowRoot;
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string segment = path.substr(start, end - start);
        if (segment == "." || segment == "..") return false;
        start = end + 1;
    }
    return true;
}

bool UsablePcPath(const std::string& path) {
    if (path.find('\0') != std::string::npos) return false;
    if (platform::NativePathStyle() == platform::PathStyle::kPosix) return !path.empty() && path[0] == '/';
    // "C:\..." or "C:/...", a UNC path "\\server\share", or one already
    // under the long-path prefix.
    if (path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
        (path[2] == '\\' || path[2] == '/'))
        return true;
    return path.size() >= 3 && path[0] == '\\' && path[1] == '\\';
}

int32_t Stat(const PhoneEndpoint& phone, const std::string& path, RemoteFileInfo* out) {
    if (!UsablePhonePath(path, true)) return kInvalid;
    RemoteFileInfo info;
    const int32_t stat = StatInto(phone, path, info);
    if (stat != kDone) return Settled(phone, stat);
    info.FileName = path;
    if (out != nullptr) *out = std::move(info);
    return kDone;
}

int32_t List(const PhoneEndpoint& phone, const std::string& folder, const EntryVisit& visit) {
    static const char kName[] = "PHONE_FILES::List";
    if (!UsablePhonePath(folder, true)) return kInvalid;
    RemoteFileInfo info;
    const int32_t stat = StatInto(phone, folder, info);
    if (stat != kDone) return Settled(phone, stat);
    if (!IsDirectory(info)) return kWrongKind;
    std::vector<RemoteFileInfo> entries;
    const int32_t listed = CHttpFileAPI::EnumDir(phone.host.c_str(), phone.port, folder.c_str(), &entries,
                                                 phone.stop, false, phone.timeout, phone.retry);
    if (listed != kDone) return Settled(phone, listed);
    const std::string key = FolderKey(folder);
    const std::string prefix = key == "/" ? key : key + "/";
    bool leftOut = false;
    for (const RemoteFileInfo& entry : entries) {
        const std::string& path = entry.FileName;
        const bool below = path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0;
        const std::string name = below ? path.substr(prefix.size()) : std::string();
        if (!below || name.find('/') != std::string::npos || name == "." || name == ".." ||
            name.find('\0') != std::string::npos) {
            // Not one name below the folder: a caller that descends or
            // builds PC names from it could be led anywhere.
            if (!leftOut) QS_LOG_PATH(kName, "entry outside the listed folder left out:", path);
            leftOut = true;
            continue;
        }
        if (visit && !visit(entry)) return kDone;
    }
    return leftOut ? -9 : kDone;
}

int32_t Get(const PhoneEndpoint& phone, const std::string& phonePath, const std::string& pcPath, bool replace,
            const CHttpFileAPI::ByteProgress* progress) {
    static const char kName[] = "PHONE_FILES::Get";
    if (!UsablePhonePath(phonePath, false) || !UsablePcPath(pcPath)) return kInvalid;
    RemoteFileInfo info;
    const int32_t stat = StatInto(phone, phonePath, info);
    if (stat != kDone) return Settled(phone, stat);
    if (IsDirectory(info) || info.mnIsFile == 0) return kWrongKind;

    const std::u16string target = LocalPath(pcPath);
    switch (platform::ProbeEntry(target, nullptr)) {
        case platform::Probe::kFound:
            if (platform::IsDirectory(target)) return kWrongKind;
            if (!replace) return kExists;
            break;
        case platform::Probe::kAbsent:
            break;
        case platform::Probe::kFailed:
            QS_LOG_PATH(kName, "cannot probe:", pcPath);
            return -7;
    }
    if (!FILE_API::EnsureParentDir(target)) {
        QS_LOG_PATH(kName, "cannot create the folder of:", pcPath);
        return -7;
    }
    if (phone.Stopping()) return kStopped;
    const std::string local = platform::Utf16ToUtf8(target);
    const int32_t got = CHttpFileAPI::GetFile(phone.host.c_str(), phone.port, phonePath.c_str(), local.c_str(),
                                              phone.stop, phone.timeout, phone.retry, replace, progress);
    if (got == -7 && !replace && platform::ProbeEntry(target, nullptr) == platform::Probe::kFound) {
        // Someone put a file there while the download ran: it stays.
        QS_LOG_PATH(kName, "target appeared during the download, left as it is:", pcPath);
        return kExists;
    }
    return Settled(phone, got);
}

int32_t Put(const PhoneEndpoint& phone, const std::string& pcPath, const std::string& phonePath, bool replace,
            const CHttpFileAPI::ByteProgress* progress) {
    static const char kName[] = "PHONE_FILES::Put";
    if (!UsablePhonePath(phonePath, false) || !UsablePcPath(pcPath)) return kInvalid;
    const std::u16string source = LocalPath(pcPath);
    switch (platform::ProbeEntry(source, nullptr)) {
        case platform::Probe::kFound:
            if (platform::IsDirectory(source)) return kWrongKind;
            break;
        case platform::Probe::kAbsent:
            return kNoPcFile;
        case platform::Probe::kFailed:
            QS_LOG_PATH(kName, "cannot probe:", pcPath);
            return -7;
    }
    CHttpFileAPI::UploadSource upload;
    const int32_t opened = CHttpFileAPI::OpenUploadSource(platform::Utf16ToUtf8(source).c_str(), upload);
    if (opened != kDone) return opened;

    RemoteFileInfo info;
    const int32_t stat = StatInto(phone, phonePath, info);
    if (stat < 0) return Settled(phone, stat);
    const bool existed = stat == kDone;
    if (existed && (IsDirectory(info) || info.mnIsFile == 0)) return kWrongKind;
    if (existed && !replace) return kExists;
    if (phone.Stopping()) return kStopped;

    if (!existed) {
        const int32_t put = FILE_API::UploadToFreePath(phone, upload, phonePath, kName, progress);
        if (put != kDone) return Settled(phone, put);
    } else {
        // The new file goes beside the old one first; the old one stays
        // until the new one is complete.
        const std::string temporary =
            platform::Utf16ToUtf8(platform::TemporarySiblingName(platform::Utf8ToUtf16(phonePath)));
        const int32_t put = FILE_API::UploadToFreePath(phone, upload, temporary, kName, progress);
        if (put != kDone) return Settled(phone, put);
        const PhoneEndpoint swap = Unstoppable(phone);
        int32_t swapped =
            CHttpFileAPI::DeleteFileW(swap.host.c_str(), swap.port, phonePath.c_str(), nullptr, swap.timeout,
                                      swap.retry);
        if (swapped == kDone)
            swapped = CHttpFileAPI::RenamePathFile(swap.host.c_str(), swap.port, temporary.c_str(),
                                                   phonePath.c_str(), nullptr, swap.timeout, swap.retry);
        if (swapped != kDone) {
            QS_LOG_PATH(kName, "could not put the new file in place of:", phonePath);
            FILE_API::CleanUpPartialUpload(swap, temporary, kName);
            return swapped;
        }
    }
    MediaScanEntry scanned;
    const int32_t scan = FILE_API_PHONE::ScanSingleMediaFile(phone, phonePath, &scanned);
    if (scan == -1) return phone.Stopping() ? kStopped : kScanFailed;
    return kDone;
}

int32_t Delete(const PhoneEndpoint& phone, const std::string& path, bool tree) {
    if (!UsablePhonePath(path, false)) return kInvalid;
    RemoteFileInfo info;
    const int32_t stat = StatInto(phone, path, info);
    if (stat != kDone) return Settled(phone, stat);
    if (!IsDirectory(info))
        return Settled(phone, CHttpFileAPI::DeleteFileW(phone.host.c_str(), phone.port, path.c_str(), phone.stop,
                                                        phone.timeout, phone.retry));
    if (!tree) {
        std::vector<RemoteFileInfo> entries;
        const int32_t listed = CHttpFileAPI::EnumDir(phone.host.c_str(), phone.port, path.c_str(), &entries,
                                                     phone.stop, false, phone.timeout, phone.retry);
        if (listed != kDone) return Settled(phone, listed);
        if (!entries.empty()) return kNotEmpty;
    }
    const std::string folder = FolderKey(path) + "/";
    return Settled(phone, CHttpFileAPI::DeletePath(phone.host.c_str(), phone.port, folder.c_str(), phone.stop,
                                                   phone.timeout, phone.retry));
}

int32_t Rename(const PhoneEndpoint& phone, const std::string& from, const std::string& to) {
    if (!UsablePhonePath(from, false) || !UsablePhonePath(to, false)) return kInvalid;
    RemoteFileInfo info;
    const int32_t source = StatInto(phone, from, info);
    if (source != kDone) return Settled(phone, source);
    const int32_t target = StatInto(phone, to, info);
    if (target < 0) return Settled(phone, target);
    if (target == kDone && FolderKey(from) != FolderKey(to)) return kExists;
    return Settled(phone, CHttpFileAPI::RenamePathFile(phone.host.c_str(), phone.port, from.c_str(), to.c_str(),
                                                       phone.stop, phone.timeout, phone.retry));
}

}  // namespace phone_files
