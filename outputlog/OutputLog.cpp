#include "OutputLog.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/utf.h"

namespace {

std::mutex& FileLock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

extern "C" void OutputString(const QS_WCHAR* tag, int32_t level, const QS_WCHAR* text) {
    (void)tag;
    (void)level;
    const char* path = std::getenv("OUTPUTLOG_FILE");
    if (!path || !*path || !text) return;
    std::string line = platform::Utf16ToUtf8(platform::FromHostText(text));
    if (line.empty() || line.back() != '\n') line.push_back('\n');
    std::lock_guard<std::mutex> guard(FileLock());
    std::FILE* file = std::fopen(path, "ab");
    if (!file) return;
    std::fwrite(line.data(), 1, line.size(), file);
    std::fclose(file);
}
