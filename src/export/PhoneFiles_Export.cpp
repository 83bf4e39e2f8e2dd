// The phone file entry points: each call talks to the phone named by its
// URL with a stop byte of its own, registered while it runs, so that Stop
// ends it without it ever reading or clearing the shared stop flag.
#include <climits>
#include <cstdint>
#include <string>

#include "context/CallStops.h"
#include "export/ContextSetUp.h"
#include "export/ExportFrame.h"
#include "fileapi/FileApi.h"
#include "fileapi/PhoneFiles.h"
#include "platform/url.h"
#include "platform/utf.h"
#include "quellsync_http.h"

namespace {

// An exception (out of memory, say) ends a call as a failed request does.
constexpr int32_t kCallFailed = -1;

std::string Utf8(const QS_WCHAR* text) { return platform::Utf16ToUtf8(platform::FromHostText(text)); }

// The phone of url, with the request options every job takes and the
// call's own stop byte. False for a URL without a host or a port.
bool EndpointFor(const QS_WCHAR* url, const CallStops::Scope& stop, PhoneEndpoint& phone) {
    if (url == nullptr) return false;
    const std::u16string text = platform::FromHostText(url);
    ContextValues values;
    values.host = platform::Utf16ToUtf8(platform::UrlHostPart(text));
    values.port = platform::WideToInt(platform::UrlPortPart(text));
    if (values.host.empty() || values.port < 1 || values.port > 65535) return false;
    phone = JobSetupFrom(values).phone;
    phone.stop = stop.flag();
    return true;
}

// Runs one phone file call: its texts present, its flags known, its
// endpoint built; otherwise QS_PHONE_INVALID with nothing sent.
template <typename Body>
int32_t RunPhoneCall(const char* name, const QS_WCHAR* url, bool argumentsPresent, int32_t flags,
                     int32_t knownFlags, const Body& body) {
    return RunExport(name, kCallFailed, [&] {
        if (!argumentsPresent || (flags & ~knownFlags) != 0) return phone_files::kInvalid;
        CallStops::Scope stop(GetCallStops());
        PhoneEndpoint phone;
        if (!EndpointFor(url, stop, phone)) return phone_files::kInvalid;
        return body(phone);
    });
}

int32_t DeliverEntry(QsEntryCallback cb, void* context, const RemoteFileInfo& info) {
    const std::u16string path = platform::Utf8ToUtf16(info.FileName);
    QsPhoneEntry entry{};
    entry.size = info.mnFileSize;
    entry.modified = info.mnLastModify;
    entry.path = platform::AsHostText(path);
    entry.isFile = info.mnIsFile != 0;
    entry.isDir = info.mnIsDir != 0;
    entry.isHidden = info.mnIsHidden != 0;
    entry.canRead = info.mnCanRead != 0;
    entry.canWrite = info.mnCanWrite != 0;
    return cb(context, &entry);
}

// The byte callback of a transfer, or none.
CHttpFileAPI::ByteProgress BytesTo(QsBytesCallback cb, void* context) {
    if (cb == nullptr) return {};
    return [cb, context](int64_t done, int64_t total) {
        cb(context, static_cast<uint64_t>(done), static_cast<uint64_t>(total));
    };
}

// A transfer from one path to the other, with its byte callback.
using Transfer = int32_t (*)(const PhoneEndpoint&, const std::string&, const std::string&, bool,
                             const CHttpFileAPI::ByteProgress*);
int32_t RunTransferCall(const char* name, const QS_WCHAR* url, const QS_WCHAR* from, const QS_WCHAR* to,
                        int32_t flags, QsBytesCallback cb, void* context, Transfer transfer) {
    return RunPhoneCall(name, url, from != nullptr && to != nullptr, flags, QS_PHONE_REPLACE,
                        [&](const PhoneEndpoint& phone) {
                            const CHttpFileAPI::ByteProgress progress = BytesTo(cb, context);
                            return transfer(phone, Utf8(from), Utf8(to), (flags & QS_PHONE_REPLACE) != 0, &progress);
                        });
}

}  // namespace

