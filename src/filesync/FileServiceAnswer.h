// The file service's answers taken apart without any I/O: pure functions
// over a received response body, one per kind of answer, and the largest
// body each kind of request can legitimately bring back.
//
// An answer body is the 20-byte SyncMarker, a 32-bit word the client does
// not use, a 32-bit status word (1 = success) and, on success, the result
// data of the command. Integers are big-endian; a string is a 16-bit byte
// count and that many bytes; a block is a 32-bit byte count and that many
// bytes.
//
// Everything in a body comes from the phone and is untrusted. The functions
// never read past data + size (data may be null when size is 0), check every
// count against the bytes that remain before they act on it, and never
// allocate ahead from a count: records are built one by one as their bytes
// are read. They keep no state, do not log and may run on any thread.
//
// Results shared by every parser, the steps of the frame check:
//   -2  body shorter than the marker
//   -3  marker mismatch
//   -4  no first word
//   -5  no status word
//   -6  status word not 1: the phone refused or failed the operation
//   -9  malformed result data: the status was 1 but the data ends early, or
//       holds a count or length that the bytes (or the request) cannot
//       account for. What each parser leaves in its out arguments then is
//       said at the parser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "transport/ByteArray.h"
#include "transport/WireFrame.h"

// A phone file's stat record, in wire order.
struct RemoteFileInfo {
    std::string FileName;  // full path on the phone, UTF-8
    int32_t mnCanRead = 0;
    int32_t mnCanWrite = 0;
    uint64_t mnFileSize = 0;
    int32_t mnIsFile = 0;
    int32_t mnIsDir = 0;
    int32_t mnIsHidden = 0;
    uint64_t mnLastModify = 0;  // the phone's time value, passed through
};

// One media scanner answer: the scanned path byte for byte as asked, a text
// the library does not interpret, and the file's row id in the media
// database (decimal text).
struct MediaScanEntry {
    std::string Path;
    std::string Info;
    std::string MediaId;
};

class CFileServiceAnswer {
public:
    // Marker, the unused first word and the status word.
    static constexpr size_t kFrameBytes = 20 + 4 + 4;
    // A RemoteFileInfo on the wire: the name's count, five 32-bit and two
    // 64-bit fields, then the name's bytes (at most 65,535).
    static constexpr size_t kMinInfoBytes = 2 + 4 + 4 + 8 + 4 + 4 + 4 + 8;
    static constexpr size_t kMaxInfoBytes = kMinInfoBytes + 0xFFFF;
    // A MediaScanEntry of three empty strings.
    static constexpr size_t kMinScanEntryBytes = 2 + 2 + 2;
    // Room that the bounded answers leave beyond their own layout: a phone
    // may echo the command code and a flag word, as it does in front of the
    // stat, listing and scan results, and the client ignores trailing bytes.
    static constexpr size_t kAnswerSlack = 8;

    // The frame every answer shares. 0 with *resultOffset (may be null) set
    // to kFrameBytes, where the result data begins; or -2 … -6 as above,
    // *resultOffset untouched. The same steps and results as
    // CHttpFileAPI::CheckResponse after a request that succeeded.
    static int32_t CheckFrame(const uint8_t* data, size_t size, size_t* resultOffset);
    // The same check from where in stands: 0 with in at the result data,
    // or -2 … -6.
    static int32_t ReadFrame(ByteReader& in);

    // An answer without result data: delete (13), delete tree (17), delete
    // empty folders (18), rename (20), chunk write (12), part write (22).
    // The frame check's result. *beyondFrame (may be null) tells whether the
    // body holds bytes after its frame; they are not an error.
    static int32_t ParseNoData(const uint8_t* data, size_t size, bool* beyondFrame);

    // A stat answer (14): a word not used, the found flag, and one
    // RemoteFileInfo when the flag is 1.
    //   0   found: *out replaced by the record
    //   1   no record: the found flag is not 1, or out is null (the record is
    //       then not read)
    //   -9  the found flag or the record is cut short
    // On anything but 0, *out is left as it was. Bytes after the record are
    // ignored.
    static int32_t ParseStat(const uint8_t* data, size_t size, RemoteFileInfo* out);

    // One level of a listing (15): a word not used, the list flag, and when
    // it is 1 a signed count n and n RemoteFileInfo records.
    //   0   the level's records appended to records in the phone's order;
    //       nothing when the list flag is not 1 or n is 0 or negative
    //   -9  the list flag or the count is cut short, n records need more
    //       bytes than remain (refused before any record is read), or a
    //       record is cut short. The records read completely before the cut
    //       are appended all the same, so a caller can handle them as it
    //       would have before the fault showed.
    static int32_t ParseListing(const uint8_t* data, size_t size, std::vector<RemoteFileInfo>& records);

    // A media scan answer (16): a word not used, a signed count n, and when
    // n is above 0, n MediaScanEntry records. pathsAsked is the number of
    // paths the request carried.
    //   0   the entries appended to out (may be null: then they are not read)
    //       in the phone's order; nothing when n is 0 or negative
    //   -9  the count is cut short; n is above pathsAsked or needs more
    //       bytes than remain (both refused before any entry is read); or an
    //       entry is cut short. out is left as it was.
    // The phone answers one entry per scanned file it knows, so never more
    // entries than paths asked; a larger count can only come from a broken
    // or hostile phone. Refusing it bounds the records to what the request
    // itself holds: an empty entry is 6 bytes on the wire but a hundred in
    // memory, so a count taken from the bytes alone would let one 64 MiB
    // answer cost about a gigabyte.
    static int32_t ParseMediaScan(const uint8_t* data, size_t size, size_t pathsAsked,
                                  std::vector<MediaScanEntry>* out);

    // A chunk read answer (11): a 32-bit length and that many bytes, which
    // must be exactly expectedLength, the bytes asked for (a longer chunk
    // would write past its place in the file, a shorter one leave a hole).
    //   0   *dataOffset (may be null) is where the chunk's bytes begin inside
    //       data; they are [data + *dataOffset, data + *dataOffset +
    //       expectedLength), always within the body. Nothing is copied.
    //   -9  the length is cut short, is not expectedLength (or expectedLength
    //       is negative), or more than the bytes that remain.
    // Bytes after the chunk are ignored.
    static int32_t ParseChunk(const uint8_t* data, size_t size, int32_t expectedLength, size_t* dataOffset);

    // The largest answer body that a request of this command can bring back
    // legitimately; a longer one is a fault of the phone. chunkLength is the
    // length a chunk read (11) asks for; other commands ignore it.
    //   11      frame, block count and chunkLength bytes, plus kAnswerSlack
    //   14      frame, the two words, one record with a name of 65,535 bytes,
    //           plus kAnswerSlack
    //   12, 13, 17, 18, 20, 22   the frame plus kAnswerSlack
    //   15, 16, 21  kMaxResponseBody: listings, scans and message parts
    //           have no bound of their own below it
    //   any other code: 0, since the client never sends it
    // Never above kMaxResponseBody.
    static int32_t MaxAnswerBody(int32_t command, int32_t chunkLength);
};
