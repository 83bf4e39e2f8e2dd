#include "export/ContextSetUp.h"

#include <utility>

#include "export/TagParser.h"
#include "platform/url.h"
#include "platform/utf.h"

JobSetup SetUpContext(const ConnectParams* connect, const JobParams* job) {
    SyncContext& context = GetSyncContext();
    context.stopRequested.store(0);

    // The host's records are parsed outside the lock; only the store and
    // the job's copy of the result are made under it.
    const std::u16string role = platform::FromHostText(connect ? connect->role : nullptr);
    CTagParser parser;
    if (parser.ParseRoleString(role.c_str(), static_cast<int32_t>(role.size())) != 0) return CurrentJobSetup();

    ContextValues taken;
    taken.device = platform::Utf16ToUtf8(parser.GetString(u"device"));
    taken.window = job ? job->window : nullptr;
    const std::u16string url = platform::FromHostText(connect->url);
    taken.port = platform::WideToInt(platform::UrlPortPart(url));
    taken.host = platform::Utf16ToUtf8(platform::UrlHostPart(url));
    return JobSetupFrom(context.Update([&taken](ContextValues& values) { values = std::move(taken); }));
}

JobSetup CurrentJobSetup() { return JobSetupFrom(GetSyncContext().Values()); }

JobSetup JobSetupFrom(const ContextValues& values) {
    SyncContext& context = GetSyncContext();
    JobSetup setup;
    setup.phone.host = values.host;
    setup.phone.port = values.port;
    setup.phone.stop = &context.stopRequested;
    setup.phone.timeout = PhoneEndpoint::kDefaultTimeoutSeconds;
    // The options as they are when the job starts; the job's retries count
    // into the context's counter and its waits end on the context's Stop.
    setup.phone.retry.retries = context.requestRetries.load();
    setup.phone.retry.delayMs = static_cast<uint32_t>(context.retryDelayMs.load());
    setup.phone.retry.made = &context.retriesMade;
    setup.phone.retry.stopSignal = &context.stopSignal;
    setup.window = values.window;
    setup.device = values.device;
    return setup;
}
