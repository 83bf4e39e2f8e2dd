#include "service_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace phone_service::test {
namespace {

constexpr int kStartTimeoutMs = 10000;

bool WaitReadable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    int r;
    do { r = ::poll(&p, 1, timeout_ms); } while (r < 0 && errno == EINTR);
    return r > 0;
}

int MillisLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

TempDir::TempDir() {
    char tmpl[] = "/tmp/phone-service-test.XXXXXX";
    if (::mkdtemp(tmpl)) path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

ServiceProcess::ServiceProcess(const std::vector<std::string>& args, bool capture_stderr) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
    UniqueFd out_r(out[0]), out_w(out[1]), err_r(err[0]), err_w(err[1]);
    std::vector<std::string> argv_s{PHONE_SERVICE_BINARY, "--port", "0"};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out_w.get(), 1);
        if (capture_stderr) ::dup2(err_w.get(), 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    out_ = std::move(out_r);
    err_ = std::move(err_r);
    out_w.Reset();
    err_w.Reset();
    if (pid_ < 0) return;

    // The one line the service prints at start-up carries its port.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    std::string line;
    while (line.find('\n') == std::string::npos && WaitReadable(out_.get(), MillisLeft(deadline))) {
        char buf[256];
        const ssize_t n = ::read(out_.get(), buf, sizeof buf);
        if (n <= 0) break;
        line.append(buf, static_cast<std::size_t>(n));
    }
    const std::string prefix = "listening on 127.0.0.1:";
    if (line.rfind(prefix, 0) == 0) port_ = std::atoi(line.c_str() + prefix.size());
}

std::string ServiceProcess::WaitForStderr(const std::string& needle, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (err_text_.find(needle) == std::string::npos && WaitReadable(err_.get(), MillisLeft(deadline))) {
        char buf[4096];
        const ssize_t n = ::read(err_.get(), buf, sizeof buf);
        if (n <= 0) break;
        err_text_.append(buf, static_cast<std::size_t>(n));
    }
    return err_text_;
}

int ServiceProcess::Stop() {
    if (pid_ <= 0) return exit_status_;
    ::kill(pid_, SIGTERM);
    // Wait for the exit through a process descriptor, bounded; a service
    // that does not stop in time is killed and counts as a failure.
    int status = 0;
    UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    bool exited = !pidfd.valid() || WaitReadable(pidfd.get(), 10000);
    if (!exited) ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    exit_status_ = exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return exit_status_;
}

ServiceProcess::~ServiceProcess() { Stop(); }

UniqueFd Connect(int port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return UniqueFd();
    return fd;
}

bool SendAll(int fd, const std::string& data) {
    std::size_t off = 0;
    while (off < data.size()) {
        const ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return false;
        off += static_cast<std::size_t>(n);
    }
    return true;
}

std::string ReadAll(int fd, int timeout_ms) {
    std::string out;
    char buf[65536];
    while (WaitReadable(fd, timeout_ms)) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

HttpResult ParseHttp(const std::string& raw) {
    HttpResult r;
    const std::size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos) return r;
    r.answered = true;
    r.head = raw.substr(0, end + 2);
    if (r.head.rfind("HTTP/1.1 ", 0) == 0) r.status = std::atoi(r.head.c_str() + 9);
    const std::size_t cl = r.head.find("Content-Length: ");
    const std::size_t len = cl == std::string::npos ? 0 : std::strtoul(r.head.c_str() + cl + 16, nullptr, 10);
    const std::string body = raw.substr(end + 4, len);
    r.body.assign(body.begin(), body.end());
    return r;
}

std::string LibraryRequest(const std::string& path, const Bytes& body) {
    std::string req = "GET " + path + " HTTP/1.1\r\nCache-Control: no-cache\r\n";
    if (!body.empty()) req += "Content-Length:" + std::to_string(body.size()) + "\r\n";
    req += "\r\n";
    req.append(body.begin(), body.end());
    return req;
}

HttpResult Exchange(int port, const std::string& path, const Bytes& body) {
    UniqueFd fd = Connect(port);
    if (!fd.valid() || !SendAll(fd.get(), LibraryRequest(path, body))) return {};
    return ParseHttp(ReadAll(fd.get()));
}

Bytes FileRequest(std::int32_t command, const Bytes& payload) {
    WireWriter w;
    w.Raw(kSyncMarker);
    w.Int32(static_cast<std::int32_t>(4 + payload.size()));
    w.Int32(command);
    w.Raw(payload);
    return w.Take();
}

Bytes PathPayload(const std::string& path) {
    WireWriter w;
    w.String(path);
    return w.Take();
}

FileAnswer ParseFileAnswer(const Bytes& body) {
    FileAnswer a;
    a.body = body;
    WireReader in(a.body);
    std::int32_t first = 0;
    if (!in.Expect(kSyncMarker) || !in.Int32(first) || !in.Int32(a.status)) return a;
    a.framed = true;
    a.result_offset = in.position();
    return a;
}

FileAnswer FileCall(int port, std::int32_t command, const Bytes& payload) {
    return ParseFileAnswer(Exchange(port, "/filesync", FileRequest(command, payload)).body);
}

Bytes ReadFileBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const std::string& data) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
}

}  // namespace phone_service::test
