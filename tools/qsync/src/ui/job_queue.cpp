#include "ui/job_queue.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <utility>

#include "command_failure.h"
#include "command_journal.h"
#include "job_control.h"
#include "jobs.h"
#include "quellsync_http.h"
#include "text.h"

namespace qsync {
namespace ui {
namespace {

// Finished jobs of this run whose item lists stay in memory for /items.
constexpr size_t kFinishedWithItems = 5;

double Now() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() / 1000.0;
}

// Stop in a server that runs job after job. The library has one stop flag;
// every sync export lowers it when it starts, but Backup and Restore leave
// it as it is and end at once with 21 while it is raised. A stopped job
// leaves it raised, so before each job the flag is lowered by a sync export
// that has nothing to do: SyncPlaylist without a playlist list sets up the
// context (which lowers the flag) and returns 1 without a request. The
// stop of one job therefore never reaches the next. (The job's own stop is
// JobControl's, reset by BeginJob.)
void LowerLibraryStopFlag(const Options& options) {
    const std::u16string url = Utf8ToUtf16("http://" + options.host + ":" + std::to_string(options.port) + "/");
    const std::u16string role = Utf8ToUtf16("device=" + options.device);
    ConnectParams connect{};
    connect.url = AsHostText(url);
    connect.role = AsHostText(role);
    JobParams job{};
    SyncPlaylist(&connect, &job);
}

std::string Title(const Json& request) {
    std::string title = request.value("command", "");
    const std::string kind = request.value("kind", "");
    if (!kind.empty()) title += " " + kind;
    return title;
}

}  // namespace

std::string EventMessage(const std::string& name, const Json& data) {
    std::string line = JsonLine(data);  // one line: no newline inside a JSON line
    line.pop_back();
    return "event: " + name + "\ndata: " + line + "\n\n";
}

struct JobQueue::Job {
    int id = 0;
    Json request;
    Options options;
    std::string title;
    std::string state = "queued";
    Json started = nullptr;
    Json ended = nullptr;
    Json progress = nullptr;
    Json percent = nullptr;
    Json summary = nullptr;
    size_t items = 0;
    size_t failed = 0;
    bool stopped = false;
    std::vector<Json> kept;  // the first kMaxKeptItems item events

    Json ToJson() const {
        return {{"id", id},          {"title", title},
                {"request", request}, {"state", state},
                {"started", started}, {"ended", ended},
                {"progress", progress}, {"percent", percent},
                {"counts", {{"items", items}, {"failed", failed}}},
                {"summary", summary}};
    }
};

JobQueue::JobQueue(const SettingsStore& store) : mStore(store) {
    mHistory = mStore.LoadHistory();
    if (mHistory.size() > kHistoryLength) mHistory.erase(mHistory.begin() + kHistoryLength, mHistory.end());
    for (const Json& job : mHistory) mNextId = std::max(mNextId, job["id"].get<int>() + 1);
    mRunner = std::thread([this] { RunJobs(); });
}

JobQueue::~JobQueue() { Shutdown(); }

void JobQueue::Shutdown() {
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (!mShutdown) {
            mShutdown = true;
            for (const auto& job : mQueue) FinishLocked(*job, "cancelled");
            mQueue.clear();
            if (mRunning) {
                mRunning->stopped = true;
                JobControl::Instance().StopJob();
            }
            mChanged.notify_all();
        }
    }
    if (mRunner.joinable()) mRunner.join();
    std::lock_guard<std::mutex> lock(mLock);
    mStreams.clear();
}

int JobQueue::Add(const Json& request, const Options& options) {
    auto job = std::make_shared<Job>();
    job->request = request;
    job->options = options;
    job->title = Title(request);
    std::lock_guard<std::mutex> lock(mLock);
    job->id = mNextId++;
    if (mShutdown) {
        FinishLocked(*job, "cancelled");
        return job->id;
    }
    mQueue.push_back(job);
    BroadcastLocked("job", job->ToJson());
    mChanged.notify_all();
    return job->id;
}

