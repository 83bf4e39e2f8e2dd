#include "fuzz_targets.h"

#include <string>
#include <vector>

#include "export/TagParser.h"
#include "log/Log.h"
#include "filesync/FileServiceAnswer.h"
#include "filesync/HttpFileAPI.h"
#include "tablesync/AndroidOperationProvider.h"
#include "tablesync/AndroidOperationQuery.h"
#include "transport/ByteArray.h"
#include "transport/HttpClient.h"

int FuzzHttpResponse(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t split = 1 + data[0] % (size);
    const uint8_t* bytes = data + 1;
    const size_t length = size - 1;
    ByteArray response;
    // The whole buffer is examined again after every arrival, as Request does.
    for (size_t seen : {std::min(split, length), length}) {
        const int32_t result = HttpClient::HttpPkgFinished(bytes, static_cast<int32_t>(seen), &response);
        if (result >= 0 && response.GetLength() != result) return 1;  // the body must be what was announced
        if (result >= 0) break;
    }
    return 0;
}

int FuzzTableResponse(const uint8_t* data, size_t size) {
    ByteArray body;
    if (size > 0) body.AppendData(data, static_cast<int32_t>(size));
    AndroidOperationProvider provider;
    provider.ParseResponse(body);
    return body.GetReadPos() <= body.GetLength() ? 0 : 1;
}

namespace {

ByteArray BodyOf(const uint8_t* data, size_t size) {
    ByteArray body;
    if (size > 0) body.AppendData(data, static_cast<int32_t>(size));
    return body;
}

// Bytes a row set takes at least: each row's column count and each pair's
// two text counts besides the texts.
size_t RowBytes(const std::vector<AndroidOperationQuery::Row>& rows) {
    size_t bytes = 0;
    for (const auto& row : rows) {
        bytes += 4;
        for (const auto& pair : row) bytes += 4 + pair.first.size() + pair.second.size();
    }
    return bytes;
}

}  // namespace

int FuzzTableRecord(const uint8_t* data, size_t size) {
    ByteArray body = BodyOf(data, size);
    const std::unique_ptr<AndroidOperation> record = AndroidOperationProvider::ParseRespStream(body);
    if (body.GetReadPos() > body.GetLength()) return 1;
    if (!record) return 0;
    // A parsed record ends where its length says.
    ByteArray again = BodyOf(data, size);
    if (body.GetReadPos() != 4 + static_cast<int64_t>(static_cast<int32_t>(again.ReadInt32()))) return 1;
    // Length, sequence number, kind and code came first; what a successful
    // record carries came from the bytes after them.
    const size_t head = 16;
    if (size < head) return 1;
    if (record->mnResult != 1) return 0;
    if (record->mnKind == kKindQuery) {
        const auto& query = static_cast<const AndroidOperationQuery&>(*record);
        return static_cast<size_t>(query.mnRowCount) == query.mRows.size() && 4 + RowBytes(query.mRows) <= size - head
                   ? 0
                   : 1;
    }
    return 2 + record->mstrResult.size() <= size - head ? 0 : 1;
}

int FuzzTableRows(const uint8_t* data, size_t size) {
    ByteArray body = BodyOf(data, size);
    ByteReader in = body.Reader();
    const std::unique_ptr<AndroidOperationQuery> query = AndroidOperationQuery::ParseResult(in);
    if (in.Pos() > size) return 1;
    if (!query) return 0;
    return query->mnRowCount >= 0 && static_cast<size_t>(query->mnRowCount) == query->mRows.size() &&
                   4 + RowBytes(query->mRows) <= size
               ? 0
               : 1;
}

int FuzzMmsAnswer(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool get = (data[0] & 1) != 0;
    ByteArray body = BodyOf(data + 1, size - 1);
    if (!get) {
        const int32_t result = AndroidOperationProvider::ParseMmsPutAnswer(body);
        return result == 0 || result == -2 || result == -3 || result == -5 || result == -6 ? 0 : 1;
    }
    int64_t blockLength = -1;
    const int32_t result = AndroidOperationProvider::ParseMmsGetAnswer(body, blockLength);
    if (result != 0) return result >= -6 && result <= -2 ? 0 : 1;
    // The content the caller writes out lies inside the body.
    return blockLength >= 0 && body.GetReadPos() + blockLength <= body.GetLength() ? 0 : 1;
}

int FuzzRoleString(const uint8_t* data, size_t size) {
    std::u16string text;
    for (size_t i = 0; i + 1 < size; i += 2) text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    CTagParser parser;
    parser.ParseRoleString(text.c_str(), static_cast<int32_t>(text.size()));
    parser.GetString(u"device");
    parser.GetInt(u"device");
    return 0;
}

