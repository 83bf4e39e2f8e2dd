#include "context/SyncContext.h"

#include "platform/window.h"

SyncContext& GetSyncContext() {
    static SyncContext context{kInitialTestHost, kInitialPort, std::string(), nullptr, {0}};
    return context;
}

intptr_t ReportItem(uint32_t identifier, ItemResult* record) {
    return platform::SendHostMessage(GetSyncContext().window, QS_PROGRESS_MESSAGE, identifier,
                                     reinterpret_cast<intptr_t>(record));
}

intptr_t ReportPercent(uint32_t percentage) {
    return platform::SendHostMessage(GetSyncContext().window, QS_PROGRESS_MESSAGE,
                                     QS_PROGRESS_PERCENT, static_cast<intptr_t>(percentage));
}
