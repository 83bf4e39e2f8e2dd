// The "/filesync" wire as the benchmark's two references speak it, written
// without the library: big-endian integers, strings with a 16-bit count,
// blocks with a 32-bit count, the 20-byte marker, and the HTTP head that the
// library puts in front of every request body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "requests.h"
#include "unique_fd.h"
#include "wire.h"

namespace bench {

// Descriptors are owned, and the marker spelt, as the stand-in does it.
using phone_service::UniqueFd;

namespace wire {

inline constexpr std::string_view kMarker = phone_service::kSyncMarker;
inline constexpr int32_t kChunkSize = 65536;
inline constexpr int kMaxInFlight = 5;  // chunk requests of one file, and files at once

// Command codes: phone_service::FileCommand (requests.h), as the stand-in
// names them.

void PutU32(std::string& out, uint32_t value);
void PutU64(std::string& out, uint64_t value);
void PutString(std::string& out, std::string_view text);
uint32_t GetU32(const uint8_t* at);

// "GET /filesync HTTP/1.1", the cache header, "Content-Length:N" without a
// blank, the empty line: byte for byte the library's request head.
std::string RequestHead(size_t bodyLength);
// The marker, the length word (4 + payload) and the command word; the
// payload follows.
std::string FramePrefix(int32_t command, size_t payloadLength);
// A whole request (head and body) for a command whose payload is given.
std::string Request(int32_t command, std::string_view payload);

// Reads fields front to back; a read past the end fails this and every
// later read.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : mAt(data), mEnd(data + size) {}
    bool ok() const { return mOk; }
    size_t remaining() const { return mOk ? static_cast<size_t>(mEnd - mAt) : 0; }
    const uint8_t* at() const { return mAt; }
    uint32_t U32();
    uint64_t U64();
    std::string String();
    bool Skip(size_t n);

private:
    bool Need(size_t n);
    const uint8_t* mAt;
    const uint8_t* mEnd;
    bool mOk = true;
};

// Where a message (request or response) stands in the bytes received so far.
struct HttpHead {
    size_t bodyStart = 0;    // 0 while the CR LF CR LF has not arrived
    int64_t bodyLength = -1; // -1: no Content-Length header (or a malformed one)
};
// Scans data for the end of the head and its Content-Length (the name
// matched as given; case-insensitively when ignoreCase).
HttpHead ParseHead(const uint8_t* data, size_t size, bool ignoreCase);

// Checks a response body's marker and status word; on success reader stands
// at the result data.
bool AnswerOk(Reader& reader);

}  // namespace wire
}  // namespace bench
