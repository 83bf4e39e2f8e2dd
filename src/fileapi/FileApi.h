// The file copy layer: short answers about phone files (FILE_API_PHONE) on
// top of the file service client.
//
// Every FILE_API_PHONE operation talks to the phone named by the sync
// context (host and port), passes its stop flag, and waits at most 60
// seconds of silence per exchange. Phone paths are UTF-8 with forward
// slashes. The operations keep no state and may run on any thread at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "filesync/HttpFileAPI.h"

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
