#include "path_jail.h"

#include <climits>
#include <cstdlib>
#include <memory>

#include <sys/stat.h>

namespace phone_service {
namespace {

constexpr std::size_t kMaxPathBytes = 4096;
constexpr std::size_t kMaxNameBytes = 255;

std::optional<std::string> RealPath(const std::string& p) {
    std::unique_ptr<char, decltype(&std::free)> r(::realpath(p.c_str(), nullptr), &std::free);
    if (!r) return std::nullopt;
    return std::string(r.get());
}

}  // namespace

std::optional<std::vector<std::string>> SplitPhonePath(std::string_view p) {
    if (p.empty() || p.front() != '/' || p.size() > kMaxPathBytes) return std::nullopt;
    if (p.find('\0') != std::string_view::npos) return std::nullopt;
    std::vector<std::string> segs;
    std::size_t i = 0;
    while (i < p.size()) {
        std::size_t j = p.find('/', i);
        if (j == std::string_view::npos) j = p.size();
        std::string_view seg = p.substr(i, j - i);
        i = j + 1;
        if (seg.empty() || seg == ".") continue;
        if (seg == ".." || seg.size() > kMaxNameBytes) return std::nullopt;
        segs.emplace_back(seg);
    }
    return segs;
}

std::optional<PathJail> PathJail::Open(const std::string& root, std::set<std::string> reserved) {
    auto real = RealPath(root);
    if (!real) return std::nullopt;
    struct stat st {};
    if (::stat(real->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
    if (*real == "/") real->clear();  // so root_ + "/x" never doubles the slash
    return PathJail(std::move(*real), std::move(reserved));
}

bool PathJail::Contains(const std::string& real) const {
    if (real == root_ || (root_.empty() && real == "/")) return true;
    if (real.size() <= root_.size() + 1 || real.compare(0, root_.size(), root_) != 0 ||
        real[root_.size()] != '/')
        return false;
    const std::size_t start = root_.size() + 1;
    const std::size_t end = real.find('/', start);
    const std::string top = real.substr(start, end == std::string::npos ? std::string::npos : end - start);
    return reserved_.count(top) == 0;
}

std::optional<ResolvedPath> PathJail::Resolve(std::string_view phone_path) const {
    auto segs = SplitPhonePath(phone_path);
    if (!segs) return std::nullopt;
    if (!segs->empty() && reserved_.count(segs->front()) != 0) return std::nullopt;

    ResolvedPath out;
    out.is_root = segs->empty();
    out.fs = root_.empty() ? std::string("/") : root_;
    out.canonical = "/";
    bool exists = true;
    for (std::size_t k = 0; k < segs->size(); ++k) {
        const std::string& seg = (*segs)[k];
        std::string next = (out.fs == "/" ? std::string() : out.fs) + "/" + seg;
        out.canonical += (k == 0 ? "" : "/") + seg;
        if (exists) {
            struct stat st {};
            if (::lstat(next.c_str(), &st) != 0) {
                exists = false;  // this and every later segment are yet to be made
            } else if (S_ISLNK(st.st_mode)) {
                auto real = RealPath(next);
                if (!real || !Contains(*real)) return std::nullopt;
                if (k + 1 < segs->size()) next = *real;
            }
        }
        out.fs = std::move(next);
    }
    return out;
}

bool PathJail::EntryVisible(const ResolvedPath& dir, const std::string& name) const {
    if (dir.is_root && reserved_.count(name) != 0) return false;
    const std::string full = dir.fs + "/" + name;
    struct stat st {};
    if (::lstat(full.c_str(), &st) != 0) return false;
    if (!S_ISLNK(st.st_mode)) return true;
    auto real = RealPath(full);
    return real && Contains(*real);
}

}  // namespace phone_service
