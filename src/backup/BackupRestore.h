// Backup and restore of content categories between the phone and a PC
// folder: flat file lists on both sides, the two path copy engines, and the
// category operations with their folder plans.
//
// CBackupRestore keeps no state. It talks to the phone named by the endpoint
// it is given and passes the endpoint's stop flag and retry policy to every
// remote operation. The engines move up to five files at once on a worker
// pool joined before they return; everything the host can see happens on
// the thread of the Backup or Restore export, in list order: a file is
// handled (put under its PC name, reported) there, and the stop flag is
// tested there between two files. After a stop or a failure at a file, what
// the run had moved of later files is removed again, so the trees are those
// of one file at a time.
// Phone paths are wide inside this unit and UTF-8 on the wire.
//
// Results of the engines and category operations:
//    0  every file was copied (on restore: or left as the phone had it)
//    1  a listing failed, a phone file to be replaced could not be deleted,
//       no numbered phone name could be found, an exception was caught, or
//       (backup) a listed phone entry was refused because it would land
//       outside the PC folder or cannot be a PC file name: the backup is
//       incomplete
//   21  the stop flag was set before a file
//   any other value: the result of the failing PutFileEx or GetFile
//
// Nothing below an engine or a category operation lets an exception out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/path_style.h"
#include "quellsync_http.h"
#include "transport/PhoneEndpoint.h"

namespace pc_paths {
class RunNames;
}

// One file of a listing: full path and size. PC entries carry the long-path
// prefix (Windows); phone entries hold the name the phone reported.
struct BackupFileEntry {
    std::u16string mstrPath;
    int64_t mnSize = 0;
};

// Entries in the order they were appended; the listings only ever append,
// so one list can collect several folders.
class BackupFileList {
public:
    void Append(BackupFileEntry entry) { mEntries.push_back(std::move(entry)); }
    size_t GetCount() const { return mEntries.size(); }
    // Throws std::out_of_range for an index of count or more.
    const BackupFileEntry& GetAt(size_t index) const { return mEntries.at(index); }

private:
    std::vector<BackupFileEntry> mEntries;
};

using BackupExtensions = std::vector<std::u16string>;

// The string rules of this unit over a PC path style, so that both styles
// are exercised on every platform. CBackupRestore applies them with the
// native style.
namespace backup_paths {

// folder + name with exactly one separator at the seam: a separator is
// appended to the folder unless it ends in one (an empty folder does not),
// and one leading separator of the name is dropped. Windows style "\",
// POSIX style "/".
std::u16string JoinPcPath(platform::PathStyle style, const std::u16string& folder,
                          const std::u16string& name);
// The same rule with "/", for phone paths.
std::u16string JoinPhonePath(const std::u16string& folder, const std::u16string& name);
// Windows style: "\\?\" in front unless the path has it; POSIX: unchanged.
std::u16string AddLongPathPrefix(platform::PathStyle style, const std::u16string& path);
// The extension is the part of the whole path from its last "." on (the
// whole path when there is none); true when it equals an entry of the list
// without regard to ASCII case. Entries carry their dot (".pdf").
bool HasListedExtension(const std::u16string& path, const BackupExtensions& extensions);

// The destination of a listed file. PC to phone: the PC path without the
// prefixed PC root, Windows separators turned into "/", joined to the phone
// root. Phone to PC: the phone path without the phone root, "/" turned into
// the style's separator, joined to the PC root, prefixed.
std::u16string MapPcToPhone(platform::PathStyle style, const std::u16string& pcEntry,
                            const std::u16string& pcRoot, const std::u16string& phoneRoot);
std::u16string MapPhoneToPc(platform::PathStyle style, const std::u16string& phoneEntry,
                            const std::u16string& phoneRoot, const std::u16string& pcRoot);

// A phone path with the number n put into its file name: before the last "."
// of the name ("/x/a.mp3" -> "/x/a(2).mp3"), or at its end when the name has
// none ("/x/README" -> "/x/README(2)"). path must hold a "/".
std::u16string NumberedPhoneName(const std::u16string& path, int64_t n);

// One engine run of a category: the roots, the folders below the source
// root (none: the source root itself), the filter (backup only; null: every
// file) and the progress scale.
struct CopyPass {
    std::u16string pcRoot;
    std::u16string phoneRoot;
    std::vector<std::u16string> folders;
    const BackupExtensions* filter = nullptr;
    int32_t scale = 100;
    // Restore only, with no folders: the folders directly below pcRoot that
    // the pass does not read (another pass restores them, or they hold an
    // older layout). Names compare as the PC file system compares them:
    // case-insensitively in the Windows style. A file of such a name is read.
    std::vector<std::u16string> skipped;
    // Restore only, when not empty: a further PC folder whose files join the
    // pass's one list after those of pcRoot, each going to its place
    // relative to olderPcRoot below phoneRoot. A file whose relative name
    // (compared as above) pcRoot's files already give is left out: the copy
    // below pcRoot is the one a backup writes now.
    std::u16string olderPcRoot;
};

// The passes of a category code (0 music, 1 photos and videos, 5 documents),
// in the order they run; empty for any other code.
std::vector<CopyPass> BackupPlan(platform::PathStyle style, int32_t category, const std::u16string& pcFolder,
                                 const std::u16string& phoneRoot);
std::vector<CopyPass> RestorePlan(platform::PathStyle style, int32_t category, const std::u16string& pcFolder,
                                  const std::u16string& phoneRoot);

}  // namespace backup_paths

