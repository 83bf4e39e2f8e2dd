#include <gtest/gtest.h>

#include <string>

#include "context/Progress.h"
#include "export/ContextSetUp.h"
#include "platform/utf.h"
#include "quellsync_http.h"
#include "support/recording_window.h"

namespace {

// Host records as the host builds them, owning their texts.
struct HostRecords {
    std::u16string url;
    std::u16string role;
    ConnectParams connect{};
    JobParams job{};

    HostRecords(const std::u16string& u, const std::u16string& r, HWND window) : url(u), role(r) {
        connect.url = platform::AsHostText(url);
        connect.role = platform::AsHostText(role);
        job.window = window;
    }
};

}  // namespace

namespace {

// The context as it is before main, that is before any test ran an export
// (under Wine every test runs in one process).
struct InitialContext {
    int32_t port;
    std::string host, device;
    HWND window;
    uint8_t stop;
};
const InitialContext kAtLoad = [] {
    const ContextValues values = GetSyncContext().Values();
    return InitialContext{values.port, values.host, values.device, values.window,
                          GetSyncContext().stopRequested.load()};
}();

}  // namespace

TEST(SyncContextTest, InitialStateBeforeAnySetUp) {
    EXPECT_EQ(kAtLoad.port, 8182);
    EXPECT_EQ(kAtLoad.host, kInitialTestHost);
    EXPECT_EQ(kAtLoad.device, "");
    EXPECT_EQ(kAtLoad.window, nullptr);
    EXPECT_EQ(kAtLoad.stop, 0);
}

TEST(SyncContextTest, SetUpTakesHostPortDeviceAndWindow) {
    RecordingWindow window;
    HostRecords records(u"http://127.0.0.1:8182/", u"device=/sdcard;x=1", window.handle());
    GetSyncContext().stopRequested.store(1);
    const JobSetup setup = SetUpContext(&records.connect, &records.job);
    const ContextValues context = GetSyncContext().Values();
    EXPECT_EQ(context.host, "127.0.0.1");
    EXPECT_EQ(context.port, 8182);
    EXPECT_EQ(context.device, "/sdcard");
    EXPECT_EQ(context.window, window.handle());
    EXPECT_EQ(GetSyncContext().stopRequested.load(), 0);
    // The job's copy holds the same values, and the context's stop flag.
    EXPECT_EQ(setup.phone.host, "127.0.0.1");
    EXPECT_EQ(setup.phone.port, 8182);
    EXPECT_EQ(setup.device, "/sdcard");
    EXPECT_EQ(setup.window, window.handle());
    EXPECT_EQ(setup.phone.stop, &GetSyncContext().stopRequested);
}

TEST(SyncContextTest, RoleWithoutDeviceGivesEmptyDeviceAndUrlWithoutPortGivesZero) {
    HostRecords records(u"http://127.0.0.2/", u"name=phone", nullptr);
    SetUpContext(&records.connect, &records.job);
    EXPECT_EQ(GetSyncContext().Values().device, "");
    EXPECT_EQ(GetSyncContext().Values().port, 0);
    EXPECT_EQ(GetSyncContext().Values().host, "127.0.0.2");
}

TEST(SyncContextTest, NonAsciiDeviceIsUtf8) {
    HostRecords records(u"http://127.0.0.1:1/", u"device=/sdcard/\u00c4\\;b", nullptr);
    SetUpContext(&records.connect, &records.job);
    EXPECT_EQ(GetSyncContext().Values().device, "/sdcard/\xC3\x84;b");
}

TEST(SyncContextTest, EmptyRoleKeepsPreviousContextButClearsStop) {
    RecordingWindow window;
    HostRecords first(u"http://127.0.0.3:9000/", u"device=/storage/emulated/0", window.handle());
    SetUpContext(&first.connect, &first.job);

    HostRecords second(u"http://127.0.0.9:1234/", u"", nullptr);
    Stop(nullptr, nullptr);
    ASSERT_EQ(GetSyncContext().stopRequested.load(), 1);
    const JobSetup setup = SetUpContext(&second.connect, &second.job);
    EXPECT_EQ(GetSyncContext().stopRequested.load(), 0);
    const ContextValues context = GetSyncContext().Values();
    EXPECT_EQ(context.host, "127.0.0.3");
    EXPECT_EQ(context.port, 9000);
    EXPECT_EQ(context.device, "/storage/emulated/0");
    EXPECT_EQ(context.window, window.handle());
    // The job works with the values kept.
    EXPECT_EQ(setup.phone.host, "127.0.0.3");
    EXPECT_EQ(setup.phone.port, 9000);
    EXPECT_EQ(setup.device, "/storage/emulated/0");

    // Missing records behave as an empty role string.
    Stop(nullptr, nullptr);
    EXPECT_EQ(SetUpContext(nullptr, nullptr).phone.host, "127.0.0.3");
    EXPECT_EQ(GetSyncContext().stopRequested.load(), 0);
    EXPECT_EQ(GetSyncContext().Values().host, "127.0.0.3");
}

TEST(SyncContextTest, TestAndStopExports) {
    GetSyncContext().stopRequested.store(0);
    EXPECT_EQ(::Test(), 0);
    EXPECT_EQ(GetSyncContext().stopRequested.load(), 0);
    ConnectParams connect{};
    JobParams job{};
    EXPECT_EQ(Stop(&connect, &job), 0);
    EXPECT_EQ(GetSyncContext().stopRequested.load(), 1);
    GetSyncContext().stopRequested.store(0);
}

TEST(ProgressTest, ItemAndPercentMessagesReachTheWindow) {
    RecordingWindow window;
    HostRecords records(u"http://127.0.0.1:8182/", u"device=/sdcard", window.handle());
    SetUpContext(&records.connect, &records.job);

    SyncItem item{};
    ItemResult result{0, 9, &item};
    ReportPercent(window.handle(), 40);
    ReportItem(window.handle(), 1000, &result);
    ReportPercent(window.handle(), 100);

    const auto& messages = window.messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].message, 2525u);
    EXPECT_EQ(messages[0].wParam, 0x20002u);
    EXPECT_EQ(messages[0].lParam, 40);
    EXPECT_EQ(messages[1].message, 2525u);
    EXPECT_EQ(messages[1].wParam, 1000u);
    EXPECT_EQ(messages[1].item.status, 0);
    EXPECT_EQ(messages[1].item.code, 9);
    EXPECT_EQ(messages[1].item.item, &item);
    EXPECT_EQ(messages[2].lParam, 100);
}

TEST(ProgressTest, HostMayStopFromItsMessageHandling) {
    RecordingWindow window;
    HostRecords records(u"http://127.0.0.1:8182/", u"device=/sdcard", window.handle());
    SetUpContext(&records.connect, &records.job);
    window.onMessage = [](const RecordedMessage&) { Stop(nullptr, nullptr); };
    ReportPercent(window.handle(), 5);
    EXPECT_EQ(GetSyncContext().stopRequested.load(), 1);
    GetSyncContext().stopRequested.store(0);
}

TEST(ProgressTest, NullWindowIsIgnored) {
    HostRecords records(u"http://127.0.0.1:8182/", u"device=/sdcard", nullptr);
    SetUpContext(&records.connect, &records.job);
    EXPECT_EQ(ReportPercent(nullptr, 10), 0);
    EXPECT_EQ(ReportItem(nullptr, 1000, nullptr), 0);
}