extern "C" QS_API int32_t QS_CALL PhoneStat(const QS_WCHAR* url, const QS_WCHAR* phonePath, QsEntryCallback cb,
                                            void* context) {
    return RunPhoneCall("PhoneStat", url, phonePath != nullptr, 0, 0, [&](const PhoneEndpoint& phone) {
        RemoteFileInfo info;
        const int32_t result = phone_files::Stat(phone, Utf8(phonePath), &info);
        if (result == phone_files::kDone && cb != nullptr) DeliverEntry(cb, context, info);
        return result;
    });
}

extern "C" QS_API int32_t QS_CALL PhoneList(const QS_WCHAR* url, const QS_WCHAR* phoneFolder, QsEntryCallback cb,
                                            void* context) {
    return RunPhoneCall("PhoneList", url, phoneFolder != nullptr, 0, 0, [&](const PhoneEndpoint& phone) {
        return phone_files::List(phone, Utf8(phoneFolder), [&](const RemoteFileInfo& entry) {
            return cb == nullptr || DeliverEntry(cb, context, entry) == 0;
        });
    });
}

extern "C" QS_API int32_t QS_CALL PhoneGetFile(const QS_WCHAR* url, const QS_WCHAR* phonePath, const QS_WCHAR* pcPath,
                                               int32_t flags, QsBytesCallback cb, void* context) {
    return RunTransferCall("PhoneGetFile", url, phonePath, pcPath, flags, cb, context, &phone_files::Get);
}

extern "C" QS_API int32_t QS_CALL PhonePutFile(const QS_WCHAR* url, const QS_WCHAR* pcPath, const QS_WCHAR* phonePath,
                                               int32_t flags, QsBytesCallback cb, void* context) {
    return RunTransferCall("PhonePutFile", url, pcPath, phonePath, flags, cb, context, &phone_files::Put);
}

extern "C" QS_API int32_t QS_CALL PhoneDelete(const QS_WCHAR* url, const QS_WCHAR* phonePath, int32_t flags) {
    return RunPhoneCall("PhoneDelete", url, phonePath != nullptr, flags, QS_PHONE_TREE,
                        [&](const PhoneEndpoint& phone) {
                            return phone_files::Delete(phone, Utf8(phonePath), (flags & QS_PHONE_TREE) != 0);
                        });
}

extern "C" QS_API int32_t QS_CALL PhoneRename(const QS_WCHAR* url, const QS_WCHAR* fromPath, const QS_WCHAR* toPath) {
    return RunPhoneCall("PhoneRename", url, fromPath != nullptr && toPath != nullptr, 0, 0,
                        [&](const PhoneEndpoint& phone) {
                            return phone_files::Rename(phone, Utf8(fromPath), Utf8(toPath));
                        });
}

extern "C" QS_API int32_t QS_CALL MirroredPhonePath(const QS_WCHAR* pcPath, const QS_WCHAR* phoneFolder, QS_WCHAR* out,
                                                    int32_t capacity) {
    return RunExport("MirroredPhonePath", -1, [&]() -> int32_t {
        if (pcPath == nullptr || phoneFolder == nullptr || capacity < 0 || (capacity > 0 && out == nullptr)) return -1;
        // The rule the PC-to-phone exports apply, not a copy of it.
        const std::u16string answer =
            platform::Utf8ToUtf16(FILE_API::BuildPhonePath(Utf8(pcPath), Utf8(phoneFolder)));
        if (answer.size() >= static_cast<size_t>(INT32_MAX)) return -1;
        const auto length = static_cast<int32_t>(answer.size());
        if (capacity > length) {
            for (int32_t i = 0; i < length; ++i) out[i] = static_cast<QS_WCHAR>(answer[static_cast<size_t>(i)]);
            out[length] = 0;
        }
        return length;
    });
}

static_assert(phone_files::kDone == QS_PHONE_OK && phone_files::kAbsent == QS_PHONE_ABSENT &&
                  phone_files::kInvalid == QS_PHONE_INVALID && phone_files::kStopped == QS_PHONE_STOPPED &&
                  phone_files::kNoPcFile == QS_PHONE_NO_PC_FILE && phone_files::kScanFailed == QS_PHONE_SCAN_FAILED &&
                  phone_files::kExists == QS_PHONE_EXISTS && phone_files::kWrongKind == QS_PHONE_WRONG_KIND &&
                  phone_files::kNotEmpty == QS_PHONE_NOT_EMPTY,
              "the header's phone file results");
