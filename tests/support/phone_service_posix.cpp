#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

#include "support/phone_service.h"
#include "support/test_env.h"

extern char** environ;

namespace {

class ChildService : public PhoneService {
public:
    explicit ChildService(const std::vector<std::string>& options) {
        std::vector<std::string> args = {QS_PHONE_SERVICE_BIN, "--root", mRoot.path().string(),
                                         "--port", "0"};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(&arg[0]);
        argv.push_back(nullptr);

        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        const int spawned = posix_spawn(&mPid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (spawned != 0) {
            ::close(out[0]);
            throw std::runtime_error("cannot start " + args[0]);
        }
        mPort = ReadPort(out[0]);
        ::close(out[0]);
        if (mPort <= 0) throw std::runtime_error("phone-service did not report its port");
    }

    ~ChildService() override {
        ::kill(mPid, SIGTERM);
        int status = 0;
        ::waitpid(mPid, &status, 0);
    }

    int port() const override { return mPort; }
    std::filesystem::path root() const override { return mRoot.path(); }

private:
    // Waits (bounded) for the line "listening on ADDR:PORT".
    static int ReadPort(int fd) {
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (line.find('\n') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return -1;
            pollfd ready{fd, POLLIN, 0};
            if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) return -1;
            char buffer[256];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) return -1;
            line.append(buffer, static_cast<size_t>(n));
        }
        const size_t colon = line.rfind(':', line.find('\n'));
        return colon == std::string::npos ? -1 : std::atoi(line.c_str() + colon + 1);
    }

    ScratchDir mRoot;
    pid_t mPid = -1;
    int mPort = -1;
};

}  // namespace

std::unique_ptr<PhoneService> PhoneService::Start(const std::vector<std::string>& options) {
    return std::make_unique<ChildService>(options);
}
