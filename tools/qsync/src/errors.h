// The two failures that end qsync before a job runs, each with its exit code.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace qsync {

// A command line qsync cannot carry out as given: exit code 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A command line that cannot be parsed or checked; `json` tells whether it
// asked for JSON output all the same (so the failure is written as JSON).
class CommandLineError : public UsageError {
public:
    CommandLineError(const std::string& message, bool json) : UsageError(message), mJson(json) {}
    bool json() const { return mJson; }

private:
    bool mJson;
};

// A push whose names the phone's storage cannot hold (or that are not
// UTF-8): exit code 2, with each refused name and why.
struct RefusedName {
    std::string pc;
    std::string reason;
};
class RefusedNamesError : public UsageError {
public:
    RefusedNamesError(const std::string& message, std::vector<RefusedName> names)
        : UsageError(message), mNames(std::move(names)) {}
    const std::vector<RefusedName>& names() const { return mNames; }

private:
    std::vector<RefusedName> mNames;
};

// The phone's service did not accept a connection: exit code 3.
class UnreachableError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Ctrl-C before any job started: exit code 130.
class InterruptedError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum ExitCode { kExitOk = 0, kExitJobFailed = 1, kExitUsage = 2, kExitUnreachable = 3, kExitInterrupted = 130 };

}  // namespace qsync
