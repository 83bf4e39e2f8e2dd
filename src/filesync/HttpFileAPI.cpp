#include "filesync/HttpFileAPI.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>

#include "log/Log.h"
#include "platform/file.h"
#include "platform/utf.h"
#include "pool/WorkerPool.h"
#include "transport/HttpClient.h"
#include "transport/SyncMarker.h"

namespace {

using StopFlag = CHttpFileAPI::StopFlag;

const char kServicePath[] = "/filesync";
// Longest text a wire string can carry: its count is 16-bit.
constexpr size_t kMaxWireString = 0xFFFF;
// Smallest encodings on the wire, used to reject a count before reading: a
// RemoteFileInfo of an empty name, a MediaScanEntry of three empty strings.
constexpr int32_t kMinInfoBytes = 2 + 4 + 4 + 8 + 4 + 4 + 4 + 8;
constexpr int32_t kMinScanEntryBytes = 2 + 2 + 2;

bool Stopped(const StopFlag* stopFlag) { return stopFlag != nullptr && stopFlag->load() != 0; }

bool FitsWire(const char* text) { return text != nullptr && std::strlen(text) <= kMaxWireString; }

// One exchange with the file service: sends the framed body, checks the
// answer. 0 with the cursor of response at the result data, or -1 … -6.
int32_t Exchange(const char* host, int32_t port, ByteArray& body, ByteArray& response,
                 const StopFlag* stopFlag, int32_t timeout) {
    int32_t requested;
    {
        HttpClient client;
        requested = client.Get(host, port, kServicePath, body.GetData(), body.GetLength(), &response,
                               timeout, stopFlag);
    }
    return CHttpFileAPI::CheckResponse(requested, response);
}

ByteArray PathPayload(const char* path) {
    ByteArray body;
    body.AppendString(path);
    return body;
}

// Reads one RemoteFileInfo at the cursor; false when the data ends early.
bool ReadInfo(ByteArray& response, RemoteFileInfo& info) {
    info.FileName = response.ReadString();
    info.mnCanRead = static_cast<int32_t>(response.ReadInt32());
    info.mnCanWrite = static_cast<int32_t>(response.ReadInt32());
    info.mnFileSize = response.ReadInt64();
    info.mnIsFile = static_cast<int32_t>(response.ReadInt32());
    info.mnIsDir = static_cast<int32_t>(response.ReadInt32());
    info.mnIsHidden = static_cast<int32_t>(response.ReadInt32());
    info.mnLastModify = response.ReadInt64();
    return !response.HadShortRead();
}

// A path without its trailing slashes, so "/a/" and "/a" compare equal.
std::string FolderKey(const std::string& path) {
    std::string key = path;
    while (key.size() > 1 && key.back() == '/') key.pop_back();
    return key;
}

// The state of one recursive listing across its levels.
struct Listing {
    const char* host;
    int32_t port;
    std::vector<RemoteFileInfo>* list;
    const StopFlag* stopFlag;
    bool recursive;
    int32_t timeout;
    std::vector<std::string> folders;  // the folder being listed and its ancestors
    int64_t entries = 0;
};

int32_t ListFolder(Listing& listing, const std::string& path) {
    static const char kName[] = "CHttpFileAPI::EnumDir";
    ByteArray body = PathPayload(path.c_str());
    CHttpFileAPI::Frame(body, CMD_ENUM_DIR);
    ByteArray response;
    const int32_t checked =
        Exchange(listing.host, listing.port, body, response, listing.stopFlag, listing.timeout);
    if (checked != 0) {
        QS_LOG_COMPONENT(kName);
        return checked;
    }
    response.ReadInt32();  // not used
    const int32_t listFlag = static_cast<int32_t>(response.ReadInt32());
    if (response.HadShortRead()) {
        QS_LOG_COMPONENT(kName);
        return -9;
    }
    if (listFlag != 1) return 0;
    const int32_t count = static_cast<int32_t>(response.ReadInt32());
    if (response.HadShortRead() || (count > 0 && count > response.GetRemain() / kMinInfoBytes)) {
        QS_LOG_COMPONENT(kName);
        return -9;
    }
    listing.entries += count > 0 ? count : 0;
    if (listing.entries > CHttpFileAPI::kMaxListedEntries) {
        QS_LOG_COMPONENT(kName);
        return -7;
    }
    listing.folders.push_back(FolderKey(path));
    for (int32_t i = 0; i < count; ++i) {
        RemoteFileInfo info;
        if (!ReadInfo(response, info)) {
            QS_LOG_COMPONENT(kName);
            listing.folders.pop_back();
            return -9;
        }
        CHttpFileAPI::Dump(info);
        if (listing.recursive && info.mnIsDir != 0) {
            const std::string key = FolderKey(info.FileName);
            bool loops = false;
            for (const std::string& folder : listing.folders) loops = loops || folder == key;
            if (loops || listing.folders.size() >= static_cast<size_t>(CHttpFileAPI::kMaxListingDepth) ||
                !FitsWire(info.FileName.c_str()) || ListFolder(listing, info.FileName) != 0) {
                QS_LOG_COMPONENT(kName);
                listing.folders.pop_back();
                return -7;
            }
        }
        if (listing.list != nullptr) listing.list->push_back(std::move(info));
    }
    listing.folders.pop_back();
    return 0;
}

// The frame of the operations whose payload is one path and whose answer
// carries no result data.
int32_t PathCommand(const char* name, int32_t command, const char* host, int32_t port,
                    const char* path, const StopFlag* stopFlag, int32_t timeout) {
    if (!FitsWire(path)) {
        QS_LOG_COMPONENT(name);
        return -12;
    }
    ByteArray body = PathPayload(path);
    CHttpFileAPI::Frame(body, command);
    ByteArray response;
    const int32_t checked = Exchange(host, port, body, response, stopFlag, timeout);
    if (checked != 0) QS_LOG_COMPONENT(name);
    return checked;
}

}  // namespace

