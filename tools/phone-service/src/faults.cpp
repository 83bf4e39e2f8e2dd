#include "faults.h"

#include <cstdlib>

namespace phone_service {

const char* const kFaultHelp =
    "  --fault FAULT       misbehave on purpose; may be given several times.\n"
    "                      FAULT is ACTION[:key=value,...] with ACTION one of\n"
    "                        status0   answer status 0 and do nothing\n"
    "                        close     read the request, close without answering\n"
    "                        delay     do the work, answer after ms=N milliseconds\n"
    "                        truncate  answer only the first bytes=N bytes of the body\n"
    "                                  (default 10; Content-Length matches what is sent)\n"
    "                        marker    answer with a wrong first marker letter\n"
    "                        record0   /tablesync: answer record=K (1-based, default 1)\n"
    "                                  with code 0 and do not apply it\n"
    "                      and keys\n"
    "                        cmd=N     only /filesync command N; cmd=table: only /tablesync\n"
    "                                  (default: every request; record0 implies cmd=table)\n"
    "                        nth=K     only the K-th matching request (default: every one)\n"
    "                        rate=P    each matching request with probability P per thousand\n"
    "                        seed=S    the seed of those draws (default 1)\n"
    "                      e.g. --fault status0:cmd=12,nth=3  --fault delay:ms=500,cmd=11\n";

namespace {

bool ParseInt(const std::string& s, int lo, int hi, int& out) {
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos) return false;
    const int v = std::atoi(s.c_str());
    if (v < lo || v > hi) return false;
    out = v;
    return true;
}

}  // namespace

bool FaultSet::Add(const std::string& text, std::string& error) {
    auto f = std::make_unique<Fault>();
    const std::size_t colon = text.find(':');
    const std::string action = text.substr(0, colon);
    if (action == "status0") f->action = FaultAction::kStatus0;
    else if (action == "close") f->action = FaultAction::kClose;
    else if (action == "delay") f->action = FaultAction::kDelay;
    else if (action == "truncate") f->action = FaultAction::kTruncate;
    else if (action == "marker") f->action = FaultAction::kMarker;
    else if (action == "record0") { f->action = FaultAction::kRecord0; f->target = kTableRequest; }
    else { error = "unknown fault action '" + action + "'"; return false; }

    std::string rest = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string kv = rest.substr(0, comma);
        rest = comma == std::string::npos ? std::string() : rest.substr(comma + 1);
        const std::size_t eq = kv.find('=');
        const std::string key = kv.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : kv.substr(eq + 1);
        bool ok = false;
        if (key == "cmd") {
            if (value == "table") { f->target = kTableRequest; ok = true; }
            else ok = ParseInt(value, 0, 1000000, f->target);
        } else if (key == "nth") ok = ParseInt(value, 1, 1000000000, f->nth);
        else if (key == "ms") ok = ParseInt(value, 0, 600000, f->ms);
        else if (key == "bytes") ok = ParseInt(value, 0, 1000000000, f->bytes);
        else if (key == "record") ok = ParseInt(value, 1, 1000000000, f->record);
        else if (key == "rate") ok = ParseInt(value, 1, 1000, f->rate);
        else if (key == "seed") ok = ParseInt(value, 0, 1000000000, f->seed);
        if (!ok) { error = "bad fault option '" + kv + "' in '" + text + "'"; return false; }
    }
    if (f->action == FaultAction::kRecord0 && f->target != kTableRequest) {
        error = "record0 applies to /tablesync only";
        return false;
    }
    if (f->action == FaultAction::kStatus0 && f->target == kTableRequest) {
        error = "status0 applies to /filesync only; use record0 for /tablesync";
        return false;
    }
    f->draws.seed(static_cast<std::mt19937::result_type>(f->seed));
    faults_.push_back(std::move(f));
    return true;
}

std::vector<const Fault*> FaultSet::Match(int command) {
    std::vector<const Fault*> fired;
    for (auto& f : faults_) {
        if (f->target != kAnyRequest && f->target != command) continue;
        // Table faults need a table request, and status0 a file request.
        if (f->action == FaultAction::kRecord0 && command != kTableRequest) continue;
        if (f->action == FaultAction::kStatus0 && command == kTableRequest) continue;
        const int k = f->seen.fetch_add(1) + 1;
        if (f->rate > 0) {
            std::lock_guard<std::mutex> guard(f->drawLock);
            if (static_cast<int>(f->draws() % 1000) < f->rate) fired.push_back(f.get());
        } else if (f->nth == 0 || f->nth == k) {
            fired.push_back(f.get());
        }
    }
    return fired;
}

}  // namespace phone_service
