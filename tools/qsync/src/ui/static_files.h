// The page's files (tools/qsync/ui/), compiled into qsync by the build.
#pragma once

#include <cstddef>

namespace qsync {
namespace ui {

struct StaticFile {
    const char* name;  // "index.html", "app.js", ...
    const unsigned char* data;
    size_t size;
};

extern const StaticFile kStaticFiles[];
extern const size_t kStaticFileCount;

}  // namespace ui
}  // namespace qsync