namespace {

// The results a file service answer parser may give besides its successes.
bool IsFailure(int32_t result) { return (result <= -2 && result >= -6) || result == -9; }

// Bytes after the frame and the two words that open a stat, listing or scan
// result; 0 when the body is shorter.
size_t AfterResultHead(size_t size) {
    const size_t head = CFileServiceAnswer::kFrameBytes + 8;
    return size > head ? size - head : 0;
}

}  // namespace

int FuzzFileNoData(const uint8_t* data, size_t size) {
    bool beyond = false;
    size_t offset = 0;
    const int32_t parsed = CFileServiceAnswer::ParseNoData(data, size, &beyond);
    const int32_t framed = CFileServiceAnswer::CheckFrame(data, size, &offset);
    ByteArray body;
    if (size > 0) body.AppendData(data, static_cast<int32_t>(size));
    if (parsed != CHttpFileAPI::CheckResponse(0, body) || framed != parsed) return 1;
    if (parsed == 0) return offset == CFileServiceAnswer::kFrameBytes && beyond == (size > offset) ? 0 : 1;
    return IsFailure(parsed) && parsed != -9 ? 0 : 1;
}

int FuzzFileStat(const uint8_t* data, size_t size) {
    RemoteFileInfo info;
    const int32_t parsed = CFileServiceAnswer::ParseStat(data, size, &info);
    const int32_t withoutRecord = CFileServiceAnswer::ParseStat(data, size, nullptr);
    if (parsed == 0 || parsed == 1) {
        // The record's bytes lie inside the body; without a record to fill,
        // the same answer is "no record".
        if (withoutRecord != 1) return 1;
        return parsed == 1 || CFileServiceAnswer::kMinInfoBytes + info.FileName.size() <= AfterResultHead(size) ? 0 : 1;
    }
    return IsFailure(parsed) && (withoutRecord == parsed || (parsed == -9 && withoutRecord == 1)) ? 0 : 1;
}

int FuzzFileListing(const uint8_t* data, size_t size) {
    std::vector<RemoteFileInfo> records;
    const int32_t parsed = CFileServiceAnswer::ParseListing(data, size, records);
    if (parsed != 0 && !IsFailure(parsed)) return 1;
    // Every record took at least its fixed fields and its name from the
    // bytes after the count.
    size_t needed = 0;
    for (const RemoteFileInfo& info : records) needed += CFileServiceAnswer::kMinInfoBytes + info.FileName.size();
    const size_t available = AfterResultHead(size) >= 4 ? AfterResultHead(size) - 4 : 0;
    return needed <= available ? 0 : 1;
}

int FuzzFileScan(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t asked = data[0];
    std::vector<MediaScanEntry> entries;
    const int32_t parsed = CFileServiceAnswer::ParseMediaScan(data + 1, size - 1, asked, &entries);
    const int32_t withoutOut = CFileServiceAnswer::ParseMediaScan(data + 1, size - 1, asked, nullptr);
    if (parsed != 0) return IsFailure(parsed) && entries.empty() && (withoutOut == parsed || withoutOut == 0) ? 0 : 1;
    if (withoutOut != 0 || entries.size() > asked) return 1;
    size_t needed = 0;
    for (const MediaScanEntry& e : entries)
        needed += CFileServiceAnswer::kMinScanEntryBytes + e.Path.size() + e.Info.size() + e.MediaId.size();
    return needed <= AfterResultHead(size - 1) ? 0 : 1;
}

int FuzzFileChunk(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const int32_t expected = (data[0] << 8) | data[1];
    const uint8_t* body = data + 2;
    const size_t length = size - 2;
    size_t offset = 0;
    const int32_t parsed = CFileServiceAnswer::ParseChunk(body, length, expected, &offset);
    if (parsed != 0) return IsFailure(parsed) ? 0 : 1;
    // The chunk lies inside the body, right after a count that says its
    // length.
    const size_t count = CFileServiceAnswer::kFrameBytes;
    return offset == count + 4 && offset + static_cast<size_t>(expected) <= length && body[count] == 0 &&
                   body[count + 1] == 0 && ((body[count + 2] << 8) | body[count + 3]) == expected
               ? 0
               : 1;
}

const FuzzTarget kFuzzTargets[] = {
    {"http_response", FuzzHttpResponse},
    {"table_response", FuzzTableResponse},
    {"table_record", FuzzTableRecord},
    {"table_rows", FuzzTableRows},
    {"mms_answer", FuzzMmsAnswer},
    {"role_string", FuzzRoleString},
    {"file_no_data", FuzzFileNoData},
    {"file_stat", FuzzFileStat},
    {"file_listing", FuzzFileListing},
    {"file_scan", FuzzFileScan},
    {"file_chunk", FuzzFileChunk},
};
const size_t kFuzzTargetCount = sizeof kFuzzTargets / sizeof kFuzzTargets[0];

void FuzzSetUp() {
    qslog::SetCapture([](qslog::Sink, const std::u16string&) {});  // parsers log every refusal
}
