#include "cli.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <iterator>

#include <CLI/CLI.hpp>

#include "errors.h"
#include "quellsync_http.h"

namespace qsync {
namespace {

const char* const kOverview =
    "usage: qsync [GLOBAL OPTIONS] COMMAND [ARGUMENTS]\n"
    "\n"
    "Exchanges content with the phone's sync service.\n"
    "\n"
    "commands:\n"
    "  push KIND PATH...               copy files or folders to the phone\n"
    "                                  (KIND: music, photos, videos, documents, playlists)\n"
    "  remove KIND PATH...             remove the phone's copies of PC files or folders\n"
    "  fetch camera|downloads --to DIR copy the phone's camera or download folders here\n"
    "  playlist create NAME SONG...    make a playlist in the phone's media database\n"
    "  playlist update ID NAME SONG... rename it and replace its songs\n"
    "  playlist delete ID              delete it\n"
    "  backup music|media|documents --to DIR\n"
    "  restore music|media|documents --from DIR [--on-conflict keep|replace|both]\n"
    "  ls [-l] [-R] [-a] PHONEPATH...  list phone folders (a path without a leading\n"
    "                                  '/' is taken below the device root)\n"
    "  stat PHONEPATH...               show what the phone knows of each path\n"
    "  rm [-r] [--force] PHONEPATH...  remove phone files (-r: folders with all below)\n"
    "  mv FROM TO                      rename or move a phone file or folder\n"
    "  get [-r] [--replace] PHONEPATH... DIR   copy phone files (-r: folders) into DIR\n"
    "  put [-r] [--replace] PCPATH... PHONEFOLDER  copy PC files (-r: folders) there\n"
    "  du [-s] PHONEPATH...            bytes of phone trees, by listing them\n"
    "  ui [--listen 127.0.0.1:PORT] [--no-open]  all of this in a page of the browser\n"
    "\n"
    "global options:\n"
    "  --phone HOST[:PORT]  the phone's service (default 127.0.0.1:8182, or $QSYNC_PHONE);\n"
    "                       HOST is a dotted IPv4 address, PORT defaults to 8182\n"
    "  --device ROOT        the phone's storage root (default /sdcard)\n"
    "  --json               one JSON object per event on standard output\n"
    "  -q, --quiet          print only errors (and a created playlist's id)\n"
    "  -v, --verbose        also show the library's own output, on standard error\n"
    "  --retries N          give up after N retry rounds in a row that complete\n"
    "                       nothing (default 3; 0: no retries)\n"
    "  --retry-delay SECONDS  the wait before a retry round that follows a round\n"
    "                       without progress (default 1), doubled after each\n"
    "                       further one, up to 30 s\n"
    "  --request-retries N  the library repeats a request that lost its connection\n"
    "                       up to N times (default 10; 0..100; 0: never)\n"
    "  --journal FILE       the journal of what was pushed (default: one file per\n"
    "                       phone below $XDG_STATE_HOME/qsync or %LOCALAPPDATA%\\qsync)\n"
    "  --no-journal         neither read nor write the journal\n"
    "  --help               this text; 'qsync COMMAND --help' for a command\n"
    "  --version            the version\n"
    "\n"
    "exit codes: 0 success, 1 the job failed, 2 usage error, 3 phone service not\n"
    "reachable, 130 interrupted\n";

struct CommandHelp {
    const char* command;
    const char* text;
};

const CommandHelp kCommandHelp[] = {
    {"push",
     "usage: qsync push music|photos|videos|documents|playlists [--dry-run] [--check]\n"
     "                  [--delete [--max-delete N]] [--itemize-unchanged] [--any-file]\n"
     "                  PATH...\n"
     "\n"
     "Copies files, and every file below folders, to the phone, into the kind's\n"
     "folder below the device root (ROOT, /sdcard unless --device):\n"
     "  music      ROOT" QS_FOLDER_MUSIC "\n"
     "  photos     ROOT" QS_FOLDER_PICTURES "\n"
     "  videos     ROOT" QS_FOLDER_MOVIES "\n"
     "  documents  ROOT" QS_FOLDER_DOCUMENTS "\n"
     "  playlists  ROOT" QS_FOLDER_PLAYLISTS "\n"
     "The whole PC path is mirrored below that folder, not just the file's name:\n"
     "/home/me/a.mp3 becomes /sdcard/Music/home/me/a.mp3 (C:\\Users\\me\\a.mp3 becomes\n"
     "/sdcard/Music/C/Users/me/a.mp3). For a layout of your own, use 'qsync put -r'.\n"
     "Only files whose extension belongs to the kind are sent (see the manual);\n"
     "others are skipped and counted. Files the journal records as pushed,\n"
     "unchanged in size and modification time, are not sent; a file changed at the\n"
     "same size replaces its phone copy. Files the phone already holds at the same\n"
     "size are not sent again. Names the phone's storage cannot hold (reserved\n"
     "characters, trailing dots or blanks, components over 255 characters) refuse\n"
     "the whole push.\n"
     "\n"
     "  --dry-run            list the files and their phone paths; contact nobody\n"
     "  --check              send every file to the library again, which looks at the\n"
     "                       phone, and refresh the journal (after changes by hand)\n"
     "  --delete             also remove the phone copies the journal records of files\n"
     "                       gone from the named folders\n"
     "  --max-delete N       refuse a push that would remove more than N files\n"
     "  --itemize-unchanged  write a line for each file left out as unchanged\n"
     "  --any-file           send every file, whatever its extension\n"},
    {"ls",
     "usage: qsync ls [-l] [-R] [-a] [-H] PHONEPATH...\n"
     "\n"
     "Lists each phone folder's entries by name, one a line (a file is listed by\n"
     "itself). A PHONEPATH without a leading '/' is taken below the device root, so\n"
     "'qsync ls Music' lists /sdcard/Music. With --json, one 'entry' event per entry\n"
     "(path, name, type, size, modified, hidden, readable, writable), then 'done'.\n"
     "\n"
     "  -l  also the type and access (d: folder, r, w), the size in bytes and the\n"
     "      time of the last change (UTC)\n"
     "  -R  also every folder below, each under a 'PATH:' line\n"
     "  -a  also hidden entries (names beginning with '.')\n"
     "  -H, --human-readable  sizes in KiB, MiB, ... (-h is the help, as everywhere)\n"},
    {"stat",
     "usage: qsync stat PHONEPATH...\n"
     "\n"
     "Shows the type, size, time of the last change and access of each phone path\n"
     "(with --json as an 'entry' event). Exit code 1 when a path does not exist.\n"},
    {"rm",
     "usage: qsync rm [-r] [--force] PHONEPATH...\n"
     "\n"
     "Removes phone files, and empty folders; asks for no confirmation. A PHONEPATH\n"
     "without a leading '/' is taken below the device root. The journal forgets\n"
     "what it recorded at or below each path, so a later push sends those files\n"
     "again.\n"
     "\n"
     "  -r       remove folders with everything below them\n"
     "  --force  also the storage root and the kind folders (ROOT, ROOT/Music,\n"
     "           ROOT/DCIM, ...), which are refused otherwise\n"},
    {"get",
     "usage: qsync get [-r] [--replace] PHONEPATH... DIR\n"
     "\n"
     "Copies phone files into DIR (made when missing); with -r, phone folders too,\n"
     "as the same tree below DIR. A file arrives under its name only when it is\n"
     "complete. A name from the phone that cannot be a PC name below DIR (a path\n"
     "separator, ':', on Windows a device name such as CON) is refused and listed\n"
     "as failed. Progress and a summary as for push.\n"
     "\n"
     "  -r         copy folders with everything below them\n"
     "  --replace  replace PC files that exist (they are left alone otherwise, and\n"
     "             listed as failed)\n"},
    {"put",
     "usage: qsync put [-r] [--replace] PCPATH... PHONEFOLDER\n"
     "\n"
     "Copies PC files into a phone folder (a PHONEFOLDER without a leading '/' is\n"
     "below the device root); with -r, PC folders too, as the same tree. The media\n"
     "scanner is asked to register each file. A cut upload leaves no partial file.\n"
     "\n"
     "  -r         copy folders with everything below them\n"
     "  --replace  replace phone files that exist (whole: never a stale tail)\n"},
    {"du",
     "usage: qsync du [-s] [-H] PHONEPATH...\n"
     "\n"
     "Adds up the bytes of each phone tree by listing it: one 'BYTES<TAB>PATH' line\n"
     "per folder below, each after its own folders, then one for the path itself\n"
     "(with --json a 'usage' event with bytes and files).\n"
     "\n"
     "  -s  only the line of each PHONEPATH\n"
     "  -H, --human-readable  sizes in KiB, MiB, ...\n"},
    {"mv",
     "usage: qsync mv FROM TO\n"
     "\n"
     "Renames or moves a phone file or folder; TO must not exist. The journal\n"
     "forgets what it recorded at or below FROM.\n"},
    {"remove",
     "usage: qsync remove music|photos|videos|documents|playlists [--dry-run] PATH...\n"
     "\n"
     "Removes the phone's copies that 'push' made. A PC folder, or a PATH ending in\n"
     "'/' that no longer exists on the PC, removes the mirrored phone folder; any\n"
     "other PATH removes the one mirrored phone file.\n"
     "\n"
     "  --dry-run   list the phone paths that would go; contact nobody\n"},
    {"fetch",
     "usage: qsync fetch camera|downloads --to DIR\n"
     "\n"
     "Copies the phone's camera folder (ROOT/DCIM), or its download folders\n"
     "(ROOT/Downloads and ROOT/Download), into DIR. Files already there at the same\n"
     "size are skipped; a different file of the same name is kept as name(2).ext.\n"},
    {"playlist",
     "usage: qsync playlist create [--allow-empty] NAME SONG...\n"
     "       qsync playlist update [--force] [--allow-empty] ID NAME SONG...\n"
     "       qsync playlist update [--force] ID NAME --clear\n"
     "       qsync playlist delete [--force] ID\n"
     "\n"
     "Writes playlists into the phone's media database. A SONG that is a PC file\n"
     "stands for the phone path 'push music' stores it under; any other SONG is a\n"
     "phone path (starting with '/'). 'create' prints the new playlist's id; update\n"
     "and delete take it. Songs the phone does not hold are named in a warning.\n"
     "qsync remembers the playlists it created, in a file beside the journal, and\n"
     "changes no other.\n"
     "\n"
     "  --allow-empty  create or update even when no song is on the phone\n"
     "  --clear        update: leave the playlist without songs\n"
     "  --force        update or delete a playlist qsync did not create\n"},
    {"backup",
     "usage: qsync backup music|media|documents --to DIR\n"
     "\n"
     "Copies a category of the phone into DIR, keeping the phone's folders:\n"
     "music (ROOT" QS_FOLDER_MUSIC ") into DIR/" QS_BACKUP_MUSIC_FOLDER QS_FOLDER_MUSIC ", media (ROOT" QS_FOLDER_MOVIES ", ROOT" QS_FOLDER_PICTURES ",\n"
     "ROOT" QS_FOLDER_CAMERA ") into DIR/" QS_BACKUP_GALLERY_FOLDER QS_FOLDER_MOVIES ", ..., documents (office files and\n"
     "text of ROOT" QS_FOLDER_DOWNLOAD " and ROOT" QS_FOLDER_DOWNLOADS ", and all of\n"
     "ROOT" QS_FOLDER_DOCUMENTS ") into DIR/" QS_BACKUP_DOCUMENTS_FOLDER ". Every run copies every\n"
     "file again, replacing the copies in DIR: a backup is a fresh copy, not an\n"
     "update.\n"},
    {"restore",
     "usage: qsync restore music|media|documents --from DIR [--on-conflict keep|replace|both]\n"
     "\n"
     "Copies a category back from a backup folder made by 'qsync backup'. When the\n"
     "phone already has a file of the same name:\n"
     "  keep      leave the phone's file (the default)\n"
     "  replace   replace it with the backup's copy\n"
     "  both      store the backup's copy beside it under a numbered name\n"},
};

const std::vector<std::string> kPushKinds = {"music", "photos", "videos", "documents", "playlists"};
const std::vector<std::string> kFetchKinds = {"camera", "downloads"};
const std::vector<std::string> kCategories = {"music", "media", "documents"};
const std::vector<std::string> kPlaylistOps = {"create", "update", "delete"};

bool OneOf(const std::string& value, const std::vector<std::string>& choices) {
    return std::find(choices.begin(), choices.end(), value) != choices.end();
}

std::string Join(const std::vector<std::string>& words, const std::string& between) {
    std::string out;
    for (const auto& w : words) out += (out.empty() ? "" : between) + w;
    return out;
}

// The check of a numeric option: decimal digits only (no sign, blank, hex
// or exponent), with at most `decimals` digits after a point, from low to
// high. The text is handed on without leading zeros, since the typed
// conversion would read "010" as octal.
CLI::Validator DecimalRange(long low, long high, size_t decimals = 0) {
    const std::string what = decimals ? "a number of seconds" : "a whole number";
    const std::string range = std::to_string(low) + " to " + std::to_string(high);
    return CLI::Validator(
        [=](std::string& input) -> std::string {
            const std::string refusal = "must be " + what + " from " + range + ", not '" + input + "'";
            const size_t point = input.find('.');
            std::string whole = input.substr(0, point);
            if (whole.empty() && point == 0) whole = "0";  // ".5"
            const std::string fraction = point == std::string::npos ? "" : input.substr(point + 1);
            const auto digits = [](const std::string& text) {
                return text.find_first_not_of("0123456789") == std::string::npos;
            };
            if (whole.empty() || !digits(whole) || !digits(fraction) || fraction.size() > decimals ||
                (point != std::string::npos && fraction.empty()))
                return refusal;
            const size_t first = std::min(whole.find_first_not_of('0'), whole.size() - 1);
            if (whole.size() - first > 9) return refusal;
            const long value = std::strtol(whole.c_str() + first, nullptr, 10);
            if (value < low || value > high || (value == high && fraction.find_first_not_of('0') != std::string::npos))
                return refusal;
            input = whole.substr(first) + (fraction.empty() ? "" : "." + fraction);
            return std::string();
        },
        "NUMBER " + range);
}

bool ParseDecimal(const std::string& text, long low, long high, long& out) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    out = std::strtol(text.c_str(), nullptr, 10);
    return out >= low && out <= high;
}

std::string CheckedDevice(std::string device) {
    if (device.empty() || device[0] != '/') throw UsageError("--device must be an absolute phone path, such as /sdcard");
    // The role string escapes these with backslashes, ambiguously at the end
    // of a value; no storage root needs them.
    if (device.find_first_of(";=\\") != std::string::npos)
        throw UsageError("--device must not contain ';', '=' or '\\'");
    for (const char c : device)
        if (static_cast<unsigned char>(c) < 0x20) throw UsageError("--device must not contain control characters");
    while (!device.empty() && device.back() == '/') device.pop_back();
    if (device.find("/../") != std::string::npos || device.find("/./") != std::string::npos ||
        (device.size() >= 3 && device.compare(device.size() - 3, 3, "/..") == 0))
        throw UsageError("--device must not contain '.' or '..' segments");
    return device;  // "/" becomes "": the phone's own root
}

// Why ParsePhoneAddress refused `text`, in words that say what to give.
std::string PhoneAddressProblem(const std::string& text) {
    const size_t colon = text.find(':');
    const std::string host = text.substr(0, colon);
    std::string ignored;
    int port = 0;
    if (colon != std::string::npos && ParsePhoneAddress(host, ignored, port)) {
        const std::string given = text.substr(colon + 1);
        return "--phone '" + text + "': the port must be a number from 1 to 65535" +
               (given.empty() ? std::string(" (or left out: 8182)") : ", not '" + given + "'");
    }
    std::string lower = host;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    // The library looks up no names: an address is given as digits.
    const std::string hint = lower == "localhost" ? "; use 127.0.0.1" : "";
    return "--phone must be HOST[:PORT] with HOST a dotted IPv4 address (such as 192.168.1.20), not '" + text + "'" +
           hint;
}

// Checks the operands of the command; kind is taken from them first.
void CheckOperands(Options& o) {
    auto needKind = [&](const std::vector<std::string>& choices) {
        const char* what = o.command == "playlist" ? "operation" : o.command == "fetch" ? "source" : "kind";
        if (o.operands.empty())
            throw UsageError(o.command + ": no " + what + " given (" + Join(choices, ", ") + ")");
        if (!OneOf(o.operands.front(), choices))
            throw UsageError(o.command + ": unknown " + what + " '" + o.operands.front() + "' (" + Join(choices, ", ") +
                             ")");
        o.kind = o.operands.front();
        o.operands.erase(o.operands.begin());
    };
    if (o.command == "push" || o.command == "remove") {
        needKind(kPushKinds);
        if (o.operands.empty()) throw UsageError(o.command + ": no PATH given");
    } else if (o.command == "fetch" || o.command == "backup" || o.command == "restore") {
        needKind(o.command == "fetch" ? kFetchKinds : kCategories);
        if (!o.operands.empty()) throw UsageError(o.command + ": unexpected argument '" + o.operands[0] + "'");
        if (o.folder.empty())
            throw UsageError(o.command + ": " + (o.command == "restore" ? "--from" : "--to") + " DIR is required");
    } else if (o.command == "ls" || o.command == "stat" || o.command == "rm" || o.command == "du") {
        if (o.operands.empty()) throw UsageError(o.command + ": no PHONEPATH given");
    } else if (o.command == "get" || o.command == "put") {
        if (o.operands.size() < 2)
            throw UsageError(o.command + " takes one or more sources and a target " +
                             (o.command == "get" ? "DIR" : "PHONEFOLDER"));
    } else if (o.command == "mv") {
        if (o.operands.size() != 2) throw UsageError("mv takes FROM and TO");
    } else if (o.command == "playlist") {
        needKind(kPlaylistOps);
        const size_t least = o.kind == "create" ? 1 : 2;
        if (o.operands.size() < (o.kind == "delete" ? 1 : least))
            throw UsageError("playlist " + o.kind + ": missing arguments (see qsync playlist --help)");
        if (o.kind == "delete" && o.operands.size() != 1) throw UsageError("playlist delete takes one ID");
        // The id goes into the phone's row selection ("_id=ID"): digits only.
        long id = 0;
        if (o.kind != "create" && !ParseDecimal(o.operands[0], 0, 999999999, id))
            throw UsageError("playlist " + o.kind + ": ID must be a playlist id (digits), not '" + o.operands[0] + "'");
        // An update without songs would empty the playlist: only on purpose.
        if (o.kind == "update" && o.operands.size() == 2 && !o.clear)
            throw UsageError("playlist update: no SONG given; --clear empties the playlist");
        if (o.clear && (o.kind != "update" || o.operands.size() > 2))
            throw UsageError("--clear applies to playlist update without songs");
        if (o.allowEmpty && o.kind == "delete") throw UsageError("--allow-empty applies to playlist create and update");
        if (o.force && o.kind == "create") throw UsageError("--force applies to playlist update and delete");
    } else {
        throw UsageError("unknown command '" + o.command + "' (see qsync --help)");
    }
}

// Fills `o` as far as the command line goes; throws UsageError.
void Parse(const std::vector<std::string>& arguments, const char* environmentPhone, Options& o) {
    std::string phone;
    std::string conflict = "keep";
    std::vector<std::string> words;  // the command's kind and operands
    std::string to, from;

    CLI::App app("qsync", "qsync");
    // Phone paths begin with "/": they are operands on Windows too, never
    // options in the Windows style. Inherited by every command.
    app.allow_windows_style_options(false);
    app.set_help_flag();  // help is written from the texts above
    app.allow_extras();   // what no command takes is named below, in qsync's words
    app.require_subcommand(0, 1);  // after the command, another command's name is an operand
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--phone", phone);
    app.add_option("--device", o.device);
    app.add_flag("--json", o.json);
    app.add_flag("-q,--quiet", o.quiet);
    app.add_flag("-v,--verbose", o.verbose);
    app.add_flag("-h,--help", o.help);
    app.add_flag("--version", o.version);
    double retryDelaySeconds = o.retryDelayMs / 1000.0;
    app.add_option("--retries", o.retries)->check(DecimalRange(0, 1000));
    app.add_option("--request-retries", o.requestRetries)->check(DecimalRange(0, 100));
    app.add_option("--retry-delay", retryDelaySeconds)->check(DecimalRange(0, 3600, 3));
    CLI::Option* maxDelete = nullptr;
    app.add_option("--journal", o.journal);
    app.add_flag("--no-journal", o.noJournal);
    for (const char* name : {"push", "remove", "fetch", "playlist", "backup", "restore", "ls", "stat", "rm", "mv", "get", "put", "du"}) {
        CLI::App* command = app.add_subcommand(name);
        command->set_help_flag();
        command->fallthrough();  // global options may follow the command
        command->add_option("arguments", words);
        const std::string n = name;
        if (n == "push" || n == "remove") command->add_flag("--dry-run", o.dryRun);
        if (n == "push") {
            command->add_flag("--check", o.check);
            command->add_flag("--delete", o.mirrorDelete);
            maxDelete = command->add_option("--max-delete", o.maxDelete)->check(DecimalRange(0, 999999999));
            command->add_flag("--itemize-unchanged", o.itemizeUnchanged);
            command->add_flag("--any-file", o.anyFile);
        }
        if (n == "ls") {
            command->add_flag("-l", o.longList);
            command->add_flag("-R", o.recursive);
            command->add_flag("-a", o.all);
        }
        // -h stays the help flag of every command: sizes for people are -H.
        if (n == "ls" || n == "du") command->add_flag("-H,--human-readable", o.humanReadable);
        if (n == "rm" || n == "get" || n == "put") command->add_flag("-r", o.recursive);
        if (n == "rm" || n == "playlist") command->add_flag("--force", o.force);
        if (n == "playlist") {
            command->add_flag("--clear", o.clear);
            command->add_flag("--allow-empty", o.allowEmpty);
        }
        if (n == "du") command->add_flag("-s", o.summarize);
        if (n == "get" || n == "put") command->add_flag("--replace", o.replace);
        if (n == "fetch" || n == "backup") command->add_option("--to", to);
        if (n == "restore") {
            command->add_option("--from", from);
            command->add_option("--on-conflict", conflict);
        }
    }
    // A command's options may also stand before the command: the top level
    // takes them too, and they are handed to the command given (below).
    std::vector<CLI::Option*> earlyOptions;
    for (CLI::App* command : app.get_subcommands(std::function<bool(CLI::App*)>()))
        for (CLI::Option* option : command->get_options())
            if (option->nonpositional() && !app.get_option_no_throw(option->get_name()))
                earlyOptions.push_back(option->get_expected_min() == 0
                                           ? app.add_flag(option->get_name(false, true))
                                           : app.add_option(option->get_name(false, true))->type_name(option->get_type_name()));
    // Everything after "--" is an operand, whatever it looks like: the
    // parser sees only what comes before it.
    const auto mark = std::find(arguments.begin(), arguments.end(), std::string("--"));
    std::vector<std::string> trailing(mark == arguments.end() ? mark : mark + 1, arguments.end());
    std::vector<std::string> reversed(std::make_reverse_iterator(mark), arguments.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        // Values reach their variables only once parsing ends; what it
        // read of --json until it failed still counts.
        o.json = app.get_option("--json")->count() > 0;
        throw UsageError(std::string(e.what()) + " (see qsync --help)");
    }
    const auto commands = app.get_subcommands();
    if (!commands.empty()) o.command = commands.front()->get_name();
    const std::vector<std::string> extras = app.remaining(true);
    if (!extras.empty()) {
        const std::string& first = extras.front();
        if (first.empty() || first[0] != '-') {
            if (o.command.empty()) throw UsageError("unknown command '" + first + "' (see qsync --help)");
            throw UsageError(o.command + ": unexpected argument '" + first + "'");
        }
        // Every command's options are known at the top level too (see
        // earlyOptions): one given to a command it does not belong to is
        // refused below, so what is left here is unknown to every command.
        throw UsageError("unknown option '" + first + "' (see qsync --help)");
    }
    if (o.help || o.version) return;
    if (o.command.empty() && !trailing.empty()) {  // "qsync -- push ..."
        o.command = trailing.front();
        trailing.erase(trailing.begin());
    }
    if (o.command.empty()) throw UsageError("no command given (see qsync --help)");
    for (CLI::App* command : app.get_subcommands([&](CLI::App* c) { return c->get_name() == o.command; })) {
        try {
            for (CLI::Option* early : earlyOptions) {
                if (early->count() == 0) continue;
                CLI::Option* own = command->get_option_no_throw(early->get_name());
                if (!own) throw UsageError("option " + early->get_name() + " does not apply to '" + o.command + "'");
                if (own->count() > 0) continue;  // also given after the command: that one counts
                for (const std::string& value : early->results()) own->add_result(value);
                own->run_callback();
            }
        } catch (const CLI::ParseError& e) {
            throw UsageError(std::string(e.what()) + " (see qsync --help)");
        }
    }
    if (phone.empty() && environmentPhone) phone = environmentPhone;
    if (!phone.empty() && !ParsePhoneAddress(phone, o.host, o.port)) throw UsageError(PhoneAddressProblem(phone));
    o.device = CheckedDevice(o.device);
    if (o.quiet && o.verbose) throw UsageError("-q and -v exclude each other");
    if (conflict == "keep") o.conflictMode = 0;
    else if (conflict == "both") o.conflictMode = 1;
    else if (conflict == "replace") o.conflictMode = 2;
    else throw UsageError("--on-conflict must be keep, replace or both");
    o.folder = o.command == "restore" ? from : to;
    // Checked to three decimals at most, so this is exact to the millisecond.
    o.retryDelayMs = static_cast<int>(std::lround(retryDelaySeconds * 1000));
    if (maxDelete->count() > 0 && !o.mirrorDelete) throw UsageError("--max-delete applies to push --delete only");
    if (o.mirrorDelete && o.noJournal)
        throw UsageError("--delete needs the journal: it removes only what the journal records; drop --no-journal");
    if (!o.journal.empty() && o.noJournal) throw UsageError("--journal and --no-journal exclude each other");
    o.operands = std::move(words);
    o.operands.insert(o.operands.end(), trailing.begin(), trailing.end());
    CheckOperands(o);
}

}  // namespace

