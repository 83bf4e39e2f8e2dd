/*
 * quellsync_http: the PC-side client of the phone's sync service.
 *
 * The host application calls the twelve entry points below; the ones after
 * them (options, phone files, path answers) go beyond what the host was
 * built against. Each entry point's results, the phone folders it uses and
 * how many files and chunks it moves at once are stated at its declaration.
 * Every record the
 * host hands in is a sequence of pointer-sized words ("word" = one void* /
 * intptr_t slot). On 32-bit Windows a word is 32 bits wide, which is the
 * layout the host application was built against; on 64-bit platforms every
 * word is 8 bytes. Integer fields are intptr_t slots read as 32-bit integers.
 *
 * All host texts are NUL-terminated UTF-16 (QS_WCHAR).
 *
 * Memory handed back to the host: texts that the library writes into host
 * records (SyncItem.phonePath after an upload, PlaylistItem.playlistId after a
 * create) are allocated with malloc() on POSIX, to be released with free(),
 * and with LocalAlloc(LMEM_FIXED, ...) on Windows, to be released with
 * LocalFree(). The library never frees them itself.
 *
 * A null record, list or text where an entry point needs one makes that entry
 * point return its failure result; it never crashes. Stop ignores its
 * arguments.
 *
 * Threads. Each entry point runs its job on the calling thread and returns
 * when the job has ended; no thread it started outlives the call. Any entry
 * points may run at the same time on different host threads, as long as no
 * record, list or item is handed to two running calls (jobs write into
 * them). Each sync export (SyncMusicFile to SyncPlaylist) stores the phone
 * address, device root and window of its records in the library's context
 * when it starts and works with its own copy of them to the end, so two jobs
 * at once may talk to two phones; Backup and Restore do the same with their
 * host and port. An export called with an empty role string copies what the
 * latest set-up stored, whichever thread made it.
 * There is one stop flag for the whole library. Stop may be called from any
 * thread, also from within the handling of a progress message; it raises
 * the flag and so stops every job running at that moment. Every sync export
 * clears the flag when it starts, for every job still running as well: a
 * stop meant for one job is lost when another sync export starts before
 * that job has seen it. Backup and Restore leave the flag as it is, and a
 * raised flag ends them with 21. Progress messages and the backup progress
 * callback are delivered on the thread that called the entry point.
 * Options are process-wide, like the stop flag. A job reads them when it
 * starts: SetOption during a job changes only the jobs that start after it.
 * SetOption and GetOption may be called from any thread at any time.
 */
#ifndef QUELLSYNC_HTTP_H
#define QUELLSYNC_HTTP_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef _WIN32
typedef wchar_t QS_WCHAR;
/* Declared exactly as the Windows headers declare it, so this header can be
 * included before or after them. */
typedef struct HWND__* HWND;
/* The library's own build defines QUELLSYNC_HTTP_BUILDING and exports the
 * entry points; a host that includes this header imports them from the DLL. */
#ifdef QUELLSYNC_HTTP_BUILDING
#define QS_API __declspec(dllexport)
#else
#define QS_API __declspec(dllimport)
#endif
#define QS_CALL __cdecl
#else
typedef uint16_t QS_WCHAR;
/* Outside Windows a host "window" is a callback: sending message m to window
 * w calls w->proc(w->context, m, wParam, lParam) synchronously on the sending
 * thread and yields its result. Sending to a null window does nothing and
 * yields 0. */
typedef intptr_t (*QsWindowProc)(void* context, uint32_t message, uintptr_t wParam, intptr_t lParam);
typedef struct QsHostWindow {
    QsWindowProc proc;
    void* context;
} QsHostWindow;
typedef QsHostWindow* HWND;
#define QS_API __attribute__((visibility("default")))
#define QS_CALL
#endif

/* The message number of every progress message sent to the host window. */
#define QS_PROGRESS_MESSAGE 2525
/* wParam of a percentage message; lParam then holds 0..100. Any other wParam
 * is a message identifier and lParam points to an ItemResult. */
#define QS_PROGRESS_PERCENT 0x20002

/* A host list: count = last - first; first == NULL means an empty list. */
typedef struct QsHostList {
    void* reserved0;
    void** first;
    void** last;
    void* reserved3;
} QsHostList;

