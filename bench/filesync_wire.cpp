#include "filesync_wire.h"

#include <cctype>
#include <cstring>

namespace bench::wire {

void PutU32(std::string& out, uint32_t value) {
    const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                           static_cast<char>(value >> 8), static_cast<char>(value)};
    out.append(bytes, 4);
}

void PutU64(std::string& out, uint64_t value) {
    PutU32(out, static_cast<uint32_t>(value >> 32));
    PutU32(out, static_cast<uint32_t>(value));
}

void PutString(std::string& out, std::string_view text) {
    out.push_back(static_cast<char>((text.size() >> 8) & 0xFF));
    out.push_back(static_cast<char>(text.size() & 0xFF));
    out.append(text);
}

uint32_t GetU32(const uint8_t* at) {
    return (uint32_t{at[0]} << 24) | (uint32_t{at[1]} << 16) | (uint32_t{at[2]} << 8) | at[3];
}

std::string RequestHead(size_t bodyLength) {
    std::string head = "GET /filesync HTTP/1.1\r\nCache-Control: no-cache\r\n";
    if (bodyLength != 0) head += "Content-Length:" + std::to_string(bodyLength) + "\r\n";
    head += "\r\n";
    return head;
}

std::string FramePrefix(int32_t command, size_t payloadLength) {
    std::string prefix(kMarker);
    PutU32(prefix, static_cast<uint32_t>(4 + payloadLength));
    PutU32(prefix, static_cast<uint32_t>(command));
    return prefix;
}

std::string Request(int32_t command, std::string_view payload) {
    const std::string prefix = FramePrefix(command, payload.size());
    std::string request = RequestHead(prefix.size() + payload.size());
    request += prefix;
    request += payload;
    return request;
}

bool Reader::Need(size_t n) {
    if (!mOk || static_cast<size_t>(mEnd - mAt) < n) mOk = false;
    return mOk;
}

uint32_t Reader::U32() {
    if (!Need(4)) return 0;
    const uint32_t value = GetU32(mAt);
    mAt += 4;
    return value;
}

uint64_t Reader::U64() {
    const uint64_t high = U32();
    return (high << 32) | U32();
}

std::string Reader::String() {
    if (!Need(2)) return {};
    const size_t n = (size_t{mAt[0]} << 8) | mAt[1];
    mAt += 2;
    if (!Need(n)) return {};
    std::string text(reinterpret_cast<const char*>(mAt), n);
    mAt += n;
    return text;
}

bool Reader::Skip(size_t n) {
    if (!Need(n)) return false;
    mAt += n;
    return true;
}

namespace {

// Position of name in line, or npos; ASCII case folded when ignoreCase.
size_t FindName(std::string_view line, std::string_view name, bool ignoreCase) {
    if (!ignoreCase) return line.find(name);
    for (size_t i = 0; i + name.size() <= line.size(); ++i) {
        size_t k = 0;
        while (k < name.size() && std::tolower(static_cast<unsigned char>(line[i + k])) ==
                                      std::tolower(static_cast<unsigned char>(name[k])))
            ++k;
        if (k == name.size()) return i;
    }
    return std::string_view::npos;
}

}  // namespace

HttpHead ParseHead(const uint8_t* data, size_t size, bool ignoreCase) {
    HttpHead head;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const size_t blank = text.find("\r\n\r\n");
    if (blank == std::string_view::npos) return head;
    head.bodyStart = blank + 4;
    constexpr std::string_view kName = "Content-Length:";
    size_t lineStart = 0;
    while (lineStart < blank + 2) {
        const size_t lineEnd = text.find("\r\n", lineStart);
        const std::string_view line = text.substr(lineStart, lineEnd - lineStart);
        const size_t name = FindName(line, kName, ignoreCase);
        if (name != std::string_view::npos) {
            size_t i = name + kName.size();
            while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
            int64_t length = 0;
            const size_t digits = i;
            for (; i < line.size() && line[i] >= '0' && line[i] <= '9' && length < (int64_t{1} << 40); ++i)
                length = length * 10 + (line[i] - '0');
            if (i > digits) head.bodyLength = length;
            return head;
        }
        lineStart = lineEnd + 2;
    }
    return head;
}

bool AnswerOk(Reader& reader) {
    if (reader.remaining() < kMarker.size() ||
        std::memcmp(reader.at(), kMarker.data(), kMarker.size()) != 0)
        return false;
    reader.Skip(kMarker.size());
    reader.U32();  // the count of bytes that follow: not needed
    return reader.U32() == 1 && reader.ok();
}

}  // namespace bench::wire
