// `qsync ui`: the page server, started from main before the command line of
// the other commands is parsed.
#pragma once

#include <string>
#include <vector>

namespace qsync {
namespace ui {

// `arguments`: what follows "ui". Returns the exit code: 0 after the page's
// Quit, 130 after Ctrl-C, 2 for a command line it refuses (a --listen
// address other than 127.0.0.1 or [::1] among them), 1 when it cannot
// listen.
int RunUi(const std::vector<std::string>& arguments, const std::string& version);

}  // namespace ui
}  // namespace qsync
