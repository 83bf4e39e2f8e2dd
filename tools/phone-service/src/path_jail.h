// Maps the phone's absolute paths onto a folder of the PC and keeps every
// resolved path inside that folder.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace phone_service {

struct ResolvedPath {
    std::string fs;         // path on this machine, inside the jail
    std::string canonical;  // "/a/b": the phone path with "//", "." and a trailing "/" removed
    bool is_root = false;   // the phone path names the jail's top folder
};

class PathJail {
public:
    // root must exist; it is resolved once, here. Names in reserved are
    // hidden at the top level (the service keeps its own files there).
    static std::optional<PathJail> Open(const std::string& root, std::set<std::string> reserved = {});

    // Refuses (nullopt) an empty or relative path, a NUL byte, a ".."
    // segment, over-long names, a reserved top-level name, and any symbolic
    // link on the way that is dangling or leads outside the jail. Segments
    // that do not exist yet are appended as written, so the result can be
    // created. A final segment that is a link stays the link itself (so a
    // delete removes the link, not its target).
    std::optional<ResolvedPath> Resolve(std::string_view phone_path) const;

    // True when a real (symlink-free) path lies inside the jail and is not
    // reserved.
    bool Contains(const std::string& real_path) const;
    // For listings: whether a directory entry may be shown (hidden service
    // files at the top, links that lead outside).
    bool EntryVisible(const ResolvedPath& dir, const std::string& name) const;

    const std::string& root() const { return root_; }

private:
    PathJail(std::string root, std::set<std::string> reserved)
        : root_(std::move(root)), reserved_(std::move(reserved)) {}
    std::string root_;
    std::set<std::string> reserved_;
};

// Splits a phone path into its segments; nullopt when it must be refused.
std::optional<std::vector<std::string>> SplitPhonePath(std::string_view phone_path);

}  // namespace phone_service
