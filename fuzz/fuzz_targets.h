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

struct FuzzTarget {
    const char* name;  // also the corpus folder
    int (*run)(const uint8_t* data, size_t size);
};

inline constexpr FuzzTarget kFuzzTargets[] = {
    {"http_response", FuzzHttpResponse},
    {"table_response", FuzzTableResponse},
    {"role_string", FuzzRoleString},
};