class CBackupRestore {
public:
    static constexpr int32_t kStopped = 21;
    static constexpr int32_t kFailed = 1;
    static constexpr int32_t kPcListFailed = -101;
    // A PC folder tree deeper than this is not descended further (logged).
    static constexpr int kMaxPcDepth = 64;
    static constexpr int32_t kTimeoutSeconds = 60;

    // Category codes.
    static constexpr int32_t kMusic = 0;
    static constexpr int32_t kPhotosAndVideos = 1;
    static constexpr int32_t kDocuments = 5;

    // Filter of the document backup's first pass.
    static const BackupExtensions& DocumentExtensions();

    // The native-style path rules.
    static std::u16string JoinPcPath(const std::u16string& folder, const std::u16string& name);
    static std::u16string JoinPhonePath(const std::u16string& folder, const std::u16string& name);
    static std::u16string AddLongPathPrefix(const std::u16string& path);
    static bool HasListedExtension(const std::u16string& path, const BackupExtensions& extensions);

    // Appends every file below folder, depth first, in the file system's
    // order. Folders whose names begin with "." are not entered, nor are
    // links (symbolic links, junctions, other reparse points), nor folders
    // deeper than kMaxPcDepth. A set stop flag (may be null) ends the walk
    // early.
    //   0     done, also when there is no folder of that name (logged;
    //         a file of the name holds nothing to list)
    //   -101  the folder is there but cannot be read, or the enumeration
    //         failed part-way (logged); entries so far stay
    static int32_t GetAllFileListFromPC(const std::u16string& folder, BackupFileList& list,
                                        const PhoneEndpoint::StopFlag* stop = nullptr);
    // Appends every file below a phone folder, all levels, in the reverse of
    // the phone's listing order. 0 done; 1 the listing failed (logged,
    // nothing appended).
    static int32_t GetAllFileListFromPhone(const PhoneEndpoint& phone, const std::u16string& folder,
                                           BackupFileList& list);
    // Replaces path, an existing phone file, by the first numbered name
    // (n = 2, 3, ...) that its folder does not hold. 0 replaced; 1 the
    // folder could not be listed or path holds no "/" (logged, unchanged).
    static int32_t GetFileNameOnPhone(const PhoneEndpoint& phone, std::u16string& path);

    // Restore: copies every file below the PC root's folders to the same
    // relative place below the phone root. conflictMode decides about a
    // phone file already there: 1 upload under a numbered name, 2 delete and
    // upload, any other value leave it. Numbered names are chosen in list
    // order, the run's own earlier targets counting as taken; a replaced
    // file is deleted only in its turn, once every file before it is done.
    // A failed or stopped upload leaves no partial phone file, and uploads
    // of files after the stop or failure point are deleted again (never a
    // file the phone had). Progress j * scale / n after each file handled.
    static int32_t CopyPathFromPCToPhone(const PhoneEndpoint& phone, const std::u16string& pcRoot, const std::u16string& phoneRoot,
                                         const std::vector<std::u16string>& folders, int32_t conflictMode,
                                         ProgressCallback callback, int32_t scale);
    // The same over a whole restore pass: its skipped folders are not read,
    // and the files of its older PC root join the list (see CopyPass).
    static int32_t CopyPathFromPCToPhone(const PhoneEndpoint& phone, const backup_paths::CopyPass& pass,
                                         int32_t conflictMode, ProgressCallback callback);
    // Backup: copies every phone file below the phone root's folders that
    // passes the filter (null: all) to the same relative place below the PC
    // root, overwriting a PC file of that name only in the file's turn,
    // once the new copy is complete (downloads wait under temporary names;
    // those after a stop or failure point are removed). Entries that would leave the PC root are skipped (logged)
    // and make the run end with 1. Progress j * scale / n after each copy.
    // taken (may be null) holds the PC names the backup has written so far,
    // its earlier passes included: an entry that maps to one of them (two
    // phone folders mapped to one PC folder, or names that differ in case
    // only on a Windows PC) goes under the first numbered name not taken,
    // name(2).ext, name(3).ext, ..., instead of over the file just written.
    static int32_t CopyPathFromPhoneToPC(const PhoneEndpoint& phone, const std::u16string& phoneRoot, const std::u16string& pcRoot,
                                         const std::vector<std::u16string>& folders, ProgressCallback callback,
                                         const BackupExtensions* filter, int32_t scale,
                                         pc_paths::RunNames* taken = nullptr);

    // Category operations, on the phone the endpoint names.
    static int32_t BackupMusic(const PhoneEndpoint& phone, const std::u16string& phoneRoot,
                               const std::u16string& pcFolder, ProgressCallback callback);
    static int32_t BackupPhotosAndVideos(const PhoneEndpoint& phone, const std::u16string& phoneRoot,
                                         const std::u16string& pcFolder, ProgressCallback callback);
    static int32_t BackupDocument(const PhoneEndpoint& phone, const std::u16string& phoneRoot,
                                  const std::u16string& pcFolder, ProgressCallback callback);
    static int32_t RestoreMusic(const PhoneEndpoint& phone, const std::u16string& pcFolder,
                                const std::u16string& phoneRoot, int32_t conflictMode, ProgressCallback callback);
    static int32_t RestorePhotosAndVideos(const PhoneEndpoint& phone, const std::u16string& pcFolder,
                                          const std::u16string& phoneRoot, int32_t conflictMode,
                                          ProgressCallback callback);
    static int32_t RestoreDocument(const PhoneEndpoint& phone, const std::u16string& pcFolder,
                                   const std::u16string& phoneRoot, int32_t conflictMode,
                                   ProgressCallback callback);
};
