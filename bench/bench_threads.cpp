// Encodes on several threads of one process: a batch of encodes of the
// default look to PNG bytes, shared out over N threads, timed by the wall
// clock. The style is copied once per call, so the threads draw side by
// side; compare the encodes per second of 1 and 2 threads.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>
#include <vector>

#include "vantelor_qrcode.h"

namespace {

constexpr const char *TEXT = "https://example.org/";
constexpr int BATCH = 64;

// Encodes until the shared count of the batch runs out; false on a failure.
bool encode_share(std::atomic<int> &left) {
    while (left.fetch_sub(1) > 0) {
        int len = 0;
        unsigned char *png = qr_encode_to_memory(TEXT, 1, 10, 4, &len);
        if (!png) return false;
        benchmark::DoNotOptimize(png);
        qr_free_buffer(png);
    }
    return true;
}

void BM_encode_threads(benchmark::State &state) {
    qr_init();
    const auto threads = static_cast<int>(state.range(0));
    for (auto _ : state) {
        std::atomic<int> left{BATCH};
        std::atomic<bool> ok{true};
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back([&] {
                if (!encode_share(left)) ok = false;
            });
        }
        for (std::thread &th : pool) th.join();
        if (!ok) {
            state.SkipWithError(qr_last_error());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * BATCH);
    qr_cleanup();
}
BENCHMARK(BM_encode_threads)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
