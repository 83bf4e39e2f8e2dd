// The context set-up every sync export runs first, and the job values an
// export hands down to the layers below it.
#pragma once

#include <cstdint>
#include <string>

#include "context/SyncContext.h"
#include "quellsync_http.h"
#include "transport/PhoneEndpoint.h"

// What one job works with, copied out of the sync context when its export
// starts: a later export that sets up the context again, on this thread or
// another, changes nothing of a job that is running. The endpoint's stop
// flag is the context's, shared by every job.
struct JobSetup {
    PhoneEndpoint phone;
    HWND window = nullptr;
    std::string device;  // phone root folder, UTF-8
};

// Clears the stop flag, then takes device, window, port and host from the
// host's records and returns the job's copy of them. An empty (or missing)
// role string leaves host, port, device and window as the previous call set
// them, and the job works with those.
JobSetup SetUpContext(const ConnectParams* connect, const JobParams* job);

// The job values the context holds now.
JobSetup CurrentJobSetup();

// A job's copy of the given context values, with the context's stop flag
// and the request options as they are now.
JobSetup JobSetupFrom(const ContextValues& values);
