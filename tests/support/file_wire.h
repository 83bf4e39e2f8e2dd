// Byte builders for file service messages in tests: what the client must
// send and what a scripted phone answers.
#pragma once

#include <cstdint>
#include <string>

#include "transport/SyncMarker.h"

namespace filewire {

inline std::string I32(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (24 - 8 * i));
    return s;
}
inline std::string I64(uint64_t v) { return I32(static_cast<uint32_t>(v >> 32)) + I32(static_cast<uint32_t>(v)); }
inline std::string Str(const std::string& text) {
    return std::string{static_cast<char>(text.size() >> 8), static_cast<char>(text.size() & 0xFF)} + text;
}
inline std::string Block(const std::string& bytes) { return I32(static_cast<uint32_t>(bytes.size())) + bytes; }
inline std::string Marker() { return std::string(SyncMarker, SyncMarkerLength); }

// A request body: marker, length (4 + payload), command, payload.
inline std::string Request(int32_t command, const std::string& payload) {
    return Marker() + I32(static_cast<uint32_t>(4 + payload.size())) + I32(command) + payload;
}
// The whole HTTP request the client sends for a body.
inline std::string HttpRequest(const std::string& body) {
    return "GET /filesync HTTP/1.1\r\nCache-Control: no-cache\r\nContent-Length:" + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}
// A response body: marker, a word, the status, the result data.
inline std::string Answer(int32_t status, const std::string& result = "") {
    return Marker() + I32(static_cast<uint32_t>(4 + result.size())) + I32(static_cast<uint32_t>(status)) + result;
}

struct Info {
    std::string name;
    uint64_t size = 0;
    bool dir = false;
    uint64_t modified = 0;
};
inline std::string InfoBytes(const Info& info) {
    return Str(info.name) + I32(1) + I32(1) + I64(info.size) + I32(info.dir ? 0 : 1) + I32(info.dir ? 1 : 0) +
           I32(0) + I64(info.modified);
}
// Result data of a listing with list flag 1.
inline std::string ListResult(std::initializer_list<Info> entries) {
    std::string out = I32(15) + I32(1) + I32(static_cast<uint32_t>(entries.size()));
    for (const Info& info : entries) out += InfoBytes(info);
    return out;
}

}  // namespace filewire
