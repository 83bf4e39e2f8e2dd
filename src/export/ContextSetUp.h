// The context set-up every sync export runs first.
#pragma once

#include <cstdint>

#include "context/SyncContext.h"
#include "quellsync_http.h"

// Clears the stop flag, then takes device, window, port and host from the
// host's records. An empty (or missing) role string leaves host, port, device
// and window as the previous call set them.
void SetUpContext(const ConnectParams* connect, const JobParams* job);