void JobQueue::RunJobs() {
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::unique_lock<std::mutex> lock(mLock);
            mChanged.wait(lock, [this] { return mShutdown || !mQueue.empty(); });
            if (mShutdown) return;
            job = mQueue.front();
            mQueue.pop_front();
            job->state = "running";
            job->started = Now();
            mRunning = job;
            // Under the lock: a Stop of this job can only come after it.
            JobControl::Instance().BeginJob();
            BroadcastLocked("job", job->ToJson());
        }
        LowerLibraryStopFlag(job->options);
        Execute(*job);
        Json history;
        {
            std::lock_guard<std::mutex> lock(mLock);
            const int exit = job->summary.is_object() ? job->summary.value("exit", 1) : 1;
            FinishLocked(*job, job->stopped ? "stopped" : exit == 0 ? "done" : "failed");
            mRunning.reset();
            mFinished[job->id] = job;
            while (mFinished.size() > kFinishedWithItems) mFinished.erase(mFinished.begin());
            history = mHistory;
        }
        std::string error;
        mStore.SaveHistory(history, error);  // a history that cannot be kept is no reason to stop
    }
}

void JobQueue::Execute(Job& job) {
    const int id = job.id;
    std::atomic<bool> done{false};
    try {
        Reporter reporter([this, id, &done](const Json& event) {
            if (event.value("event", "") == "done") done = true;
            OnEvent(id, event);
        });
        JournalSlot journal = OpenCommandJournal(job.options);
        const int code = RunCommand(job.options, reporter, journal);
        journal.Finish();
        if (!done) OnEvent(id, {{"event", "done"}, {"job", job.title}, {"result", nullptr}, {"exit", code}});
    } catch (...) {
        OnEvent(id, FailureEvent(DescribeFailure(std::current_exception())));
    }
}

namespace {

// The command line words a stop as the Ctrl-C that made it; a job the page
// stopped says so instead.
Json PageStopWords(Json event) {
    static const char kCtrlC[] = "stopped by Ctrl-C";
    if (event.value("reason", "") == kCtrlC) event["reason"] = "stopped from the page";
    if (event.contains("failed_items") && event["failed_items"].is_array())
        for (Json& item : event["failed_items"])
            if (item.is_object() && item.value("reason", "") == kCtrlC) item["reason"] = "stopped from the page";
    return event;
}

}  // namespace

void JobQueue::OnEvent(int id, const Json& original) {
    std::lock_guard<std::mutex> lock(mLock);
    if (!mRunning || mRunning->id != id) return;
    Job& job = *mRunning;
    const Json event = job.stopped ? PageStopWords(original) : original;
    const std::string name = event.value("event", "");
    size_t seq = job.items;
    if (name == "item") {
        if (job.kept.size() < kMaxKeptItems) job.kept.push_back(event);
        ++job.items;
        if (event.value("action", "") == "failed") ++job.failed;
    } else if (name == "progress") {
        job.progress = event;
    } else if (name == "percent") {
        job.percent = event.value("percent", 0);
    } else if (name == "done") {
        job.summary = event;
    }
    BroadcastLocked("event", {{"job", id}, {"seq", seq}, {"event", event}});
}

void JobQueue::FinishLocked(Job& job, std::string state) {
    job.state = std::move(state);
    job.ended = Now();
    const Json record = job.ToJson();
    mHistory.insert(mHistory.begin(), record);
    if (mHistory.size() > kHistoryLength) mHistory.erase(mHistory.begin() + kHistoryLength, mHistory.end());
    BroadcastLocked("job", record);
    mChanged.notify_all();
}

Json JobQueue::StateLocked() const {
    Json queue = Json::array();
    for (const auto& job : mQueue) queue.push_back(job->ToJson());
    return {{"running", mRunning ? mRunning->ToJson() : Json(nullptr)}, {"queue", queue}, {"history", mHistory}};
}

Json JobQueue::State() {
    std::lock_guard<std::mutex> lock(mLock);
    return StateLocked();
}

