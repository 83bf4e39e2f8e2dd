// Local folders and the directory search: probing a path for an entry (a
// file, a folder, or on Windows a wildcard pattern), creating one folder, and
// listing a folder's entries. PC paths are UTF-16.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

// Windows: FindFirstFileW on path (wildcards allowed; a folder pattern such
// as "C:\x\*.*" finds the folder's "." entry). POSIX: the entry named by
// path, no wildcards. True when found; *size (may be null) then receives the
// entry's size.
bool FindEntry(const std::u16string& path, int64_t* size);

// FindEntry that tells an absent entry from a search that failed (access
// denied, an I/O error): a caller about to write under the name must not
// take the second for the first.
enum class Probe { kFound, kAbsent, kFailed };
Probe ProbeEntry(const std::u16string& path, int64_t* size);

// True when path names an existing folder.
bool IsDirectory(const std::u16string& path);

// Creates one folder (its parent must exist); false on failure, also when
// something already exists under the name.
bool CreateOneDirectory(const std::u16string& path);

struct DirEntry {
    std::u16string name;  // the entry's own name, no folder
    bool isDirectory = false;
    // A symbolic link (POSIX) or reparse point (Windows). Walkers do not
    // descend into linked folders, so a link loop cannot make them recurse
    // forever.
    bool isLink = false;
    int64_t size = 0;
};

enum class ListResult { kDone, kCannotOpen, kReadFailed };

// Calls visit for every entry of folder, "." and ".." included on both
// platforms (as the Windows search reports them). A link is reported as
// what it points to (a dangling one as a file of size 0), with isLink set.
ListResult ListDirectory(const std::u16string& folder, const std::function<void(const DirEntry&)>& visit);

}  // namespace platform
