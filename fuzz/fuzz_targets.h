// The library's fuzz targets: each takes one input as the peer (or the host)
// could send it and must neither crash nor read out of bounds, whatever the
// bytes. The replay feeds them the corpus in fuzz/corpus/<target>/ on every
// build and platform; the libFuzzer executables (build/fuzz) call the same
// functions.
#pragma once

#include "fuzz_target.h"

// Bytes received for one HTTP response, split at a point the first byte
// chooses, and examined after each piece as the client does.
int FuzzHttpResponse(const uint8_t* data, size_t size);
// A "/tablesync" response body.
int FuzzTableResponse(const uint8_t* data, size_t size);
// One result record of a "/tablesync" response, read as the envelope's walk
// reads each.
int FuzzTableRecord(const uint8_t* data, size_t size);
// The rows of a successful query record (the bytes after its result code).
int FuzzTableRows(const uint8_t* data, size_t size);
// A message-part answer; the first byte's low bit chooses the answer to a
// get (1) or to a put (0).
int FuzzMmsAnswer(const uint8_t* data, size_t size);
// A role string (UTF-16 from the host; the bytes taken two at a time).
int FuzzRoleString(const uint8_t* data, size_t size);
// File service answer bodies, one target per kind of answer. Where the
// request supplies a parameter, the first bytes of the input are it.
// An answer without result data; the frame check must agree with
// CHttpFileAPI::CheckResponse.
int FuzzFileNoData(const uint8_t* data, size_t size);
// A stat answer.
int FuzzFileStat(const uint8_t* data, size_t size);
// One level of a listing.
int FuzzFileListing(const uint8_t* data, size_t size);
// A media scan answer; the first byte is the number of paths asked.
int FuzzFileScan(const uint8_t* data, size_t size);
// A chunk read answer; the first two bytes are the length asked for
// (big-endian).
int FuzzFileChunk(const uint8_t* data, size_t size);
