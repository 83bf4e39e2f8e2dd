#include "filesync/FileServiceAnswer.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "transport/HttpClient.h"

namespace {

// The record's fields in wire order; false when it is cut short (info is
// then partly written).
bool ReadInfo(ByteReader& in, RemoteFileInfo& info) {
    return in.String(info.FileName) && in.Signed32(info.mnCanRead) && in.Signed32(info.mnCanWrite) &&
           in.Int64(info.mnFileSize) && in.Signed32(info.mnIsFile) && in.Signed32(info.mnIsDir) &&
           in.Signed32(info.mnIsHidden) && in.Int64(info.mnLastModify);
}

bool ReadScanEntry(ByteReader& in, MediaScanEntry& entry) {
    return in.String(entry.Path) && in.String(entry.Info) && in.String(entry.MediaId);
}

// The frame, then the unused word and the word after it (found flag, list
// flag or count) that the stat, listing and scan results begin with. 0 with
// the reader after them, -2 … -6, or -9.
int32_t ReadResultHead(ByteReader& in, int32_t& leadWord) {
    const int32_t framed = CFileServiceAnswer::ReadFrame(in);
    if (framed != 0) return framed;
    uint32_t unused = 0;
    return in.Int32(unused) && in.Signed32(leadWord) ? 0 : -9;
}

// Whether count records of at least minBytes each can lie in the bytes that
// remain.
bool CountFits(int32_t count, size_t minBytes, const ByteReader& in) {
    return count <= 0 || static_cast<size_t>(count) <= in.Remain() / minBytes;
}

}  // namespace

int32_t CFileServiceAnswer::ReadFrame(ByteReader& in) {
    static constexpr WireFrame::HeadFaults kFaults{-2, -3, -4, -5};
    uint32_t unused = 0, status = 0;
    const int32_t head = WireFrame::ReadHead(in, kFaults, unused, status);
    if (head != 0) return head;
    return static_cast<int32_t>(status) == 1 ? 0 : -6;
}

int32_t CFileServiceAnswer::CheckFrame(const uint8_t* data, size_t size, size_t* resultOffset) {
    ByteReader in(data, size);
    const int32_t framed = ReadFrame(in);
    if (framed == 0 && resultOffset != nullptr) *resultOffset = in.Pos();
    return framed;
}

int32_t CFileServiceAnswer::ParseNoData(const uint8_t* data, size_t size, bool* beyondFrame) {
    if (beyondFrame != nullptr) *beyondFrame = data != nullptr && size > kFrameBytes;
    return CheckFrame(data, size, nullptr);
}

int32_t CFileServiceAnswer::ParseStat(const uint8_t* data, size_t size, RemoteFileInfo* out) {
    ByteReader in(data, size);
    int32_t found = 0;
    const int32_t opened = ReadResultHead(in, found);
    if (opened != 0) return opened;
    if (found != 1 || out == nullptr) return 1;
    RemoteFileInfo info;
    if (!ReadInfo(in, info)) return -9;
    *out = std::move(info);
    return 0;
}

int32_t CFileServiceAnswer::ParseListing(const uint8_t* data, size_t size, std::vector<RemoteFileInfo>& records) {
    ByteReader in(data, size);
    int32_t listFlag = 0;
    const int32_t opened = ReadResultHead(in, listFlag);
    if (opened != 0) return opened;
    if (listFlag != 1) return 0;
    int32_t count = 0;
    if (!in.Signed32(count) || !CountFits(count, kMinInfoBytes, in)) return -9;
    for (int32_t i = 0; i < count; ++i) {
        RemoteFileInfo info;
        if (!ReadInfo(in, info)) return -9;
        records.push_back(std::move(info));
    }
    return 0;
}

int32_t CFileServiceAnswer::ParseMediaScan(const uint8_t* data, size_t size, size_t pathsAsked,
                                           std::vector<MediaScanEntry>* out) {
    ByteReader in(data, size);
    int32_t count = 0;
    const int32_t opened = ReadResultHead(in, count);
    if (opened != 0) return opened;
    if ((count > 0 && static_cast<size_t>(count) > pathsAsked) || !CountFits(count, kMinScanEntryBytes, in))
        return -9;
    if (count <= 0 || out == nullptr) return 0;
    // Collected apart first, so that a fault leaves out as it was.
    std::vector<MediaScanEntry> entries;
    for (int32_t i = 0; i < count; ++i) {
        MediaScanEntry entry;
        if (!ReadScanEntry(in, entry)) return -9;
        entries.push_back(std::move(entry));
    }
    out->insert(out->end(), std::make_move_iterator(entries.begin()), std::make_move_iterator(entries.end()));
    return 0;
}

int32_t CFileServiceAnswer::ParseChunk(const uint8_t* data, size_t size, int32_t expectedLength,
                                       size_t* dataOffset) {
    ByteReader in(data, size);
    const int32_t framed = ReadFrame(in);
    if (framed != 0) return framed;
    int32_t length = 0;
    if (!in.Signed32(length) || expectedLength < 0 || length != expectedLength ||
        static_cast<size_t>(length) > in.Remain())
        return -9;
    if (dataOffset != nullptr) *dataOffset = in.Pos();
    return 0;
}

int32_t CFileServiceAnswer::MaxAnswerBody(int32_t command, int32_t chunkLength) {
    constexpr size_t kLimit = static_cast<size_t>(kMaxResponseBody);
    size_t bound = 0;
    switch (command) {
        case CMD_GET_CHUNK:
            bound = kFrameBytes + 4 + static_cast<size_t>(std::max<int32_t>(chunkLength, 0)) + kAnswerSlack;
            break;
        case CMD_GET_INFO:
            bound = kFrameBytes + 4 + 4 + kMaxInfoBytes + kAnswerSlack;
            break;
        case CMD_PUT_CHUNK:
        case CMD_DELETE_FILE:
        case CMD_DELETE_PATH:
        case CMD_DELETE_EMPTY_PATH:
        case CMD_RENAME:
        case CMD_PUT_MMS_PART:
            bound = kFrameBytes + kAnswerSlack;
            break;
        case CMD_ENUM_DIR:
        case CMD_SCAN_MEDIA:
        case CMD_GET_MMS_PART:
            bound = kLimit;
            break;
        default:
            bound = 0;
            break;
    }
    return static_cast<int32_t>(std::min(bound, kLimit));
}