std::shared_ptr<JobQueue::Job> JobQueue::FindLocked(int id) const {
    if (mRunning && mRunning->id == id) return mRunning;
    for (const auto& job : mQueue)
        if (job->id == id) return job;
    const auto it = mFinished.find(id);
    return it == mFinished.end() ? nullptr : it->second;
}

Json JobQueue::Find(int id) {
    std::lock_guard<std::mutex> lock(mLock);
    if (const auto job = FindLocked(id)) return job->ToJson();
    for (const Json& job : mHistory)
        if (job.value("id", 0) == id) return job;
    return nullptr;
}

bool JobQueue::Items(int id, size_t from, size_t count, Json& answer) {
    std::lock_guard<std::mutex> lock(mLock);
    const auto job = FindLocked(id);
    if (!job) return false;
    Json items = Json::array();
    for (size_t i = from; i < job->kept.size() && i - from < count; ++i) items.push_back(job->kept[i]);
    answer = {{"total", job->items}, {"kept", job->kept.size()}, {"items", items}};
    return true;
}

JobQueue::Outcome JobQueue::Stop(int id) {
    std::lock_guard<std::mutex> lock(mLock);
    if (!mRunning || mRunning->id != id) return FindLocked(id) ? Outcome::kNotRunning : Outcome::kUnknown;
    if (!mRunning->stopped) {
        mRunning->stopped = true;
        JobControl::Instance().StopJob();
        const Json notice = {{"event", "notice"}, {"text", "stopping\xE2\x80\xA6"}};
        BroadcastLocked("event", {{"job", id}, {"seq", mRunning->items}, {"event", notice}});
    }
    return Outcome::kDone;
}

JobQueue::Outcome JobQueue::Cancel(int id) {
    std::lock_guard<std::mutex> lock(mLock);
    const auto it = std::find_if(mQueue.begin(), mQueue.end(), [id](const auto& job) { return job->id == id; });
    if (it == mQueue.end()) return FindLocked(id) ? Outcome::kNotQueued : Outcome::kUnknown;
    const std::shared_ptr<Job> job = *it;
    mQueue.erase(it);
    FinishLocked(*job, "cancelled");
    return Outcome::kDone;
}

JobQueue::Outcome JobQueue::Move(int id, size_t to) {
    std::lock_guard<std::mutex> lock(mLock);
    const auto it = std::find_if(mQueue.begin(), mQueue.end(), [id](const auto& job) { return job->id == id; });
    if (it == mQueue.end()) return FindLocked(id) ? Outcome::kNotQueued : Outcome::kUnknown;
    const std::shared_ptr<Job> job = *it;
    mQueue.erase(it);
    mQueue.insert(mQueue.begin() + static_cast<std::ptrdiff_t>(std::min(to, mQueue.size())), job);
    BroadcastLocked("job", job->ToJson());
    BroadcastLocked("state", StateLocked());  // the queue's new order
    return Outcome::kDone;
}

Json JobQueue::WaitUntilEnded(int id) {
    std::unique_lock<std::mutex> lock(mLock);
    for (;;) {
        const auto job = FindLocked(id);
        if (!job) break;
        if (job->ended.is_number() || mShutdown) return job->ToJson();
        mChanged.wait(lock);
    }
    for (const Json& job : mHistory)
        if (job.value("id", 0) == id) return job;
    return nullptr;
}

void JobQueue::Subscribe(std::shared_ptr<EventStream> stream) {
    std::lock_guard<std::mutex> lock(mLock);
    if (!stream->Send(EventMessage("state", StateLocked()))) return;
    mStreams.push_back(std::move(stream));
}

void JobQueue::BroadcastLocked(const std::string& name, const Json& data) {
    if (mStreams.empty()) return;
    const std::string message = EventMessage(name, data);
    mStreams.erase(std::remove_if(mStreams.begin(), mStreams.end(),
                                  [&message](const auto& stream) { return !stream->Send(message); }),
                   mStreams.end());
}

}  // namespace ui
}  // namespace qsync
