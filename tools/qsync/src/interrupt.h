// Ctrl-C, delivered to ordinary code instead of a signal handler.
#pragma once

#include <functional>

namespace qsync {

// Starts watching for Ctrl-C (SIGINT on POSIX, the console's Ctrl-C and
// Ctrl-Break on Windows) and calls onInterrupt with 1, 2, ... on a thread
// that is not a signal handler, so it may lock, print and call the library.
// Call once, first thing in main: on POSIX it blocks SIGINT for every thread
// started later, the library's workers included.
void WatchInterrupts(std::function<void(int count)> onInterrupt);

}  // namespace qsync
