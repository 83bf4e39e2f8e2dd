// Starts the real phone-service binary on a free loopback port and talks
// to it over TCP the way the library does.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "unique_fd.h"
#include "wire.h"

namespace phone_service::test {

// A fresh folder under /tmp, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

class ServiceProcess {
public:
    // Starts the binary with --port 0 and the given extra arguments, and
    // waits (with a time-out) for its "listening on ADDR:PORT" line.
    explicit ServiceProcess(const std::vector<std::string>& args, bool capture_stderr = false);
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    bool started() const { return port_ > 0; }
    int port() const { return port_; }
    // Sends SIGTERM and waits for the exit; the exit status, or -1 when
    // it was killed by a signal or had to be. Later calls repeat the result.
    int Stop();
    // Reads stderr until a line containing needle arrives (or time-out).
    std::string WaitForStderr(const std::string& needle, int timeout_ms = 5000);

private:
    pid_t pid_ = -1;
    int exit_status_ = -1;
    int port_ = 0;
    UniqueFd out_, err_;
    std::string err_text_;
};

struct HttpResult {
    bool answered = false;  // a complete header block arrived
    int status = 0;
    std::string head;
    Bytes body;
};

// Connects to 127.0.0.1:port (-1 on failure).
UniqueFd Connect(int port);
bool SendAll(int fd, const std::string& data);
// Reads until the peer closes (or timeout_ms passes without a byte).
std::string ReadAll(int fd, int timeout_ms = 10000);
HttpResult ParseHttp(const std::string& raw);

// One request in the library's form: GET path, the cache header, then
// "Content-Length:N" when there is a body.
std::string LibraryRequest(const std::string& path, const Bytes& body);
HttpResult Exchange(int port, const std::string& path, const Bytes& body);

// marker, 4 + |payload|, command, payload.
Bytes FileRequest(std::int32_t command, const Bytes& payload);
Bytes PathPayload(const std::string& path);

// A "/filesync" answer: status and a reader positioned at the result data.
struct FileAnswer {
    bool framed = false;
    std::int32_t status = -1;
    Bytes body;
    std::size_t result_offset = 0;
    WireReader Result() const {
        return WireReader(body.data() + result_offset, body.size() - result_offset);
    }
};
FileAnswer ParseFileAnswer(const Bytes& body);
FileAnswer FileCall(int port, std::int32_t command, const Bytes& payload);

Bytes ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& data);

}  // namespace phone_service::test
