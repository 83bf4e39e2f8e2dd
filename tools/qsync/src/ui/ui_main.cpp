#include "ui/ui_main.h"

#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>

#include "console.h"
#include "errors.h"
#include "job_control.h"
#include "journal.h"
#include "paths.h"
#include "quellsync_http.h"
#include "ui/http_server.h"
#include "ui/ui_app.h"
#include "ui/ui_os.h"

namespace qsync {
namespace ui {
namespace {

constexpr int kDefaultPort = 8190;

const char kHelp[] =
    "usage: qsync ui [--listen 127.0.0.1:PORT] [--no-open]\n"
    "\n"
    "Serves qsync's page on this computer and opens it in the browser. The\n"
    "address it prints carries a one-time token: only the browser that opens it\n"
    "first gets in. Ctrl-C, or Quit on the page, stops any job and ends it.\n"
    "\n"
    "  --listen ADDRESS:PORT  127.0.0.1 or [::1] only (default 127.0.0.1:8190,\n"
    "                         or the next free port); port 0 picks a free one\n"
    "  --no-open              print the address without opening a browser\n";

struct ListenAddress {
    std::string address = "127.0.0.1";
    int port = kDefaultPort;
    bool given = false;
};

// 127.0.0.1:PORT or [::1]:PORT: a page server on any other address could be
// reached from the network.
bool ParseListen(const std::string& text, ListenAddress& listen) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    const std::string host = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    if (host == "127.0.0.1") listen.address = "127.0.0.1";
    else if (host == "[::1]") listen.address = "::1";
    else return false;
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
    const int value = std::stoi(port);
    if (value > 65535) return false;
    listen.port = value;
    listen.given = true;
    return true;
}

}  // namespace

int RunUi(const std::vector<std::string>& arguments, const std::string& version) {
    ListenAddress listen;
    bool open = true;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "-h" || argument == "--help") {
            std::fputs(kHelp, stdout);
            return kExitOk;
        }
        if (argument == "--no-open") {
            open = false;
        } else if (argument == "--listen" || argument.compare(0, 9, "--listen=") == 0) {
            const std::string value =
                argument == "--listen" ? (i + 1 < arguments.size() ? arguments[++i] : "") : argument.substr(9);
            if (!ParseListen(value, listen)) {
                std::fprintf(stderr, "qsync: --listen must be 127.0.0.1:PORT or [::1]:PORT, not '%s'\n", value.c_str());
                return kExitUsage;
            }
        } else {
            std::fprintf(stderr, "qsync ui: unexpected argument '%s' (see qsync ui --help)\n", argument.c_str());
            return kExitUsage;
        }
    }

    // The library writes records to standard output; the address line goes
    // to the real one.
    std::FILE* out = TakeOverStandardOutput(false);

    std::mutex lock;
    std::condition_variable changed;
    bool quit = false;
    bool interrupted = false;
    const auto requestQuit = [&](bool byInterrupt) {
        std::lock_guard<std::mutex> guard(lock);
        quit = true;
        interrupted = interrupted || byInterrupt;
        changed.notify_all();
    };

    UiConfig config;
    config.settingsFolder = JournalFolder(NativePathStyle(), ReadJournalEnvironment());
    config.version = version;
    config.temporaryFolder = TemporaryFolder();
    config.home = HomeFolder();
    UiApp app(config, [&] { requestQuit(false); });

    std::unique_ptr<HttpServer> server;
    try {
        server = std::make_unique<HttpServer>(app, listen.address, listen.port, !listen.given);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qsync: %s\n", e.what());
        return kExitJobFailed;
    }
    app.SetPort(server->port());
    JobControl::Instance().SetInterruptHandler([&] { requestQuit(true); });
    struct ForgetHandler {
        ~ForgetHandler() { JobControl::Instance().SetInterruptHandler(nullptr); }
    } forgetHandler;

    const std::string host = listen.address == "::1" ? "[::1]" : listen.address;
    const std::string url = "http://" + host + ":" + std::to_string(server->port()) + "/?token=" + app.token();
    std::fprintf(out, "qsync ui: %s\n", url.c_str());
    std::fflush(out);
    if (open && !OpenBrowser(url))
        std::fputs("qsync: no browser could be opened; open the address above in one\n", stderr);

    std::thread serving([&server] { server->Run(); });
    {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] { return quit; });
    }
    // The job first (it is stopped and joined), then the page's own phone
    // calls (a Stop ends them, and they are not made again while quitting),
    // then the server and its connections.
    app.Shutdown();
    Stop(nullptr, nullptr);
    server->Stop();
    serving.join();
    std::lock_guard<std::mutex> guard(lock);
    return interrupted ? kExitInterrupted : kExitOk;
}

}  // namespace ui
}  // namespace qsync
