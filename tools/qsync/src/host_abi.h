// The parts of the library's host contract that differ by platform: the
// window that receives progress message 2525, and the release of texts the
// library hands back (SyncItem.phonePath, PlaylistItem.playlistId).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "quellsync_http.h"

namespace qsync {

// A host window whose handler sees every message 2525 on the thread that
// runs the export. POSIX: a QsHostWindow. Windows: a message-only window.
class HostWindow {
public:
    using Handler = std::function<void(uintptr_t wParam, intptr_t lParam)>;
    explicit HostWindow(Handler handler);
    ~HostWindow();
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;

    // Null when the window could not be made; the job then runs without
    // progress messages.
    HWND handle() const;

    struct Impl;

private:
    std::unique_ptr<Impl> mImpl;
};

// free() on POSIX, LocalFree() on Windows; null is ignored.
void FreeLibraryText(QS_WCHAR* text);

// Owns one text the library allocated.
class LibraryText {
public:
    LibraryText() = default;
    explicit LibraryText(QS_WCHAR* text) : mText(text) {}
    ~LibraryText() { FreeLibraryText(mText); }
    LibraryText(LibraryText&& other) noexcept : mText(other.mText) { other.mText = nullptr; }
    LibraryText& operator=(LibraryText&& other) noexcept {
        if (this != &other) {
            FreeLibraryText(mText);
            mText = other.mText;
            other.mText = nullptr;
        }
        return *this;
    }
    LibraryText(const LibraryText&) = delete;
    LibraryText& operator=(const LibraryText&) = delete;
    const QS_WCHAR* get() const { return mText; }

private:
    QS_WCHAR* mText = nullptr;
};

}  // namespace qsync