typedef struct ConnectParams {
    void* reserved0[3];
    const QS_WCHAR* url;  /* phone service URL, e.g. http://127.0.0.1:8182/ */
    void* reserved4[8];
    const QS_WCHAR* role; /* role string: key=value pairs separated by ';' */
} ConnectParams;

typedef struct JobParams {
    HWND window;       /* receives progress messages; may be null */
    void* reserved1;
    void* word2;       /* DestinationFolders* (phone-to-PC jobs) or
                          QsHostList* of PlaylistItem* (SyncPlaylist) */
    QsHostList* items; /* list of SyncItem* (PC-to-phone jobs) */
} JobParams;

typedef struct DestinationFolders {
    void* reserved0[2];
    const QS_WCHAR* cameraFolder;
    const QS_WCHAR* documentFolder;
} DestinationFolders;

typedef struct SyncItem {
    void* reserved0[3];
    const QS_WCHAR* pcPath;
    void* reserved4;
    QS_WCHAR* phonePath; /* read for removals; written after an upload */
    intptr_t changeKind; /* 1 or 2: copy to the phone; 3: remove; else ignored */
    intptr_t isFolder;   /* nonzero: the item is a folder */
} SyncItem;

typedef struct ItemResult {
    intptr_t status; /* 0: carried out; 1: failed */
    intptr_t code;   /* job kind code */
    void* item;      /* the host's SyncItem* or PlaylistItem* */
} ItemResult;

typedef struct PlaylistItem {
    const QS_WCHAR* playlistName;
    intptr_t insertSeq;
    void* reserved2;
    QS_WCHAR* playlistId; /* written by a create */
    intptr_t playlistOp;
    QsHostList members;   /* list of SyncItem* whose phonePath names a song */
} PlaylistItem;

typedef void (QS_CALL* ProgressCallback)(int32_t percent);

/* Phone folders. ROOT is the device root that the role string's "device="
 * names (the sync exports) or the phoneRoot argument (Backup, Restore). The
 * exports work in these folders below ROOT (ASCII texts, also as UTF-16): */
#define QS_FOLDER_MUSIC     "/Music"                  /* SyncMusicFile */
#define QS_FOLDER_PICTURES  "/Pictures"               /* SyncPhotoFile */
#define QS_FOLDER_MOVIES    "/Movies"                 /* SyncVideoFile */
#define QS_FOLDER_DOCUMENTS "/My Documents/Documents" /* SyncDocumentFile */
#define QS_FOLDER_PLAYLISTS "/Music/Playlist"         /* SyncPlaylistFile */
#define QS_FOLDER_CAMERA    "/DCIM"                   /* SyncPhoto */
#define QS_FOLDER_DOWNLOADS "/Downloads"              /* SyncDevDocument, first */
#define QS_FOLDER_DOWNLOAD  "/Download"               /* SyncDevDocument, then */

/* How much moves at once. A PC-to-phone job uploads QS_FILES_AT_ONCE files
 * at once and a phone-to-PC job downloads as many; every file moves in
 * chunks of QS_CHUNK_SIZE bytes with at most QS_CHUNKS_AT_ONCE of them in
 * flight, each over a connection of its own (so up to 25 requests at once).
 * Backup, Restore and the phone file calls move one file at a time. Files
 * of 2 GiB or more cannot be moved: chunk offsets are 31-bit on the wire. */
#define QS_FILES_AT_ONCE  5
#define QS_CHUNKS_AT_ONCE 5
#define QS_CHUNK_SIZE     65536

/* Does nothing; always 0. */
QS_API int32_t QS_CALL Test(void);
/* Asks every running job to stop; always 0. Both arguments are ignored. It
 * also ends every phone file call running at that moment (see there). */
QS_API int32_t QS_CALL Stop(ConnectParams* connect, JobParams* job);

/* PC-to-phone jobs: job->items lists SyncItem* records. In three passes:
 * folder items of change kind 3 remove the mirrored phone folder tree; file
 * items of kind 3 remove the phone file named by their phonePath (which
 * must lie below the export's folder); file items of kind 1 or 2 upload the
 * PC file to the mirrored phone path (MirroredPhonePath of pcPath and ROOT +
 * the export's folder), unless the phone has a file of the same size there,
 * and write that path into phonePath. Every upload but SyncPlaylistFile's
 * asks the media scanner to register the file. After a job without failure
 * the empty folders below the export's folder are removed.
 * Each item carried out is reported to job->window with the message
 * identifier 1000 (music, playlists), 1100 (pictures, videos) or 1400
 * (documents) and ItemResult.code 9 (8 for playlist files), then a
 * percentage.
 * Results: 0 done, also when Stop ended it; -1 an upload failed, or no item
 * list; -2 a file removal or a media scan failed; -4 a folder removal failed
 * or its mirrored path would not lie below the export's folder. */
