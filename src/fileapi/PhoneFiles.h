// Single-file operations on phone paths for a host that browses the phone:
// stat, list one level, fetch one file, send one file, delete, rename. Each
// goes through the file service client as the sync jobs do, with the
// endpoint it is given; the endpoint's stop flag is the caller's own (the
// entry points give each call a byte of its own).
//
// Phone paths are UTF-8, absolute ("/" first), with no "." or ".." segment;
// PC paths are UTF-8 and absolute in the native style. Results are the
// constants below, or the file service's negative codes (CHttpFileAPI) as
// the failing request gave them. Any result but 0 and the ones a check
// gives before anything was sent turns into kStopped when the endpoint's
// stop flag was raised by then.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "filesync/HttpFileAPI.h"
#include "transport/PhoneEndpoint.h"

namespace phone_files {

constexpr int32_t kDone = 0;
constexpr int32_t kAbsent = 1;      // the phone path (source) does not exist
constexpr int32_t kInvalid = 2;     // a path, URL or flag that cannot be used; nothing was sent
constexpr int32_t kStopped = 21;    // the stop flag ended the call; nothing partial is left
constexpr int32_t kNoPcFile = 23;   // the PC file to send does not exist
constexpr int32_t kScanFailed = 24; // the file was sent whole, but the media scan request failed
constexpr int32_t kExists = 25;     // the target exists and replacing was not asked for
constexpr int32_t kWrongKind = 26;  // a folder where a file is needed, or a file where a folder is
constexpr int32_t kNotEmpty = 27;   // a folder to delete without its tree is not empty

// Whether path is a phone path these operations send: "/" first, no "." or
// ".." segment (a service that resolves them would act above the path), no
// NUL byte; the root "/" itself only where allowRoot says so.
bool UsablePhonePath(const std::string& path, bool allowRoot);
// Whether path is an absolute PC path of the native style.
bool UsablePcPath(const std::string& path);

// Stat: kDone with *out (may be null) filled, its FileName the path as
// asked; kAbsent.
int32_t Stat(const PhoneEndpoint& phone, const std::string& path, RemoteFileInfo* out);

// Lists one level of a folder, handing each entry to visit in the phone's
// order; visit returns false to end the listing early (kDone then). kAbsent;
// kWrongKind when the path is a file. An entry whose path is not the folder
// followed by one name (no "/", not "." or "..") is never handed out: the
// others are, and the result is then -9 (malformed answer), logged. The
// listing is bounded as every listing is: no count from the phone is taken
// on trust.
using EntryVisit = std::function<bool(const RemoteFileInfo& entry)>;
int32_t List(const PhoneEndpoint& phone, const std::string& folder, const EntryVisit& visit);

// Fetches a phone file to a PC path. The chunks go into a temporary file
// beside the target, which takes the target's name only once every byte of
// the phone's size arrived; no partial file ever stands under the target's
// name. Missing PC folders above the target are created. kAbsent; kWrongKind
// when the phone path is a folder or the PC target is one; kExists when a PC
// file stands at the target (also one that appeared during the download) and
// replace is false: it is never touched then.
int32_t Get(const PhoneEndpoint& phone, const std::string& phonePath, const std::string& pcPath, bool replace,
            const CHttpFileAPI::ByteProgress* progress);

// Sends a PC file to a phone path and asks the media scanner to register
// it. A new file is written in place, and removed again when the upload
// fails or is stopped after it sent a chunk. A file that replaces one
// (replace true) is written under a temporary name beside it first; only
// once it is complete is the old file deleted and the new one renamed into
// its place, so a cut upload leaves the old file as it was and never a stale
// tail. kNoPcFile; kWrongKind when the PC path is a folder or the phone path
// one; kExists when the phone has a file there and replace is false;
// kScanFailed when the file is in place but the scan request failed (a scan
// answer without an entry is no failure: the phone does not index every
// kind of file).
int32_t Put(const PhoneEndpoint& phone, const std::string& pcPath, const std::string& phonePath, bool replace,
            const CHttpFileAPI::ByteProgress* progress);

// Deletes a file, or a folder: with tree, the folder and all below it;
// without, only an empty folder (kNotEmpty otherwise; a listing shows it
// empty first). kAbsent.
int32_t Delete(const PhoneEndpoint& phone, const std::string& path, bool tree);

// Renames a file or a folder. kAbsent when from does not exist; kExists when
// to does.
int32_t Rename(const PhoneEndpoint& phone, const std::string& from, const std::string& to);

}  // namespace phone_files
