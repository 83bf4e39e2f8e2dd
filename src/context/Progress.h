// Progress messages to the host window: message 2525 with a per-item result
// or a percentage. Only the export's own thread sends, never a worker; the
// window is the one the export was given.
#pragma once

#include <cstdint>

#include "quellsync_http.h"

// SendMessageW(window, 2525, identifier, record); the result is returned
// and ignored by callers.
intptr_t ReportItem(HWND window, uint32_t identifier, ItemResult* record);
// SendMessageW(window, 2525, 0x20002, percentage).
intptr_t ReportPercent(HWND window, uint32_t percentage);