QS_API int32_t QS_CALL SyncMusicFile(ConnectParams* connect, JobParams* job);    /* ROOT + QS_FOLDER_MUSIC */
QS_API int32_t QS_CALL SyncPhotoFile(ConnectParams* connect, JobParams* job);    /* ROOT + QS_FOLDER_PICTURES */
QS_API int32_t QS_CALL SyncVideoFile(ConnectParams* connect, JobParams* job);    /* ROOT + QS_FOLDER_MOVIES */
QS_API int32_t QS_CALL SyncDocumentFile(ConnectParams* connect, JobParams* job); /* ROOT + QS_FOLDER_DOCUMENTS */
QS_API int32_t QS_CALL SyncPlaylistFile(ConnectParams* connect, JobParams* job); /* ROOT + QS_FOLDER_PLAYLISTS */
/* Phone-to-PC jobs: job->word2 is a DestinationFolders*. The phone folder
 * tree is copied below the PC folder (ROOT/DCIM/Camera/a.jpg becomes
 * cameraFolder/Camera/a.jpg). A PC file of the same name and size is kept;
 * one of another size makes the copy go to name(2).ext, name(3).ext, ...
 * Entries whose names cannot be PC names, or would leave the PC folder, are
 * skipped. Percentages go to job->window.
 * Results: 0 done, also when Stop ended it; -1 no PC folder given, a
 * download failed or an entry was skipped; -2 listing the phone folder
 * failed; -3 a PC folder could not be created. */
QS_API int32_t QS_CALL SyncPhoto(ConnectParams* connect, JobParams* job);       /* ROOT + QS_FOLDER_CAMERA into cameraFolder */
QS_API int32_t QS_CALL SyncDevDocument(ConnectParams* connect, JobParams* job); /* ROOT + QS_FOLDER_DOWNLOADS, then
                                                                                    ROOT + QS_FOLDER_DOWNLOAD, into
                                                                                    documentFolder (the second only
                                                                                    when the first gave 0) */
/* Creates (playlistOp 1), rewrites (2) or deletes (3) each playlist of the
 * QsHostList* in job->word2, one after another, in the phone's media
 * database; members are songs named by their phone paths. Each playlist
 * carried out is reported with identifier 1000, code 7, then a percentage.
 * Results: 0 every playlist carried out, or Stop ended the loop; 1 one
 * failed or had an unknown operation (the ones after it are left alone).
 * Table requests are not ended by Stop. */
QS_API int32_t QS_CALL SyncPlaylist(ConnectParams* connect, JobParams* job);

/* Backup categories, and where Backup puts them below pcFolder; Restore
 * reads the same places back to the same places below phoneRoot: */
#define QS_CATEGORY_MUSIC     0  /* ROOT/Music -> Music/Music */
#define QS_CATEGORY_GALLERY   1  /* ROOT/Movies, ROOT/Pictures, ROOT/DCIM -> Gallery/Movies, ... */
#define QS_CATEGORY_DOCUMENTS 5  /* ROOT/Download, ROOT/Downloads (QS_BACKUP_DOCUMENT_EXTENSIONS
                                    only) -> Document/Download, Document/Downloads;
                                    ROOT/My Documents/Documents (every file) -> Document (directly).
                                    Restore uploads Document/Download and Document/Downloads, then
                                    to ROOT/My Documents/Documents everything else a backup put
                                    directly in Document (not the folder My Documents) and the
                                    older layout Document/My Documents/Documents; a name in both
                                    is taken from Document directly */
/* The extensions a documents backup takes from ROOT/Download(s), each with
 * its dot and a ";" after it, compared without regard to ASCII case. */
