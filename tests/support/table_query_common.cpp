#include <gtest/gtest.h>

#include "support/table_query.h"
#include "tablesync/AndroidOperationProvider.h"

std::string TestMembersUri(const std::string& playlistId) {
    return std::string(kTestPlaylistsUri) + "/" + playlistId + "/members";
}

PhoneEndpoint LoopbackPhone(int32_t port, const RetryPolicy& retry) {
    PhoneEndpoint phone;
    phone.host = "127.0.0.1";
    phone.port = port;
    phone.retry = retry;
    return phone;
}

std::vector<AndroidOperationQuery::Row> QueryRows(int port, const std::string& uri,
                                                  const char* selection) {
    AndroidOperationProvider provider;
    provider.AddQuery("", uri, 0, selection, nullptr, nullptr);
    EXPECT_EQ(provider.DoTableSync(LoopbackPhone(port)), 0);
    if (provider.mResults.size() != 1) return {};
    EXPECT_EQ(provider.mResults[0]->mnResult, 1);
    const auto* query = dynamic_cast<const AndroidOperationQuery*>(provider.mResults[0].get());
    return query ? query->mRows : std::vector<AndroidOperationQuery::Row>{};
}
