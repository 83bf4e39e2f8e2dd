// The frame every entry point runs its work in: no exception reaches the
// host. An exception turns into the export's failure result and one log line
// under the export's name; a log line that itself fails (for want of memory)
// is dropped rather than carried out.
#pragma once

#include <cstdint>
#include <functional>

#include "log/Log.h"

namespace export_frame {

// Test seam: called with the export's name at the start of its work, inside
// the frame; whatever it throws stands for an exception from the job.
// Empty: nothing is called.
void SetWorkHookForTesting(std::function<void(const char* exportName)> hook);
void RunWorkHook(const char* exportName);

}  // namespace export_frame

template <typename Body>
int32_t RunExport(const char* name, int32_t failure, Body&& body) noexcept {
    try {
        export_frame::RunWorkHook(name);
        return body();
    } catch (...) {
        try {
            QS_LOG_COMPONENT(name);
        } catch (...) {
        }
        return failure;
    }
}