void CHttpFileAPI::Frame(ByteArray& body, int32_t command) {
    body.AppendInt32Front(static_cast<uint32_t>(command));
    body.AppendInt32Front(static_cast<uint32_t>(body.GetLength()));
    body.AppendDataFront(SyncMarker, static_cast<int32_t>(SyncMarkerLength));
}

int32_t CHttpFileAPI::CheckResponse(int32_t requestResult, ByteArray& response) {
    if (requestResult < 0) return -1;
    if (response.GetRemain() < static_cast<int32_t>(SyncMarkerLength)) return -2;
    std::string marker;
    response.ReadBytes(marker, static_cast<int32_t>(SyncMarkerLength));
    if (marker.compare(0, std::string::npos, SyncMarker, SyncMarkerLength) != 0) return -3;
    if (response.GetRemain() < 4) return -4;
    response.ReadInt32();  // not used
    if (response.GetRemain() < 4) return -5;
    if (static_cast<int32_t>(response.ReadInt32()) != 1) return -6;
    return 0;
}

void CHttpFileAPI::Dump(const RemoteFileInfo& info) {
    char numbers[256];
    std::snprintf(numbers, sizeof numbers,
                  " mnCanRead:%d mnCanWrite:%d mnFileSize:%llu mnIsFile:%d mnIsDir:%d mnIsHidden:%d"
                  " mnLastModify:%llu\n",
                  info.mnCanRead, info.mnCanWrite, static_cast<unsigned long long>(info.mnFileSize),
                  info.mnIsFile, info.mnIsDir, info.mnIsHidden,
                  static_cast<unsigned long long>(info.mnLastModify));
    // One write per record, so lines of parallel listings do not mix.
    const std::string line = " FileName:" + info.FileName + numbers;
    std::fwrite(line.data(), 1, line.size(), stdout);
}

