// The smallest client of the file service's protocol shape, for benchmarks:
// what a transfer costs when nothing but the protocol is paid for.
//
// Every exchange is one request on a new TCP connection to 127.0.0.1,
// sent byte for byte as the library sends it; the answer is read until its
// Content-Length is satisfied, and the connection is then kept until the
// peer closes it (at most a short while), so the closing side stays the
// peer's. One thread drives every connection over non-blocking sockets and
// epoll. At most five files are handled at once, and at most five chunk
// requests of a file are in flight:
//   upload:   stat, the 64 KiB chunk writes (read from the PC file at their
//             offsets), then a media scan when asked for;
//   download: stat for the size, then the chunk reads, each written into
//             the PC file at its offset;
//   folder:   a listing, then every listed file downloaded below the PC
//             folder at its path relative to the phone folder.
// Every wait is bounded: an exchange with no progress for the time-out, or a
// call that runs past its overall bound, fails with a message.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

class MinimalClient {
public:
    struct Transfer {
        std::string local;   // PC path
        std::string remote;  // phone path
    };

    MinimalClient(uint16_t port, int idleTimeoutSeconds, int callBoundSeconds);

    // Each returns true when every exchange succeeded; otherwise false with
    // the reason in *error.
    bool Upload(const std::vector<Transfer>& files, bool scan, std::string* error) const;
    bool Download(const std::vector<Transfer>& files, std::string* error) const;
    bool DownloadFolder(const std::string& phoneFolder, const std::string& pcFolder,
                        std::string* error) const;

private:
    uint16_t mPort;
    int mIdleTimeoutSeconds;
    int mCallBoundSeconds;
};

}  // namespace bench
