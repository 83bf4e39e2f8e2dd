#include "context/SyncContext.h"

SyncContext& GetSyncContext() {
    static SyncContext context;
    return context;
}
