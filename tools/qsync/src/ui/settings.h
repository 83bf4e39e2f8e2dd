// What the page remembers between runs: the phone, the folders per kind and
// the recent jobs. Two small JSON files in the journal's folder, each
// replaced as a whole (a temporary file renamed over it), so a crash leaves
// the old file or the new one, never half of one.
#pragma once

#include <string>

#include "report.h"

namespace qsync {
namespace ui {

// The settings object with every key at its default.
Json DefaultSettings();

// `base` with the keys of `change` put in, each checked: a wrong type, an
// unknown kind or a phone address that --phone refuses throws
// std::invalid_argument with the reason. Unknown top-level keys are refused
// too, so a typing error in the page does not pass silently.
Json MergeSettings(const Json& base, const Json& change);

class SettingsStore {
public:
    // `folder`: where the files live (empty: nowhere; nothing is kept).
    explicit SettingsStore(std::string folder);

    Json LoadSettings() const;  // the defaults when there is no file or it is unreadable
    Json LoadHistory() const;   // an array; empty when there is none
    // False with `error` set when the file could not be written.
    bool SaveSettings(const Json& settings, std::string& error) const;
    bool SaveHistory(const Json& history, std::string& error) const;

private:
    bool Save(const std::string& name, const Json& value, std::string& error) const;
    Json Load(const std::string& name) const;

    std::string mFolder;
};

}  // namespace ui
}  // namespace qsync
