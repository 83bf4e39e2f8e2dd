#include "folder_snapshot.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace qsync {

FolderSnapshot TakeSnapshot(const std::string& folder) {
    FolderSnapshot snapshot;
    const fs::path root = fs::u8path(folder);
    std::error_code error;
    if (!fs::is_directory(root, error)) return snapshot;
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, error), end;
    for (; !error && it != end; it.increment(error)) {
        std::error_code entryError;
        if (!it->is_regular_file(entryError) || entryError) continue;
        FileState state;
        state.size = static_cast<uint64_t>(it->file_size(entryError));
        if (entryError) continue;
        state.modified = static_cast<int64_t>(it->last_write_time(entryError).time_since_epoch().count());
        if (entryError) continue;
        snapshot[it->path().lexically_relative(root).generic_u8string()] = state;
    }
    return snapshot;
}

FolderChange CompareSnapshots(const FolderSnapshot& before, const FolderSnapshot& after) {
    FolderChange change;
    for (const auto& [name, state] : after) {
        const auto old = before.find(name);
        if (old == before.end()) {
            ++change.created;
        } else if (old->second == state) {
            ++change.unchanged;
            continue;
        } else {
            ++change.replaced;
        }
        change.bytes += state.size;
    }
    return change;
}

FileCount CountFiles(const std::vector<std::string>& folders) {
    FileCount count;
    for (const std::string& folder : folders)
        for (const auto& [name, state] : TakeSnapshot(folder)) {
            ++count.files;
            count.bytes += state.size;
        }
    return count;
}

}  // namespace qsync
