#include "export/ExportFrame.h"

#include <mutex>
#include <utility>

namespace export_frame {

namespace {

std::mutex gHookLock;
std::function<void(const char*)> gWorkHook;

}  // namespace

void SetWorkHookForTesting(std::function<void(const char* exportName)> hook) {
    std::lock_guard<std::mutex> guard(gHookLock);
    gWorkHook = std::move(hook);
}

void RunWorkHook(const char* exportName) {
    std::function<void(const char*)> hook;
    {
        std::lock_guard<std::mutex> guard(gHookLock);
        hook = gWorkHook;
    }
    if (hook) hook(exportName);
}

}  // namespace export_frame
