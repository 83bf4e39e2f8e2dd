// One TCP connection to the phone's service before a job: no export tells a
// service that cannot be reached apart from other failures.
#pragma once

#include <string>

namespace qsync {

// True when host:port (dotted IPv4) accepts a TCP connection within
// timeoutMs. The connection is closed again at once.
bool CanConnect(const std::string& host, int port, int timeoutMs);

}  // namespace qsync
