#include "platform/path_style.h"

namespace platform {

PathStyle NativePathStyle() { return PathStyle::kWindows; }

}  // namespace platform
