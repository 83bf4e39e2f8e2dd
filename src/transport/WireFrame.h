// The frame that every message body of both phone services shares, in
// requests and answers alike: the 20-byte SyncMarker, a 32-bit length that
// counts everything after itself, then a 32-bit word and the payload. In a
// "/filesync" request (message parts included) the word is the command code,
// in a "/tablesync" request the number of records; in a file service answer
// the length is a word the client does not use and the word is the status.
//
// This is the one place that writes a frame and the one that reads an
// answer's head; each service's functions give the head's faults their own
// result codes.
#pragma once

#include <cstdint>

#include "transport/ByteArray.h"
#include "transport/SyncMarker.h"

// Command codes of the file service ("/filesync").
enum FileCommand : int32_t {
    CMD_GET_CHUNK = 11,
    CMD_PUT_CHUNK = 12,
    CMD_DELETE_FILE = 13,
    CMD_GET_INFO = 14,
    CMD_ENUM_DIR = 15,
    CMD_SCAN_MEDIA = 16,
    CMD_DELETE_PATH = 17,
    CMD_DELETE_EMPTY_PATH = 18,
    CMD_RENAME = 20,
    CMD_GET_MMS_PART = 21,
    CMD_PUT_MMS_PART = 22,
};

class WireFrame {
public:
    // Marker, length and word: the bytes in front of a payload.
    static constexpr int32_t kHeadBytes = static_cast<int32_t>(SyncMarkerLength) + 4 + 4;

    // Writing, in wire order, so that nothing is moved afterwards: Start
    // empties body (its room stays, so a buffer reused message after
    // message allocates once) and writes marker, a length to be filled in
    // and word; the caller appends the payload; Finish fills in the length.
    static void Start(ByteArray& body, uint32_t word);
    static void Finish(ByteArray& body);

    // The result each service gives a fault of an answer's head.
    struct HeadFaults {
        int32_t shortBody;    // fewer bytes than the marker
        int32_t wrongMarker;  // the first 20 bytes are not the marker
        int32_t noLength;     // the body ends before the length word
        int32_t noWord;       // the body ends before the word
    };
    // Reads an answer's head from in: the marker, then the length word into
    // length and the word into word. 0, or the fault's result from faults;
    // a fault leaves length and word as they were, and where in then stands
    // is not to be relied on.
    static int32_t ReadHead(ByteReader& in, const HeadFaults& faults, uint32_t& length, uint32_t& word);
};
