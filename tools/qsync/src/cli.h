// The command line of qsync: global options, one command and its arguments.
#pragma once

#include <string>
#include <vector>

namespace qsync {

struct Options {
    // --phone HOST[:PORT] or QSYNC_PHONE; always handed over as http://HOST:PORT/
    std::string host = "127.0.0.1";
    int port = 8182;
    std::string device = "/sdcard";  // --device ROOT, without a trailing "/"
    bool json = false;
    bool quiet = false;
    bool verbose = false;
    bool dryRun = false;
    bool help = false;
    bool version = false;

    std::string command;             // push, remove, fetch, playlist, backup, restore, ls, stat, rm, mv, get, put, du
    std::string kind;                // music, camera, create, ...
    std::vector<std::string> operands;
    std::string folder;              // --to / --from
    int conflictMode = 0;            // --on-conflict: keep 0, both 1, replace 2

    int retries = 3;                 // --retries: rounds in a row without progress before giving up
    int retryDelayMs = 1000;         // --retry-delay SECONDS, in milliseconds
    int requestRetries = 10;         // --request-retries: the library's attempts after a request's first
    std::string journal;             // --journal FILE (empty: the default place)
    bool noJournal = false;          // --no-journal
    bool check = false;              // push --check: send every item, refresh the journal
    bool mirrorDelete = false;       // push --delete
    long maxDelete = -1;             // push --max-delete N (-1: no limit)
    bool itemizeUnchanged = false;   // push --itemize-unchanged
    bool longList = false;           // ls -l
    bool recursive = false;          // ls -R, rm -r, get -r, put -r
    bool force = false;              // rm --force; playlist update/delete --force
    bool humanReadable = false;      // ls -H
    bool clear = false;              // playlist update --clear: no songs
    bool allowEmpty = false;         // playlist create/update --allow-empty
    bool anyFile = false;            // push --any-file: no extension filter
    bool replace = false;            // get, put --replace
    bool summarize = false;          // du -s
    bool all = false;                // ls -a
};

// Throws CommandLineError. `environmentPhone` is the QSYNC_PHONE value (or null).
Options ParseCommandLine(const std::vector<std::string>& arguments, const char* environmentPhone);

// The help text of a command, or the overview for an empty command.
std::string HelpText(const std::string& command);

// HOST[:PORT] with HOST a dotted IPv4 address; false when it is not.
bool ParsePhoneAddress(const std::string& text, std::string& host, int& port);

}  // namespace qsync
