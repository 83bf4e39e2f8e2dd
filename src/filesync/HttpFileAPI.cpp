#include "filesync/HttpFileAPI.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "filesync/ChunkPump.h"
#include "log/Log.h"
#include "platform/file.h"
#include "platform/utf.h"
#include "transport/HttpClient.h"
#include "transport/Retry.h"
#include "transport/WireFrame.h"

namespace {

using StopFlag = CHttpFileAPI::StopFlag;

const char kServicePath[] = "/filesync";
// Longest text a wire string can carry: its count is 16-bit.
constexpr size_t kMaxWireString = 0xFFFF;

bool FitsWire(const char* text) { return text != nullptr && std::strlen(text) <= kMaxWireString; }

// One exchange with the file service: sends the framed body and receives
// the answer, refused (-1) when it is longer than what a request of this
// command can bring back; made again as course allows after each attempt
// the connection lost. 0 with the answer in response, or -1.
int32_t Exchange(const char* host, int32_t port, const ByteArray& body, ByteArray& response,
                 const StopFlag* stopFlag, int32_t timeout, int32_t command, RetryCourse& course,
                 uint32_t settleMs = 0) {
    const int32_t requested = RequestWithRetries(course, [&](HttpClient& client) {
        client.SetSettleOnAbandon(settleMs);
        return client.Get(host, port, kServicePath, body.GetData(), body.GetLength(), &response, timeout, stopFlag,
                          CFileServiceAnswer::MaxAnswerBody(command, CHttpFileAPI::CHUNK_SIZE));
    });
    return requested < 0 ? -1 : 0;
}

// An exchange whose answer carries no result data: 0, -1 (the request
// failed) or the frame check's -2 ... -6. response is the caller's, so a
// buffer can serve one exchange after another.
int32_t NoDataExchange(const char* host, int32_t port, const ByteArray& body, ByteArray& response,
                       const StopFlag* stopFlag, int32_t timeout, int32_t command, RetryCourse& course,
                       uint32_t settleMs = 0) {
    const int32_t exchanged = Exchange(host, port, body, response, stopFlag, timeout, command, course, settleMs);
    if (exchanged != 0) return exchanged;
    return CFileServiceAnswer::ParseNoData(response.GetData(), static_cast<size_t>(response.GetLength()), nullptr);
}

// The request of a command whose payload is one path.
ByteArray PathRequest(int32_t command, const char* path) {
    ByteArray body;
    WireFrame::Start(body, static_cast<uint32_t>(command));
    body.AppendString(path);
    WireFrame::Finish(body);
    return body;
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
    const RetryPolicy& retry;
    std::vector<std::string> folders;  // the folder being listed and its ancestors
    int64_t entries = 0;
};

int32_t ListFolder(Listing& listing, const std::string& path) {
    static const char kName[] = "CHttpFileAPI::EnumDir";
    std::vector<RemoteFileInfo> level;
    int32_t parsed;
    {
        // The level's answer is released before any subfolder is listed.
        const ByteArray body = PathRequest(CMD_ENUM_DIR, path.c_str());
        ByteArray response;
        RetryCourse course(listing.retry, RepeatRule::kAfterAnyDrop, listing.stopFlag, kName);
        if (Exchange(listing.host, listing.port, body, response, listing.stopFlag, listing.timeout, CMD_ENUM_DIR,
                     course) != 0) {
            QS_LOG_COMPONENT(kName);
            return -1;
        }
        parsed = CFileServiceAnswer::ParseListing(response.GetData(), static_cast<size_t>(response.GetLength()),
                                                  level);
    }
    if (parsed != 0 && parsed != -9) {
        QS_LOG_COMPONENT(kName);
        return parsed;
    }
    listing.entries += static_cast<int64_t>(level.size());
    if (listing.entries > CHttpFileAPI::kMaxListedEntries) {
        QS_LOG_COMPONENT(kName);
        return -7;
    }
    // Records that came before a malformed one are handled as they would
    // have been; the fault shows after them.
    listing.folders.push_back(FolderKey(path));
    for (RemoteFileInfo& info : level) {
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
    if (parsed != 0) QS_LOG_COMPONENT(kName);
    return parsed;
}

// Whether a stat finds path absent (a failed stat finds nothing).
bool PathGone(const char* host, int32_t port, const char* path, const StopFlag* stopFlag, int32_t timeout,
              const RetryPolicy& retry) {
    RemoteFileInfo info;
    return CHttpFileAPI::GetInfo(host, port, path, &info, stopFlag, timeout, retry) == 1;
}

// The frame of the deletes: the payload is one path and the answer carries
// no result data. A delete is repeated after any drop; when a repeat is
// refused, the attempt whose answer was lost may have deleted the path, and
// a stat that finds it gone makes the delete done.
int32_t PathCommand(const char* name, int32_t command, const char* host, int32_t port, const char* path,
                    const StopFlag* stopFlag, int32_t timeout, const RetryPolicy& retry) {
    if (!FitsWire(path)) {
        QS_LOG_COMPONENT(name);
        return -12;
    }
    const ByteArray body = PathRequest(command, path);
    ByteArray response;
    RetryCourse course(retry, RepeatRule::kAfterAnyDrop, stopFlag, name);
    int32_t checked = NoDataExchange(host, port, body, response, stopFlag, timeout, command, course);
    if (checked == -6 && course.Retries() > 0 && PathGone(host, port, path, stopFlag, timeout, retry)) checked = 0;
    if (checked != 0) QS_LOG_COMPONENT(name);
    return checked;
}

}  // namespace

int32_t CHttpFileAPI::CheckResponse(int32_t requestResult, ByteArray& response) {
    if (requestResult < 0) return -1;
    ByteReader in = response.Reader();
    const int32_t framed = CFileServiceAnswer::ReadFrame(in);
    response.ReadUpTo(in);
    return framed;
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
                              const StopFlag* stopFlag, int32_t timeout, const RetryPolicy& retry) {
    static const char kName[] = "CHttpFileAPI::GetInfo";
    if (!FitsWire(path)) {
        QS_LOG_COMPONENT(kName);
        return -12;
    }
    const ByteArray body = PathRequest(CMD_GET_INFO, path);
    ByteArray response;
    RetryCourse course(retry, RepeatRule::kAfterAnyDrop, stopFlag, kName);
    if (Exchange(host, port, body, response, stopFlag, timeout, CMD_GET_INFO, course) != 0) {
        QS_LOG_COMPONENT(kName);
        return -1;
    }
    RemoteFileInfo info;
    const int32_t parsed = CFileServiceAnswer::ParseStat(response.GetData(),
                                                         static_cast<size_t>(response.GetLength()), &info);
    if (parsed < 0) {
        QS_LOG_COMPONENT(kName);
        return parsed;
    }
    if (parsed == 1 || out == nullptr) return 1;
    Dump(info);
    *out = std::move(info);
    return 0;
}

int32_t CHttpFileAPI::EnumDir(const char* host, int32_t port, const char* path,
                              std::vector<RemoteFileInfo>* list, const StopFlag* stopFlag,
                              bool recursive, int32_t timeout, const RetryPolicy& retry) {
    if (!FitsWire(path)) {
        QS_LOG_COMPONENT("CHttpFileAPI::EnumDir");
        return -12;
    }
    Listing listing{host, port, list, stopFlag, recursive, timeout, retry, {}, 0};
    return ListFolder(listing, path);
}

int32_t CHttpFileAPI::DeleteFileW(const char* host, int32_t port, const char* path,
                                  const StopFlag* stopFlag, int32_t timeout, const RetryPolicy& retry) {
    return PathCommand("CHttpFileAPI::DeleteFileW", CMD_DELETE_FILE, host, port, path, stopFlag, timeout, retry);
}

int32_t CHttpFileAPI::DeletePath(const char* host, int32_t port, const char* path,
                                 const StopFlag* stopFlag, int32_t timeout, const RetryPolicy& retry) {
    return PathCommand("CHttpFileAPI::DeletePath", CMD_DELETE_PATH, host, port, path, stopFlag, timeout, retry);
}

int32_t CHttpFileAPI::DeleteEmptyPath(const char* host, int32_t port, const char* path,
                                      const StopFlag* stopFlag, int32_t timeout, const RetryPolicy& retry) {
    return PathCommand("CHttpFileAPI::DeleteEmptyPath", CMD_DELETE_EMPTY_PATH, host, port, path, stopFlag, timeout,
                       retry);
}

int32_t CHttpFileAPI::RenamePathFile(const char* host, int32_t port, const char* path1,
                                     const char* path2, const StopFlag* stopFlag, int32_t timeout,
                                     const RetryPolicy& retry) {
    static const char kName[] = "CHttpFileAPI::RenamePathFile";
    if (!FitsWire(path1) || !FitsWire(path2)) {
        QS_LOG_COMPONENT(kName);
        return -12;
    }
    ByteArray body;
    WireFrame::Start(body, CMD_RENAME);
    body.AppendString(path1);
    body.AppendString(path2);
    WireFrame::Finish(body);
    ByteArray response;
    // Repeated by itself only when none of it left: a rename the phone
    // carried out cannot be made again.
    RetryCourse course(retry, RepeatRule::kOnlyUnsent, stopFlag, kName);
    // What the phone holds now: 1 done (source gone, target there), 0 not
    // carried out (source there, target absent), -1 neither or unknown.
    const auto renamed = [&]() {
        RemoteFileInfo info;
        const int32_t source = GetInfo(host, port, path1, &info, stopFlag, timeout, retry);
        const int32_t target = GetInfo(host, port, path2, &info, stopFlag, timeout, retry);
        if (source == 1 && target == 0) return 1;
        if (source == 0 && target == 1) return 0;
        return -1;
    };
    int32_t checked;
    for (;;) {
        response.Clear();
        checked = NoDataExchange(host, port, body, response, stopFlag, timeout, CMD_RENAME, course);
        if (checked == -6 && course.Retries() > 0 && renamed() == 1) {
            // A repeat refused because a lost attempt had done it.
            checked = 0;
        } else if (checked == -1 && course.LastWasDrop() && course.LastSent() && course.Retries() < retry.retries) {
            // Lost after it was sent: the phone tells whether it was done.
            const int32_t state = renamed();
            if (state == 1) checked = 0;
            if (state == 0 && course.Grant() && course.Wait()) continue;
        }
        break;
    }
    if (checked != 0) QS_LOG_COMPONENT(kName);
    return checked;
}

int32_t CHttpFileAPI::ScanMediaFile(const char* host, int32_t port, const std::vector<std::string>& paths,
                                    std::vector<MediaScanEntry>* out, const StopFlag* stopFlag,
                                    int32_t timeout, const RetryPolicy& retry) {
    static const char kName[] = "CHttpFileAPI::ScanMediaFile";
    ByteArray body;
    WireFrame::Start(body, CMD_SCAN_MEDIA);
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
    WireFrame::Finish(body);
    ByteArray response;
    RetryCourse course(retry, RepeatRule::kAfterAnyDrop, stopFlag, kName);
    if (Exchange(host, port, body, response, stopFlag, timeout, CMD_SCAN_MEDIA, course) != 0) {
        QS_LOG_COMPONENT(kName);
        return -1;
    }
    const int32_t parsed = CFileServiceAnswer::ParseMediaScan(
        response.GetData(), static_cast<size_t>(response.GetLength()), paths.size(), out);
    if (parsed != 0) QS_LOG_COMPONENT(kName);
    return parsed;
}

// ---------------------------------------------------------------------------
// Transfers

namespace {

// A chunk request's frame and its path and offset; the rest of the payload
// follows, then WireFrame::Finish.
void StartChunkFrame(ByteArray& body, int32_t command, const char* remotePath, int64_t offset) {
    WireFrame::Start(body, static_cast<uint32_t>(command));
    body.AppendString(remotePath);
    body.AppendInt32(static_cast<uint32_t>(offset));
}

// Whether the phone may hold a longer file than the upload's: chunk writes
// never shorten a file, so over a longer one the old tail would survive
// behind the new content. 0, -11, or a failing stat's code (logged under
// name).
int32_t CheckPhoneSize(const char* name, const char* host, int32_t port, const char* remotePath,
                       const StopFlag* stopFlag, int32_t timeout, const RetryPolicy& retry, int64_t phoneSize,
                       int64_t size) {
    if (phoneSize == CHttpFileAPI::kPhoneSizeUnknown) {
        RemoteFileInfo existing;
        const int32_t stat = CHttpFileAPI::GetInfo(host, port, remotePath, &existing, stopFlag, timeout, retry);
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

// A download's open temporary file: unless the download put it in place, it
// is closed and removed however the download ends (an exception included).
// One that cannot be removed is named in a log line, so the user can find
// it.
class TemporaryDownload {
public:
    TemporaryDownload(const char* name, const std::u16string& path, platform::File& file)
        : mName(name), mPath(path), mFile(file) {}
    ~TemporaryDownload() {
        mFile.Close();
        if (mPlaced) return;
        try {
            if (!platform::RemoveFile(mPath))
                QS_LOG_PATH(mName, "temporary file left behind:", platform::Utf16ToUtf8(mPath));
        } catch (...) {
            QS_LOG_COMPONENT(mName);
        }
    }
    TemporaryDownload(const TemporaryDownload&) = delete;
    TemporaryDownload& operator=(const TemporaryDownload&) = delete;

    // Puts the complete file under target in one step.
    bool PlaceAt(const std::u16string& target, bool replace) {
        mFile.Close();
        mPlaced = replace ? platform::ReplaceFileWith(mPath, target)
                          : platform::PlaceFileWithoutReplacing(mPath, target);
        return mPlaced;
    }

private:
    const char* mName;
    const std::u16string& mPath;
    platform::File& mFile;
    bool mPlaced = false;
};

// The bytes of a transfer's finished chunks, told to its progress callback.
struct ChunkCount {
    const CHttpFileAPI::ByteProgress* progress;
    int64_t total;
    int64_t done = 0;

    // A chunk of bytes has ended with result: logged under name when it
    // failed, counted and reported when it did not. The result.
    int32_t Chunk(const char* name, int32_t result, int64_t bytes) {
        if (result != 0) {
            QS_LOG_COMPONENT(name);
            return result;
        }
        done += bytes;
        if (progress != nullptr && *progress) (*progress)(done, total);
        return 0;
    }
};

// The chunks of an upload: each is read from the PC file straight into its
// request, behind its frame.
class UploadChunks final : public ChunkPump::Chunks {
public:
    UploadChunks(platform::File& file, int64_t size, const char* remotePath, bool* chunkSent,
                 const CHttpFileAPI::ByteProgress* progress)
        : mFile(file), mSize(size), mRemotePath(remotePath), mChunkSent(chunkSent), mCount{progress, size} {}

    int32_t Next(ByteArray& request, int64_t* tag) override {
        static const char kName[] = "CHttpFileAPI::PutFileEx";
        if (mEnded) return 0;
        StartChunkFrame(request, CMD_PUT_CHUNK, mRemotePath, mOffset);
        const int32_t countAt = request.GetLength();
        request.AppendInt32(0);
        size_t got = 0;
        if (!mFile.Read(request.Extend(CHttpFileAPI::CHUNK_SIZE), CHttpFileAPI::CHUNK_SIZE, &got)) {
            QS_LOG_COMPONENT(kName);
            return -8;
        }
        // An empty file still goes out as one empty chunk, so that it exists
        // on the phone afterwards.
        if (got == 0 && mOffset > 0) return 0;
        if (mOffset > CHttpFileAPI::kMaxTransferSize) {  // the file grew while being sent
            QS_LOG_COMPONENT(kName);
            return -10;
        }
        request.Truncate(countAt + 4 + static_cast<int32_t>(got));
        request.PatchInt32(countAt, static_cast<uint32_t>(got));
        WireFrame::Finish(request);
        *tag = static_cast<int64_t>(got);
        if (mChunkSent != nullptr) *mChunkSent = true;
        mOffset += static_cast<int64_t>(got);
        if (got < static_cast<size_t>(CHttpFileAPI::CHUNK_SIZE) || mOffset >= mSize)
            mAllSent = true;  // everything the size said is on its way
        mEnded = got < static_cast<size_t>(CHttpFileAPI::CHUNK_SIZE);  // the end of the file
        return 1;
    }

    // tag: the chunk's byte count.
    int32_t Done(int32_t requestResult, ByteArray& response, int64_t tag) override {
        const int32_t result =
            requestResult < 0
                ? -1
                : CFileServiceAnswer::ParseNoData(response.GetData(), static_cast<size_t>(response.GetLength()),
                                                  nullptr);
        return mCount.Chunk("PutFileThreadProc", result, tag);
    }

    bool AllSent() const { return mAllSent; }

private:
    platform::File& mFile;
    const int64_t mSize;
    const char* mRemotePath;
    bool* mChunkSent;
    ChunkCount mCount;
    int64_t mOffset = 0;
    bool mAllSent = false;
    bool mEnded = false;
};

// The chunks of a download: each answer is written into the temporary file
// at its chunk's offset, straight from the answer.
class DownloadChunks final : public ChunkPump::Chunks {
public:
    DownloadChunks(platform::File& file, int64_t size, const char* remotePath,
                   const CHttpFileAPI::ByteProgress* progress)
        : mFile(file), mSize(size), mRemotePath(remotePath), mCount{progress, size} {}

    int32_t Next(ByteArray& request, int64_t* tag) override {
        if (mAllIssued) return 0;
        StartChunkFrame(request, CMD_GET_CHUNK, mRemotePath, mOffset);
        request.AppendInt32(CHttpFileAPI::CHUNK_SIZE);
        WireFrame::Finish(request);
        *tag = mOffset;
        mOffset += CHttpFileAPI::CHUNK_SIZE;
        mAllIssued = mOffset >= mSize;  // at least one chunk, also for an empty file
        return 1;
    }

    int32_t Done(int32_t requestResult, ByteArray& response, int64_t offset) override {
        const int32_t expected = static_cast<int32_t>(std::min<int64_t>(mSize - offset, CHttpFileAPI::CHUNK_SIZE));
        int32_t result = requestResult < 0 ? -1 : 0;
        size_t at = 0;
        if (result == 0)
            result = CFileServiceAnswer::ParseChunk(response.GetData(), static_cast<size_t>(response.GetLength()),
                                                    expected, &at);
        if (result == 0 && expected > 0) {
            if (!mFile.Seek(offset))
                result = -7;
            else if (!mFile.Write(response.GetData() + at, static_cast<size_t>(expected)))
                result = -8;
        }
        return mCount.Chunk("GetFileThreadProc", result, expected);
    }

    bool AllIssued() const { return mAllIssued; }

private:
    platform::File& mFile;
    const int64_t mSize;
    const char* mRemotePath;
    ChunkCount mCount;
    int64_t mOffset = 0;
    bool mAllIssued = false;
};

// How a transfer's chunk exchanges are made.
ChunkPump::Exchange ChunkExchange(const char* host, int32_t port, int32_t command, uint32_t settleMs,
                                  const StopFlag* stopFlag, int32_t timeout, const RetryPolicy& retry) {
    return ChunkPump::Exchange{host, port, kServicePath, timeout,
                               CFileServiceAnswer::MaxAnswerBody(command, CHttpFileAPI::CHUNK_SIZE), settleMs,
                               stopFlag, &retry};
}

// Opens an upload's PC file: 0, -7, -8 or -10 (logged under name).
int32_t OpenSource(const char* name, const char* localPath, CHttpFileAPI::UploadSource& source) {
    const std::string local = localPath != nullptr ? localPath : "";
    source.file = platform::File::Open(platform::Utf8ToUtf16(local), platform::FileOpen::kReadExisting);
    if (!source.file.IsOpen()) {
        QS_LOG_COMPONENT(name);
        return -7;
    }
    if (!source.file.Size(&source.size)) {
        QS_LOG_COMPONENT(name);
        return -8;
    }
    if (source.size > CHttpFileAPI::kMaxTransferSize) {
        QS_LOG_COMPONENT(name);
        return -10;
    }
    return 0;
}

}  // namespace

int32_t CHttpFileAPI::OpenUploadSource(const char* localPath, UploadSource& source) {
    return OpenSource("CHttpFileAPI::PutFileEx", localPath, source);
}

int32_t CHttpFileAPI::PutFileEx(const char* host, int32_t port, const char* localPath,
                                const char* remotePath, const StopFlag* stopFlag, int32_t timeout,
                                int64_t phoneSize, const RetryPolicy& retry) {
    if (!FitsWire(remotePath)) {
        QS_LOG_COMPONENT("CHttpFileAPI::PutFileEx");
        return -12;
    }
    UploadSource source;
    const int32_t opened = OpenUploadSource(localPath, source);
    if (opened != 0) return opened;
    return PutFileEx(host, port, source, remotePath, stopFlag, timeout, phoneSize, nullptr, retry);
}

int32_t CHttpFileAPI::PutFileEx(const char* host, int32_t port, UploadSource& source, const char* remotePath,
                                const StopFlag* stopFlag, int32_t timeout, int64_t phoneSize, bool* chunkSent,
                                const RetryPolicy& retry, const ByteProgress* progress) {
    static const char kName[] = "CHttpFileAPI::PutFileEx";
    if (chunkSent != nullptr) *chunkSent = false;
    if (!FitsWire(remotePath)) {
        QS_LOG_COMPONENT(kName);
        return -12;
    }
    const int32_t checked =
        CheckPhoneSize(kName, host, port, remotePath, stopFlag, timeout, retry, phoneSize, source.size);
    if (checked != 0) return checked;

    UploadChunks chunks(source.file, source.size, remotePath, chunkSent, progress);
    const int32_t pumped =
        ChunkPump::Run(ChunkExchange(host, port, CMD_PUT_CHUNK, kChunkSettleMs, stopFlag, timeout, retry), chunks,
                       MAX_WORKERS, "PutFileThreadProc");
    if (pumped != 0) return pumped;
    if (!chunks.AllSent()) {
        // Stopped between chunks: the phone holds part of the file at most.
        QS_LOG_COMPONENT(kName);
        return -1;
    }
    return 0;
}

int32_t CHttpFileAPI::GetFile(const char* host, int32_t port, const char* remotePath,
                              const char* localPath, const StopFlag* stopFlag, int32_t timeout,
                              const RetryPolicy& retry, bool replaceTarget, const ByteProgress* progress) {
    static const char kName[] = "CHttpFileAPI::GetFile";
    if (!FitsWire(remotePath)) {
        QS_LOG_COMPONENT(kName);
        return -12;
    }
    RemoteFileInfo info;
    if (GetInfo(host, port, remotePath, &info, stopFlag, timeout, retry) != 0 ||
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
    // A failed or stopped download leaves nothing behind, and whatever was
    // at the target before stays as it was.
    TemporaryDownload download(kName, temporary, file);

    DownloadChunks chunks(file, size, remotePath, progress);
    int32_t failure = 0;
    try {
        failure = ChunkPump::Run(ChunkExchange(host, port, CMD_GET_CHUNK, 0, stopFlag, timeout, retry), chunks,
                                 MAX_WORKERS, "GetFileThreadProc");
    } catch (...) {
        // Out of memory, say: the temporary file goes as after any failure.
        QS_LOG_COMPONENT(kName);
        failure = -1;
    }
    const bool allIssued = chunks.AllIssued();
    if (failure == 0 && allIssued) {
        if (download.PlaceAt(target, replaceTarget)) return 0;
        QS_LOG_COMPONENT(kName);
        return -7;
    }
    if (failure != 0) return failure;
    QS_LOG_COMPONENT(kName);  // stopped between chunks
    return -1;
}

int32_t CHttpFileAPI::PutFile(const char* host, int32_t port, const char* localPath,
                              const char* remotePath, const StopFlag* stopFlag, int32_t timeout,
                              const RetryPolicy& retry) {
    static const char kName[] = "CHttpFileAPI::PutFile";
    if (!FitsWire(remotePath)) {
        QS_LOG_COMPONENT(kName);
        return -12;
    }
    UploadSource source;
    int32_t prepared = OpenSource(kName, localPath, source);
    if (prepared == 0)
        prepared =
            CheckPhoneSize(kName, host, port, remotePath, stopFlag, timeout, retry, kPhoneSizeUnknown, source.size);
    if (prepared != 0) return prepared;
    platform::File& file = source.file;

    std::vector<uint8_t> block(CHUNK_SIZE);
    // One request and one answer buffer serve every chunk.
    ByteArray body, response;
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
        StartChunkFrame(body, CMD_PUT_CHUNK, remotePath, offset);
        body.AppendBlock(block.data(), static_cast<int32_t>(got));
        WireFrame::Finish(body);
        response.Clear();
        RetryCourse course(retry, RepeatRule::kAfterAnyDrop, stopFlag, "PutFileThreadProc");
        const int32_t checked =
            NoDataExchange(host, port, body, response, stopFlag, timeout, CMD_PUT_CHUNK, course, kChunkSettleMs);
        if (checked != 0) {
            QS_LOG_COMPONENT(kName);
            return checked;
        }
        offset += static_cast<int64_t>(got);
        if (got < block.size()) return 0;
    }
}
