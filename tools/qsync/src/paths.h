// PC paths as qsync hands them to the library, the phone paths the library
// mirrors them to, and the names the phone's storage cannot hold.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qsync {

// Windows style: backslashes and drive letters; POSIX style: "/" only. The
// mirroring rule differs between them, so both are written out here.
enum class PathStyle { kWindows, kPosix };
PathStyle NativePathStyle();

// A command-line path (UTF-8) made absolute, with no "." or ".." segments
// and no trailing separator (the root excepted), in the platform's form.
std::string AbsolutePath(const std::string& argument);
// True when the argument ends in a path separator of this platform.
bool EndsInSeparator(const std::string& argument);

// The phone path the library stores an uploaded PC file under (and the one
// it removes for a folder item): the whole PC path below the phone folder,
// as the library answers it (MirroredPhonePath), so qsync keeps no copy of
// the rule.
std::string MirrorPhonePath(const std::string& pcPath, const std::string& phoneFolder);

// Why each component of a phone path below `root` cannot be stored on a FAT
// or exFAT volume: a reserved character, a trailing dot or blank, more than
// 255 UTF-16 units. Empty when every component is fine.
std::vector<std::string> UnstorableReasons(const std::string& phonePath, const std::string& root);

struct PcFile {
    std::string path;  // absolute, as from AbsolutePath
    uint64_t size = 0;
};

// The regular files of an absolute path: the file itself, or every file
// below a folder (sorted, links to folders not followed). Throws
// UsageError when the path does not exist.
std::vector<PcFile> CollectFiles(const std::string& absolutePath);
bool IsFolder(const std::string& absolutePath);
bool IsFile(const std::string& absolutePath);
uint64_t FileSizeOrZero(const std::string& absolutePath);
// Why the absolute path cannot be used as a PC folder that a job fills (it,
// or the nearest of its parents that exists, is not a folder); empty when
// it is a folder or can be made one.
std::string FolderProblem(const std::string& absolutePath);

}  // namespace qsync
