// The files of a PC folder before and after a job, to tell what the job
// created or replaced there: the library reports no items for the jobs that
// write PC files.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qsync {

struct FileState {
    uint64_t size = 0;
    int64_t modified = 0;  // the file time's count; compared, never shown
    bool operator==(const FileState& other) const { return size == other.size && modified == other.modified; }
};

// Every regular file below the folder, by its path relative to it (links to
// folders not followed). Empty when the folder does not exist; files that
// cannot be read are left out.
using FolderSnapshot = std::map<std::string, FileState>;
FolderSnapshot TakeSnapshot(const std::string& folder);

struct FolderChange {
    size_t created = 0;
    size_t replaced = 0;   // there before, with another size or time now
    size_t unchanged = 0;
    uint64_t bytes = 0;    // of the created and replaced files, as they are now
};
FolderChange CompareSnapshots(const FolderSnapshot& before, const FolderSnapshot& after);

struct FileCount {
    size_t files = 0;
    uint64_t bytes = 0;
};
// The regular files below the folders (those that exist).
FileCount CountFiles(const std::vector<std::string>& folders);

}  // namespace qsync