#define QS_BACKUP_DOCUMENT_EXTENSIONS ".doc;.docx;.xls;.xlsx;.ppt;.pptx;.pdf;.txt;"
#define QS_BACKUP_MUSIC_FOLDER     "Music"
#define QS_BACKUP_GALLERY_FOLDER   "Gallery"
#define QS_BACKUP_DOCUMENTS_FOLDER "Document"
/* Restore's conflictMode for a phone file already at a target: */
#define QS_RESTORE_KEEP     0  /* (any value but 1 and 2) leave the phone's file */
#define QS_RESTORE_NUMBERED 1  /* upload under name(2).ext, name(3).ext, ... */
#define QS_RESTORE_REPLACE  2  /* delete it, then upload */
/* Backup and Restore copy every file of the category, one at a time, each
 * PC file written under its name only once complete, each phone file that
 * fails or is stopped removed again; cb (may be null) hears percentages.
 * Results: 0 every file copied (or left as the phone had it); 1 an unknown
 * category, a listing failed, a phone file to replace could not be deleted,
 * or a phone entry was refused as a PC name; 21 the stop flag was raised
 * (also by a Stop before the call); a negative file service code of the
 * transfer that failed (see the phone file results: -1 ... -12). */
QS_API int32_t QS_CALL Backup(int32_t category, const QS_WCHAR* host, int32_t port,
                              const QS_WCHAR* pcFolder, const QS_WCHAR* phoneRoot,
                              ProgressCallback cb);
QS_API int32_t QS_CALL Restore(int32_t category, const QS_WCHAR* host, int32_t port,
                               const QS_WCHAR* pcFolder, const QS_WCHAR* phoneRoot,
                               int32_t conflictMode, ProgressCallback cb);

/* ---- Beyond the twelve entry points ------------------------------------
 * Options of the library's requests. With every option at its default the
 * twelve entry points behave exactly as without these two calls.
 *
 * With QS_OPTION_REQUEST_RETRIES N > 0, a request that the connection lost
 * (no connection, sending or receiving failed, no byte within the time-out)
 * is made again where that is safe, up to N more times, after a wait that
 * starts at QS_OPTION_RETRY_DELAY_MS and doubles up to 5 seconds; Stop ends
 * the wait at once. A rename and a playlist change are made again only when
 * none of the request was sent: a rename that was sent is checked with a
 * stat of both paths instead, and a lost playlist change fails the item as
 * without retries. A delete whose repeat the phone refuses is done when a
 * stat finds the path gone. An answer that says no, or a complete answer
 * that is malformed, is never retried. A job whose attempts run out ends as
 * it does without retries, with the last attempt's failure. A wait longer
 * than 5 seconds, asked for by QS_OPTION_RETRY_DELAY_MS, is not shortened.
 */
