// The page's jobs: one runs at a time, the others wait in a queue the page
// can reorder and cancel. Each job runs the command line's own code
// (RunCommand) with a reporter whose JSON events are kept in the job and
// sent to every open event stream.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "report.h"
#include "ui/http_server.h"
#include "ui/settings.h"

namespace qsync {
namespace ui {

// The item events kept per job; later ones are still counted and sent to
// the page, but not kept for /items.
constexpr size_t kMaxKeptItems = 200000;
constexpr size_t kHistoryLength = 50;

// One Server-Sent Events message.
std::string EventMessage(const std::string& name, const Json& data);

class JobQueue {
public:
    // `store` keeps the history across runs.
    explicit JobQueue(const SettingsStore& store);
    // Stops the running job, cancels the queued ones and joins the runner.
    ~JobQueue();
    JobQueue(const JobQueue&) = delete;
    JobQueue& operator=(const JobQueue&) = delete;

    // Queues a job of `request` (as the page sent it) carried out with
    // `options` (as ParseCommandLine made them); returns its id.
    int Add(const Json& request, const Options& options);

    // {"running": JOB|null, "queue": [...], "history": [...]}
    Json State();
    // A job by id (running, queued or in the history); null when unknown.
    Json Find(int id);
    // The job's item events from `from`, at most `count`; false when the
    // job (or its items) are not known.
    bool Items(int id, size_t from, size_t count, Json& answer);

    enum class Outcome { kDone, kUnknown, kNotRunning, kNotQueued };
    // Stops job `id` if it is the one running; never another.
    Outcome Stop(int id);
    Outcome Cancel(int id);
    Outcome Move(int id, size_t to);

    // Waits until job `id` has ended (or the queue shuts down) and returns
    // it; null when unknown.
    Json WaitUntilEnded(int id);

    // Sends the `state` message, then every later change, to `stream`.
    void Subscribe(std::shared_ptr<EventStream> stream);

    // Stops the running job (if any) and the runner; idempotent.
    void Shutdown();

private:
    struct Job;

    void RunJobs();
    void Execute(Job& job);
    void OnEvent(int id, const Json& event);
    void FinishLocked(Job& job, std::string state);
    Json StateLocked() const;
    void BroadcastLocked(const std::string& name, const Json& data);
    std::shared_ptr<Job> FindLocked(int id) const;

    const SettingsStore& mStore;
    std::mutex mLock;
    std::condition_variable mChanged;
    bool mShutdown = false;
    int mNextId = 1;
    std::shared_ptr<Job> mRunning;
    std::deque<std::shared_ptr<Job>> mQueue;
    Json mHistory = Json::array();  // JOB objects, newest first
    // The item lists of the latest finished jobs of this run.
    std::map<int, std::shared_ptr<Job>> mFinished;
    std::vector<std::shared_ptr<EventStream>> mStreams;
    std::thread mRunner;
};

}  // namespace ui
}  // namespace qsync
