// The file copy layer: short answers about phone files (FILE_API_PHONE) on
// top of the file service client, and copies between PC and phone with the
// PC path rules they need (FILE_API).
//
// Every FILE_API_PHONE operation talks to the phone named by the sync
// context (host and port), passes its stop flag, and waits at most 60
// seconds of silence per exchange. Phone paths are UTF-8 with forward
// slashes. The operations keep no state and may run on any thread at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "filesync/HttpFileAPI.h"
#include "platform/lock.h"
#include "platform/path_style.h"
#include "quellsync_http.h"

class FILE_API_PHONE {
public:
    // Inactivity time-out of every exchange, in seconds.
    static constexpr int32_t kTimeoutSeconds = 60;

    // True when the phone has the path. An absent path gives false without a
    // log line; a failed query gives false with one.
    static bool PhoneFileExist(const std::string& path);

    // The file's size, all 64 bits; -1 (logged) when the query failed, the
    // path is absent, or the phone reports a size beyond the signed 64-bit
    // range.
    static int64_t PhoneGetFileSize(const std::string& path);

    // True when the phone deleted the file (or had none). Not logged: the
    // caller logs.
    static bool PhoneDeleteFile(const std::string& path);

    // Deletes a folder tree; the folder is sent with a trailing "/" (an
    // empty text becomes "/"). 0 deleted, -4 failed (logged).
    static int32_t PhoneDeletePath(const std::string& folder);

    // Removes the empty folders below a folder (sent with a trailing "/").
    // The service's result unchanged: 0, or its negative failure code
    // (CHttpFileAPI). Not logged.
    static int32_t PhoneDeleteEmptyPath(const std::string& folder);

    // Asks the media scanner about one file.
    //   0  the scanner answered with at least one entry; the first is copied
    //      to out (may be null)
    //  -1  the request failed (logged)
    //  -2  the answer held no entry (logged)
    static int32_t ScanSingleMediaFile(const std::string& path, MediaScanEntry* out);

    // Asks the media scanner about a list of files; the answers are appended
    // to answers in the phone's order. 0 success, -1 failure (logged).
    static int32_t ScanListMediaFile(const std::vector<std::string>& paths,
                                     std::vector<MediaScanEntry>* answers);
};

// ---- FILE_API: copies between PC and phone, and the PC path rules ----------

// The counter of one parallel job's workers. It lives in the job, which
// returns only after running is back at 0. Workers change it only under its
// lock, notify while still holding the lock, and touch nothing of it after.
struct TaskCounter {
    platform::Lock lock;
    platform::Condition changed;
    int32_t running = 0;
    int32_t result = 0;  // 0 until a worker fails; the last failure's code
    // Item results left by upload workers for the job's thread, in the
    // order the workers finished.
    std::vector<std::pair<uint32_t, std::unique_ptr<ItemResult>>> pending;

    int32_t Running();
    void AddRunning(int32_t n);
    int32_t Result();
    // Worker side, one call at its end: lowers running, stores a nonzero
    // failure, queues an item result (may be null), and wakes the job.
    void Finish(int32_t failure, uint32_t messageId, std::unique_ptr<ItemResult> item);
    // Job side: waits at most timeoutMs until running is below wakeBelow
    // (or, with a deliver function, an item result is pending), then calls
    // deliver with the lock held on every pending item in order and empties
    // them. Returns running as seen under the lock.
    int32_t WaitAndDeliver(uint32_t timeoutMs, int32_t wakeBelow,
                           const std::function<void(uint32_t, ItemResult*)>& deliver);
};

// Everything one worker needs; owned by the worker from its start.
struct TransferTask {
    TaskCounter* counter = nullptr;
    std::string host;
    int32_t port = 0;
    const std::atomic<uint8_t>* stop = nullptr;
    bool scanAfterUpload = false;
    SyncItem* item = nullptr;
    intptr_t code = 0;
    uint32_t messageId = 0;
    std::string source;  // upload: PC path; download: phone path (UTF-8)
    std::string target;  // upload: phone path; download: PC path (UTF-8)
};

class FILE_API {
public:
    static constexpr int32_t kTimeoutSeconds = 60;
    static constexpr int32_t kMaxWorkers = 5;
    static constexpr uint32_t kPollMs = 10;

