#include "library_calls.h"

#include <atomic>
#include <cstdlib>
#include <deque>

#include "filesync/HttpFileAPI.h"
#include "platform/utf.h"
#include "quellsync_http.h"

namespace bench::library {
namespace {

constexpr char kHost[] = "127.0.0.1";
constexpr int32_t kTimeoutSeconds = 60;

CHttpFileAPI::StopFlag& Unraised() {
    static CHttpFileAPI::StopFlag flag{0};
    return flag;
}

// What the host hands every sync export: the service URL and the device root.
struct HostConnect {
    explicit HostConnect(uint16_t port)
        : url(platform::Utf8ToUtf16("http://" + std::string(kHost) + ":" + std::to_string(port) + "/")),
          role(u"device=/sdcard") {
        params.url = reinterpret_cast<const QS_WCHAR*>(url.c_str());
        params.role = reinterpret_cast<const QS_WCHAR*>(role.c_str());
    }
    std::u16string url;
    std::u16string role;
    ConnectParams params{};
};

}  // namespace

int32_t PutFileEx(uint16_t port, const std::string& localPath, const std::string& remotePath) {
    return CHttpFileAPI::PutFileEx(kHost, port, localPath.c_str(), remotePath.c_str(), &Unraised(),
                                   kTimeoutSeconds);
}

int32_t GetFile(uint16_t port, const std::string& remotePath, const std::string& localPath) {
    return CHttpFileAPI::GetFile(kHost, port, remotePath.c_str(), localPath.c_str(), &Unraised(),
                                 kTimeoutSeconds);
}

int32_t SyncMusicFile(uint16_t port, const std::vector<std::string>& pcFiles,
                      std::vector<std::string>* phonePaths) {
    HostConnect connect(port);
    std::deque<std::u16string> paths;
    std::vector<SyncItem> items(pcFiles.size());
    std::vector<void*> pointers;
    for (size_t i = 0; i < pcFiles.size(); ++i) {
        paths.push_back(platform::Utf8ToUtf16(pcFiles[i]));
        items[i].pcPath = reinterpret_cast<const QS_WCHAR*>(paths.back().c_str());
        items[i].changeKind = 1;
        pointers.push_back(&items[i]);
    }
    QsHostList list{nullptr, pointers.data(), pointers.data() + pointers.size(), nullptr};
    JobParams job{};
    job.items = &list;
    const int32_t result = ::SyncMusicFile(&connect.params, &job);
    for (SyncItem& item : items) {
        if (phonePaths != nullptr) {
            const auto* text = reinterpret_cast<const char16_t*>(item.phonePath);
            phonePaths->push_back(text != nullptr ? platform::Utf16ToUtf8(std::u16string(text)) : std::string());
        }
        std::free(item.phonePath);
    }
    return result;
}

int32_t SyncPhoto(uint16_t port, const std::string& pcFolder) {
    HostConnect connect(port);
    const std::u16string folder = platform::Utf8ToUtf16(pcFolder);
    DestinationFolders folders{};
    folders.cameraFolder = reinterpret_cast<const QS_WCHAR*>(folder.c_str());
    JobParams job{};
    job.word2 = &folders;
    return ::SyncPhoto(&connect.params, &job);
}

}  // namespace bench::library
