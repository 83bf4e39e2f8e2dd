#include "filesync/ChunkPump.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "log/Log.h"
#include "platform/socket.h"
#include "transport/HttpClient.h"
#include "transport/Retry.h"

namespace {

std::mutex gHookLock;
std::function<void(const char*)> gHook;
std::atomic<bool> gHookSet{false};

void RunHook(const char* name) {
    if (!gHookSet.load(std::memory_order_acquire)) return;
    std::function<void(const char*)> hook;
    {
        std::lock_guard<std::mutex> guard(gHookLock);
        hook = gHook;
    }
    if (hook) hook(name);
}

bool Stopped(const ChunkPump::StopFlag* stopFlag) {
    return stopFlag != nullptr && stopFlag->load(std::memory_order_relaxed) != 0;
}

using Clock = std::chrono::steady_clock;

const RetryPolicy kNoRetries;

// One connection's worth of a chunk in flight; its buffers serve the chunks
// after it.
struct Slot {
    HttpClient client;
    ByteArray request;
    ByteArray response;
    int64_t tag = 0;
    bool busy = false;
    bool threw = false;
    // The chunk's retries; waiting: its last attempt was lost and the next
    // one begins at retryAt.
    std::optional<RetryCourse> course;
    bool waiting = false;
    Clock::time_point retryAt;
};

// The slots of one run, and what their chunks report. However the run ends
// (an exception from the transfer's side included), the destructor lets
// every exchange under way end as an abandoned one does, its settle wait
// included, before the transfer goes on: a clean-up that follows is never
// overtaken by a chunk. Chunks that end then report nothing, and none is
// retried.
class Slots {
public:
    Slots(const ChunkPump::Exchange& exchange, int32_t width, ChunkPump::Chunks& chunks, const char* name)
        : mExchange(exchange), mPolicy(exchange.retry != nullptr ? *exchange.retry : kNoRetries), mWidth(width),
          mSlots(std::make_unique<Slot[]>(static_cast<size_t>(width))), mChunks(chunks), mName(name) {}
    ~Slots() {
        mReporting = false;
        for (int32_t i = 0; i < mWidth; ++i) {
            Slot& slot = mSlots[i];
            slot.client.Abandon();
            if (slot.busy && slot.client.Finished()) End(slot);
        }
        try {
            while (Busy() > 0) Step();
        } catch (...) {
            // Settling receives into a buffer of its own; nothing throws.
        }
    }
    Slots(const Slots&) = delete;
    Slots& operator=(const Slots&) = delete;

    Slot* Free() {
        for (int32_t i = 0; i < mWidth; ++i)
            if (!mSlots[i].busy) return &mSlots[i];
        return nullptr;
    }

    // Slots holding a chunk that has not ended, waiting ones included.
    int32_t Busy() const {
        int32_t busy = 0;
        for (int32_t i = 0; i < mWidth; ++i) busy += mSlots[i].busy ? 1 : 0;
        return busy;
    }

    // Starts the chunk framed in the slot's request, or its next attempt.
    void Start(Slot& slot) {
        slot.busy = true;
        slot.waiting = false;
        try {
            RunHook(mName);
            slot.response.Clear();
            slot.client.SetSettleOnAbandon(mExchange.settleMs);
            slot.client.Begin(mExchange.host, mExchange.port, mExchange.path, HttpClient::kGetLine,
                              slot.request.GetData(), slot.request.GetLength(), &slot.response,
                              mExchange.timeoutSeconds, mExchange.stopFlag, mExchange.maxBody);
        } catch (...) {
            Threw(slot);
        }
        if (slot.client.Finished()) End(slot);
    }

    // A new chunk: its retries start afresh.
    void StartChunk(Slot& slot) {
        slot.course.emplace(mPolicy, RepeatRule::kAfterAnyDrop, mExchange.stopFlag, mName);
        Start(slot);
    }

    // An exchange that threw: its chunk fails, once the exchange has ended.
    void Threw(Slot& slot) {
        slot.client.Abandon();
        slot.threw = true;
        if (mReporting) QS_LOG_COMPONENT(mName);
    }