bool ParsePhoneAddress(const std::string& text, std::string& host, int& port) {
    const size_t colon = text.find(':');
    const std::string hostPart = text.substr(0, colon);
    long value = 8182;
    if (colon != std::string::npos && !ParseDecimal(text.substr(colon + 1), 1, 65535, value)) return false;
    // Four decimal parts of 0..255, nothing else: the library does no name
    // lookup.
    std::string canonical;  // without leading zeros, which some parsers read as octal
    size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        const size_t end = part < 3 ? hostPart.find('.', start) : hostPart.size();
        long number = 0;
        if (end == std::string::npos || end - start > 3 || !ParseDecimal(hostPart.substr(start, end - start), 0, 255, number))
            return false;
        canonical += (part ? "." : "") + std::to_string(number);
        start = end + 1;
    }
    host = canonical;
    port = static_cast<int>(value);
    return true;
}

std::string HelpText(const std::string& command) {
    for (const auto& entry : kCommandHelp)
        if (command == entry.command) return entry.text;
    return kOverview;
}

Options ParseCommandLine(const std::vector<std::string>& arguments, const char* environmentPhone) {
    Options o;
    try {
        Parse(arguments, environmentPhone, o);
    } catch (const UsageError& e) {
        // --json counts when the parser reached it.
        throw CommandLineError(e.what(), o.json);
    }
    return o;
}

}  // namespace qsync
