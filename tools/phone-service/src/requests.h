// The stand-in's request parsers as pure functions over the bytes a client
// sent: the HTTP request head, the "/filesync" command frame and its fields,
// the "/tablesync" envelope and its records. The services and the server
// act on what these return; nothing here touches a file, the database or a
// socket, so each can be fed any bytes (fuzz/phone_service_targets.cpp).
#pragma once

#include "wire.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace phone_service {

// --- HTTP -------------------------------------------------------------------

struct RequestHead {
    std::string method;
    std::string path;  // without any query part
    std::size_t content_length = 0;
    bool expect_continue = false;  // "Expect: 100-continue"
};

// head: the bytes before the blank line that ends the header block. 0 with
// out filled, or the status to refuse the request with: 400 (a malformed
// request line, a Content-Length that is not 1 to 12 digits, two different
// lengths) or 501 (Transfer-Encoding). Header names are matched without
// regard to case; headers other than these are ignored.
int ParseRequestHead(std::string_view head, RequestHead& out);

// --- "/filesync" -------------------------------------------------------------

enum FileCommand : std::int32_t {
    kGetChunk = 11,
    kPutChunk = 12,
    kDeleteFile = 13,
    kGetInfo = 14,
    kEnumDir = 15,
    kScanMedia = 16,
    kDeletePath = 17,
    kDeleteEmptyPath = 18,
    kRename = 20,
    kGetMmsPart = 21,
    kPutMmsPart = 22,
};

// The fields of one file service request, in the order its command sends
// them. data points into the request body.
struct FileRequest {
    std::int32_t command = 0;
    // Path strings as read: the one path of most commands, source and target
    // of a rename, the paths of a media scan; fewer when the body ended.
    std::vector<std::string> paths;
    std::int32_t offset = 0;  // chunk get and put
    std::int32_t length = 0;  // chunk get
    const std::uint8_t* data = nullptr;  // chunk put and part put: the block
    std::size_t data_size = 0;
    // The body ended, or a count could not be true, before every field of
    // the command was read (the fields read so far are kept). An unknown
    // command reads no field and is not malformed.
    bool malformed = false;
};

// false when the frame (marker, length word, command word) is incomplete.
bool ParseFileRequest(const std::uint8_t* data, std::size_t size, FileRequest& out);

// --- "/tablesync" ------------------------------------------------------------

enum TableKind : std::int32_t { kInsert = 1, kDelete = 2, kUpdate = 3, kQuery = 4 };
enum ValueType : std::int32_t { kTypeInt = 1, kTypeText = 2, kTypeBlob = 3, kTypeInt64 = 4 };

struct TableValue {
    std::int32_t type = -1;
    bool present = false;  // false for a type code the sender writes no value for
    std::int64_t number = 0;
    std::string text;
};

struct TableRecord {
    std::int32_t seq = 0;
    std::int32_t kind = 0;
    std::string uri;
    std::vector<std::pair<std::string, TableValue>> columns;
    std::string selection;
    std::vector<std::string> projection;
};

// Reads the envelope: marker, the count of bytes that follow (not more than
// are there) and the record count, cut to the records the bytes can hold
// (each takes at least its 4-byte length). false when it is malformed.
bool ParseTableEnvelope(WireReader& in, std::int32_t& count);
// The next record's bytes, delimited by its length; false when the length is
// missing, negative or runs past the body (no later record can be found).
bool NextTableRecord(WireReader& in, WireReader& record);
// Reads one record's fields from its own bytes; false when it is malformed
// (the fields read so far are kept).
bool ParseTableRecord(WireReader& in, TableRecord& r);

}  // namespace phone_service
