// The logging component the sync library writes its diagnostic lines to.
// A separate shared library (OutputLog.dll / liboutputlog.so) with one entry
// point, imported by name.
#pragma once

#include <stdint.h>

#include "quellsync_http.h"

#ifdef __cplusplus
extern "C" {
#endif

// Appends text as one UTF-8 line to the file named by the environment
// variable OUTPUTLOG_FILE, when that is set; does nothing otherwise. The tag
// and level are accepted for the callers' sake and not stored. Safe to call
// from many threads at once: lines never interleave.
void OutputString(const QS_WCHAR* tag, int32_t level, const QS_WCHAR* text);

#ifdef __cplusplus
}
#endif