    // Results of CopyFilePCToPhone.
    static constexpr int32_t kCopyUploadFailed = 19;
    static constexpr int32_t kCopyStopped = 21;
    static constexpr int32_t kCopyNoPcFile = 23;

    // Copies a PC file to a phone path unless the phone has a file of the
    // same size there: 0 copied or up to date; 23 the PC file is missing; 19
    // the upload failed; 21 the stop flag was set when the copy ended (this
    // overrides the others). The phone never keeps a stale tail or a partial
    // file: a phone file of another size is deleted before the upload, and
    // a failed or stopped upload is deleted afterwards.
    static int32_t CopyFilePCToPhone(const std::string& pcPath, const std::string& phonePath);

    // Worker procedures (each releases its task): one download of
    // CopyPathFromPhoneToPC (0 or -1), one upload of the PC-to-phone job
    // (0, -1 the copy failed, -2 the media scan failed).
    static int32_t GetFileTaskProc(std::shared_ptr<TransferTask> task);
    static int32_t PutFileTaskProc(std::shared_ptr<TransferTask> task);
    // Starts a worker procedure on a thread of its own; false (nothing runs)
    // when no thread could be started.
    static bool StartWorker(int32_t (*procedure)(std::shared_ptr<TransferTask>),
                            std::shared_ptr<TransferTask> task);

    // Copies a phone folder tree into a PC folder, five downloads at a time,
    // skipping files already present with the same size and numbering
    // names that are taken: 0 all copied or present; -1 a download failed,
    // or an entry was skipped because its path would leave the PC folder or
    // cannot be a PC file name; -2 listing the phone folder failed; -3 a PC
    // folder could not be created, or pcFolder is empty (nothing is listed).
    static int32_t CopyPathFromPhoneToPC(const std::string& phoneFolder, const std::string& pcFolder);

    // The PC path mirrored under a phone folder: /sdcard/Music and
    // C:\Users\me\a.mp3 give /sdcard/Music/C/Users/me/a.mp3 (on POSIX,
    // /home/me/a.mp3 gives /sdcard/Music/home/me/a.mp3).
    static std::string BuildPhonePath(const std::string& pcPath, const std::string& phoneFolder);
    static std::u16string AddLongPathPrefix(const std::u16string& path);
    static bool LocalPathExists(const std::u16string& path);
    // -1 when absent.
    static int64_t LocalFileSize(const std::u16string& path);
    static bool LocalDirExists(const std::u16string& folder);
    // Creates the folder and its missing parents.
    static bool EnsureLocalDir(const std::u16string& folder);
    static bool EnsureParentDir(const std::u16string& filePath);
    // 1 when a file of size already exists under path or one of its numbered
    // variants "stem(n).ext" (nothing to copy); 0 when path, possibly changed
    // to the first free numbered variant, is free.
    static int32_t MakeUniqueLocalName(std::u16string& path, uint64_t size);
};

// The string rules of the PC paths, for either path style, so that both are
// exercised on every platform. FILE_API applies them with the native style.
namespace pc_paths {

std::string BuildPhonePath(platform::PathStyle style, const std::string& pcPath,
                           const std::string& phoneFolder);
// Windows: paths of 6 characters or fewer count as absent.
bool TooShortToExist(platform::PathStyle style, const std::u16string& path);
// The pattern whose match proves a folder exists (Windows: "folder\*.*"),
// or the folder itself (POSIX).
std::u16string DirProbe(platform::PathStyle style, const std::u16string& folder);
// The folder EnsureLocalDir creates first, or empty when the folder is a
// root (Windows: only the long-path prefix's backslashes remain).
std::u16string ParentToEnsure(platform::PathStyle style, const std::u16string& folder);
// folder + stem + "(n)" + extension of path.
std::u16string NumberedName(platform::PathStyle style, const std::u16string& path, int n);
// The relative part of a listed phone entry below phoneFolder, checked:
// false when the entry does not begin with phoneFolder + "/", or a segment
// is empty, "." or ".." (Windows also: holds a character a Windows name
// cannot hold). rel receives the part after phoneFolder, beginning with "/".
bool RelativeBelow(platform::PathStyle style, const std::u16string& entry,
                   const std::u16string& phoneFolder, std::u16string& rel);
// The PC target of a listed entry: pcFolder + rel, "/" turned into the
// style's separator.
std::u16string TargetFor(platform::PathStyle style, const std::u16string& pcFolder,
                         const std::u16string& rel);

}  // namespace pc_paths