int32_t CHttpFileAPI::GetInfo(const char* host, int32_t port, const char* path, RemoteFileInfo* out,
                              const StopFlag* stopFlag, int32_t timeout) {
    static const char kName[] = "CHttpFileAPI::GetInfo";
    if (!FitsWire(path)) {
        QS_LOG_COMPONENT(kName);
        return -12;
    }
    ByteArray body = PathPayload(path);
    Frame(body, CMD_GET_INFO);
    ByteArray response;
    const int32_t checked = Exchange(host, port, body, response, stopFlag, timeout);
    if (checked != 0) {
        QS_LOG_COMPONENT(kName);
        return checked;
    }
    response.ReadInt32();  // not used
    const int32_t found = static_cast<int32_t>(response.ReadInt32());
    if (response.HadShortRead()) {
        QS_LOG_COMPONENT(kName);
        return -9;
    }
    if (found != 1 || out == nullptr) return 1;
    RemoteFileInfo info;
    if (!ReadInfo(response, info)) {
        QS_LOG_COMPONENT(kName);
        return -9;
    }
    Dump(info);
    *out = std::move(info);
    return 0;
}

int32_t CHttpFileAPI::EnumDir(const char* host, int32_t port, const char* path,
                              std::vector<RemoteFileInfo>* list, const StopFlag* stopFlag,
                              bool recursive, int32_t timeout) {
    if (!FitsWire(path)) {
        QS_LOG_COMPONENT("CHttpFileAPI::EnumDir");
        return -12;
    }
    Listing listing{host, port, list, stopFlag, recursive, timeout, {}, 0};
    return ListFolder(listing, path);
}

int32_t CHttpFileAPI::DeleteFileW(const char* host, int32_t port, const char* path,
                                  const StopFlag* stopFlag, int32_t timeout) {
    return PathCommand("CHttpFileAPI::DeleteFileW", CMD_DELETE_FILE, host, port, path, stopFlag, timeout);
}

int32_t CHttpFileAPI::DeletePath(const char* host, int32_t port, const char* path,
                                 const StopFlag* stopFlag, int32_t timeout) {
    return PathCommand("CHttpFileAPI::DeletePath", CMD_DELETE_PATH, host, port, path, stopFlag, timeout);
}

int32_t CHttpFileAPI::DeleteEmptyPath(const char* host, int32_t port, const char* path,
                                      const StopFlag* stopFlag, int32_t timeout) {
    return PathCommand("CHttpFileAPI::DeleteEmptyPath", CMD_DELETE_EMPTY_PATH, host, port, path,
                       stopFlag, timeout);
}

int32_t CHttpFileAPI::RenamePathFile(const char* host, int32_t port, const char* path1,
                                     const char* path2, const StopFlag* stopFlag, int32_t timeout) {
    static const char kName[] = "CHttpFileAPI::RenamePathFile";
    if (!FitsWire(path1) || !FitsWire(path2)) {
        QS_LOG_COMPONENT(kName);
        return -12;
    }
    ByteArray body;
    body.AppendString(path1);
    body.AppendString(path2);
    Frame(body, CMD_RENAME);
    ByteArray response;
    const int32_t checked = Exchange(host, port, body, response, stopFlag, timeout);
    if (checked != 0) QS_LOG_COMPONENT(kName);
    return checked;
}

