// The entry points the host calls, and the jobs behind them.
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "backup/BackupRestore.h"
#include "context/CallStops.h"
#include "context/HostList.h"
#include "context/Progress.h"
#include "export/ContextSetUp.h"
#include "export/ExportFrame.h"
#include "fileapi/FileApi.h"
#include "log/Log.h"
#include "platform/utf.h"
#include "playlist/PlayList.h"
#include "pool/WorkerPool.h"
#include "quellsync_http.h"

namespace {

// Item messages of the playlist export.
constexpr uint32_t kPlaylistMessageId = 1000;
constexpr intptr_t kPlaylistResultCode = 7;

constexpr intptr_t kChangeCopy = 1;
constexpr intptr_t kChangeCopyToo = 2;
constexpr intptr_t kChangeRemove = 3;

// Failure results of the exports when an exception reaches their frame.
constexpr int32_t kSyncFailed = -1;
constexpr int32_t kPlaylistFailed = 1;

std::string Utf8(const QS_WCHAR* text) { return platform::Utf16ToUtf8(platform::FromHostText(text)); }

// Sends the item's message and then the percentage after it.
class ItemReporter {
public:
    ItemReporter(HWND window, size_t total) : mWindow(window), mTotal(total) {}
    void Item(uint32_t messageId, intptr_t code, SyncItem* item) {
        ItemResult record{0, code, item};
        ReportItem(mWindow, messageId, &record);
        Step();
    }
    void Step() {
        ++mDone;
        ReportPercent(mWindow, static_cast<uint32_t>(mDone * 100u / mTotal));
    }

private:
    HWND mWindow;
    size_t mTotal;
    size_t mDone = 0;
};

// Pass 1: removes the mirrored phone folders of removed folder items.
int32_t RemoveFolders(const PhoneEndpoint& phone, const QsHostList* items, const std::string& phoneFolder,
                      uint32_t messageId, intptr_t code, ItemReporter& reporter) {
    for (size_t i = 0; i < HostListCount(items); ++i) {
        SyncItem* item = HostListAt<SyncItem>(items, i);
        if (!item || item->isFolder == 0) continue;
        if (item->changeKind != kChangeRemove) {
            QS_LOG_COMPONENT("SyncFileFromPCToPhone");
            continue;
        }
        if (phone.Stopping()) break;
        const std::string phonePath = FILE_API::BuildPhonePath(Utf8(item->pcPath), phoneFolder);
        if (!phone_paths::RemovalStaysBelow(phonePath, phoneFolder)) {
            // A missing or root PC path mirrors to the export's phone folder
            // itself, and a ".." climbs above it: never sent, and the job
            // ends as for a removal that failed.
            QS_LOG_COMPONENT("SyncFileFromPCToPhone");
            return -4;
        }
        const int32_t removed = FILE_API_PHONE::PhoneDeletePath(phone, phonePath);
        if (removed != 0) {
            QS_LOG_COMPONENT("SyncFileFromPCToPhone");
            return removed;
        }
        reporter.Item(messageId, code, item);
    }
    return 0;
}

// Pass 2: removes the phone files of removed file items.
int32_t RemoveFiles(const PhoneEndpoint& phone, const QsHostList* items, const std::string& phoneFolder,
                    uint32_t messageId, intptr_t code, ItemReporter& reporter) {
    for (size_t i = 0; i < HostListCount(items); ++i) {
        SyncItem* item = HostListAt<SyncItem>(items, i);
        if (!item || item->isFolder != 0 || item->changeKind != kChangeRemove) continue;
        if (phone.Stopping()) break;
        if (!item->phonePath) {
            QS_LOG_COMPONENT("SyncFileFromPCToPhone");
            continue;
        }
        const std::string phonePath = Utf8(item->phonePath);
        if (!phone_paths::RemovalStaysBelow(phonePath, phoneFolder)) {
            QS_LOG_COMPONENT("SyncFileFromPCToPhone");
            return -2;
        }
        if (!FILE_API_PHONE::PhoneDeleteFile(phone, phonePath)) {
            QS_LOG_COMPONENT("SyncFileFromPCToPhone");
            return -2;
        }
        reporter.Item(messageId, code, item);
    }
    return 0;
}

// Pass 3: uploads new and changed files, five at a time. A finished upload
// hands its item message to this thread, which sends it whenever the pool
// wakes it: while waiting for a free slot and while waiting for the last
// uploads.
int32_t UploadFiles(const JobSetup& job, const QsHostList* items, const std::string& phoneFolder,
                    uint32_t messageId, intptr_t code, bool scan, ItemReporter& reporter) {
    const PhoneEndpoint& phone = job.phone;
    const HWND window = job.window;
    WorkerPool pool(FILE_API::kMaxWorkers, "FILE_API::PutFileTaskProc");
    for (size_t i = 0; i < HostListCount(items); ++i) {
        SyncItem* item = HostListAt<SyncItem>(items, i);
        if (!item || item->isFolder != 0 ||
            (item->changeKind != kChangeCopy && item->changeKind != kChangeCopyToo))
            continue;
        while (pool.Unfinished() >= FILE_API::kMaxWorkers && !phone.Stopping())
            pool.Wait(FILE_API::kPollMs, FILE_API::kMaxWorkers);
        if (phone.Stopping() || pool.Failure() != 0) break;
        TransferTask task;
        task.scanAfterUpload = scan;
        task.item = item;
        task.code = code;
        task.messageId = messageId;
        task.source = Utf8(item->pcPath);
        task.target = FILE_API::BuildPhonePath(task.source, phoneFolder);
        pool.Submit([&pool, &phone, window, task = std::move(task)]() {
            // A stop that keeps an upload from starting is no failure, and
            // the item is not reported.
            if (phone.Stopping()) return 0;
            const int32_t result = FILE_API::PutFileTaskProc(phone, task);
            if (result == 0) {
                pool.Deliver([window, messageId = task.messageId, code = task.code, item = task.item]() {
                    ItemResult record{0, code, item};
                    ReportItem(window, messageId, &record);
                });
            }
            return result;
        });
        reporter.Step();  // counts started uploads
    }
    pool.WaitAll(FILE_API::kPollMs);
    return pool.Failure();
}

// The PC-to-phone job: folder removals, file removals, then uploads.
// 0 done (or stopped) with no failed upload; -4 a folder removal failed; -2
// a file removal or a media scan failed; -1 an upload failed.
int32_t SyncFileFromPCToPhone(const JobSetup& job, uint32_t messageId, const std::string& phoneFolder,
                              const QsHostList* items, intptr_t code, bool scan) {
    ItemReporter reporter(job.window, HostListCount(items));
    int32_t result = RemoveFolders(job.phone, items, phoneFolder, messageId, code, reporter);
    if (result != 0) return result;
    result = RemoveFiles(job.phone, items, phoneFolder, messageId, code, reporter);
    if (result != 0) return result;
    return UploadFiles(job, items, phoneFolder, messageId, code, scan, reporter);
}

struct UploadExport {
    const char* name;
    const char* folder;
    uint32_t messageId;
    intptr_t code;
    bool scan;
};

int32_t RunUploadExport(ConnectParams* connect, JobParams* job, const UploadExport& kind) {
    return RunExport(kind.name, kSyncFailed, [&]() {
        const JobSetup setup = SetUpContext(connect, job);
        if (!job || !job->items) {
            QS_LOG_COMPONENT("SyncFileFromPCToPhone");
            return -1;
        }
        const std::string phoneFolder = setup.device + kind.folder;
        const int32_t result =
            SyncFileFromPCToPhone(setup, kind.messageId, phoneFolder, job->items, kind.code, kind.scan);
        if (result == 0) FILE_API_PHONE::PhoneDeleteEmptyPath(setup.phone, phoneFolder);
        return result;
    });
}

// The PC folder of a phone-to-PC export: word 2 (camera) or 3 (documents)
// of the host's destination record.
const DestinationFolders* Destinations(const JobParams* job) {
    return job ? static_cast<const DestinationFolders*>(job->word2) : nullptr;
}

// The camera folder into the host's camera PC folder: -1 without one,
// otherwise the folder copy's result.
int32_t SyncCameraFromPhoneToPC(const JobSetup& setup, const JobParams* job) {
    const DestinationFolders* folders = Destinations(job);
    if (!folders || !folders->cameraFolder) {
        QS_LOG_COMPONENT("SyncCameraFromPhoneToPC");
        return -1;
    }
    return FILE_API::CopyPathFromPhoneToPC(setup.phone, setup.window, setup.device + QS_FOLDER_CAMERA,
                                           Utf8(folders->cameraFolder));
}

}  // namespace

