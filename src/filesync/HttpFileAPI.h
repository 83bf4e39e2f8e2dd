// Client of the phone's file service at "/filesync": single-exchange
// operations (stat, list, delete, rename, media scan) and whole-file
// transfers in 64 KiB chunks.
//
// Every operation is one or more HTTP exchanges, each with a client and a
// connection of its own. A message body is the 20-byte SyncMarker, a 32-bit
// length counting everything after itself, a 32-bit command code and the
// command's payload. A response body is the marker, a word the client does
// not use, a status word (1 = success) and, on success, the command's result
// data.
//
// Common arguments: host (dotted IPv4 text) and port of the service first;
// then the stop flag (may be null; raising it makes a request in progress
// fail) and the inactivity time-out in seconds for each exchange; last, how
// a request the connection lost is made again (transport/Retry.h; the
// default makes none). A retried request is invisible to the operation: the
// same bytes go out again, and the operation ends as without retries, with
// the last attempt's result, when the attempts run out. Paths are UTF-8
// texts.
//
// Results, shared by every operation (0 or a small positive value is
// success, as each operation says):
//   -1  the HTTP request failed: no connection, send or receive failure,
//       time-out, or the stop flag raised
//   -2  response body shorter than the marker
//   -3  marker mismatch
//   -4  no first word
//   -5  no status word
//   -6  status word not 1: the phone refused or failed the operation
//   -7  EnumDir: a nested listing failed, the tree is deeper than
//       kMaxListingDepth, a listed folder is the folder itself or one of its
//       ancestors, or the tree holds more than kMaxListedEntries entries.
//       Transfers: see there.
//   -8  transfers only: see there
//   -9  malformed result data: the status was 1 but the result data ends
//       early, or holds a count or length that needs more bytes than remain
//       (or, for a downloaded chunk, not the length that was asked for).
//       Nothing past the body is read; out records are left as they were.
//   -12 a path does not fit the wire (65,536 bytes or more); nothing is sent
//
// Every negative result writes one log line under the operation's name
// ("CHttpFileAPI::GetInfo" and so on; the chunk exchanges of the transfers
// under "PutFileThreadProc" and "GetFileThreadProc").
//
// Threads: operations keep no state; any number may run at once on
// different threads. The transfers drive their chunk exchanges from the
// calling thread (ChunkPump) and start no thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "filesync/FileServiceAnswer.h"
#include "platform/file.h"
#include "transport/ByteArray.h"
#include "transport/RetryPolicy.h"

class CHttpFileAPI {
public:
    using StopFlag = std::atomic<uint8_t>;

    static constexpr int32_t CHUNK_SIZE = 65536;
    static constexpr int32_t MAX_WORKERS = 5;
    // Nesting far beyond any real folder tree; a deeper one is taken for a
    // broken or hostile phone.
    static constexpr int32_t kMaxListingDepth = 64;
    // Entries of one recursive listing, all levels together: bounds memory
    // and the number of requests a phone can make the client send.
    static constexpr int64_t kMaxListedEntries = 1000000;
    // Largest byte offset a chunk can carry: offsets are signed 32-bit on
    // the wire.
    static constexpr int64_t kMaxTransferSize = 0x7FFFFFFF;
    // A chunk write cut short after it was sent (a stop, a time-out) waits
    // at most this long for the phone to finish with it and close, so that
    // the clean-up delete that follows is not overtaken by a late write that
    // would bring a partial file back.
    static constexpr uint32_t kChunkSettleMs = 2000;
    // What PutFileEx's caller knows of the phone file before the upload:
    // nothing (PutFileEx stats it), that there is none, or its size (0 or
    // more).
    static constexpr int64_t kPhoneSizeUnknown = -2;
    static constexpr int64_t kPhoneSizeAbsent = -1;
    // Bytes of a transfer done so far and its size, called on the
    // transfer's calling thread after each chunk that was done.
    using ByteProgress = std::function<void(int64_t done, int64_t total)>;

    // Stat one path (command 14).
    //   0  found: out filled and printed (Dump)
    //   1  the phone has no such path, or out is null (not logged)
    static int32_t GetInfo(const char* host, int32_t port, const char* path, RemoteFileInfo* out,
                           const StopFlag* stopFlag, int32_t timeout, const RetryPolicy& retry = RetryPolicy());

    // List a folder (command 15); with recursive set, every subfolder too,
    // depth first: a subfolder's entries come before its own record, each
    // folder's entries in the phone's order. Records are appended to list
    // (may be null) and printed. 0 on success, also when the phone has no
    // list for the path. On failure list keeps the records already added.
    static int32_t EnumDir(const char* host, int32_t port, const char* path,
                           std::vector<RemoteFileInfo>* list, const StopFlag* stopFlag,
                           bool recursive, int32_t timeout, const RetryPolicy& retry = RetryPolicy());

