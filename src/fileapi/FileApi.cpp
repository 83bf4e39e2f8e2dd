#include "fileapi/FileApi.h"

#include <limits>

#include "context/SyncContext.h"
#include "log/Log.h"

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