int32_t CHttpFileAPI::ScanMediaFile(const char* host, int32_t port, const std::vector<std::string>& paths,
                                    std::vector<MediaScanEntry>* out, const StopFlag* stopFlag,
                                    int32_t timeout) {
    static const char kName[] = "CHttpFileAPI::ScanMediaFile";
    ByteArray body;
    body.AppendInt32(static_cast<uint32_t>(paths.size()));
    for (const std::string& path : paths) {
        // A zero byte would cut the path short on the wire; so would a count
        // that does not fit 16 bits.
        if (path.size() > kMaxWireString || path.find('\0') != std::string::npos) {
            QS_LOG_COMPONENT(kName);
            return -12;
        }
        body.AppendString(path.c_str());
    }
    Frame(body, CMD_SCAN_MEDIA);
    ByteArray response;
    const int32_t checked = Exchange(host, port, body, response, stopFlag, timeout);
    if (checked != 0) {
        QS_LOG_COMPONENT(kName);
        return checked;
    }
    response.ReadInt32();  // not used
    const int32_t count = static_cast<int32_t>(response.ReadInt32());
    if (response.HadShortRead() || (count > 0 && count > response.GetRemain() / kMinScanEntryBytes)) {
        QS_LOG_COMPONENT(kName);
        return -9;
    }
    if (count <= 0 || out == nullptr) return 0;
    std::vector<MediaScanEntry> entries;
    entries.reserve(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        MediaScanEntry entry;
        entry.Path = response.ReadString();
        entry.Info = response.ReadString();
        entry.MediaId = response.ReadString();
        if (response.HadShortRead()) {
            QS_LOG_COMPONENT(kName);
            return -9;
        }
        entries.push_back(std::move(entry));
    }
    for (MediaScanEntry& entry : entries) out->push_back(std::move(entry));
    return 0;
}

// ---------------------------------------------------------------------------
// Transfers

namespace {

// Longest wait of the coordinator between two looks at the stop flag while
// the pipeline is full or drains.
constexpr uint32_t kPipelinePollMs = 10;

ByteArray PutChunkRequest(const char* remotePath, int64_t offset, const uint8_t* data, int32_t length) {
    ByteArray body;
    body.Reserve(static_cast<int32_t>(SyncMarkerLength) + 8 + 2 + static_cast<int32_t>(std::strlen(remotePath)) +
                 4 + 4 + length);
    body.AppendString(remotePath);
    body.AppendInt32(static_cast<uint32_t>(offset));
    body.AppendBlock(data, length);
    CHttpFileAPI::Frame(body, CMD_PUT_CHUNK);
    return body;
}

ByteArray GetChunkRequest(const char* remotePath, int64_t offset) {
    ByteArray body;
    body.AppendString(remotePath);
    body.AppendInt32(static_cast<uint32_t>(offset));
    body.AppendInt32(CHttpFileAPI::CHUNK_SIZE);
    CHttpFileAPI::Frame(body, CMD_GET_CHUNK);
    return body;
}

// What an upload needs before its first chunk: the open local file and its
// size, checked against the wire's offsets and, unless the caller already
// knows what the phone holds, against the phone's file. 0, or the
// transfer's failure code (already logged under name).
int32_t PrepareUpload(const char* name, const char* host, int32_t port, const char* localPath,
                      const char* remotePath, const StopFlag* stopFlag, int32_t timeout, int64_t phoneSize,
                      platform::File& file, int64_t& size) {
    if (!FitsWire(remotePath)) {
        QS_LOG_COMPONENT(name);
        return -12;
    }
    const std::string local = localPath != nullptr ? localPath : "";
    file = platform::File::Open(platform::Utf8ToUtf16(local), platform::FileOpen::kReadExisting);
    if (!file.IsOpen()) {
        QS_LOG_COMPONENT(name);
        return -7;
    }
    if (!file.Size(&size)) {
        QS_LOG_COMPONENT(name);
        return -8;
    }
    if (size > CHttpFileAPI::kMaxTransferSize) {
        QS_LOG_COMPONENT(name);
        return -10;
    }
    // Chunk writes never shorten the phone's file: over a longer one the old
    // tail would survive behind the new content.
    if (phoneSize == CHttpFileAPI::kPhoneSizeUnknown) {
        RemoteFileInfo existing;
        const int32_t stat = CHttpFileAPI::GetInfo(host, port, remotePath, &existing, stopFlag, timeout);
        if (stat < 0) {
            QS_LOG_COMPONENT(name);
            return stat;
        }
        phoneSize = stat == 0 ? static_cast<int64_t>(existing.mnFileSize > static_cast<uint64_t>(INT64_MAX)
                                                         ? INT64_MAX
                                                         : existing.mnFileSize)
                              : CHttpFileAPI::kPhoneSizeAbsent;
    }
    if (phoneSize > size) {
        QS_LOG_COMPONENT(name);
        return -11;
    }
    return 0;
}

// One chunk exchange: the request goes out on a connection of its own and
// the answer is checked. 0 with the cursor of response at the result data,
// or -1 ... -6.
int32_t ChunkExchange(const char* host, int32_t port, const ByteArray& request, ByteArray& response,
                      const StopFlag* stopFlag, int32_t timeout) {
    HttpClient client;
    const int32_t requested = client.Get(host, port, kServicePath, request.GetData(), request.GetLength(),
                                         &response, timeout, stopFlag);
    return CHttpFileAPI::CheckResponse(requested, response);
}

}  // namespace

