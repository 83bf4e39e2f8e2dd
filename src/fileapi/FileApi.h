// The file copy layer: short answers about phone files (FILE_API_PHONE) on
// top of the file service client, and copies between PC and phone with the
// PC path rules they need (FILE_API).
//
// Every operation talks to the phone named by the endpoint it is given,
// passes the endpoint's stop flag, and waits at most the endpoint's time-out
// of silence per exchange (60 seconds from the entry points). Phone paths
// are UTF-8 with forward slashes. The operations keep no state and may run
// on any thread at once.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "filesync/HttpFileAPI.h"
#include "platform/path_style.h"
#include "quellsync_http.h"
#include "transport/PhoneEndpoint.h"

class FILE_API_PHONE {
public:
    // True when the phone has the path. An absent path gives false without a
    // log line; a failed query gives false with one.
    static bool PhoneFileExist(const PhoneEndpoint& phone, const std::string& path);

    // The file's size, all 64 bits; -1 (logged) when the query failed, the
    // path is absent, or the phone reports a size beyond the signed 64-bit
    // range.
    static int64_t PhoneGetFileSize(const PhoneEndpoint& phone, const std::string& path);

    // True when the phone deleted the file (or had none). Not logged: the
    // caller logs.
    static bool PhoneDeleteFile(const PhoneEndpoint& phone, const std::string& path);

    // Deletes a folder tree; the folder is sent with a trailing "/" (an
    // empty text becomes "/"). 0 deleted, -4 failed (logged).
    static int32_t PhoneDeletePath(const PhoneEndpoint& phone, const std::string& folder);

    // Removes the empty folders below a folder (sent with a trailing "/").
    // The service's result unchanged: 0, or its negative failure code
    // (CHttpFileAPI). Not logged.
    static int32_t PhoneDeleteEmptyPath(const PhoneEndpoint& phone, const std::string& folder);

    // Asks the media scanner about one file.
    //   0  the scanner answered with at least one entry; the first is copied
    //      to out (may be null)
    //  -1  the request failed (logged)
    //  -2  the answer held no entry (logged)
    static int32_t ScanSingleMediaFile(const PhoneEndpoint& phone, const std::string& path, MediaScanEntry* out);

    // Asks the media scanner about a list of files; the answers are appended
    // to answers in the phone's order. 0 success, -1 failure (logged).
    static int32_t ScanListMediaFile(const PhoneEndpoint& phone, const std::vector<std::string>& paths,
                                     std::vector<MediaScanEntry>* answers);
};

// ---- FILE_API: copies between PC and phone, and the PC path rules ----------

// One upload of the PC-to-phone job: the item, what its result message
// carries, and the two paths (UTF-8).
struct TransferTask {
    bool scanAfterUpload = false;
    SyncItem* item = nullptr;
    intptr_t code = 0;
    uint32_t messageId = 0;
    std::string source;  // the PC path
    std::string target;  // the phone path
};

namespace pc_paths {

// The upper-case letter a Windows file system takes a letter for: the
// simple case mapping of the Latin, Greek and Cyrillic letters, others as
// they are.
char16_t WindowsCaseFold(char16_t c);

// The PC names one copy run has settled on, compared as the PC file system
// compares them: case-insensitively in the Windows style (simple case
// mapping of the Latin, Greek and Cyrillic letters), byte for byte in the
// POSIX style. Two phone entries that map to one PC name would otherwise
// write one file over the other.
class RunNames {
public:
    explicit RunNames(platform::PathStyle style) : mStyle(style) {}
    bool Taken(const std::u16string& path) const { return mKeys.count(Key(path)) != 0; }
    void Take(const std::u16string& path) { mKeys.insert(Key(path)); }

private:
    std::u16string Key(const std::u16string& path) const;
    platform::PathStyle mStyle;
    std::set<std::u16string> mKeys;
};

}  // namespace pc_paths

namespace phone_paths {

// Whether a removal of path (a folder or a file) may be sent for an export
// whose phone folder is folder: path holds no "." or ".." segment and is
// neither folder itself nor a folder above it. A service that resolves ".."
// would otherwise delete whatever the path climbs to: the whole device for
// the folder item "C:\..\..".
bool RemovalStaysBelow(const std::string& path, const std::string& folder);

}  // namespace phone_paths

class FILE_API {
public:
    static constexpr int32_t kMaxWorkers = 5;
    static constexpr uint32_t kPollMs = 10;

