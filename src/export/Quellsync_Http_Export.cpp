// The entry points the host calls.
#include "export/ContextSetUp.h"
#include "quellsync_http.h"

extern "C" QS_API int32_t QS_CALL Test(void) { return 0; }

extern "C" QS_API int32_t QS_CALL Stop(ConnectParams* connect, JobParams* job) {
    (void)connect;
    (void)job;
    GetSyncContext().stopRequested.store(1);
    return 0;
}