extern "C" QS_API int32_t QS_CALL Test(void) {
    return RunExport("Test", 0, [] { return 0; });
}

extern "C" QS_API int32_t QS_CALL Stop(ConnectParams* connect, JobParams* job) {
    (void)connect;
    (void)job;
    return RunExport("Stop", 0, [] {
        SyncContext& context = GetSyncContext();
        context.stopRequested.store(1);
        GetCallStops().RaiseAll();  // the phone file calls running now
        context.stopSignal.Notify();
        return 0;
    });
}

extern "C" QS_API int32_t QS_CALL SyncMusicFile(ConnectParams* connect, JobParams* job) {
    return RunUploadExport(connect, job, {"SyncMusicFile", QS_FOLDER_MUSIC, 1000, 9, true});
}

extern "C" QS_API int32_t QS_CALL SyncPhotoFile(ConnectParams* connect, JobParams* job) {
    return RunUploadExport(connect, job, {"SyncPhotoFile", QS_FOLDER_PICTURES, 1100, 9, true});
}

extern "C" QS_API int32_t QS_CALL SyncVideoFile(ConnectParams* connect, JobParams* job) {
    return RunUploadExport(connect, job, {"SyncVideoFile", QS_FOLDER_MOVIES, 1100, 9, true});
}

extern "C" QS_API int32_t QS_CALL SyncDocumentFile(ConnectParams* connect, JobParams* job) {
    return RunUploadExport(connect, job, {"SyncDocumentFile", QS_FOLDER_DOCUMENTS, 1400, 9, true});
}

