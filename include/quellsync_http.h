/*
 * quellsync_http: the PC-side client of the phone's sync service.
 *
 * The host application calls the twelve entry points below. Every record the
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

/* Does nothing; always 0. */
QS_API int32_t QS_CALL Test(void);
/* Asks every running job to stop; always 0. Both arguments are ignored. */
QS_API int32_t QS_CALL Stop(ConnectParams* connect, JobParams* job);

QS_API int32_t QS_CALL SyncMusicFile(ConnectParams* connect, JobParams* job);
QS_API int32_t QS_CALL SyncPhotoFile(ConnectParams* connect, JobParams* job);
QS_API int32_t QS_CALL SyncVideoFile(ConnectParams* connect, JobParams* job);
QS_API int32_t QS_CALL SyncDocumentFile(ConnectParams* connect, JobParams* job);
QS_API int32_t QS_CALL SyncPlaylistFile(ConnectParams* connect, JobParams* job);
QS_API int32_t QS_CALL SyncPhoto(ConnectParams* connect, JobParams* job);
QS_API int32_t QS_CALL SyncDevDocument(ConnectParams* connect, JobParams* job);
QS_API int32_t QS_CALL SyncPlaylist(ConnectParams* connect, JobParams* job);

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
 * none of the request was sent; a delete or rename whose answer was lost is
 * checked with a stat of its paths instead. An answer that says no, or a complete answer that is malformed,
 * is never retried. A job whose attempts run out ends as it does without
 * retries, with the last attempt's failure.
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

#ifdef __cplusplus
} /* extern "C" */
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
