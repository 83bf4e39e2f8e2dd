#include "requests.h"

#include <cctype>

namespace phone_service {
namespace {

std::string Lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string TrimSpaces(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

bool ReadColumns(WireReader& in, TableRecord& r) {
    std::int32_t count = 0;
    // Each column needs at least its name's count and its type code.
    if (!in.Int32(count) || count < 0 || static_cast<std::size_t>(count) > in.remaining() / 6) return false;
    r.columns.resize(static_cast<std::size_t>(count));
    for (auto& c : r.columns)
        if (!in.String(c.first) || !in.Int32(c.second.type)) return false;
    for (auto& c : r.columns) {
        TableValue& v = c.second;
        std::int32_t i32 = 0;
        const std::uint8_t* p = nullptr;
        std::size_t n = 0;
        switch (v.type) {
            case kTypeInt: if (!in.Int32(i32)) return false; v.number = i32; break;
            case kTypeInt64: if (!in.Int64(v.number)) return false; break;
            case kTypeText: if (!in.String(v.text)) return false; break;
            case kTypeBlob:
                if (!in.Block(p, n)) return false;
                v.text.assign(reinterpret_cast<const char*>(p), n);
                break;
            default: continue;  // unknown type code: the sender wrote no value
        }
        v.present = true;
    }
    return true;
}

}  // namespace

int ParseRequestHead(std::string_view head_bytes, RequestHead& out) {
    const std::string head(head_bytes);
    // Request line: METHOD SP TARGET SP VERSION.
    std::size_t line_end = head.find("\r\n");
    if (line_end == std::string::npos) line_end = head.size();
    const std::string line = head.substr(0, line_end);
    const std::size_t sp1 = line.find(' ');
    const std::size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || line.compare(sp2 + 1, 5, "HTTP/") != 0) return 400;
    out.method = line.substr(0, sp1);
    out.path = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::size_t q = out.path.find('?');
    if (q != std::string::npos) out.path.resize(q);

    // Headers: only the body length matters. A second, different length is
    // refused.
    bool have_length = false;
    std::size_t pos = line_end + 2;
    while (pos < head.size()) {
        std::size_t eol = head.find("\r\n", pos);
        if (eol == std::string::npos) eol = head.size();
        const std::string h = head.substr(pos, eol - pos);
        pos = eol + 2;
        const std::size_t colon = h.find(':');
        if (colon == std::string::npos) continue;
        const std::string name = Lower(TrimSpaces(h.substr(0, colon)));
        const std::string value = TrimSpaces(h.substr(colon + 1));
        if (name == "transfer-encoding") return 501;
        if (name == "expect" && Lower(value) == "100-continue") out.expect_continue = true;
        if (name != "content-length") continue;
        if (value.empty() || value.size() > 12 || value.find_first_not_of("0123456789") != std::string::npos)
            return 400;
        const std::size_t v = std::stoull(value);
        if (have_length && v != out.content_length) return 400;
        have_length = true;
        out.content_length = v;
    }
    return 0;
}

bool ParseFileRequest(const std::uint8_t* data, std::size_t size, FileRequest& out) {
    WireReader in(data, size);
    std::int32_t length = 0;
    if (!in.Expect(kSyncMarker) || !in.Int32(length) || !in.Int32(out.command)) return false;
    // Reads one path string into out.paths.
    auto path = [&] {
        std::string p;
        if (!in.String(p)) return false;
        out.paths.push_back(std::move(p));
        return true;
    };
    bool complete = true;
    switch (out.command) {
        case kGetChunk: complete = path() && in.Int32(out.offset) && in.Int32(out.length); break;
        case kPutChunk: complete = path() && in.Int32(out.offset) && in.Block(out.data, out.data_size); break;
        case kDeleteFile:
        case kGetInfo:
        case kEnumDir:
        case kDeletePath:
        case kDeleteEmptyPath:
        case kGetMmsPart: complete = path(); break;
        case kRename: complete = path() && path(); break;
        case kPutMmsPart: complete = path() && in.Block(out.data, out.data_size); break;
        case kScanMedia: {
            std::int32_t n = 0;
            // Each path takes at least its 2-byte count.
            complete = in.Int32(n) && n >= 0 && static_cast<std::size_t>(n) <= in.remaining() / 2;
            for (std::int32_t i = 0; complete && i < n; ++i) complete = path();
            break;
        }
        default: break;  // unknown: no fields
    }
    out.malformed = !complete;
    return true;
}

bool ParseTableEnvelope(WireReader& in, std::int32_t& count) {
    std::int32_t follows = 0;
    count = 0;
    if (!in.Expect(kSyncMarker) || !in.Int32(follows) || follows < 0 ||
        static_cast<std::size_t>(follows) > in.remaining() || !in.Int32(count) || count < 0) {
        count = 0;
        return false;
    }
    // Every record takes at least its 4-byte length, so this bounds the
    // walk by the bytes actually sent, whatever the count says.
    if (static_cast<std::size_t>(count) > in.remaining() / 4) count = static_cast<std::int32_t>(in.remaining() / 4);
    return true;
}

bool NextTableRecord(WireReader& in, WireReader& record) {
    std::int32_t length = 0;
    return in.Int32(length) && length >= 0 && in.Sub(static_cast<std::size_t>(length), record);
}

bool ParseTableRecord(WireReader& in, TableRecord& r) {
    if (!in.Int32(r.seq) || !in.Int32(r.kind) || !in.String(r.uri)) return false;
    switch (r.kind) {
        case kInsert: {
            std::int32_t option = 0, option_value = 0;
            std::string option_text;
            if (!ReadColumns(in, r) || !in.Int32(option)) return false;
            if (option == 1 && (!in.Int32(option_value) || !in.String(option_text))) return false;
            return true;
        }
        case kUpdate: return ReadColumns(in, r) && in.String(r.selection);
        case kDelete: return in.String(r.selection);
        case kQuery: {
            std::int32_t param = 0, count = 0;
            std::string text;
            if (!in.Int32(param) || !in.Int32(count) || count < 0 ||
                static_cast<std::size_t>(count) > in.remaining() / 2)
                return false;
            r.projection.resize(static_cast<std::size_t>(count));
            for (auto& p : r.projection)
                if (!in.String(p)) return false;
            return in.String(r.selection) && in.String(text);
        }
        default: return true;  // kind 5 and others parse but are not applied
    }
}

}  // namespace phone_service
