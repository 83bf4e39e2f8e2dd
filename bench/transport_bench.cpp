// Round trips of 64 KiB bodies through HttpClient against a loopback peer
// that echoes each request body and then closes, as the phone service does
// for a chunk. Reported as requests per second (items_per_second) and bytes
// moved both ways (bytes_per_second), one thread and five threads (the
// chunk workers of one transfer). Fixed iteration counts.
//
//   build/native/bench/transport_bench
#include <benchmark/benchmark.h>

#include <string>

#include "support/scripted_peer.h"
#include "transport/ByteArray.h"
#include "transport/HttpClient.h"

namespace {

constexpr int32_t kChunk = 64 * 1024;

ScriptedPeer& EchoPeer() {
    static ScriptedPeer peer(PeerScript().ReadRequest().EchoBody().Close());
    return peer;
}

void RoundTrip64KiB(benchmark::State& state) {
    ScriptedPeer& peer = EchoPeer();
    if (!peer.ok()) {
        state.SkipWithError("no loopback listener");
        return;
    }
    const std::string body(kChunk, static_cast<char>('a' + state.thread_index()));
    for (auto _ : state) {
        HttpClient client;
        ByteArray response;
        const int32_t result = client.Get("127.0.0.1", peer.port(), "/filesync", body.data(), kChunk,
                                          &response, 60, nullptr);
        if (result != kChunk) {
            state.SkipWithError("request failed");
            break;
        }
        benchmark::DoNotOptimize(response.GetData());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * 2 * int64_t{kChunk});
}

}  // namespace

BENCHMARK(RoundTrip64KiB)->Iterations(2000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(RoundTrip64KiB)->Iterations(1000)->Threads(5)->UseRealTime()->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
