// The print-quality grade of a 370 x 370 code (the designer grades every
// preview), and what --verify adds to writing a code: the encode alone next
// to the encode followed by grading its PNG.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "qrcode_grade.h"
#include "qrcode_png.h"
#include "vantelor_qrcode.h"

namespace {

// Version 3 at 10 px per module with 4 modules of quiet zone: 370 x 370.
constexpr const char *TEXT = "https://example.org/grade/benchmark";

struct png_bytes {
    unsigned char *data = nullptr;
    int len = 0;
    png_bytes(const char *preset) {
        qr_init();
        if (preset) qr_apply_preset(preset);
        data = qr_encode_to_memory(TEXT, 1, 10, 4, &len);
    }
    ~png_bytes() { qr_free_buffer(data); }
    png_bytes(const png_bytes &) = delete;
    png_bytes &operator=(const png_bytes &) = delete;
};

void BM_Grade370(benchmark::State &state, const char *preset) {
    const png_bytes png(preset);
    unsigned char *pixels = nullptr;
    int width = 0;
    int height = 0;
    if (!png.data || qr_image_read_memory(png.data, png.len, &pixels, &width, &height) != 0) {
        state.SkipWithError("cannot draw the code");
        return;
    }
    qr_grade_report r;
    qr_decoded text;
    for (auto _ : state) {
        qr_grade_rgba(pixels, width, height, TEXT, &r, text);
        benchmark::DoNotOptimize(r.overall);
    }
    std::free(pixels);
    state.SetLabel(std::to_string(width) + " px, grade " + "FDCBA"[r.overall]);
}
BENCHMARK_CAPTURE(BM_Grade370, default, nullptr)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Grade370, modern, "modern")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Grade370, elegant, "elegant")->Unit(benchmark::kMillisecond);

// One item of a batch: the PNG written to memory, with and without the
// grade --verify runs on it.
void BM_EncodeItem(benchmark::State &state) {
    qr_init();
    const bool verify = state.range(0) != 0;
    for (auto _ : state) {
        int len = 0;
        unsigned char *png = qr_encode_to_memory(TEXT, 1, 10, 4, &len);
        if (verify) benchmark::DoNotOptimize(qr_grade_from_memory(png, len, TEXT));
        qr_free_buffer(png);
    }
    state.SetLabel(verify ? "with --verify" : "without --verify");
}
BENCHMARK(BM_EncodeItem)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
