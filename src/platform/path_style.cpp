#include "platform/path_style.h"

namespace platform {

char16_t PathSeparator(PathStyle style) { return style == PathStyle::kWindows ? u'\\' : u'/'; }

bool IsPathSeparator(PathStyle style, char16_t c) {
    return c == u'/' || (style == PathStyle::kWindows && c == u'\\');
}

std::u16string StripTrailingSeparators(PathStyle style, const std::u16string& path) {
    size_t end = path.size();
    while (end > 0 && IsPathSeparator(style, path[end - 1])) --end;
    if (end == 0 && !path.empty() && style == PathStyle::kPosix) return u"/";
    return path.substr(0, end);
}

std::u16string JoinPath(PathStyle style, const std::u16string& folder, const std::u16string& name) {
    if (folder.empty()) return name;
    std::u16string out = folder;
    if (!IsPathSeparator(style, out.back())) out.push_back(PathSeparator(style));
    size_t skip = 0;
    while (skip < name.size() && IsPathSeparator(style, name[skip])) ++skip;
    out.append(name, skip, std::u16string::npos);
    return out;
}

std::u16string AddLongPathPrefix(PathStyle style, const std::u16string& path) {
    if (style == PathStyle::kPosix) return path;
    if (path.compare(0, 4, u"\\\\?\\") == 0) return path;
    if (path.compare(0, 2, u"\\\\") == 0) return u"\\\\?\\UNC\\" + path.substr(2);
    return u"\\\\?\\" + path;
}

std::u16string ParentPart(PathStyle style, const std::u16string& path) {
    size_t i = path.size();
    while (i > 0 && !IsPathSeparator(style, path[i - 1])) --i;
    if (i == 0) return std::u16string();
    if (i == 1) return path.substr(0, 1);  // the POSIX root, or "\" on Windows
    return path.substr(0, i - 1);
}

}  // namespace platform
