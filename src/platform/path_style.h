// PC path rules for both path styles. Windows style: backslash separators,
// drive letters, the long-path prefix "\\?\". POSIX style: "/" separators and
// no long-path prefix. The string rules are written once over the style so
// that both are exercised on every build; NativePathStyle() says which one
// the running platform uses.
#pragma once

#include <string>

namespace platform {

enum class PathStyle { kWindows, kPosix };

PathStyle NativePathStyle();

char16_t PathSeparator(PathStyle style);
// Windows accepts both slashes as separators; POSIX only "/".
bool IsPathSeparator(PathStyle style, char16_t c);

// "D:\" -> "D:", "/data/" -> "/data", "C:\a\\" -> "C:\a". The POSIX root "/"
// stays "/".
std::u16string StripTrailingSeparators(PathStyle style, const std::u16string& path);

// folder + separator + name, without doubling a separator at the seam.
std::u16string JoinPath(PathStyle style, const std::u16string& folder, const std::u16string& name);

// Windows: "\\?\" in front of a path that does not have it yet (UNC paths
// become "\\?\UNC\server\share..."). POSIX: the path unchanged.
std::u16string AddLongPathPrefix(PathStyle style, const std::u16string& path);

// The path without its last component ("C:\a\b.mp3" -> "C:\a", "/x" -> "/");
// empty when the path has no separator.
std::u16string ParentPart(PathStyle style, const std::u16string& path);

}  // namespace platform
