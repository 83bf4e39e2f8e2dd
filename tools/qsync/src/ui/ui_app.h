// The page server's answers: its security rules, the static page and the
// API (sessions, settings, jobs, PC folders, phone files).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "report.h"
#include "ui/http_server.h"
#include "ui/job_queue.h"
#include "ui/settings.h"

namespace qsync {
namespace ui {

struct UiConfig {
    std::string settingsFolder;  // beside the journal; empty: nothing is kept
    std::string version;         // "qsync 1.2.3"
    std::string temporaryFolder;
    std::string home;
};

// Splits "/a/b?x=1&y=%2F" into its decoded path and parameters; false when
// an escape is malformed or a part is not UTF-8.
bool SplitTarget(const std::string& target, std::string& path, std::map<std::string, std::string>& query);

// The value of cookie `name` in a Cookie header, or "".
std::string CookieValue(const std::string& header, const std::string& name);

class UiApp : public HttpHandler {
public:
    // `quit` is called (once, after its answer went out) when the page asks
    // the server to end.
    UiApp(UiConfig config, std::function<void()> quit);
    ~UiApp() override;

    // The port the server listens on: the Host header must name it.
    void SetPort(int port);
    // The one-time token of the address printed at start.
    const std::string& token() const { return mToken; }

    std::optional<HttpResponse> Screen(HttpRequest& header) override;
    HttpResponse Handle(HttpRequest request) override;

    // Ends the job queue: the running job is stopped and joined.
    void Shutdown();

private:
    struct Route;

    HttpResponse Api(const std::string& method, const std::string& path,
                     const std::map<std::string, std::string>& query, HttpRequest& request);
    HttpResponse StaticFile(const std::string& path) const;
    HttpResponse PostJob(const Json& body);
    HttpResponse JobAction(const std::string& method, const std::string& rest, const Json& body,
                           const std::map<std::string, std::string>& query);
    HttpResponse PutSettings(const Json& body);
    HttpResponse Connect(const Json& body);
    HttpResponse PcList(const std::string& path) const;
    HttpResponse PcSongs(const std::string& folder) const;
    HttpResponse PhoneList(const std::string& path);
    HttpResponse PhoneStat(const std::string& path);
    HttpResponse PhoneDownload(const std::string& path);
    HttpResponse PhoneUpload(const std::map<std::string, std::string>& query, const std::string& file);
    HttpResponse PhoneChange(const std::string& command, const Json& body);
    HttpResponse Playlists();

    // A phone file call beside the jobs: a job's Stop ends every phone file
    // call running at that moment (the library's Stop has no narrower
    // reach), so a call it ended is made again once that stop is over.
    int32_t BesideJobs(const std::function<int32_t()>& call);
    std::u16string PhoneUrl();
    std::string TemporaryFile(const std::string& suffix);

    UiConfig mConfig;
    std::function<void()> mQuit;
    SettingsStore mStore;
    std::string mToken;
    std::string mSession;  // empty until the token was used
    std::string mCsrf;
    std::atomic<int> mPort{0};
    std::atomic<bool> mQuitting{false};
    std::mutex mLock;  // the session, the settings and the temporary files
    bool mTokenUsed = false;
    Json mSettings;
    std::set<std::string> mTemporaryFiles;
    std::unique_ptr<JobQueue> mJobs;
};

}  // namespace ui
}  // namespace qsync