    // Results of CopyFilePCToPhone.
    static constexpr int32_t kCopyUploadFailed = 19;
    static constexpr int32_t kCopyStopped = 21;
    static constexpr int32_t kCopyNoPcFile = 23;

    // Copies a PC file to a phone path unless the phone has a file of the
    // same size there: 0 copied or up to date; 23 the PC file is missing; 19
    // the upload failed, the PC file could not be opened, or the phone could
    // not tell whether it holds the file (nothing is sent then, and the
    // phone's file stays); 21 the stop flag was set when the copy ended
    // (this overrides the others; with the flag already set at the start,
    // nothing is sent). The phone never keeps a stale tail or a partial
    // file: a phone file of another size is deleted before the upload (once
    // the PC file is open for reading), and a failed or stopped upload that
    // sent a chunk is deleted afterwards (CleanUpPartialUpload). An upload
    // whose chunks were all acknowledged stays, whenever Stop came. A file
    // new on the phone costs one stat, the chunks, nothing else.
    static int32_t CopyFilePCToPhone(const PhoneEndpoint& phone, const std::string& pcPath,
                                     const std::string& phonePath);

    // A clean-up delete is not cut short by the stop flag, so that Stop
    // never leaves a partial file; this bounds what a silent phone costs
    // after Stop instead.
    static constexpr int32_t kCleanUpTimeoutSeconds = 2;
    // Deletes what a failed or stopped upload left at phonePath, ignoring
    // the stop flag, with kCleanUpTimeoutSeconds of silence at most. false
    // when the delete failed: then a log line under name names the file left
    // behind.
    static bool CleanUpPartialUpload(const PhoneEndpoint& phone, const std::string& phonePath, const char* name);
    // Uploads an opened PC file to a phone path that holds no file (none
    // was there, or the caller deleted it): PutFileEx's result, -1 when it
    // threw (logged under name). A failed or stopped upload that sent a
    // chunk is cleaned up (CleanUpPartialUpload), whatever ended it.
    // progress (may be null) hears of every acknowledged chunk.
    static int32_t UploadToFreePath(const PhoneEndpoint& phone, CHttpFileAPI::UploadSource& source,
                                    const std::string& phonePath, const char* name,
                                    const CHttpFileAPI::ByteProgress* progress = nullptr);

    // Worker bodies: one download of CopyPathFromPhoneToPC (0 or -1), one
    // upload of the PC-to-phone job (0, -1 the copy failed, -2 the media
    // scan failed). On success the upload has written the item's phonePath;
    // the job reports the item. The jobs do not start a body once they see
    // the stop flag, not even one they had handed to a worker already: a
    // stop that keeps an item from starting is no failure.
    static int32_t GetFileTaskProc(const PhoneEndpoint& phone, const std::string& source,
                                   const std::string& target);
    static int32_t PutFileTaskProc(const PhoneEndpoint& phone, const TransferTask& task);

    // Copies a phone folder tree into a PC folder, five downloads at a time,
    // skipping files already present with the same size and numbering
    // names that are taken: 0 all copied or present; -1 a download failed,
    // or an entry was skipped because its path would leave the PC folder,
    // cannot be a PC file name, or its PC name could not be probed; -2 listing the phone folder failed; -3 a PC
    // folder could not be created, or pcFolder is empty (nothing is listed).
    // Percentages go to window, from the calling thread only.
    static int32_t CopyPathFromPhoneToPC(const PhoneEndpoint& phone, HWND window, const std::string& phoneFolder,
                                         const std::string& pcFolder);

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
    // to the first free numbered variant, is free. With run given, a name an
    // earlier entry of the same run took counts as taken whatever its size,
    // and the name settled on is added to it. -1 when a probe failed (not
    // an absent name): nothing may be written then.
    static int32_t MakeUniqueLocalName(std::u16string& path, uint64_t size, pc_paths::RunNames* run = nullptr);
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
// cannot hold or a bidirectional control, ends in a dot or blank, or is a
// reserved device name such as "con.txt" or "LPT1"). rel receives the part
// after phoneFolder, beginning with "/".
bool RelativeBelow(platform::PathStyle style, const std::u16string& entry,
                   const std::u16string& phoneFolder, std::u16string& rel);
// The PC target of a listed entry: pcFolder + rel, "/" turned into the
// style's separator.
std::u16string TargetFor(platform::PathStyle style, const std::u16string& pcFolder,
                         const std::u16string& rel);

}  // namespace pc_paths
