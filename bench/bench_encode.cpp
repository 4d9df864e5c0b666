// Raster encoding of the default look and of every preset, next to a floor:
// the same matrix drawn naively (one fill per module, no sampling) and
// compressed by the same PNG writer.
#include <benchmark/benchmark.h>

#include <cstring>

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

void BM_floor_naive_fill_and_png(benchmark::State &state) {
    qr_init();
    unsigned char modules[QR_MATRIX_CAP];
    int n = 0;
    int level = 0;
    qr_encode_matrix(URL, 1, modules, &n, &level);
    const int m = 10;
    const int q = 4 * m;
    const int side = n * m + 2 * q;
    for (auto _ : state) {
        qr_canvas canvas{};
        qr_canvas_init(&canvas, side, side);
        std::memset(canvas.pixels, 255, static_cast<std::size_t>(side) * side * 4);
        for (int y = 0; y < n; ++y) {
            for (int x = 0; x < n; ++x) {
                if (!modules[y * n + x]) continue;
                for (int py = 0; py < m; ++py) {
                    unsigned char *row = canvas.pixels + ((q + y * m + py) * side + q + x * m) * 4;
                    for (int px = 0; px < m; ++px) {
                        row[px * 4] = row[px * 4 + 1] = row[px * 4 + 2] = 0;
                    }
                }
            }
        }
        unsigned char *png = nullptr;
        int len = 0;
        qr_png_write_mem(&canvas, &png, &len);
        benchmark::DoNotOptimize(png);
        std::free(png);
        qr_canvas_free(&canvas);
    }
}
BENCHMARK(BM_floor_naive_fill_and_png);

}  // namespace
