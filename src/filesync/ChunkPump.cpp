#include "filesync/ChunkPump.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>

#include "log/Log.h"
#include "platform/socket.h"
#include "transport/HttpClient.h"

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

// One connection's worth of a chunk in flight; its buffers serve the chunks
// after it.
struct Slot {
    HttpClient client;
    ByteArray request;
    ByteArray response;
    int64_t tag = 0;
    bool busy = false;
    bool threw = false;
};

// The slots of one run, and what their chunks report. However the run ends
// (an exception from the transfer's side included), the destructor lets
// every exchange under way end as an abandoned one does, its settle wait
// included, before the transfer goes on: a clean-up that follows is never
// overtaken by a chunk. Chunks that end then report nothing.
class Slots {
public:
    Slots(int32_t width, ChunkPump::Chunks& chunks, const char* name)
        : mWidth(width), mSlots(std::make_unique<Slot[]>(static_cast<size_t>(width))), mChunks(chunks),
          mName(name) {}
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

    // Slots holding a chunk whose exchange has not ended.
    int32_t Busy() const {
        int32_t busy = 0;
        for (int32_t i = 0; i < mWidth; ++i) busy += mSlots[i].busy ? 1 : 0;
        return busy;
    }

    // An exchange that threw: its chunk fails, once the exchange has ended.
    void Threw(Slot& slot) {
        slot.client.Abandon();
        slot.threw = true;
        if (mReporting) QS_LOG_COMPONENT(mName);
    }

    // One wait over every exchange under way, and one step of each.
    void Step() {
        platform::AwaitedSocket entries[platform::kMaxAwaitedSockets];
        Slot* owners[platform::kMaxAwaitedSockets];
        size_t count = 0;
        uint32_t bound = HttpClient::kReceivePollMs;
        for (int32_t i = 0; i < mWidth; ++i) {
            Slot& slot = mSlots[i];
            if (!slot.busy) continue;
            entries[count].socket = &slot.client.Handle();
            entries[count].what = slot.client.Awaited();
            owners[count++] = &slot;
            bound = std::min(bound, slot.client.WaitBoundMs());
        }
        if (count == 0) return;
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
    }

    // Ends a slot's chunk: its connection closes and, while the run goes
    // on, it reports to the transfer.
    void End(Slot& slot) {
        slot.busy = false;
        slot.client.Close();
        if (mReporting) {
            const int32_t result =
                slot.threw ? -1 : mChunks.Done(slot.client.Result(), slot.response, slot.tag);
            if (result != 0) mFailure = result;
        }
        slot.threw = false;
    }

    // 0, or the last failure a chunk reported.
    int32_t Failure() const { return mFailure; }

private:
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
    Slots slots(width, chunks, name);
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
            slot->busy = true;
            try {
                RunHook(name);
                slot->response.Clear();
                slot->client.SetSettleOnAbandon(exchange.settleMs);
                slot->client.Begin(exchange.host, exchange.port, exchange.path, HttpClient::kGetLine,
                                   slot->request.GetData(), slot->request.GetLength(), &slot->response,
                                   exchange.timeoutSeconds, exchange.stopFlag, exchange.maxBody);
            } catch (...) {
                slots.Threw(*slot);
            }
            if (slot->client.Finished()) slots.End(*slot);
        }
        if (slots.Busy() == 0) return own != 0 ? own : slots.Failure();
        slots.Step();
    }
}
