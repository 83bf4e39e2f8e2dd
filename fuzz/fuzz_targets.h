// Fuzz targets: each takes one input as the peer (or the host) could send
// it and must neither crash nor read out of bounds, whatever the bytes.
// The replay runner feeds them the corpus in fuzz/corpus/<target>/ on every
// build; a coverage-guided fuzzer can call the same functions.
#pragma once

#include <cstddef>
#include <cstdint>

// Bytes received for one HTTP response, split at a point the first byte
// chooses, and examined after each piece as the client does.
int FuzzHttpResponse(const uint8_t* data, size_t size);
// A "/tablesync" response body.
int FuzzTableResponse(const uint8_t* data, size_t size);
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

struct FuzzTarget {
    const char* name;  // also the corpus folder
    int (*run)(const uint8_t* data, size_t size);
};

inline constexpr FuzzTarget kFuzzTargets[] = {
    {"http_response", FuzzHttpResponse},
    {"table_response", FuzzTableResponse},
    {"role_string", FuzzRoleString},
    {"file_no_data", FuzzFileNoData},
    {"file_stat", FuzzFileStat},
    {"file_listing", FuzzFileListing},
    {"file_scan", FuzzFileScan},
    {"file_chunk", FuzzFileChunk},
};
