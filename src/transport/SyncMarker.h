// The 20 ASCII bytes that begin every request and response body of both phone
// services ("/filesync" and "/tablesync").
#pragma once

#include <cstddef>

inline constexpr char SyncMarker[] = "<Hello Velmora Sync>";
// The marker's length on the wire: no terminator is sent.
inline constexpr size_t SyncMarkerLength = sizeof SyncMarker - 1;
static_assert(SyncMarkerLength == 20, "the marker is 20 bytes on the wire");
