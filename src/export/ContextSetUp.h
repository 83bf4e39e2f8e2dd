// The context set-up every sync export runs first, and the job values an
// export hands down to the layers below it.
#pragma once

#include <cstdint>
#include <string>

#include "context/SyncContext.h"
#include "quellsync_http.h"
#include "transport/PhoneEndpoint.h"

// Clears the stop flag, then takes device, window, port and host from the
// host's records. An empty (or missing) role string leaves host, port, device
// and window as the previous call set them.
void SetUpContext(const ConnectParams* connect, const JobParams* job);

// What one job works with, copied out of the sync context when its export
// starts: a later export that sets up the context again changes nothing of
// a job that is running. The endpoint's stop flag is the context's.
struct JobSetup {
    PhoneEndpoint phone;
    HWND window = nullptr;
    std::string device;  // phone root folder, UTF-8
};

JobSetup CurrentJobSetup();
