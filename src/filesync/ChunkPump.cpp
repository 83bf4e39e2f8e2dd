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

// The slots of one run. However the run ends (an exception from the
// transfer's side included), the destructor lets every exchange under way
// end as an abandoned one does, its settle wait included, before the
// transfer goes on: a clean-up that follows is never overtaken by a chunk.
class Slots {
public:
    explicit Slots(int32_t width) : mWidth(width), mSlots(std::make_unique<Slot[]>(static_cast<size_t>(width))) {}
    ~Slots() {
        for (int32_t i = 0; i < mWidth; ++i) {
            Slot& slot = mSlots[i];
            slot.client.Abandon();
            if (slot.busy && slot.client.Finished()) End(slot, nullptr);
        }
        try {
            while (Busy() > 0) Step(nullptr);
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

    // One wait over every exchange under way, and one step of each. With
    // end set, an ended chunk reports to the transfer through it and an
    // exchange that throws fails its chunk; without, exchanges only end.
    void Step(const std::function<void(Slot&)>* end) {
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
            const platform::Readiness seen = waited == platform::Readiness::kReady && !entries[i].ready
                                                 ? platform::Readiness::kTimedOut
                                                 : waited;
            try {
                slot.client.Advance(seen, entries[i].failed);
            } catch (...) {
                // Out of memory for an answer, say: the chunk fails as a
                // failed request does, after its settle wait.
                slot.client.Abandon();
                slot.threw = true;
                if (end != nullptr) QS_LOG_COMPONENT(mName);
            }
            if (slot.client.Finished()) End(slot, end);
        }
    }

    void SetName(const char* name) { mName = name; }

    // Ends a slot's chunk: it reports (when end is set) and its connection
    // closes.
    static void End(Slot& slot, const std::function<void(Slot&)>* end) {
        slot.busy = false;
        slot.client.Close();
        if (end != nullptr) (*end)(slot);
        slot.threw = false;
    }

private:
    const int32_t mWidth;
    std::unique_ptr<Slot[]> mSlots;
    const char* mName = "";
};

}  // namespace

void ChunkPump::SetChunkHookForTesting(std::function<void(const char* name)> hook) {
    std::lock_guard<std::mutex> guard(gHookLock);
    gHookSet.store(static_cast<bool>(hook), std::memory_order_release);
    gHook = std::move(hook);
}

int32_t ChunkPump::Run(const Exchange& exchange, Chunks& chunks, int32_t width, const char* name) {
    width = std::max(1, std::min(width, static_cast<int32_t>(platform::kMaxAwaitedSockets)));
    int32_t own = 0;
    int32_t failure = 0;
    const std::function<void(Slot&)> end = [&](Slot& slot) {
        const int32_t result =
            slot.threw ? -1 : chunks.Done(slot.client.Result(), slot.response, slot.tag);
        if (result != 0) failure = result;
    };
    Slots slots(width);
    slots.SetName(name);
    bool more = true;
    for (;;) {
        // Chunks start in order, one per free connection.
        while (more && failure == 0 && !Stopped(exchange.stopFlag)) {
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
                slot->client.Abandon();
                slot->threw = true;
                QS_LOG_COMPONENT(name);
            }
            if (slot->client.Finished()) Slots::End(*slot, &end);
        }
        if (slots.Busy() == 0) break;
        slots.Step(&end);
    }
    return own != 0 ? own : failure;
}