extern "C" QS_API int32_t QS_CALL SyncPlaylistFile(ConnectParams* connect, JobParams* job) {
    return RunUploadExport(connect, job, {"SyncPlaylistFile", QS_FOLDER_PLAYLISTS, 1000, 8, false});
}

extern "C" QS_API int32_t QS_CALL SyncPhoto(ConnectParams* connect, JobParams* job) {
    return RunExport("SyncPhoto", kSyncFailed, [&] {
        return SyncCameraFromPhoneToPC(SetUpContext(connect, job), job);
    });
}

extern "C" QS_API int32_t QS_CALL SyncDevDocument(ConnectParams* connect, JobParams* job) {
    return RunExport("SyncDevDocument", kSyncFailed, [&] {
        const JobSetup setup = SetUpContext(connect, job);
        const DestinationFolders* folders = Destinations(job);
        if (!folders || !folders->documentFolder) {
            QS_LOG_COMPONENT("SyncDevDocument");
            return -1;
        }
        const std::string pcFolder = Utf8(folders->documentFolder);
        const int32_t first =
            FILE_API::CopyPathFromPhoneToPC(setup.phone, setup.window, setup.device + QS_FOLDER_DOWNLOADS, pcFolder);
        if (first != 0) return first;
        return FILE_API::CopyPathFromPhoneToPC(setup.phone, setup.window, setup.device + QS_FOLDER_DOWNLOAD, pcFolder);
    });
}

// Creates, rewrites or deletes each listed playlist in turn. 0 when every
// item was carried out or a stop ended the loop; 1 when an item failed or
// had an unknown operation (the items after it are left alone).
extern "C" QS_API int32_t QS_CALL SyncPlaylist(ConnectParams* connect, JobParams* job) {
    return RunExport("SyncPlaylist", kPlaylistFailed, [&] {
        const JobSetup setup = SetUpContext(connect, job);
        if (!job || !job->word2) return 1;
        const auto* playlists = static_cast<const QsHostList*>(job->word2);
        const size_t total = HostListCount(playlists);
        for (size_t i = 0; i < total; ++i) {
            if (setup.phone.Stopping()) break;
            PlaylistItem* item = HostListAt<PlaylistItem>(playlists, i);
            int32_t result = 1;
            switch (item ? item->playlistOp : 0) {
                case 1: result = CPlayList::CreatePlayList(setup.phone, item); break;
                case 2: result = CPlayList::UpdatePlayList(setup.phone, item); break;
                case 3: result = CPlayList::DeletePlayList(setup.phone, item); break;
                default: break;
            }
            if (result != 0) return 1;
            ItemResult record{0, kPlaylistResultCode, item};
            ReportItem(setup.window, kPlaylistMessageId, &record);
            ReportPercent(setup.window, static_cast<uint32_t>((i + 1) * 100u / total));
        }
        return 0;
    });
}

// ---- Backup and Restore ----------------------------------------------------
// Unlike the sync exports they take the phone service's host and port as
// plain arguments and leave the stop flag as it is: a stop left by an
// earlier job still ends them with 21.

