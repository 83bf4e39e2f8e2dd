// qsync: a command-line host of the quellsync_http library.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "cli.h"
#include "console.h"
#include "errors.h"
#include "interrupt.h"
#include "job_control.h"
#include "jobs.h"
#include "command_journal.h"
#include "report.h"
#include "text.h"

#ifndef QSYNC_VERSION
#define QSYNC_VERSION "unknown"
#endif

namespace {

using namespace qsync;

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const char c : bytes) {
        out.push_back(kDigits[static_cast<unsigned char>(c) >> 4]);
        out.push_back(kDigits[static_cast<unsigned char>(c) & 15]);
    }
    return out;
}

// With --json even a refused command line ends in a summary object. Names
// refused before a push are listed in it, each also as hex bytes, since a
// name that is not UTF-8 cannot be carried in JSON as it is.
int Fail(std::FILE* out, bool json, int exitCode, const std::string& message,
         const std::vector<RefusedName>& refused = {}) {
    std::fprintf(stderr, "qsync: %s\n", message.c_str());
    if (json) {
        Json done = {{"event", "done"}, {"result", nullptr}, {"error", message}, {"exit", exitCode}};
        if (!refused.empty()) {
            Json list = Json::array();
            for (const RefusedName& name : refused)
                list.push_back({{"pc", name.pc}, {"pc_hex", Hex(name.pc)}, {"reason", name.reason}});
            done["refused"] = list;
        }
        const std::string line = JsonLine(done);
        std::fputs(line.c_str(), out);
        std::fflush(out);
    }
    return exitCode;
}

int Main(const std::vector<std::string>& arguments) {
    bool json = false;
    std::FILE* out = stdout;
    try {
        const Options options = ParseCommandLine(arguments, std::getenv("QSYNC_PHONE"));
        json = options.json;
        if (options.help) {
            std::fputs(HelpText(options.command).c_str(), stdout);
            return kExitOk;
        }
        if (options.version) {
            std::puts("qsync " QSYNC_VERSION);
            return kExitOk;
        }
        out = TakeOverStandardOutput(options.verbose);
        const OutputMode mode = options.json    ? OutputMode::kJson
                                : options.quiet ? OutputMode::kQuiet
                                : PrepareTerminal(out) ? OutputMode::kTerminal
                                                       : OutputMode::kPlain;
        Reporter reporter(out, mode, mode == OutputMode::kTerminal ? TerminalColumns(out) : 0);
        reporter.SetVerbose(options.verbose);
        JobControl::Instance().Attach(&reporter);
        struct Detach {
            ~Detach() { JobControl::Instance().Attach(nullptr); }
        } detach;
        JournalSlot journal = OpenCommandJournal(options);
        const int code = RunCommand(options, reporter, journal);
        journal.Finish();
        return code;
    } catch (const CommandLineError& e) {
        return Fail(out, e.json(), kExitUsage, e.what());
    } catch (const RefusedNamesError& e) {
        return Fail(out, json, kExitUsage, e.what(), e.names());
    } catch (const UsageError& e) {
        return Fail(out, json, kExitUsage, e.what());
    } catch (const UnreachableError& e) {
        return Fail(out, json, kExitUnreachable, e.what());
    } catch (const InterruptedError& e) {
        return Fail(out, json, kExitInterrupted, e.what());
    } catch (const std::filesystem::filesystem_error& e) {
        return Fail(out, json, kExitUsage, e.what());
    } catch (const std::exception& e) {  // unexpected: a JSON reader still gets its summary
        return Fail(out, json, kExitJobFailed, e.what());
    } catch (...) {
        return Fail(out, json, kExitJobFailed, "unexpected failure");
    }
}

}  // namespace

int main(int argc, char** argv) {
    try {
        WatchInterrupts([](int count) {
            try {
                JobControl::Instance().OnInterrupt(count);
            } catch (...) {  // a failed notice must not end the watcher's thread
            }
        });
        return Main(Utf8Arguments(argc, argv));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qsync: %s\n", e.what());
    } catch (...) {
        std::fputs("qsync: unexpected failure\n", stderr);
    }
    return kExitJobFailed;
}
