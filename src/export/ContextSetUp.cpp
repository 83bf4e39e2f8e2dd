#include "export/ContextSetUp.h"

#include "export/TagParser.h"
#include "platform/url.h"
#include "platform/utf.h"

void SetUpContext(const ConnectParams* connect, const JobParams* job) {
    SyncContext& context = GetSyncContext();
    context.stopRequested.store(0);

    const std::u16string role = platform::FromHostText(connect ? connect->role : nullptr);
    CTagParser parser;
    if (parser.ParseRoleString(role.c_str(), static_cast<int32_t>(role.size())) != 0) return;

    context.device = platform::Utf16ToUtf8(parser.GetString(u"device"));
    context.window = job ? job->window : nullptr;
    const std::u16string url = platform::FromHostText(connect->url);
    context.port = platform::WideToInt(platform::UrlPortPart(url));
    context.host = platform::Utf16ToUtf8(platform::UrlHostPart(url));
}

JobSetup CurrentJobSetup() {
    SyncContext& context = GetSyncContext();
    JobSetup setup;
    setup.phone.host = context.host;
    setup.phone.port = context.port;
    setup.phone.stop = &context.stopRequested;
    setup.phone.timeout = PhoneEndpoint::kDefaultTimeoutSeconds;
    setup.window = context.window;
    setup.device = context.device;
    return setup;
}
