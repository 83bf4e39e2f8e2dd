#include "paths.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "errors.h"
#include "quellsync_http.h"
#include "text.h"

namespace fs = std::filesystem;

namespace qsync {
namespace {

fs::path FromUtf8(const std::string& text) { return fs::u8path(text); }

std::string ToUtf8(const fs::path& path) { return path.u8string(); }

std::string ComponentReason(const std::string& name) {
    static const std::string kReserved = "<>:\"\\|?*";
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20) return "holds a control character";
        if (kReserved.find(c) != std::string::npos) return std::string("holds the reserved character '") + c + "'";
    }
    if (name.back() == '.') return "ends in a dot";
    if (name.back() == ' ') return "ends in a blank";
    if (Utf8ToUtf16(name).size() > 255) return "is longer than 255 characters";
    return std::string();
}

}  // namespace

PathStyle NativePathStyle() {
    return fs::path::preferred_separator == '\\' ? PathStyle::kWindows : PathStyle::kPosix;
}

std::string AbsolutePath(const std::string& argument) {
    std::error_code error;
    fs::path absolute = fs::absolute(FromUtf8(argument), error);
    if (error) throw UsageError("cannot make '" + argument + "' absolute: " + error.message());
    absolute = absolute.lexically_normal();
    // "a/b/" normalises to "a/b/" (an empty last element): drop it.
    if (!absolute.has_filename() && absolute.has_relative_path()) absolute = absolute.parent_path();
    return ToUtf8(absolute.make_preferred());
}

bool EndsInSeparator(const std::string& argument) {
    if (argument.empty()) return false;
    const char last = argument.back();
    return last == '/' || (NativePathStyle() == PathStyle::kWindows && last == '\\');
}

std::string MirrorPhonePath(const std::string& pcPath, const std::string& phoneFolder) {
    const std::u16string pc = Utf8ToUtf16(pcPath), folder = Utf8ToUtf16(phoneFolder);
    const int32_t length = MirroredPhonePath(AsHostText(pc), AsHostText(folder), nullptr, 0);
    if (length < 0) throw std::runtime_error("the library has no phone path for '" + pcPath + "'");
    std::u16string out(static_cast<size_t>(length) + 1, u'\0');
    MirroredPhonePath(AsHostText(pc), AsHostText(folder), reinterpret_cast<QS_WCHAR*>(&out[0]), length + 1);
    out.resize(static_cast<size_t>(length));
    return Utf16ToUtf8(out);
}

std::vector<std::string> UnstorableReasons(const std::string& phonePath, const std::string& root) {
    std::vector<std::string> reasons;
    const size_t from = phonePath.compare(0, root.size(), root) == 0 ? root.size() : 0;
    size_t start = from;
    while (start <= phonePath.size()) {
        size_t end = phonePath.find('/', start);
        if (end == std::string::npos) end = phonePath.size();
        const std::string name = phonePath.substr(start, end - start);
        if (!name.empty()) {
            const std::string reason = ComponentReason(name);
            if (!reason.empty()) reasons.push_back("\"" + name + "\" " + reason);
        }
        start = end + 1;
    }
    return reasons;
}

std::vector<PcFile> CollectFiles(const std::string& absolutePath) {
    const fs::path root = FromUtf8(absolutePath);
    std::error_code error;
    const fs::file_status status = fs::status(root, error);
    if (error || !fs::exists(status)) throw UsageError("no such file or folder: " + absolutePath);
    std::vector<PcFile> files;
    if (fs::is_regular_file(status)) {
        files.push_back({absolutePath, fs::file_size(root)});
        return files;
    }
    if (!fs::is_directory(status)) throw UsageError("not a file or folder: " + absolutePath);
    for (fs::recursive_directory_iterator it(root, fs::directory_options::none), end; it != end; ++it) {
        if (it->is_regular_file()) files.push_back({ToUtf8(it->path()), it->file_size()});
    }
    std::sort(files.begin(), files.end(), [](const PcFile& a, const PcFile& b) { return a.path < b.path; });
    return files;
}

bool IsFolder(const std::string& absolutePath) {
    std::error_code error;
    return fs::is_directory(FromUtf8(absolutePath), error);
}

bool IsFile(const std::string& absolutePath) {
    std::error_code error;
    return fs::is_regular_file(FromUtf8(absolutePath), error);
}

std::string FolderProblem(const std::string& absolutePath) {
    std::error_code error;
    fs::path path = FromUtf8(absolutePath);
    for (bool target = true;; target = false) {
        const fs::file_status status = fs::status(path, error);
        if (fs::is_directory(status)) return std::string();
        if (fs::exists(status))
            return target ? absolutePath + " is not a folder"
                          : absolutePath + " cannot be a folder: " + ToUtf8(path) + " is not a folder";
        if (!path.has_relative_path() || path.parent_path() == path) return std::string();
        path = path.parent_path();
    }
}

uint64_t FileSizeOrZero(const std::string& absolutePath) {
    std::error_code error;
    const uintmax_t size = fs::file_size(FromUtf8(absolutePath), error);
    return error ? 0 : static_cast<uint64_t>(size);
}

}  // namespace qsync
