// The context set-up every sync export runs first, and the two progress
// messages to the host window.
#pragma once

#include <cstdint>

#include "context/SyncContext.h"
#include "quellsync_http.h"

// Clears the stop flag, then takes device, window, port and host from the
// host's records. An empty (or missing) role string leaves host, port, device
// and window as the previous call set them.
void SetUpContext(const ConnectParams* connect, const JobParams* job);

// SendMessageW(window, 2525, identifier, record); the result is returned and
// ignored by callers. Only the export's own thread sends.
intptr_t ReportItem(uint32_t identifier, ItemResult* record);
// SendMessageW(window, 2525, 0x20002, percentage).
intptr_t ReportPercent(uint32_t percentage);