#define QS_OPTION_REQUEST_RETRIES 1  /* attempts after the first, 0..100; default 0 */
#define QS_OPTION_RETRY_DELAY_MS  2  /* wait before the first retry, 0..60000; default 100 */
#define QS_OPTION_RETRIES_MADE    3  /* read only through GetOption: retry attempts made by all
                                        jobs since the library was loaded (each attempt after a
                                        request's first counts one; saturates at INT32_MAX);
                                        SetOption(QS_OPTION_RETRIES_MADE, 0) resets it to 0,
                                        any other value is refused */
/* 0, or -1: unknown option or value out of range. Process-wide; a job reads the options when it starts. */
QS_API int32_t QS_CALL SetOption(int32_t option, int32_t value);
/* The option's current value, or -1 for an unknown option. */
QS_API int32_t QS_CALL GetOption(int32_t option);

/* ---- Path answers --------------------------------------------------------
 * The phone path a PC-to-phone export gives the PC file pcPath below
 * phoneFolder (ROOT + the export's QS_FOLDER_...). Windows: phoneFolder +
 * "/" + pcPath with every "\" turned into "/", then each "//" pair folded
 * to "/" once from the left, then every ":" removed (C:\Users\me\a.mp3 below
 * /sdcard/Music gives /sdcard/Music/C/Users/me/a.mp3; a UNC path keeps one
 * "//"). POSIX: phoneFolder + "/" + pcPath without its leading "/"s.
 * Returns the length of the answer in UTF-16 units, without its NUL; it is
 * written to out with a NUL only when capacity is larger than that, so a
 * caller may ask with capacity 0 first. -1 when a text is null or capacity
 * is negative. */
QS_API int32_t QS_CALL MirroredPhonePath(const QS_WCHAR* pcPath, const QS_WCHAR* phoneFolder, QS_WCHAR* out,
                                         int32_t capacity);

/* ---- Phone files -------------------------------------------------------
 * Single operations on phone paths, for a host that shows and manages what
 * is on the phone. `url` is the service URL, as in ConnectParams.url; the
 * calls do not store it and do not use the context of the sync exports.
 * Phone paths are NUL-terminated UTF-16 texts, absolute ("/" first), with
 * no "." or ".." segment; PC paths are absolute paths of the platform
 * (backslashes on Windows). Each call takes the request options as a job
 * does, when it starts.
 *
 * Stop: a Stop made while one of these calls runs ends it promptly with
 * QS_PHONE_STOPPED, leaving nothing partial. A Stop made before the call
 * began does not affect it, and the calls never read or clear the stop flag
 * of the sync exports, so they cannot swallow a stop meant for a sync job.
 * Threads: any of them may run beside any other entry point on another
 * thread. Callbacks run on the calling thread, before the call returns.
 *
 * Results (every call):
 *   QS_PHONE_OK          0   done
 *   QS_PHONE_ABSENT      1   the phone path (for PhoneRename the source) does
 *                            not exist; PhoneStat then makes no callback
 *   QS_PHONE_INVALID     2   a text missing, a path not absolute or with a
 *                            "." or ".." segment (or the root "/" where a
 *                            file or folder below it is needed), a URL
 *                            without host or port, or an unknown flag;
 *                            nothing was sent
 *   QS_PHONE_STOPPED    21   ended by Stop
 *   QS_PHONE_NO_PC_FILE 23   PhonePutFile: the PC file does not exist
 *   QS_PHONE_SCAN_FAILED 24  PhonePutFile: the file is on the phone, whole,
 *                            but the media scan request failed
 *   QS_PHONE_EXISTS     25   the target exists and QS_PHONE_REPLACE was not
 *                            given (PhoneRename: the target exists); it is
 *                            left as it was
 *   QS_PHONE_WRONG_KIND 26   a folder where a file is needed (get or put of
 *                            a folder, a target that is a folder) or a file
 *                            where a folder is (PhoneList of a file)
 *   QS_PHONE_NOT_EMPTY  27   PhoneDelete without QS_PHONE_TREE of a folder
 *                            that is not empty
 *   -1    a request failed: no connection, sending or receiving failed, no
 *         answer within 60 s of silence (also an unexpected failure inside
 *         the library)
 *   -2 .. -5  the phone's answer was cut short or is not an answer of the
 *         service
 *   -6    the phone refused or failed the operation
 *   -7    the PC file could not be created, probed or put in place (get), or
 *         opened (put)
 *   -8    reading (put) or writing (get) the PC file failed
 *   -9    the phone's answer is malformed; PhoneList also when the listing
 *         held entries that are not one name below the folder (they are left
 *         out, the others are delivered)
 *   -10   the file is 2 GiB or larger: chunk offsets do not fit the wire
 *   -12   a path of 65,536 UTF-8 bytes or more
 */
#define QS_PHONE_OK 0
#define QS_PHONE_ABSENT 1
#define QS_PHONE_INVALID 2
#define QS_PHONE_STOPPED 21
#define QS_PHONE_NO_PC_FILE 23
#define QS_PHONE_SCAN_FAILED 24
#define QS_PHONE_EXISTS 25
#define QS_PHONE_WRONG_KIND 26
#define QS_PHONE_NOT_EMPTY 27

typedef struct QsPhoneEntry {
    uint64_t size;         /* bytes; 0 for a folder */
    uint64_t modified;     /* as the phone reports it, passed through */
    const QS_WCHAR* path;  /* full phone path; valid during the callback only */
    int32_t isFile, isDir, isHidden, canRead, canWrite; /* 0 or 1 */
} QsPhoneEntry;
/* 0: go on; nonzero: end the listing early (the call then returns 0). */
typedef int32_t (QS_CALL* QsEntryCallback)(void* context, const QsPhoneEntry* entry);
/* Bytes done of bytes total of the current file, on the calling thread,
 * after each 64 KiB chunk. */
typedef void (QS_CALL* QsBytesCallback)(void* context, uint64_t done, uint64_t total);

#define QS_PHONE_REPLACE 1  /* PhoneGetFile/PhonePutFile: replace an existing target */
#define QS_PHONE_TREE    1  /* PhoneDelete: a folder and everything below it */

/* One callback with the path's record (path as asked) when it exists; cb
 * may be null. */
QS_API int32_t QS_CALL PhoneStat(const QS_WCHAR* url, const QS_WCHAR* phonePath, QsEntryCallback cb, void* context);
/* One callback per entry of the folder, one level, in the phone's order (cb
 * may be null). Entries are bounded as the sync jobs' listings are: no count
 * from the phone is trusted, and an entry that is not one name below the
 * folder is never delivered. */
QS_API int32_t QS_CALL PhoneList(const QS_WCHAR* url, const QS_WCHAR* phoneFolder, QsEntryCallback cb, void* context);
/* Fetches one file, at most 5 chunks of 64 KiB in flight. The chunks go to a
 * temporary file beside pcPath ("." name), which takes pcPath's name only
 * when the whole file arrived and its size matches: no partial file ever
 * stands under pcPath. Missing PC folders above pcPath are created. An
 * existing PC file is never touched without QS_PHONE_REPLACE. */
QS_API int32_t QS_CALL PhoneGetFile(const QS_WCHAR* url, const QS_WCHAR* phonePath, const QS_WCHAR* pcPath,
                                    int32_t flags, QsBytesCallback cb, void* context);
/* Sends one file, at most 5 chunks of 64 KiB in flight, then asks the media
 * scanner to register it, as the sync jobs do. The phone creates missing
 * folders above phonePath. A new file is written in place and removed
 * again when the call fails or is stopped. With QS_PHONE_REPLACE an existing
 * file is replaced: the new one is written beside it under a temporary "."
 * name, and only when it is complete is the old one deleted and the new one
 * renamed in its place, so the old file never keeps a stale tail and a cut
 * transfer leaves it as it was. */
QS_API int32_t QS_CALL PhonePutFile(const QS_WCHAR* url, const QS_WCHAR* pcPath, const QS_WCHAR* phonePath,
                                    int32_t flags, QsBytesCallback cb, void* context);
/* A file, or an empty folder (an empty listing first); with QS_PHONE_TREE a
 * folder and everything below it. */
QS_API int32_t QS_CALL PhoneDelete(const QS_WCHAR* url, const QS_WCHAR* phonePath, int32_t flags);
/* Renames (moves) a file or folder on the phone; never replaces a target. */
QS_API int32_t QS_CALL PhoneRename(const QS_WCHAR* url, const QS_WCHAR* fromPath, const QS_WCHAR* toPath);

#ifdef __cplusplus
} /* extern "C" */
#endif

