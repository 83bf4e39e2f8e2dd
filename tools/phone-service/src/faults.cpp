#include "faults.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace phone_service {

const char* const kFaultHelp =
    "  --fault FAULT       misbehave on purpose; may be given several times.\n"
    "                      FAULT is ACTION[:key=value,...] with ACTION one of\n"
    "                        status0   answer status 0 and do nothing\n"
    "                        close     read the request, close without answering\n"
    "                        drop      do the work (write the chunk, delete the file,\n"
    "                                  insert the row), then close without answering\n"
    "                        delay     do the work, answer after ms=N milliseconds\n"
    "                        hold      do the work, hold the answer until the fault is\n"
    "                                  released by a control request (see below)\n"
    "                        truncate  answer only the first bytes=N bytes of the body\n"
    "                                  (default 10; Content-Length matches what is sent)\n"
    "                        marker    answer with a wrong first marker letter\n"
    "                        record0   /tablesync: answer record=K (1-based, default 1)\n"
    "                                  with code 0 and do not apply it\n"
    "                      and keys\n"
    "                        cmd=N     only /filesync command N; cmd=table: only /tablesync\n"
    "                                  (default: every request; record0 implies cmd=table)\n"
    "                        path=P    only /filesync requests naming a path that begins\n"
    "                                  with P (P must not contain a comma)\n"
    "                        nth=K     only the K-th matching request (default: every one)\n"
    "                        rate=P    each matching request with probability P per thousand\n"
    "                        seed=S    the seed of those draws (default 1)\n"
    "                      e.g. --fault status0:cmd=12,nth=3  --fault delay:ms=500,cmd=11\n"
    "                           --fault drop:cmd=table,nth=2  --fault drop:rate=10,seed=7\n"
    "                      Faults are numbered 1, 2, ... in the order they are armed.\n"
    "\n"
    "Control requests, while the service runs: GET /control with one command as\n"
    "the body; the answer is one line of text. HTTP 400 (a malformed command) and\n"
    "404 (no such fault) answer the reason, 408 a wait that ran out.\n"
    "  arm FAULT           arms FAULT as --fault does; answers its number\n"
    "  wait N COUNT [MS]   waits until fault N has held COUNT requests in all (at\n"
    "                      most MS milliseconds, default 20000; 408 when they pass)\n"
    "  release N           lets the requests fault N holds answer; it holds no more\n"
    "  disarm N            releases fault N and removes it\n"
    "  Each answers \"held H\", H the requests the fault has held so far (arm: N).\n"
    "  e.g. curl -s -X GET --data 'arm hold:cmd=12,nth=2' http://127.0.0.1:8182/control\n";

namespace {

bool ParseInt(const std::string& s, int lo, int hi, int& out) {
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos) return false;
    const int v = std::atoi(s.c_str());
    if (v < lo || v > hi) return false;
    out = v;
    return true;
}

}  // namespace

int FaultSet::Add(const std::string& text, std::string& error) {
    auto f = std::make_shared<Fault>();
    const std::size_t colon = text.find(':');
    const std::string action = text.substr(0, colon);
    if (action == "status0") f->action = FaultAction::kStatus0;
    else if (action == "close") f->action = FaultAction::kClose;
    else if (action == "drop") f->action = FaultAction::kDrop;
    else if (action == "delay") f->action = FaultAction::kDelay;
    else if (action == "truncate") f->action = FaultAction::kTruncate;
    else if (action == "marker") f->action = FaultAction::kMarker;
    else if (action == "hold") f->action = FaultAction::kHold;
    else if (action == "record0") { f->action = FaultAction::kRecord0; f->target = kTableRequest; }
    else { error = "unknown fault action '" + action + "'"; return 0; }

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
        } else if (key == "path") {
            f->path = value;
            ok = !value.empty();
        } else if (key == "nth") ok = ParseInt(value, 1, 1000000000, f->nth);
        else if (key == "ms") ok = ParseInt(value, 0, 600000, f->ms);
        else if (key == "bytes") ok = ParseInt(value, 0, 1000000000, f->bytes);
        else if (key == "record") ok = ParseInt(value, 1, 1000000000, f->record);
        else if (key == "rate") ok = ParseInt(value, 1, 1000, f->rate);
        else if (key == "seed") ok = ParseInt(value, 0, 1000000000, f->seed);
        if (!ok) { error = "bad fault option '" + kv + "' in '" + text + "'"; return 0; }
    }
    if (f->action == FaultAction::kRecord0 && f->target != kTableRequest) {
        error = "record0 applies to /tablesync only";
        return 0;
    }
    if (f->action == FaultAction::kStatus0 && f->target == kTableRequest) {
        error = "status0 applies to /filesync only; use record0 for /tablesync";
        return 0;
    }
    if (!f->path.empty() && f->target == kTableRequest) {
        error = "path= applies to /filesync only";
        return 0;
    }
    f->draws.seed(static_cast<std::mt19937::result_type>(f->seed));
    std::lock_guard<std::mutex> guard(lock_);
    f->id = next_id_++;
    faults_.push_back(f);
    return f->id;
}

