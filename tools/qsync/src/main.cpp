// qsync: a command-line host of the quellsync_http library.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "cli.h"
#include "command_failure.h"
#include "console.h"
#include "errors.h"
#include "interrupt.h"
#include "job_control.h"
#include "jobs.h"
#include "command_journal.h"
#include "report.h"
#include "text.h"
#include "ui/ui_main.h"
#include "ui/ui_os.h"

#ifndef QSYNC_VERSION
#define QSYNC_VERSION "unknown"
#endif

namespace {

using namespace qsync;

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
    } catch (...) {
        // With --json even a refused command line ends in a summary object.
        const CommandFailure failure = DescribeFailure(std::current_exception());
        std::fprintf(stderr, "qsync: %s\n", failure.message.c_str());
        if (failure.json || json) {
            const std::string line = JsonLine(FailureEvent(failure));
            std::fputs(line.c_str(), out);
            std::fflush(out);
        }
        return failure.exitCode;
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
        const std::vector<std::string> arguments = Utf8Arguments(argc, argv);
        // The page server has a command line of its own. qsync.exe started
        // from Explorer, with no arguments, opens the page too.
        if (!arguments.empty() && arguments[0] == "ui")
            return ui::RunUi(std::vector<std::string>(arguments.begin() + 1, arguments.end()), "qsync " QSYNC_VERSION);
        if (arguments.empty() && ui::StartedFromDesktop()) return ui::RunUi({}, "qsync " QSYNC_VERSION);
        return Main(arguments);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qsync: %s\n", e.what());
    } catch (...) {
        std::fputs("qsync: unexpected failure\n", stderr);
    }
    return kExitJobFailed;
}
