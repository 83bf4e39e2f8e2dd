// A second process for tests that need one: this test executable started
// again with other arguments, its standard input and output piped to us.
#pragma once

#include <memory>
#include <string>
#include <vector>

class ChildProcess {
public:
    // Starts this executable with `arguments` (after the program name).
    // Throws std::runtime_error when it cannot.
    explicit ChildProcess(const std::vector<std::string>& arguments);
    ~ChildProcess();  // kills the child if it still runs, and waits for it
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line the child wrote, without its line end; false at the end
    // of its output.
    bool ReadLine(std::string& line);
    void WriteLine(const std::string& line);
    void Kill();  // SIGKILL / TerminateProcess: no clean-up in the child
    int Wait();   // its exit code (-1 when it was killed)

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
    std::string mBuffered;
};

// The children's side: main() hands arguments starting with "--child" here.
int RunChild(const std::vector<std::string>& arguments);