#ifdef __cplusplus
/* 64-bit fields first: the same offsets in the 32-bit DLL and on every
 * 64-bit platform up to path. */
static_assert(offsetof(QsPhoneEntry, size) == 0 && offsetof(QsPhoneEntry, modified) == 8 &&
                  offsetof(QsPhoneEntry, path) == 16,
              "QsPhoneEntry: size, modified, path");
static_assert(offsetof(QsPhoneEntry, isFile) == 16 + sizeof(void*) &&
                  offsetof(QsPhoneEntry, canWrite) == 16 + sizeof(void*) + 16,
              "QsPhoneEntry: the five flags follow path");
#endif

#if defined(_WIN32) && !defined(_WIN64) && defined(__cplusplus)
/* The 32-bit host was built against exactly these word offsets. */
static_assert(sizeof(void*) == 4, "32-bit words");
static_assert(offsetof(ConnectParams, url) == 12, "ConnectParams.url is word 3");
static_assert(offsetof(ConnectParams, role) == 48, "ConnectParams.role is word 12");
static_assert(offsetof(JobParams, items) == 12, "JobParams.items is word 3");
static_assert(offsetof(DestinationFolders, documentFolder) == 12, "word 3");
static_assert(offsetof(SyncItem, pcPath) == 12 && offsetof(SyncItem, phonePath) == 20 &&
                  offsetof(SyncItem, changeKind) == 24 && offsetof(SyncItem, isFolder) == 28,
              "SyncItem words 3, 5, 6, 7");
static_assert(sizeof(ItemResult) == 12, "ItemResult is three words");
static_assert(offsetof(PlaylistItem, playlistId) == 12 && offsetof(PlaylistItem, members) == 20,
              "PlaylistItem words 3 and 5");
#endif

#endif /* QUELLSYNC_HTTP_H */
