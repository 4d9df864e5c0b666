// SVG document building next to the PNG path for the same code: a version-10
// code (200 bytes at level M) in the default look and the "neon" look, and a
// version-3 code in the default look.
#include <benchmark/benchmark.h>

#include <string>

#include "qrcode_api.h"
#include "vantelor_qrcode.h"

namespace {

constexpr const char *URL_V3 = "https://example.org/q?id=12345";  // version 3 at M

const std::string &text_v10() {
    static const std::string text = [] {
        std::string t;
        for (int i = 0; t.size() < 200; ++i) t += "https://example.org/item/" + std::to_string(i);
        t.resize(200);
        return t;
    }();
    return text;
}

// Sets the look; fails the run when the text is not the version it claims.
bool prepare(benchmark::State &state, const char *preset, const char *text, int version) {
    qr_init();
    if (preset) qr_apply_preset(preset);
    if (qr_get_version(text, 1) != version) {
        state.SkipWithError("text has another version than expected");
        return false;
    }
    return true;
}

void svg_run(benchmark::State &state, const char *preset, const char *text, int version) {
    if (!prepare(state, preset, text, version)) return;
    std::size_t bytes = 0;
    for (auto _ : state) {
        const char *doc = qr_encode_to_svg_string(text, 1, 10, 4);
        benchmark::DoNotOptimize(doc);
        bytes = qr_svg_thread_document().len;
    }
    state.counters["doc_bytes"] = static_cast<double>(bytes);
}

void png_run(benchmark::State &state, const char *preset, const char *text, int version) {
    if (!prepare(state, preset, text, version)) return;
    for (auto _ : state) {
        int len = 0;
        unsigned char *png = qr_encode_to_memory(text, 1, 10, 4, &len);
        benchmark::DoNotOptimize(png);
        qr_free_buffer(png);
    }
}

void BM_svg_string_v10_default(benchmark::State &state) {
    svg_run(state, nullptr, text_v10().c_str(), 10);
}
void BM_png_memory_v10_default(benchmark::State &state) {
    png_run(state, nullptr, text_v10().c_str(), 10);
}
void BM_svg_string_v10_neon(benchmark::State &state) {
    svg_run(state, "neon", text_v10().c_str(), 10);
}
void BM_png_memory_v10_neon(benchmark::State &state) {
    png_run(state, "neon", text_v10().c_str(), 10);
}
void BM_svg_string_v3_default(benchmark::State &state) { svg_run(state, nullptr, URL_V3, 3); }

BENCHMARK(BM_svg_string_v10_default)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_png_memory_v10_default)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_svg_string_v10_neon)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_png_memory_v10_neon)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_svg_string_v3_default)->Unit(benchmark::kMicrosecond);

}  // namespace
