#include <random>
#include <string>

#include "platform/file.h"
#include "platform/path_style.h"
#include "platform/utf.h"

namespace platform {

std::u16string TemporarySiblingName(const std::u16string& target) {
    // One generator per thread: parallel downloads into one folder each
    // draw names of their own without sharing state.
    thread_local std::mt19937_64 generator{std::random_device{}()};
    const std::string name = ".qs" + std::to_string(generator() % 1000000000000ULL) + ".tmp";
    // A name of its own rather than the target's with a suffix: whenever
    // the target's name fits the file system, so does this one.
    size_t folderEnd = target.size();
    while (folderEnd > 0 && !IsPathSeparator(NativePathStyle(), target[folderEnd - 1])) --folderEnd;
    return target.substr(0, folderEnd) + AsciiToUtf16(name.c_str());
}

}  // namespace platform
