// The host records of a PC-to-phone job with one file to copy: the item,
// its list, the job and the connection, pointing at each other as a host
// builds them. The texts are the object's own.
#pragma once

#include <string>

#include "platform/utf.h"
#include "quellsync_http.h"

class OneUploadJob {
public:
    OneUploadJob(const std::u16string& pcPath, const std::u16string& url, const std::u16string& role)
        : mPcPath(pcPath), mUrl(url), mRole(role) {
        item.pcPath = platform::AsHostText(mPcPath);
        item.changeKind = 1;
        connect.url = platform::AsHostText(mUrl);
        connect.role = platform::AsHostText(mRole);
        job.items = &mList;
    }
    OneUploadJob(const OneUploadJob&) = delete;
    OneUploadJob& operator=(const OneUploadJob&) = delete;

    SyncItem item{};
    ConnectParams connect{};
    JobParams job{};

private:
    std::u16string mPcPath, mUrl, mRole;
    void* mItems[1] = {&item};
    QsHostList mList{nullptr, mItems, mItems + 1, nullptr};
};
