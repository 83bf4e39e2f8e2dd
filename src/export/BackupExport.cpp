// The Backup and Restore entry points. Unlike the sync exports they take the
// phone service's host and port as plain arguments and leave the stop flag
// as it is: a stop left by an earlier job still ends them with 21.
#include <string>

#include "backup/BackupRestore.h"
#include "context/SyncContext.h"
#include "log/Log.h"
#include "platform/utf.h"
#include "quellsync_http.h"

namespace {

// The entry points log under the export unit's name, where the host's log
// readers look for every entry point.
#define QS_LOG_EXPORT(function) ::qslog::LogToComponent("Quellsync_Http_Export.cpp", __LINE__, function)

constexpr int32_t kFailed = CBackupRestore::kFailed;
constexpr int32_t kStopped = CBackupRestore::kStopped;

bool Stopping() { return GetSyncContext().stopRequested.load() != 0; }

// The last line of defence before the host: even a log line that fails for
// want of memory must not carry an exception out.
#define QS_LOG_EXPORT_QUIETLY(function) \
    do {                                \
        try {                           \
            QS_LOG_EXPORT(function);    \
        } catch (...) {                 \
        }                               \
    } while (0)

// Stores host and port in the context. False (nothing stored) without a
// host, or without a PC folder or phone root to work on: an empty PC folder
// would put the category folders at the top of a drive.
bool TakeArguments(const QS_WCHAR* host, int32_t port, const QS_WCHAR* pcFolder, const QS_WCHAR* phoneRoot) {
    if (host == nullptr || pcFolder == nullptr || phoneRoot == nullptr || pcFolder[0] == 0) return false;
    SyncContext& context = GetSyncContext();
    context.host = platform::Utf16ToUtf8(platform::FromHostText(host));
    context.port = port;
    return true;
}

}  // namespace

extern "C" QS_API int32_t QS_CALL Backup(int32_t category, const QS_WCHAR* host, int32_t port,
                                         const QS_WCHAR* pcFolder, const QS_WCHAR* phoneRoot,
                                         ProgressCallback cb) {
    int32_t result = kFailed;
    try {
        if (!TakeArguments(host, port, pcFolder, phoneRoot)) {
            QS_LOG_EXPORT("Backup");
        } else {
            const std::u16string hostText = platform::FromHostText(host);
            const std::u16string pc = platform::FromHostText(pcFolder);
            const std::u16string phone = platform::FromHostText(phoneRoot);
            switch (category) {
                case CBackupRestore::kMusic:
                    result = CBackupRestore::BackupMusic(hostText, port, phone, pc, cb);
                    break;
                case CBackupRestore::kPhotosAndVideos:
                    result = CBackupRestore::BackupPhotosAndVideos(hostText, port, phone, pc, cb);
                    break;
                case CBackupRestore::kDocuments:
                    result = CBackupRestore::BackupDocument(hostText, port, phone, pc, cb);
                    break;
                default:
                    QS_LOG_EXPORT("Backup");
                    break;
            }
        }
    } catch (...) {
        QS_LOG_EXPORT_QUIETLY("Backup");
        result = kFailed;
    }
    return Stopping() ? kStopped : result;
}

extern "C" QS_API int32_t QS_CALL Restore(int32_t category, const QS_WCHAR* host, int32_t port,
                                          const QS_WCHAR* pcFolder, const QS_WCHAR* phoneRoot,
                                          int32_t conflictMode, ProgressCallback cb) {
    int32_t result = kFailed;
    try {
        if (!TakeArguments(host, port, pcFolder, phoneRoot)) {
            QS_LOG_EXPORT("Restore");
        } else {
            const std::u16string hostText = platform::FromHostText(host);
            const std::u16string pc = platform::FromHostText(pcFolder);
            const std::u16string phone = platform::FromHostText(phoneRoot);
            switch (category) {
                case CBackupRestore::kMusic:
                    result = CBackupRestore::RestoreMusic(hostText, port, pc, phone, conflictMode, cb);
                    break;
                case CBackupRestore::kPhotosAndVideos:
                    result = CBackupRestore::RestorePhotosAndVideos(hostText, port, pc, phone, conflictMode, cb);
                    break;
                case CBackupRestore::kDocuments:
                    result = CBackupRestore::RestoreDocument(hostText, port, pc, phone, conflictMode, cb);
                    break;
                default:
                    QS_LOG_EXPORT("Restore");
                    break;
            }
        }
    } catch (...) {
        QS_LOG_EXPORT_QUIETLY("Restore");
        result = kFailed;
    }
    return Stopping() ? kStopped : result;
}
