#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <stdexcept>

#include "child_process.h"

extern char** environ;

struct ChildProcess::Impl {
    pid_t pid = -1;
    int in = -1;   // the child's standard input
    int out = -1;  // the child's standard output
    bool waited = false;
    int status = 0;
};

ChildProcess::ChildProcess(const std::vector<std::string>& arguments) : mImpl(std::make_unique<Impl>()) {
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) throw std::runtime_error("cannot find this executable");
    self[length] = '\0';
    std::vector<std::string> args = {self};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    int toChild[2], fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    const int spawned = posix_spawn(&mImpl->pid, self, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    mImpl->in = toChild[1];
    mImpl->out = fromChild[0];
    if (spawned != 0) {
        ::close(mImpl->in);
        ::close(mImpl->out);
        throw std::runtime_error("cannot start " + args[0]);
    }
}

ChildProcess::~ChildProcess() {
    if (!mImpl->waited) {
        Kill();
        Wait();
    }
    ::close(mImpl->in);
    ::close(mImpl->out);
}

bool ChildProcess::ReadLine(std::string& line) {
    for (;;) {
        const size_t end = mBuffered.find('\n');
        if (end != std::string::npos) {
            line = mBuffered.substr(0, end);
            mBuffered.erase(0, end + 1);
            return true;
        }
        char buffer[4096];
        const ssize_t n = ::read(mImpl->out, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        mBuffered.append(buffer, static_cast<size_t>(n));
    }
}

void ChildProcess::WriteLine(const std::string& line) {
    const std::string data = line + "\n";
    if (::write(mImpl->in, data.data(), data.size()) != static_cast<ssize_t>(data.size()))
        throw std::runtime_error("cannot write to the child");
}

void ChildProcess::Kill() {
    if (!mImpl->waited) ::kill(mImpl->pid, SIGKILL);
}

int ChildProcess::Wait() {
    if (!mImpl->waited) {
        while (::waitpid(mImpl->pid, &mImpl->status, 0) < 0 && errno == EINTR) {
        }
        mImpl->waited = true;
    }
    return WIFEXITED(mImpl->status) ? WEXITSTATUS(mImpl->status) : -1;
}
