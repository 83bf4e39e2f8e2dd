#include "ui/settings.h"

#include <stdexcept>

#include "cli.h"
#include "journal_file.h"
#include "paths.h"

namespace qsync {
namespace ui {
namespace {

const char* const kKinds[] = {"music", "photos", "videos", "documents", "playlists"};
const char* const kFetchKinds[] = {"camera", "downloads"};

void CheckKeys(const Json& change, const Json& defaults, const std::string& what) {
    if (!change.is_object()) throw std::invalid_argument(what + " must be an object");
    for (auto it = change.begin(); it != change.end(); ++it)
        if (!defaults.contains(it.key())) throw std::invalid_argument("unknown setting " + what + "." + it.key());
}

}  // namespace

Json DefaultSettings() {
    Json settings = {{"phone", "127.0.0.1:8182"}, {"device", "/sdcard"}};
    Json folders = Json::object(), mirror = Json::object(), maxDelete = Json::object(), fetchTo = Json::object();
    for (const char* kind : kKinds) {
        folders[kind] = Json::array();
        mirror[kind] = false;
        maxDelete[kind] = 50;
    }
    for (const char* kind : kFetchKinds) fetchTo[kind] = "";
    settings["folders"] = folders;
    settings["mirror"] = mirror;
    settings["maxDelete"] = maxDelete;
    settings["fetchTo"] = fetchTo;
    return settings;
}

Json MergeSettings(const Json& base, const Json& change) {
    const Json defaults = DefaultSettings();
    CheckKeys(change, defaults, "settings");
    Json merged = base;
    if (change.contains("phone")) {
        const Json& phone = change["phone"];
        std::string host;
        int port = 0;
        if (!phone.is_string() || !ParsePhoneAddress(phone.get<std::string>(), host, port))
            throw std::invalid_argument("the phone address must be HOST[:PORT] with HOST a dotted IPv4 address");
        merged["phone"] = host + ":" + std::to_string(port);
    }
    if (change.contains("device")) {
        const Json& device = change["device"];
        if (!device.is_string()) throw std::invalid_argument("device must be a text");
        // Checked as --device is: the command line's own rules.
        const std::string text = device.get<std::string>();
        Options checked = ParseCommandLine({"--device", text, "ls", "/"}, nullptr);
        merged["device"] = checked.device.empty() ? "/" : checked.device;
    }
    for (const char* group : {"folders", "mirror", "maxDelete", "fetchTo"}) {
        if (!change.contains(group)) continue;
        CheckKeys(change[group], defaults[group], group);
        for (auto it = change[group].begin(); it != change[group].end(); ++it) {
            const Json& value = it.value();
            const std::string name = std::string(group) + "." + it.key();
            if (std::string(group) == "folders") {
                if (!value.is_array()) throw std::invalid_argument(name + " must be a list of folders");
                Json list = Json::array();
                for (const Json& folder : value) {
                    if (!folder.is_string() || folder.get<std::string>().empty())
                        throw std::invalid_argument(name + " must be a list of folders");
                    list.push_back(AbsolutePath(folder.get<std::string>()));
                }
                merged[group][it.key()] = list;
            } else if (std::string(group) == "mirror") {
                if (!value.is_boolean()) throw std::invalid_argument(name + " must be true or false");
                merged[group][it.key()] = value;
            } else if (std::string(group) == "maxDelete") {
                if (!value.is_number_integer() || value.get<long long>() < 0 || value.get<long long>() > 999999999)
                    throw std::invalid_argument(name + " must be a number from 0 to 999999999");
                merged[group][it.key()] = value;
            } else {
                if (!value.is_string()) throw std::invalid_argument(name + " must be a folder");
                merged[group][it.key()] = value.get<std::string>().empty() ? "" : AbsolutePath(value.get<std::string>());
            }
        }
    }
    return merged;
}

SettingsStore::SettingsStore(std::string folder) : mFolder(std::move(folder)) {}

Json SettingsStore::Load(const std::string& name) const {
    if (mFolder.empty()) return Json();
    JournalFile file;
    std::string error;
    if (!file.Open(mFolder + (NativePathStyle() == PathStyle::kWindows ? "\\" : "/") + name,
                   JournalFile::Mode::kReadExisting, error))
        return Json();
    std::string text;
    char buffer[65536];
    size_t got = 0;
    while (file.Read(buffer, sizeof buffer, got, error) && got > 0) {
        text.append(buffer, got);
        if (text.size() > (16u << 20)) return Json();  // not a file of ours
    }
    return Json::parse(text, nullptr, false);
}

Json SettingsStore::LoadSettings() const {
    const Json stored = Load("ui-settings.json");
    if (!stored.is_object()) return DefaultSettings();
    // A file from another version, or edited by hand: what is valid of it.
    Json settings = DefaultSettings();
    for (auto it = stored.begin(); it != stored.end(); ++it) {
        try {
            settings = MergeSettings(settings, Json{{it.key(), it.value()}});
        } catch (const std::exception&) {
        }
    }
    return settings;
}

Json SettingsStore::LoadHistory() const {
    const Json stored = Load("ui-history.json");
    if (!stored.is_array()) return Json::array();
    Json history = Json::array();
    for (const Json& job : stored)
        if (job.is_object() && job.contains("id") && job["id"].is_number_integer()) history.push_back(job);
    return history;
}

bool SettingsStore::Save(const std::string& name, const Json& value, std::string& error) const {
    if (mFolder.empty()) {
        error = "no folder for the settings (the environment names none)";
        return false;
    }
    const std::string path = mFolder + (NativePathStyle() == PathStyle::kWindows ? "\\" : "/") + name;
    return journal_os::MakeParentFolders(path, error) && journal_os::ReplaceFile(path, JsonLine(value), error);
}

bool SettingsStore::SaveSettings(const Json& settings, std::string& error) const {
    return Save("ui-settings.json", settings, error);
}

bool SettingsStore::SaveHistory(const Json& history, std::string& error) const {
    return Save("ui-history.json", history, error);
}

}  // namespace ui
}  // namespace qsync
