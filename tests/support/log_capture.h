// Collects the library's log lines while alive, from any thread.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "log/Log.h"
#include "platform/utf.h"

class LogCapture {
public:
    LogCapture() {
        qslog::SetCapture([this](qslog::Sink, const std::u16string& line) {
            std::lock_guard<std::mutex> guard(mLock);
            mLines.push_back(platform::Utf16ToUtf8(line));
        });
    }
    ~LogCapture() { qslog::SetCapture(nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> guard(mLock);
        return mLines;
    }
    // Lines that contain text.
    size_t Count(const std::string& text) const {
        std::lock_guard<std::mutex> guard(mLock);
        size_t n = 0;
        for (const std::string& line : mLines)
            if (line.find(text) != std::string::npos) ++n;
        return n;
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(mLock);
        mLines.clear();
    }

private:
    mutable std::mutex mLock;
    std::vector<std::string> mLines;
};
