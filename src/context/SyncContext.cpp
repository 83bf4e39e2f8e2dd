#include "context/SyncContext.h"

SyncContext& GetSyncContext() {
    static SyncContext context{kInitialTestHost, kInitialPort, std::string(), nullptr, {0}};
    return context;
}