namespace {

static_assert(CBackupRestore::kMusic == QS_CATEGORY_MUSIC && CBackupRestore::kPhotosAndVideos == QS_CATEGORY_GALLERY &&
                  CBackupRestore::kDocuments == QS_CATEGORY_DOCUMENTS,
              "the header's category codes");

constexpr int32_t kFailed = CBackupRestore::kFailed;
constexpr int32_t kStopped = CBackupRestore::kStopped;

// Stores host and port in the context and gives the job its copy of the
// context. False (nothing stored) without a host, or without a PC folder or
// phone root to work on: an empty PC folder would put the category folders
// at the top of a drive.
bool TakeArguments(const QS_WCHAR* host, int32_t port, const QS_WCHAR* pcFolder, const QS_WCHAR* phoneRoot,
                   JobSetup& setup) {
    if (host == nullptr || pcFolder == nullptr || phoneRoot == nullptr || pcFolder[0] == 0) return false;
    setup = JobSetupFrom(GetSyncContext().SetPhone(Utf8(host), port));
    return true;
}

bool Stopping() { return GetSyncContext().stopRequested.load() != 0; }

// The frame both category exports share: the arguments are checked and
// host and port stored, the category operation runs with the texts, no
// exception leaves, and a raised stop flag turns any result into 21.
// The operation is taken as it is, not as a std::function: making one can
// allocate, and that must happen inside the frame.
template <typename CategoryRun>
int32_t RunCategoryExport(const char* name, const QS_WCHAR* host, int32_t port, const QS_WCHAR* pcFolder,
                          const QS_WCHAR* phoneRoot, const CategoryRun& run) {
    const int32_t result = RunExport(name, kFailed, [&] {
        JobSetup setup;
        if (!TakeArguments(host, port, pcFolder, phoneRoot, setup)) {
            QS_LOG_COMPONENT(name);
            return kFailed;
        }
        return run(setup.phone, platform::FromHostText(pcFolder), platform::FromHostText(phoneRoot));
    });
    return Stopping() ? kStopped : result;
}

}  // namespace

extern "C" QS_API int32_t QS_CALL Backup(int32_t category, const QS_WCHAR* host, int32_t port,
                                         const QS_WCHAR* pcFolder, const QS_WCHAR* phoneRoot,
                                         ProgressCallback cb) {
    return RunCategoryExport("Backup", host, port, pcFolder, phoneRoot,
                             [&](const PhoneEndpoint& phone, const std::u16string& pc,
                                 const std::u16string& phoneRoot) {
                                 switch (category) {
                                     case CBackupRestore::kMusic:
                                         return CBackupRestore::BackupMusic(phone, phoneRoot, pc, cb);
                                     case CBackupRestore::kPhotosAndVideos:
                                         return CBackupRestore::BackupPhotosAndVideos(phone, phoneRoot, pc, cb);
                                     case CBackupRestore::kDocuments:
                                         return CBackupRestore::BackupDocument(phone, phoneRoot, pc, cb);
                                     default:
                                         QS_LOG_COMPONENT("Backup");
                                         return kFailed;
                                 }
                             });
}

extern "C" QS_API int32_t QS_CALL Restore(int32_t category, const QS_WCHAR* host, int32_t port,
                                          const QS_WCHAR* pcFolder, const QS_WCHAR* phoneRoot,
                                          int32_t conflictMode, ProgressCallback cb) {
    return RunCategoryExport("Restore", host, port, pcFolder, phoneRoot,
                             [&](const PhoneEndpoint& phone, const std::u16string& pc,
                                 const std::u16string& phoneRoot) {
                                 switch (category) {
                                     case CBackupRestore::kMusic:
                                         return CBackupRestore::RestoreMusic(phone, pc, phoneRoot, conflictMode, cb);
                                     case CBackupRestore::kPhotosAndVideos:
                                         return CBackupRestore::RestorePhotosAndVideos(phone, pc, phoneRoot, conflictMode, cb);
                                     case CBackupRestore::kDocuments:
                                         return CBackupRestore::RestoreDocument(phone, pc, phoneRoot, conflictMode, cb);
                                     default:
                                         QS_LOG_COMPONENT("Restore");
                                         return kFailed;
                                 }
                             });
}

// ---- Options ---------------------------------------------------------------
// Stored in the process's context; each job copies them when it starts.

extern "C" QS_API int32_t QS_CALL SetOption(int32_t option, int32_t value) {
    return RunExport("SetOption", -1, [&] {
        SyncContext& context = GetSyncContext();
        switch (option) {
            case QS_OPTION_REQUEST_RETRIES:
                if (value < 0 || value > SyncContext::kMaxRequestRetries) return -1;
                context.requestRetries.store(value);
                return 0;
            case QS_OPTION_RETRY_DELAY_MS:
                if (value < 0 || value > SyncContext::kMaxRetryDelayMs) return -1;
                context.retryDelayMs.store(value);
                return 0;
            case QS_OPTION_RETRIES_MADE:
                if (value != 0) return -1;
                context.retriesMade.store(0);
                return 0;
            default:
                return -1;
        }
    });
}

extern "C" QS_API int32_t QS_CALL GetOption(int32_t option) {
    return RunExport("GetOption", -1, [&] {
        const SyncContext& context = GetSyncContext();
        switch (option) {
            case QS_OPTION_REQUEST_RETRIES: return context.requestRetries.load();
            case QS_OPTION_RETRY_DELAY_MS: return context.retryDelayMs.load();
            case QS_OPTION_RETRIES_MADE: return context.retriesMade.load();
            default: return -1;
        }
    });
}