int32_t CHttpFileAPI::PutFileEx(const char* host, int32_t port, const char* localPath,
                                const char* remotePath, const StopFlag* stopFlag, int32_t timeout,
                                int64_t phoneSize) {
    static const char kName[] = "CHttpFileAPI::PutFileEx";
    platform::File file;
    int64_t size = 0;
    const int32_t prepared =
        PrepareUpload(kName, host, port, localPath, remotePath, stopFlag, timeout, phoneSize, file, size);
    if (prepared != 0) return prepared;

    const std::string hostText = host != nullptr ? host : "";
    std::vector<uint8_t> block(CHUNK_SIZE);
    int64_t offset = 0;
    int32_t ownFailure = 0;
    WorkerPool pool(MAX_WORKERS, "PutFileThreadProc");
    for (;;) {
        while (pool.Unfinished() >= MAX_WORKERS && !Stopped(stopFlag)) pool.Wait(kPipelinePollMs, MAX_WORKERS);
        if (Stopped(stopFlag) || pool.Failure() != 0) break;
        size_t got = 0;
        if (!file.Read(block.data(), block.size(), &got)) {
            QS_LOG_COMPONENT(kName);
            ownFailure = -8;
            break;
        }
        // An empty file still goes out as one empty chunk, so that it exists
        // on the phone afterwards.
        if (got == 0 && offset > 0) break;
        if (offset > kMaxTransferSize) {  // the file grew while being sent
            QS_LOG_COMPONENT(kName);
            ownFailure = -10;
            break;
        }
        auto request = std::make_shared<ByteArray>(
            PutChunkRequest(remotePath, offset, block.data(), static_cast<int32_t>(got)));
        pool.Submit([&hostText, port, stopFlag, timeout, request]() {
            ByteArray response;
            const int32_t result = ChunkExchange(hostText.c_str(), port, *request, response, stopFlag, timeout);
            if (result != 0) QS_LOG_COMPONENT("PutFileThreadProc");
            return result;
        });
        offset += static_cast<int64_t>(got);
        if (got < block.size()) break;  // the end of the file
    }
    pool.WaitAll(kPipelinePollMs);
    return ownFailure != 0 ? ownFailure : pool.Failure();
}

