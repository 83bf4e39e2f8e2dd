#include "filesync/FileServiceAnswer.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

#include "transport/HttpClient.h"
#include "transport/SyncMarker.h"

namespace {

// Reads the wire encoding from a span, from its start. Every read checks the
// bytes that remain first; a read that does not fit consumes nothing and
// returns false.
class SpanReader {
public:
    SpanReader(const uint8_t* data, size_t size) : mpData(data), mnSize(data != nullptr ? size : 0) {}

    size_t Remain() const { return mnSize - mnAt; }
    size_t Pos() const { return mnAt; }

    bool Skip(size_t n) {
        if (Remain() < n) return false;
        mnAt += n;
        return true;
    }
    bool Matches(const char* bytes, size_t n) const {
        return Remain() >= n && std::memcmp(mpData + mnAt, bytes, n) == 0;
    }

    bool Int32(uint32_t& value) {
        if (Remain() < 4) return false;
        const uint8_t* p = mpData + mnAt;
        value = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
        mnAt += 4;
        return true;
    }
    bool Signed32(int32_t& value) {
        uint32_t raw = 0;
        if (!Int32(raw)) return false;
        value = static_cast<int32_t>(raw);
        return true;
    }
    // The upper 32 bits first.
    bool Int64(uint64_t& value) {
        uint32_t upper = 0, lower = 0;
        if (Remain() < 8 || !Int32(upper) || !Int32(lower)) return false;
        value = (uint64_t{upper} << 32) | lower;
        return true;
    }
    // A 16-bit count and that many bytes. The text ends at the first zero
    // byte among them, as ByteArray::ReadString reads it; all are consumed.
    bool String(std::string& text) {
        if (Remain() < 2) return false;
        const size_t count = (size_t{mpData[mnAt]} << 8) | mpData[mnAt + 1];
        if (Remain() - 2 < count) return false;
        const char* at = reinterpret_cast<const char*>(mpData + mnAt + 2);
        const void* zero = std::memchr(at, 0, count);
        text.assign(at, zero != nullptr ? static_cast<const char*>(zero) - at : count);
        mnAt += 2 + count;
        return true;
    }

private:
    const uint8_t* mpData;
    size_t mnSize;
    size_t mnAt = 0;
};

// The record's fields in wire order; false when it is cut short (info is
// then partly written).
bool ReadInfo(SpanReader& in, RemoteFileInfo& info) {
    return in.String(info.FileName) && in.Signed32(info.mnCanRead) && in.Signed32(info.mnCanWrite) &&
           in.Int64(info.mnFileSize) && in.Signed32(info.mnIsFile) && in.Signed32(info.mnIsDir) &&
           in.Signed32(info.mnIsHidden) && in.Int64(info.mnLastModify);
}

bool ReadScanEntry(SpanReader& in, MediaScanEntry& entry) {
    return in.String(entry.Path) && in.String(entry.Info) && in.String(entry.MediaId);
}

// The frame check of a reader at the start of a body: 0 with the reader at
// the result data, or -2 … -6.
int32_t ReadFrame(SpanReader& in) {
    if (in.Remain() < SyncMarkerLength) return -2;
    if (!in.Matches(SyncMarker, SyncMarkerLength)) return -3;
    in.Skip(SyncMarkerLength);
    uint32_t unused = 0;
    if (!in.Int32(unused)) return -4;
    int32_t status = 0;
    if (!in.Signed32(status)) return -5;
    return status == 1 ? 0 : -6;
}

// The frame, then the unused word and the word after it (found flag, list
// flag or count) that the stat, listing and scan results begin with. 0 with
// the reader after them, -2 … -6, or -9.
int32_t ReadResultHead(SpanReader& in, int32_t& leadWord) {
    const int32_t framed = ReadFrame(in);
    if (framed != 0) return framed;
    uint32_t unused = 0;
    return in.Int32(unused) && in.Signed32(leadWord) ? 0 : -9;
}

// Whether count records of at least minBytes each can lie in the bytes that
// remain.
bool CountFits(int32_t count, size_t minBytes, const SpanReader& in) {
    return count <= 0 || static_cast<size_t>(count) <= in.Remain() / minBytes;
}

}  // namespace

int32_t CFileServiceAnswer::CheckFrame(const uint8_t* data, size_t size, size_t* resultOffset) {
    SpanReader in(data, size);
    const int32_t framed = ReadFrame(in);
    if (framed == 0 && resultOffset != nullptr) *resultOffset = in.Pos();
    return framed;
}

int32_t CFileServiceAnswer::ParseNoData(const uint8_t* data, size_t size, bool* beyondFrame) {
    if (beyondFrame != nullptr) *beyondFrame = data != nullptr && size > kFrameBytes;
    return CheckFrame(data, size, nullptr);
}

int32_t CFileServiceAnswer::ParseStat(const uint8_t* data, size_t size, RemoteFileInfo* out) {
    SpanReader in(data, size);
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
    SpanReader in(data, size);
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
    SpanReader in(data, size);
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
    SpanReader in(data, size);
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