std::vector<std::shared_ptr<Fault>> FaultSet::Match(int command, const std::vector<std::string>& paths) {
    std::vector<std::shared_ptr<Fault>> armed;
    {
        std::lock_guard<std::mutex> guard(lock_);
        armed = faults_;
    }
    std::vector<std::shared_ptr<Fault>> fired;
    for (auto& f : armed) {
        if (f->target != kAnyRequest && f->target != command) continue;
        // Table faults need a table request, and status0 a file request.
        if (f->action == FaultAction::kRecord0 && command != kTableRequest) continue;
        if (f->action == FaultAction::kStatus0 && command == kTableRequest) continue;
        if (!f->path.empty()) {
            bool named = false;
            for (const std::string& p : paths) named = named || p.compare(0, f->path.size(), f->path) == 0;
            if (!named) continue;
        }
        const int k = f->seen.fetch_add(1) + 1;
        if (f->rate > 0) {
            std::lock_guard<std::mutex> guard(f->drawLock);
            if (static_cast<int>(f->draws() % 1000) < f->rate) fired.push_back(f);
        } else if (f->nth == 0 || f->nth == k) {
            fired.push_back(f);
        }
    }
    return fired;
}

bool FaultSet::Hold(Fault& fault) {
    std::unique_lock<std::mutex> guard(lock_);
    if (!fault.released && !stopping_) {
        ++fault.held;
        changed_.notify_all();
        changed_.wait(guard, [&] { return fault.released || stopping_; });
    }
    return !stopping_;
}

void FaultSet::Stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
}

bool FaultSet::empty() const {
    std::lock_guard<std::mutex> guard(lock_);
    return faults_.empty();
}

std::shared_ptr<Fault> FaultSet::Find(int id) const {
    for (const auto& f : faults_)
        if (f->id == id) return f;
    return nullptr;
}

int FaultSet::Control(const std::string& command, std::string& answer) {
    std::string text = command;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    std::vector<std::string> words;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find(' ', at), text.size());
        if (end > at) words.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    const std::string verb = words.empty() ? std::string() : words[0];
    if (verb == "arm" && words.size() >= 2) {
        // The fault is the rest of the line: a path= may hold blanks.
        std::string error;
        const int id = Add(text.substr(text.find(words[1], 3)), error);
        answer = id != 0 ? std::to_string(id) + "\n" : error + "\n";
        return id != 0 ? 200 : 400;
    }
    int id = 0, count = 0, ms = 20000;
    const bool wait = verb == "wait" && (words.size() == 3 || words.size() == 4) &&
                      ParseInt(words[2], 1, 1000000, count) && (words.size() == 3 || ParseInt(words[3], 1, 600000, ms));
    const bool other = (verb == "release" || verb == "disarm") && words.size() == 2;
    if ((!wait && !other) || !ParseInt(words[1], 1, 1000000000, id)) {
        answer = "unknown or malformed control command '" + text + "'\n";
        return 400;
    }
    std::unique_lock<std::mutex> guard(lock_);
    const std::shared_ptr<Fault> fault = Find(id);
    if (!fault) {
        answer = "no fault " + std::to_string(id) + "\n";
        return 404;
    }
    int status = 200;
    if (wait) {
        const bool reached = changed_.wait_for(guard, std::chrono::milliseconds(ms),
                                               [&] { return fault->held >= count || stopping_; });
        if (!reached || fault->held < count) status = 408;
    } else {
        fault->released = true;
        if (verb == "disarm") faults_.erase(std::find(faults_.begin(), faults_.end(), fault));
        changed_.notify_all();
    }
    answer = "held " + std::to_string(fault->held) + "\n";
    return status;
}

}  // namespace phone_service
