// The phone-service stand-in's fuzz targets: its request parsers fed any
// bytes a client could send. Each must neither crash nor read out of
// bounds, and what it returns must lie inside the input.
#include <string>
#include <string_view>

#include "fuzz_target.h"
#include "requests.h"

namespace ps = phone_service;

namespace {

constexpr std::int32_t kFileCommands[] = {ps::kGetChunk, ps::kPutChunk,  ps::kDeleteFile,       ps::kGetInfo,
                                          ps::kEnumDir,  ps::kScanMedia, ps::kDeletePath,       ps::kDeleteEmptyPath,
                                          ps::kRename,   ps::kGetMmsPart, ps::kPutMmsPart};

// A request frame around fields: marker, the count of bytes that follow,
// the command word.
ps::Bytes Framed(std::int32_t command, const uint8_t* fields, size_t size) {
    ps::WireWriter w;
    w.Raw(ps::kSyncMarker);
    w.Int32(static_cast<std::int32_t>(4 + size));
    w.Int32(command);
    ps::Bytes out = w.Take();
    out.insert(out.end(), fields, fields + size);
    return out;
}

// The paths a complete request of a command holds; -1: as many as it says.
int PathsOf(std::int32_t command) {
    switch (command) {
        case ps::kRename: return 2;
        case ps::kScanMedia: return -1;
        default:
            for (std::int32_t c : kFileCommands)
                if (c == command) return 1;
            return 0;
    }
}

int CheckFileRequest(const ps::Bytes& body) {
    ps::FileRequest req;
    const bool framed = ps::ParseFileRequest(body.data(), body.size(), req);
    const size_t head = ps::kSyncMarker.size() + 8;
    if (!framed) return body.size() < head || std::string_view(reinterpret_cast<const char*>(body.data()), 20) != ps::kSyncMarker ? 0 : 1;
    // Each path took its count and its bytes, the block its count and its
    // bytes, all after the frame.
    size_t used = 0;
    for (const std::string& p : req.paths) used += 2 + p.size();
    if (req.data) {
        if (req.data < body.data() + head || req.data + req.data_size > body.data() + body.size()) return 1;
        used += 4 + req.data_size;
    }
    if (used > body.size() - head) return 1;
    const int paths = PathsOf(req.command);
    if (paths == 0) return req.paths.empty() && !req.malformed && !req.data ? 0 : 1;
    if (!req.malformed && paths > 0 && req.paths.size() != static_cast<size_t>(paths)) return 1;
    const bool carries_block = req.command == ps::kPutChunk || req.command == ps::kPutMmsPart;
    return req.malformed || (req.data != nullptr) == carries_block ? 0 : 1;
}

// An HTTP request as received: the head is what precedes the first blank
// line (the whole input when there is none).
int FuzzHttpHead(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string_view head = bytes.substr(0, bytes.find("\r\n\r\n"));
    ps::RequestHead parsed;
    const int status = ps::ParseRequestHead(head, parsed);
    if (status != 0) return status == 400 || status == 501 ? 0 : 1;
    return parsed.method.size() + parsed.path.size() + 2 <= head.size() &&
                   parsed.path.find('?') == std::string::npos && parsed.content_length <= 999999999999ull
               ? 0
               : 1;
}

// A "/filesync" request body. An input whose first byte is below 0x80 is
// the fields of the command that byte picks, framed; any other is the whole
// body as sent.
int FuzzFileRequest(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    if (data[0] >= 0x80) return CheckFileRequest(ps::Bytes(data + 1, data + size));
    const size_t commands = sizeof kFileCommands / sizeof kFileCommands[0];
    return CheckFileRequest(Framed(kFileCommands[data[0] % commands], data + 1, size - 1));
}

// The fields of a message-part request: the first byte's low bit picks a
// put (1) or a get (0).
int FuzzPartRequest(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    return CheckFileRequest(Framed((data[0] & 1) ? ps::kPutMmsPart : ps::kGetMmsPart, data + 1, size - 1));
}

// A "/tablesync" request body, walked as the table service walks it. An
// input whose first byte is odd is records after an envelope that claims
// them all; any other is the whole body as sent.
int FuzzTableRequest(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    ps::Bytes body(data + 1, data + size);
    if (data[0] & 1) {
        ps::WireWriter w;
        w.Raw(ps::kSyncMarker);
        w.Int32(static_cast<std::int32_t>(4 + body.size()));
        w.Int32(0x7fffffff);
        w.Raw(body);
        body = w.Take();
    }
    ps::WireReader in(body);
    std::int32_t count = 0;
    if (!ps::ParseTableEnvelope(in, count)) return count == 0 ? 0 : 1;
    if (count < 0 || static_cast<size_t>(count) > body.size() / 4) return 1;
    for (std::int32_t i = 0; i < count; ++i) {
        ps::WireReader bytes(nullptr, 0);
        const size_t before = in.remaining();
        if (!ps::NextTableRecord(in, bytes)) break;
        if (bytes.remaining() + 4 != before - in.remaining()) return 1;
        const size_t length = bytes.remaining();
        ps::TableRecord r;
        const bool parsed = ps::ParseTableRecord(bytes, r);
        // Everything the record holds came from its own bytes; a complete
        // one also took its sequence number, kind and the URI's count.
        size_t used = (parsed ? 10 : 0) + r.uri.size() + r.selection.size();
        for (const auto& c : r.columns) used += c.first.size() + c.second.text.size();
        for (const std::string& p : r.projection) used += p.size();
        if (used > length) return 1;
    }
    return 0;
}

}  // namespace

const FuzzTarget kFuzzTargets[] = {
    {"ps_http_head", FuzzHttpHead},
    {"ps_file_request", FuzzFileRequest},
    {"ps_part_request", FuzzPartRequest},
    {"ps_table_request", FuzzTableRequest},
};
const size_t kFuzzTargetCount = sizeof kFuzzTargets / sizeof kFuzzTargets[0];

void FuzzSetUp() {}
