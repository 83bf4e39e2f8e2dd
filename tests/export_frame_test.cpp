// Every export runs in one exception frame: whatever its work throws ends
// as the export's failure result and one log line, never in the host.
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "context/SyncContext.h"
#include "export/ExportFrame.h"
#include "quellsync_http.h"
#include "support/log_capture.h"

namespace {

struct ExportCase {
    const char* name;
    int32_t failure;
    std::function<int32_t()> call;
};

const char16_t kHost[] = u"127.0.0.1";
const char16_t kFolder[] = u"/tmp/qs-frame";
const char16_t kRoot[] = u"/sdcard";

const QS_WCHAR* Text(const char16_t* text) { return reinterpret_cast<const QS_WCHAR*>(text); }

std::vector<ExportCase> AllExports(ConnectParams* connect, JobParams* job) {
    const auto sync = [connect, job](int32_t (*entry)(ConnectParams*, JobParams*)) {
        return [connect, job, entry] { return entry(connect, job); };
    };
    return {
        {"Test", 0, [] { return ::Test(); }},
        {"Stop", 0, sync(Stop)},
        {"SyncMusicFile", -1, sync(SyncMusicFile)},
        {"SyncPhotoFile", -1, sync(SyncPhotoFile)},
        {"SyncVideoFile", -1, sync(SyncVideoFile)},
        {"SyncDocumentFile", -1, sync(SyncDocumentFile)},
        {"SyncPlaylistFile", -1, sync(SyncPlaylistFile)},
        {"SyncPhoto", -1, sync(SyncPhoto)},
        {"SyncDevDocument", -1, sync(SyncDevDocument)},
        {"SyncPlaylist", 1, sync(SyncPlaylist)},
        {"Backup", 1, [] { return Backup(0, Text(kHost), 1, Text(kFolder), Text(kRoot), nullptr); }},
        {"Restore", 1, [] { return Restore(0, Text(kHost), 1, Text(kFolder), Text(kRoot), 0, nullptr); }},
    };
}

}  // namespace

TEST(ExportFrameTest, AnExceptionInAnyExportBecomesItsFailureResultAndOneLogLine) {
    ConnectParams connect{};
    JobParams job{};
    for (const bool badAlloc : {true, false}) {
        export_frame::SetWorkHookForTesting([badAlloc](const char*) {
            if (badAlloc) throw std::bad_alloc();
            throw std::runtime_error("work");
        });
        for (const ExportCase& entry : AllExports(&connect, &job)) {
            LogCapture log;
            GetSyncContext().stopRequested.store(0);
            EXPECT_EQ(entry.call(), entry.failure) << entry.name;
            EXPECT_EQ(log.Count(std::string("Function = ") + entry.name + " GetLastError"), 1u) << entry.name;
        }
        // A raised stop flag still makes the category exports report a stop.
        GetSyncContext().stopRequested.store(1);
        EXPECT_EQ(Backup(0, Text(kHost), 1, Text(kFolder), Text(kRoot), nullptr), 21);
        EXPECT_EQ(Restore(0, Text(kHost), 1, Text(kFolder), Text(kRoot), 0, nullptr), 21);
        GetSyncContext().stopRequested.store(0);
    }
    export_frame::SetWorkHookForTesting(nullptr);
    EXPECT_EQ(::Test(), 0);
}
