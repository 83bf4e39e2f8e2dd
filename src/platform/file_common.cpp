#include <random>
#include <string>

#include "platform/file.h"
#include "platform/utf.h"

namespace platform {

std::u16string TemporarySiblingName(const std::u16string& target) {
    // One generator per thread: parallel downloads into one folder each
    // draw names of their own without sharing state.
    thread_local std::mt19937_64 generator{std::random_device{}()};
    const std::string suffix = ".qs" + std::to_string(generator() % 1000000000000ULL) + ".tmp";
    return target + AsciiToUtf16(suffix.c_str());
}

}  // namespace platform
