#include "phone_commands.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include <filesystem>

#include "errors.h"
#include "paths.h"
#include "job_control.h"
#include "quellsync_http.h"
#include "text.h"

namespace qsync {
namespace {

struct PhoneEntry {
    std::string path;
    uint64_t size = 0;
    uint64_t modified = 0;
    bool file = false, folder = false, hidden = false, readable = false, writable = false;
};

PhoneEntry FromLibrary(const QsPhoneEntry& e) {
    PhoneEntry entry;
    entry.path = HostTextToUtf8(e.path);
    entry.size = e.size;
    entry.modified = e.modified;
    entry.file = e.isFile != 0;
    entry.folder = e.isDir != 0;
    entry.hidden = e.isHidden != 0;
    entry.readable = e.canRead != 0;
    entry.writable = e.canWrite != 0;
    return entry;
}

int32_t QS_CALL Collect(void* context, const QsPhoneEntry* entry) {
    try {  // called by the library: nothing may unwind into it
        static_cast<std::vector<PhoneEntry>*>(context)->push_back(FromLibrary(*entry));
        return 0;
    } catch (...) {
        return 1;
    }
}

std::string ResultText(int32_t result) {
    switch (result) {
        case QS_PHONE_ABSENT: return "no such file or folder on the phone";
        case QS_PHONE_INVALID: return "not a usable phone path (absolute, without '.' or '..')";
        case QS_PHONE_STOPPED: return "stopped";
        case QS_PHONE_WRONG_KIND: return "not a folder";
        case -6: return "the phone refused the request";
        case -9: return "the phone's answer is malformed (entries outside the folder were left out)";
        case -12: return "the path is too long";
        default: return result < 0 ? "the request failed (" + std::to_string(result) + ")" : "failed (" + std::to_string(result) + ")";
    }
}

// A phone path operand: absolute as given, otherwise below the device root.
std::string PhonePathOf(const Options& o, const std::string& operand) {
    if (!operand.empty() && operand[0] == '/') return operand;
    return o.device + "/" + operand;
}

std::string NameOf(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const size_t slash = trimmed.find_last_of('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

// The phone's time (milliseconds since 1970, as the stand-in and the
// phone's file service give it) as UTC "YYYY-MM-DD HH:MM".
std::string TimeText(uint64_t milliseconds) {
    const std::time_t seconds = static_cast<std::time_t>(milliseconds / 1000);
    const std::tm* utc = std::gmtime(&seconds);
    char text[32] = "unknown time";
    if (utc != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", utc);
    return text;
}

// The storage root, the kind folders below it and the phone's top: what
// rm never removes without --force. Compared without trailing "/" and
// ignoring ASCII case, as the phone's storage compares names.
void RefuseProtected(const Options& o, const std::string& path) {
    const auto fold = [](std::string text) {
        while (text.size() > 1 && text.back() == '/') text.pop_back();
        for (char& c : text)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return text;
    };
    const std::string key = fold(path);
    std::vector<std::string> kept = {"/", fold(o.device.empty() ? "/" : o.device)};
    for (const char* folder : {QS_FOLDER_MUSIC, QS_FOLDER_PICTURES, QS_FOLDER_MOVIES, QS_FOLDER_DOCUMENTS,
                               QS_FOLDER_PLAYLISTS, QS_FOLDER_CAMERA, QS_FOLDER_DOWNLOADS, QS_FOLDER_DOWNLOAD, "/My Documents"})
        kept.push_back(fold(o.device + folder));
    for (const std::string& protectedPath : kept)
        if (key == protectedPath)
            throw UsageError("qsync rm: refusing to remove " + path +
                             " (the storage root or a kind folder); --force removes it");
}

class PhoneCommand {
public:
    PhoneCommand(const Options& o, Reporter& reporter) : mOptions(o), mReporter(reporter) {
        const std::string url = "http://" + o.host + ":" + std::to_string(o.port) + "/";
        mUrl = Utf8ToUtf16(url);
    }

    int Run(JournalSlot& journal) {
        if (mOptions.command == "mv") {
            Move(journal, PhonePathOf(mOptions, mOptions.operands[0]), PhonePathOf(mOptions, mOptions.operands[1]));
            return Finished();
        }
        for (const std::string& operand : mOptions.operands) {
            if (JobControl::Instance().Interrupted()) break;
            const std::string path = PhonePathOf(mOptions, operand);
            std::vector<PhoneEntry> found;
            const int32_t stat = Call([&](const QS_WCHAR* url, const QS_WCHAR* text) {
                return PhoneStat(url, text, &Collect, &found);
            }, path);
            if (stat != QS_PHONE_OK || found.empty()) {
                // Already gone: the journal must not keep saying it is there.
                if (mOptions.command == "rm" && stat == QS_PHONE_ABSENT) journal.RemoveAtOrBelow(path, true);
                Fail(path, stat);
                continue;
            }
            if (mOptions.command == "rm") {
                Remove(journal, path, found.front().folder);
                continue;
            }
            if (mOptions.command == "du") {
                const Usage usage = found.front().folder ? Sizes(found.front().path, 0) : Usage{found.front().size, 1};
                ShowUsage(path, usage);
                continue;
            }
            if (mOptions.command == "stat") {
                StatLines(found.front());
                continue;
            }
            if (!found.front().folder) {
                Show(found.front(), operand);
                continue;
            }
            ListFolder(path, mOptions.operands.size() > 1 || mOptions.recursive);
        }
        return Finished();
    }

private:
    int Finished() {
        Done();
        if (JobControl::Instance().Interrupted()) return kExitInterrupted;
        return mFailed.empty() ? kExitOk : kExitJobFailed;
    }

    // The journal after a call on path: done (or the path was not there),
    // its entries go; any other failure may have come after the phone acted,
    // so they are spoiled.
    static void Record(JournalSlot& journal, const std::string& path, bool folder, int32_t result) {
        if (result == QS_PHONE_OK || result == QS_PHONE_ABSENT)
            journal.RemoveAtOrBelow(path, folder);
        else if (result != QS_PHONE_INVALID && result != QS_PHONE_EXISTS && result != QS_PHONE_NOT_EMPTY)
            journal.Spoil(path, folder);
    }

    void Remove(JournalSlot& journal, const std::string& path, bool folder) {
        const int32_t removed = Call([&](const QS_WCHAR* url, const QS_WCHAR* text) {
            return PhoneDelete(url, text, mOptions.recursive ? QS_PHONE_TREE : 0);
        }, path);
        Record(journal, path, folder, removed);
        if (removed == QS_PHONE_OK) Done("removed", path);
        else if (removed == QS_PHONE_NOT_EMPTY) FailWith(path, removed, "the folder is not empty (rm -r removes it with all below)");
        else Fail(path, removed);
    }

    void Move(JournalSlot& journal, const std::string& from, const std::string& to) {
        std::vector<PhoneEntry> found;
        const int32_t stat = Call([&](const QS_WCHAR* url, const QS_WCHAR* text) {
            return PhoneStat(url, text, &Collect, &found);
        }, from);
        if (stat != QS_PHONE_OK || found.empty()) return Fail(from, stat);
        const std::u16string target = Utf8ToUtf16(to);
        const int32_t moved = Call([&](const QS_WCHAR* url, const QS_WCHAR* text) {
            return PhoneRename(url, text, AsHostText(target));
        }, from);
        // A push of the PC file sends it to its mirrored path again.
        Record(journal, from, found.front().folder, moved);
        if (moved == QS_PHONE_OK) Done("moved", from + " -> " + to);
        else if (moved == QS_PHONE_EXISTS) FailWith(to, moved, "exists already");
        else Fail(from, moved);
    }

    void Done(const std::string& action, const std::string& what) {
        ++mShown;
        if (mJson) Event(Json({{"event", "item"}, {"action", action}, {"phone", what}}));
        else if (!mOptions.quiet) Write(action + " " + what + "\n");
    }

    template <typename Body>
    int32_t Call(const Body& body, const std::string& path) {
        const std::u16string text = Utf8ToUtf16(path);
        return JobControl::Instance().Run([&] { return body(AsHostText(mUrl), AsHostText(text)); });
    }

    void ListFolder(const std::string& folder, bool header) {
        std::vector<PhoneEntry> entries;
        const int32_t listed = Call([&](const QS_WCHAR* url, const QS_WCHAR* text) {
            return PhoneList(url, text, &Collect, &entries);
        }, folder);
        if (listed != QS_PHONE_OK) Fail(folder, listed);  // the entries that came are shown all the same
        if (header && !mJson) Write((mShownHeader ? "\n" : "") + folder + ":\n");
        mShownHeader = true;
        std::vector<std::string> below;
        for (const PhoneEntry& entry : entries) {
            if (entry.hidden && !mOptions.all) continue;
            Show(entry, NameOf(entry.path));
            if (entry.folder) below.push_back(entry.path);
        }
        if (!mOptions.recursive) return;
        for (const std::string& sub : below) {
            if (JobControl::Instance().Interrupted()) return;
            ListFolder(sub, true);
        }
    }

    struct Usage {
        uint64_t bytes = 0;
        uint64_t files = 0;
    };

    // The bytes and files of a phone tree, by listing it; without -s each
    // folder below is shown too, after its own folders (as du does).
    Usage Sizes(const std::string& folder, int depth) {
        Usage usage;
        if (depth > 64) {
            FailWith(folder, -7, "too deep");
            return usage;
        }
        std::vector<PhoneEntry> entries;
        const int32_t listed = Call([&](const QS_WCHAR* url, const QS_WCHAR* text) {
            return PhoneList(url, text, &Collect, &entries);
        }, folder);
        if (listed != QS_PHONE_OK) Fail(folder, listed);
        for (const PhoneEntry& entry : entries) {
            if (JobControl::Instance().Interrupted()) break;
            if (entry.folder) {
                const Usage below = Sizes(entry.path, depth + 1);
                if (!mOptions.summarize) ShowUsage(entry.path, below);
                usage.bytes += below.bytes;
                usage.files += below.files;
            } else {
                usage.bytes += entry.size;
                ++usage.files;
            }
        }
        return usage;
    }

    void ShowUsage(const std::string& path, const Usage& usage) {
        ++mShown;
        if (mJson)
            Event(Json({{"event", "usage"}, {"path", path}, {"bytes", usage.bytes}, {"files", usage.files}}));
        else
            Write(SizeText(usage.bytes) + "\t" + path + "\n");
    }

    void Show(const PhoneEntry& entry, const std::string& name) {
        ++mShown;
        if (mJson) {
            Event(Json({{"event", "entry"}, {"path", entry.path}, {"name", name},
                            {"type", entry.folder ? "folder" : entry.file ? "file" : "other"},
                            {"size", entry.size}, {"modified", entry.modified}, {"hidden", entry.hidden},
                            {"readable", entry.readable}, {"writable", entry.writable}}));
            return;
        }
        if (!mOptions.longList) {
            Write(name + "\n");
            return;
        }
        char line[96];
        std::snprintf(line, sizeof line, "%c%c%c %12s %s ", entry.folder ? 'd' : '-', entry.readable ? 'r' : '-',
                      entry.writable ? 'w' : '-', SizeText(entry.size).c_str(), TimeText(entry.modified).c_str());
        Write(line + name + "\n");
    }

    // Bytes, or with -H in KiB, MiB, ... for people.
    std::string SizeText(uint64_t bytes) const {
        return mOptions.humanReadable ? HumanBytes(bytes) : std::to_string(bytes);
    }

    void StatLines(const PhoneEntry& entry) {
        ++mShown;
        if (mJson) {
            Show(entry, NameOf(entry.path));
            --mShown;
            return;
        }
        Write("  path: " + entry.path + "\n  type: " + (entry.folder ? "folder" : entry.file ? "file" : "other") +
              "\n  size: " + std::to_string(entry.size) + "\n  modified: " + TimeText(entry.modified) + " UTC (" +
              std::to_string(entry.modified) + ")\n  access: " + (entry.readable ? "read" : "") +
              (entry.readable && entry.writable ? ", " : "") + (entry.writable ? "write" : "") +
              (entry.hidden ? "\n  hidden\n" : "\n"));
    }

    void Fail(const std::string& path, int32_t result) { FailWith(path, result, ResultText(result)); }
    void FailWith(const std::string& path, int32_t result, const std::string& reason) {
        if (result == QS_PHONE_STOPPED) return;  // Ctrl-C: the exit code says it
        mFailed.push_back({path, result, reason});
        mReporter.Notice("qsync " + mOptions.command + ": " + path + ": " + reason);
    }

    void Done() {
        if (!mJson) return;
        Json failed = Json::array();
        for (const Failure& f : mFailed) failed.push_back({{"path", f.path}, {"result", f.result}, {"reason", f.reason}});
        const int exit = JobControl::Instance().Interrupted() ? kExitInterrupted : mFailed.empty() ? kExitOk : kExitJobFailed;
        Event(Json({{"event", "done"}, {"result", mFailed.empty() ? 0 : mFailed.front().result},
                        {"exit", exit}, {"entries", mShown}, {"failed", failed}}));
    }

    void Write(const std::string& text) { mReporter.Write(text); }
    void Event(const Json& event) { mReporter.Event(event); }

    const Options& mOptions;
    Reporter& mReporter;
    const bool mJson = mOptions.json;
    std::u16string mUrl;
    size_t mShown = 0;
    bool mShownHeader = false;
    struct Failure {
        std::string path;
        int32_t result;
        std::string reason;
    };
    std::vector<Failure> mFailed;
};

// Why a name from the phone cannot be a PC name below the target folder,
// or "" when it can: it must stay one name (no separator of either style,
// no drive colon), and on Windows not be a device name or end in a dot or
// blank, which Windows would put elsewhere.
std::string PcNameReason(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return "is not a name";
    if (name.find_first_of("/\\:") != std::string::npos || name.find('\0') != std::string::npos)
        return "holds a path separator or ':'";
    if (NativePathStyle() == PathStyle::kWindows) {
        if (name.back() == '.' || name.back() == ' ') return "ends in a dot or blank";
        if (name.find_first_of("<>\"|?*") != std::string::npos) return "holds a character Windows refuses";
        std::string stem = name.substr(0, name.find('.'));
        for (char& c : stem)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        for (const char* device : {"CON", "PRN", "AUX", "NUL"})
            if (stem == device) return "is a Windows device name";
        if (stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) && stem[3] >= '1' &&
            stem[3] <= '9')
            return "is a Windows device name";
    }
    return "";
}

// One file of a get or put: where it comes from and goes to.
struct Copy {
    std::string from, to;
    uint64_t size = 0;
    std::string refused;  // why it cannot be copied, found before any copy
};

void QS_CALL OnBytes(void* context, uint64_t done, uint64_t total);

// get and put: the files first (phone folders listed, PC folders walked),
// then one call per file with byte progress, item lines and a summary.
class Transfers {
public:
    Transfers(const Options& o, Reporter& reporter) : mOptions(o), mReporter(reporter), mGet(o.command == "get") {
        mUrl = Utf8ToUtf16("http://" + o.host + ":" + std::to_string(o.port) + "/");
    }

    int Run() {
        std::vector<std::string> sources(mOptions.operands.begin(), mOptions.operands.end() - 1);
        const std::string target = mGet ? AbsolutePath(mOptions.operands.back()) : PhonePathOf(mOptions, mOptions.operands.back());
        if (mGet) {
            const std::string problem = FolderProblem(target);
            if (!problem.empty()) throw UsageError("get: " + problem);
            std::filesystem::create_directories(std::filesystem::u8path(target));
        }
        for (const std::string& source : sources) {
            if (JobControl::Instance().Interrupted()) break;
            if (mGet) PlanGet(PhonePathOf(mOptions, source), target);
            else PlanPut(AbsolutePath(source), target);
        }
        for (const Copy& copy : mCopies) mTotals.bytesTotal += copy.size;
        mTotals.itemsTotal = mCopies.size();
        mReporter.Begin(ProgressSource::kItems, mTotals);
        for (const Copy& copy : mCopies) {
            if (JobControl::Instance().Interrupted()) break;
            CopyOne(copy);
        }
        Summary summary;
        summary.job = mOptions.command;
        summary.kind = SummaryKind::kItems;
        summary.stored = mTotals.stored;
        summary.bytes = mTotals.bytesDone;
        summary.failed = mFailed.size();
        summary.failedItems = mFailed;
        summary.result = mFailed.empty() ? 0 : mFailed.front().result;
        summary.exitCode = JobControl::Instance().Interrupted() ? kExitInterrupted : mFailed.empty() ? kExitOk : kExitJobFailed;
        if (summary.exitCode == kExitJobFailed) summary.resultText = mFailed.front().reason;
        summary.retries = static_cast<uint64_t>(std::max<int32_t>(GetOption(QS_OPTION_RETRIES_MADE), 0));
        mReporter.End(summary);
        return summary.exitCode;
    }

    void Bytes(uint64_t done) {
        LedgerTotals now = mTotals;
        now.itemsInFlight = 1;
        now.bytesDone += done;
        mReporter.Progress(now);
    }

private:
    void PlanGet(const std::string& phone, const std::string& pcFolder) {
        std::vector<PhoneEntry> found;
        const int32_t stat = Stat(phone, found);
        if (stat != QS_PHONE_OK || found.empty()) return Refuse(phone, "", stat, ResultText(stat));
        const PhoneEntry& entry = found.front();
        const std::string name = NameOf(phone);
        const std::string reason = PcNameReason(name);
        if (!reason.empty()) return Refuse(phone, "", QS_PHONE_INVALID, "\"" + name + "\" " + reason);
        const std::string pc = (std::filesystem::u8path(pcFolder) / std::filesystem::u8path(name)).u8string();
        if (!entry.folder) {
            mCopies.push_back({phone, pc, entry.size, ""});
            return;
        }
        if (!mOptions.recursive) return Refuse(phone, "", QS_PHONE_WRONG_KIND, "is a folder (get -r copies it)");
        GetTree(phone, pc, 0);
    }

    void GetTree(const std::string& phoneFolder, const std::string& pcFolder, int depth) {
        if (depth > 64) return Refuse(phoneFolder, "", -7, "too deep");
        std::vector<PhoneEntry> entries;
        const std::u16string text = Utf8ToUtf16(phoneFolder);
        const int32_t listed =
            JobControl::Instance().Run([&] { return PhoneList(AsHostText(mUrl), AsHostText(text), &Collect, &entries); });
        // The entries that came are copied all the same; the listing's fault
        // is reported.
        if (listed != QS_PHONE_OK) Refuse(phoneFolder, "", listed, ResultText(listed));
        for (const PhoneEntry& entry : entries) {
            const std::string name = NameOf(entry.path);
            const std::string reason = PcNameReason(name);
            if (!reason.empty()) {
                Refuse(entry.path, "", QS_PHONE_INVALID, "\"" + name + "\" " + reason);
                continue;
            }
            const std::string pc = (std::filesystem::u8path(pcFolder) / std::filesystem::u8path(name)).u8string();
            if (entry.folder) GetTree(entry.path, pc, depth + 1);
            else if (entry.file) mCopies.push_back({entry.path, pc, entry.size, ""});
        }
    }

    void PlanPut(const std::string& pc, const std::string& phoneFolder) {
        namespace fs = std::filesystem;
        const fs::path path = fs::u8path(pc);
        const std::string base = phoneFolder + (phoneFolder.size() > 1 && phoneFolder.back() == '/' ? "" : "/");
        if (IsFile(pc)) {
            mCopies.push_back({pc, base + path.filename().u8string(), static_cast<uint64_t>(fs::file_size(path)), ""});
            return;
        }
        if (!IsFolder(pc)) return Refuse("", pc, QS_PHONE_NO_PC_FILE, "no such PC file or folder");
        if (!mOptions.recursive) return Refuse("", pc, QS_PHONE_WRONG_KIND, "is a folder (put -r copies it)");
        std::error_code error;
        for (fs::recursive_directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
            if (!it->is_regular_file()) continue;
            std::string relative = it->path().lexically_relative(path.parent_path()).generic_u8string();
            mCopies.push_back({it->path().u8string(), base + relative, static_cast<uint64_t>(it->file_size()), ""});
        }
        if (error) Refuse("", pc, -8, "the folder could not be read whole: " + error.message());
    }

    int32_t Stat(const std::string& phone, std::vector<PhoneEntry>& found) {
        const std::u16string text = Utf8ToUtf16(phone);
        return JobControl::Instance().Run([&] { return PhoneStat(AsHostText(mUrl), AsHostText(text), &Collect, &found); });
    }

    void CopyOne(const Copy& copy) {
        const std::u16string from = Utf8ToUtf16(copy.from), to = Utf8ToUtf16(copy.to);
        const int32_t flags = mOptions.replace ? QS_PHONE_REPLACE : 0;
        const int32_t result = JobControl::Instance().Run([&] {
            return mGet ? PhoneGetFile(AsHostText(mUrl), AsHostText(from), AsHostText(to), flags, &OnBytes, this)
                        : PhonePutFile(AsHostText(mUrl), AsHostText(from), AsHostText(to), flags, &OnBytes, this);
        });
        const std::string pc = mGet ? copy.to : copy.from, phone = mGet ? copy.from : copy.to;
        if (result == QS_PHONE_OK) {
            ++mTotals.itemsDone;
            ++mTotals.stored;
            mTotals.bytesDone += copy.size;
            ItemEvent event(mGet ? "fetched" : "stored", pc, phone);
            event.hasBytes = true;
            event.bytes = copy.size;
            mReporter.Item(event, &mTotals);
            return;
        }
        if (result == QS_PHONE_STOPPED) return;
        const std::string reason = result == QS_PHONE_EXISTS ? "exists (--replace replaces it)" : ResultText(result);
        ++mTotals.itemsFailed;
        mReporter.Progress(mTotals);
        mFailed.push_back({pc, phone, result, reason});  // listed with the summary
    }

    void Refuse(const std::string& phone, const std::string& pc, int32_t result, const std::string& reason) {
        if (result == QS_PHONE_STOPPED) return;
        mFailed.push_back({pc, phone, result, reason});
    }

    const Options& mOptions;
    Reporter& mReporter;
    const bool mGet;
    std::u16string mUrl;
    std::vector<Copy> mCopies;
    std::vector<FailedItem> mFailed;
    LedgerTotals mTotals;
};

void QS_CALL OnBytes(void* context, uint64_t done, uint64_t) {
    try {  // called by the library: nothing may unwind into it
        static_cast<Transfers*>(context)->Bytes(done);
    } catch (...) {
    }
}

}  // namespace

bool IsPhoneCommand(const std::string& command) {
    return command == "ls" || command == "stat" || command == "rm" || command == "mv" || command == "get" ||
           command == "put" || command == "du";
}

int RunPhoneCommand(const Options& options, Reporter& reporter, JournalSlot& journal,
                    const std::function<void()>& requireReachable) {
    if (options.command == "rm" && !options.force)
        for (const std::string& operand : options.operands) RefuseProtected(options, PhonePathOf(options, operand));
    requireReachable();
    if (JobControl::Instance().Interrupted()) throw InterruptedError("interrupted before the job started");
    if (options.command == "get" || options.command == "put") {
        Transfers transfers(options, reporter);
        return transfers.Run();
    }
    PhoneCommand command(options, reporter);
    return command.Run(journal);
}

}  // namespace qsync