    // One wait over every exchange under way, and one step of each; then
    // the chunks whose wait for a retry is over begin again. With only
    // waiting chunks, the wait is for the stop flag, up to the first
    // retry's time.
    void Step() {
        platform::AwaitedSocket entries[platform::kMaxAwaitedSockets];
        Slot* owners[platform::kMaxAwaitedSockets];
        size_t count = 0;
        uint32_t bound = HttpClient::kReceivePollMs;
        bool anyWaiting = false;
        Clock::time_point firstRetry = Clock::time_point::max();
        for (int32_t i = 0; i < mWidth; ++i) {
            Slot& slot = mSlots[i];
            if (!slot.busy) continue;
            if (slot.waiting) {
                anyWaiting = true;
                firstRetry = std::min(firstRetry, slot.retryAt);
                continue;
            }
            entries[count].socket = &slot.client.Handle();
            entries[count].what = slot.client.Awaited();
            owners[count++] = &slot;
            bound = std::min(bound, slot.client.WaitBoundMs());
        }
        if (count > 0) {
            if (anyWaiting) bound = std::min(bound, MsUntil(firstRetry));
            const platform::Readiness waited = platform::WaitForAny(entries, count, bound);
            for (size_t i = 0; i < count; ++i) {
                Slot& slot = *owners[i];
                try {
                    slot.client.Advance(waited, entries[i]);
                } catch (...) {
                    // Out of memory for an answer, say: the chunk fails as a
                    // failed request does, after its settle wait.
                    Threw(slot);
                }
                if (slot.client.Finished()) End(slot);
            }
        } else if (anyWaiting) {
            WaitForStop(MsUntil(firstRetry));
        }
        if (anyWaiting) ResumeWaiting();
    }

    // Ends a slot's exchange: its connection closes; a lost one whose chunk
    // may be made again waits for its retry, any other ends the chunk and,
    // while the run goes on, reports to the transfer.
    void End(Slot& slot) {
        slot.client.Close();
        const int32_t result = slot.client.Result();
        if (mReporting && !slot.threw && mFailure == 0 && result < 0 && slot.course &&
            slot.course->Again(result, slot.client)) {
            slot.waiting = true;
            slot.retryAt = Clock::now() + std::chrono::milliseconds(slot.course->DelayMs());
            return;
        }
        Report(slot);
    }

    // 0, or the last failure a chunk reported.
    int32_t Failure() const { return mFailure; }

private:
    static uint32_t MsUntil(Clock::time_point when) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now()).count();
        return left <= 0 ? 0 : static_cast<uint32_t>(std::min<int64_t>(left, UINT32_MAX));
    }

    bool Stopped() const { return mExchange.stopFlag != nullptr && mExchange.stopFlag->load() != 0; }

    void WaitForStop(uint32_t ms) const {
        if (Stopped()) return;
        if (mPolicy.stopSignal != nullptr) {
            mPolicy.stopSignal->WaitFor(mExchange.stopFlag, ms);
        } else {
            const StopSignal alone;
            alone.WaitFor(mExchange.stopFlag, ms);
        }
    }

    // Waiting chunks whose time has come begin again; a stop, another
    // chunk's failure or the end of the run ends them with the failure they
    // waited after.
    void ResumeWaiting() {
        const Clock::time_point now = Clock::now();
        for (int32_t i = 0; i < mWidth; ++i) {
            Slot& slot = mSlots[i];
            if (!slot.busy || !slot.waiting) continue;
            if (!mReporting || mFailure != 0 || Stopped()) {
                slot.waiting = false;
                Report(slot);
            } else if (now >= slot.retryAt) {
                Start(slot);
            }
        }
    }

    void Report(Slot& slot) {
        slot.busy = false;
        slot.waiting = false;
        if (mReporting) {
            const int32_t result =
                slot.threw ? -1 : mChunks.Done(slot.client.Result(), slot.response, slot.tag);
            if (result != 0) mFailure = result;
        }
        slot.threw = false;
    }

    const ChunkPump::Exchange& mExchange;
    const RetryPolicy& mPolicy;
    const int32_t mWidth;
    std::unique_ptr<Slot[]> mSlots;
    ChunkPump::Chunks& mChunks;
    const char* mName;
    bool mReporting = true;
    int32_t mFailure = 0;
};

}  // namespace

void ChunkPump::SetChunkHookForTesting(std::function<void(const char* name)> hook) {
    std::lock_guard<std::mutex> guard(gHookLock);
    gHookSet.store(static_cast<bool>(hook), std::memory_order_release);
    gHook = std::move(hook);
}

int32_t ChunkPump::Run(const Exchange& exchange, Chunks& chunks, int32_t width, const char* name) {
    width = std::max(1, std::min(width, static_cast<int32_t>(platform::kMaxAwaitedSockets)));
    Slots slots(exchange, width, chunks, name);
    int32_t own = 0;
    bool more = true;
    for (;;) {
        // Chunks start in order, one per free connection.
        while (more && slots.Failure() == 0 && !Stopped(exchange.stopFlag)) {
            Slot* const slot = slots.Free();
            if (slot == nullptr) break;
            const int32_t next = chunks.Next(slot->request, &slot->tag);
            if (next <= 0) {
                more = false;
                own = next;
                break;
            }
            slots.StartChunk(*slot);
        }
        if (slots.Busy() == 0) return own != 0 ? own : slots.Failure();
        slots.Step();
    }
}