    // Delete a file (13), a folder tree (17), the empty folders of a tree
    // (18); rename (20) the existing path1 to path2. 0 on success.
    // With retries, a delete is repeated after any drop, and one whose
    // repeat the phone refuses is taken as done when a stat finds the path
    // gone (the lost attempt deleted it). A rename is repeated only when no
    // byte of it was sent; after a drop of one that was sent, a stat of both
    // paths decides: done when the source is gone and the target exists,
    // made again when the source is still there and the target is not (it
    // was never carried out), failed otherwise.
    static int32_t DeleteFileW(const char* host, int32_t port, const char* path,
                               const StopFlag* stopFlag, int32_t timeout, const RetryPolicy& retry = RetryPolicy());
    static int32_t DeletePath(const char* host, int32_t port, const char* path,
                              const StopFlag* stopFlag, int32_t timeout, const RetryPolicy& retry = RetryPolicy());
    static int32_t DeleteEmptyPath(const char* host, int32_t port, const char* path,
                                   const StopFlag* stopFlag, int32_t timeout, const RetryPolicy& retry = RetryPolicy());
    static int32_t RenamePathFile(const char* host, int32_t port, const char* path1,
                                  const char* path2, const StopFlag* stopFlag, int32_t timeout,
                                  const RetryPolicy& retry = RetryPolicy());

    // Ask the media scanner about files (16). The answers are appended to
    // out (may be null) in the phone's order. 0 on success.
    static int32_t ScanMediaFile(const char* host, int32_t port, const std::vector<std::string>& paths,
                                 std::vector<MediaScanEntry>* out, const StopFlag* stopFlag,
                                 int32_t timeout, const RetryPolicy& retry = RetryPolicy());

    // Transfers of whole files in CHUNK_SIZE chunks. localPath is UTF-8 and
    // opened as UTF-16. Results besides the common -1 … -6 (a chunk exchange
    // failed at that step; -1 also when the stop flag ended the transfer
    // before its last chunk was done, between chunks too):
    //   0   every chunk done
    //   -7  PutFileEx/PutFile: opening the local file failed.
    //       GetFile: creating the local file, seeking in it or moving it
    //       into place failed
    //   -8  PutFileEx/PutFile: reading the local file failed.
    //       GetFile: writing the local file failed
    //   -9  GetFile: a chunk's data was malformed or not of the length asked
    //       for (the phone file changed, or the phone misbehaves)
    //   -10 the file is larger than kMaxTransferSize: its offsets do not fit
    //       the wire. Refused before any chunk is sent
    //   -11 PutFileEx/PutFile: the phone already holds a longer file at
    //       remotePath. Chunk writes never shorten a phone file, so writing
    //       over it would leave the old tail behind the new content; nothing
    //       is written, and the caller decides whether to delete it first
    //   -12 a path does not fit the wire
    //
    // PutFileEx: pipelined upload, at most MAX_WORKERS chunks in flight,
    // each on its own connection, all ended before it returns. Unless the
    // caller says what the phone holds at remotePath (phoneSize: absent, or
    // its size, from the caller's own stat), it stats remotePath first (the
    // -11 check; a failing stat gives its own code). An empty file is sent
    // as one empty chunk at offset 0, so the phone has the file afterwards.
    // A chunk exchange that throws fails its chunk with -1.
    static int32_t PutFileEx(const char* host, int32_t port, const char* localPath,
                             const char* remotePath, const StopFlag* stopFlag, int32_t timeout,
                             int64_t phoneSize = kPhoneSizeUnknown, const RetryPolicy& retry = RetryPolicy());
    // The PC file of an upload, opened for reading, and its size.
    struct UploadSource {
        platform::File file;
        int64_t size = 0;
    };
    // Opens localPath for an upload, so that a caller can make sure it is
    // readable before it deletes anything on the phone: 0, -7, -8 or -10 as
    // PutFileEx gives them, logged under "CHttpFileAPI::PutFileEx".
    static int32_t OpenUploadSource(const char* localPath, UploadSource& source);
    // PutFileEx over an opened source. chunkSent (may be null) receives
    // whether a chunk request was handed to a connection: only then can the
    // phone hold a part of this upload that needs cleaning up.
    // progress (may be null) hears of every acknowledged chunk.
    static int32_t PutFileEx(const char* host, int32_t port, UploadSource& source, const char* remotePath,
                             const StopFlag* stopFlag, int32_t timeout, int64_t phoneSize, bool* chunkSent,
                             const RetryPolicy& retry = RetryPolicy(), const ByteProgress* progress = nullptr);
    // GetFile: pipelined download, chunks in flight as for PutFileEx. The size comes
    // from a stat of remotePath on the same host and port; when that fails
    // or finds nothing, GetFile fails with -1 before it creates anything.
    // The chunks go into a temporary file beside
    // localPath, which replaces localPath in one step once every chunk was
    // written; on failure or an early stop the temporary file is removed and
    // a file already at localPath is left as it was. With replaceTarget
    // false, a file that stands at localPath when the download is complete
    // (one that appeared meanwhile too) is not replaced: the result is then
    // -7 and the download is removed. progress (may be null) hears of every
    // chunk written.
    static int32_t GetFile(const char* host, int32_t port, const char* remotePath,
                           const char* localPath, const StopFlag* stopFlag, int32_t timeout,
                           const RetryPolicy& retry = RetryPolicy(), bool replaceTarget = true,
                           const ByteProgress* progress = nullptr);
    // PutFile: sequential upload, one chunk at a time, same rules as
    // PutFileEx.
    static int32_t PutFile(const char* host, int32_t port, const char* localPath,
                           const char* remotePath, const StopFlag* stopFlag, int32_t timeout,
                           const RetryPolicy& retry = RetryPolicy());

    // Checks a response body (cursor at 0) after a request that returned
    // requestResult: 0 with the cursor at the result data, or -1 … -6 for
    // the first failing step. Does not log.
    static int32_t CheckResponse(int32_t requestResult, ByteArray& response);
    // One line on standard output with every field of the record.
    static void Dump(const RemoteFileInfo& info);
};