int32_t CHttpFileAPI::GetFile(const char* host, int32_t port, const char* remotePath,
                              const char* localPath, const StopFlag* stopFlag, int32_t timeout) {
    static const char kName[] = "CHttpFileAPI::GetFile";
    if (!FitsWire(remotePath)) {
        QS_LOG_COMPONENT(kName);
        return -12;
    }
    RemoteFileInfo info;
    if (GetInfo(host, port, remotePath, &info, stopFlag, timeout) != 0 ||
        info.mnFileSize > static_cast<uint64_t>(INT64_MAX)) {
        // Without a size there is no end to the chunks.
        QS_LOG_COMPONENT(kName);
        return -1;
    }
    const int64_t size = static_cast<int64_t>(info.mnFileSize);
    if (size > kMaxTransferSize) {
        QS_LOG_COMPONENT(kName);
        return -10;
    }
    const std::u16string target = platform::Utf8ToUtf16(localPath != nullptr ? localPath : "");
    const std::u16string temporary = platform::TemporarySiblingName(target);
    platform::File file = platform::File::Open(temporary, platform::FileOpen::kWriteCreateNew);
    if (!file.IsOpen()) {
        QS_LOG_COMPONENT(kName);
        return -7;
    }

    const std::string hostText = host != nullptr ? host : "";
    std::mutex fileLock;  // one chunk's seek and write are one step
    int64_t offset = 0;
    bool allIssued = false;
    int32_t failure = 0;
    {
        WorkerPool pool(MAX_WORKERS, "GetFileThreadProc");
        for (;;) {
            while (pool.Unfinished() >= MAX_WORKERS && !Stopped(stopFlag)) pool.Wait(kPipelinePollMs, MAX_WORKERS);
            if (Stopped(stopFlag) || pool.Failure() != 0) break;
            auto request = std::make_shared<ByteArray>(GetChunkRequest(remotePath, offset));
            const int64_t chunkOffset = offset;
            const int32_t expected = static_cast<int32_t>(size - offset < CHUNK_SIZE ? size - offset : CHUNK_SIZE);
            pool.Submit([&hostText, port, stopFlag, timeout, request, chunkOffset, expected, &file, &fileLock]() {
                ByteArray response;
                int32_t result = ChunkExchange(hostText.c_str(), port, *request, response, stopFlag, timeout);
                if (result == 0) {
                    const int32_t length = static_cast<int32_t>(response.ReadInt32());
                    // Exactly the bytes asked for: a longer block would write
                    // past the chunk, a shorter one would leave a hole.
                    if (response.HadShortRead() || length != expected || length > response.GetRemain()) {
                        result = -9;
                    } else {
                        const uint8_t* data = length > 0 ? response.GetData() + response.GetReadPos() : nullptr;
                        std::lock_guard<std::mutex> guard(fileLock);
                        if (!file.Seek(chunkOffset))
                            result = -7;
                        else if (length > 0 && !file.Write(data, static_cast<size_t>(length)))
                            result = -8;
                    }
                }
                if (result != 0) QS_LOG_COMPONENT("GetFileThreadProc");
                return result;
            });
            offset += CHUNK_SIZE;
            if (offset >= size) {  // at least one chunk, also for an empty file
                allIssued = true;
                break;
            }
        }
        pool.WaitAll(kPipelinePollMs);
        failure = pool.Failure();
    }
    file.Close();
    if (failure == 0 && allIssued) {
        if (platform::ReplaceFileWith(temporary, target)) return 0;
        QS_LOG_COMPONENT(kName);
        platform::RemoveFile(temporary);
        return -7;
    }
    // A failed or stopped download leaves nothing behind, and whatever was
    // at the target before stays as it was.
    platform::RemoveFile(temporary);
    return failure;
}

int32_t CHttpFileAPI::PutFile(const char* host, int32_t port, const char* localPath,
                              const char* remotePath, const StopFlag* stopFlag, int32_t timeout) {
    static const char kName[] = "CHttpFileAPI::PutFile";
    platform::File file;
    int64_t size = 0;
    const int32_t prepared = PrepareUpload(kName, host, port, localPath, remotePath, stopFlag, timeout,
                                           kPhoneSizeUnknown, file, size);
    if (prepared != 0) return prepared;

    std::vector<uint8_t> block(CHUNK_SIZE);
    int64_t offset = 0;
    for (;;) {
        size_t got = 0;
        if (!file.Read(block.data(), block.size(), &got)) {
            QS_LOG_COMPONENT(kName);
            return -8;
        }
        if (got == 0 && offset > 0) return 0;
        if (offset > kMaxTransferSize) {
            QS_LOG_COMPONENT(kName);
            return -10;
        }
        ByteArray body = PutChunkRequest(remotePath, offset, block.data(), static_cast<int32_t>(got));
        ByteArray response;
        const int32_t checked = Exchange(host, port, body, response, stopFlag, timeout);
        if (checked != 0) {
            QS_LOG_COMPONENT(kName);
            return checked;
        }
        offset += static_cast<int64_t>(got);
        if (got < block.size()) return 0;
    }
}
