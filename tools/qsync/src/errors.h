// The two failures that end qsync before a job runs, each with its exit code.
#pragma once

#include <stdexcept>
#include <string>

namespace qsync {

// A command line qsync cannot carry out as given: exit code 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The phone's service did not accept a connection: exit code 3.
class UnreachableError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum ExitCode { kExitOk = 0, kExitJobFailed = 1, kExitUsage = 2, kExitUnreachable = 3, kExitInterrupted = 130 };

}  // namespace qsync
