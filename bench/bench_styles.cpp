// Per-preset raster encoding next to the default look, in one run: the
// styled figures and gradients cost per-pixel distance and colour work that
// the default look's full squares skip.
#include <benchmark/benchmark.h>

#include "qrcode_internal.h"

namespace {

constexpr const char *URL = "https://example.org/q?id=12345";  // 30 characters: version 3 at M

// `preset` is null for the default look.
void BM_encode_preset(benchmark::State &state, const char *preset) {
    qr_init();
    if (preset && qr_apply_preset(preset) != 1) {
        state.SkipWithError("unknown preset");
        return;
    }
    for (auto _ : state) {
        int len = 0;
        unsigned char *png = qr_encode_to_memory(URL, 1, 10, 4, &len);
        if (!png) {
            state.SkipWithError(qr_last_error());
            break;
        }
        benchmark::DoNotOptimize(png);
        qr_free_buffer(png);
    }
    qr_cleanup();
}
BENCHMARK_CAPTURE(BM_encode_preset, default_look, nullptr);
BENCHMARK_CAPTURE(BM_encode_preset, modern, "modern");
BENCHMARK_CAPTURE(BM_encode_preset, dots, "dots");
BENCHMARK_CAPTURE(BM_encode_preset, elegant, "elegant");
BENCHMARK_CAPTURE(BM_encode_preset, neon, "neon");
BENCHMARK_CAPTURE(BM_encode_preset, corporate, "corporate");
BENCHMARK_CAPTURE(BM_encode_preset, minimal, "minimal");

}  // namespace
