// The PNG writer alone (filter choice, compressor, framing) on the pixels of
// the default look and of every preset: the share of each encode that is
// spent making the file.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "qrcode_png_write.h"
#include "vantelor_qrcode.h"

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

namespace {

constexpr const char *URL = "https://example.org/q?id=12345";  // as in the encode benchmark

// `preset` is null for the default look.
void BM_png_write(benchmark::State &state, const char *preset) {
    qr_init();
    if (preset && qr_apply_preset(preset) != 1) {
        state.SkipWithError("unknown preset");
        return;
    }
    int len = 0;
    unsigned char *png = qr_encode_to_memory(URL, 1, 10, 4, &len);
    int width = 0;
    int height = 0;
    int channels = 0;
    unsigned char *rgba =
        png ? stbi_load_from_memory(png, len, &width, &height, &channels, 4) : nullptr;
    qr_free_buffer(png);
    qr_cleanup();
    if (!rgba) {
        state.SkipWithError("no pixels to write");
        return;
    }
    for (auto _ : state) {
        int size = 0;
        unsigned char *out = qr_png_encode(rgba, width, height, &size);
        benchmark::DoNotOptimize(out);
        std::free(out);
    }
    stbi_image_free(rgba);
}
BENCHMARK_CAPTURE(BM_png_write, default_look, nullptr);
BENCHMARK_CAPTURE(BM_png_write, modern, "modern");
BENCHMARK_CAPTURE(BM_png_write, dots, "dots");
BENCHMARK_CAPTURE(BM_png_write, elegant, "elegant");
BENCHMARK_CAPTURE(BM_png_write, neon, "neon");
BENCHMARK_CAPTURE(BM_png_write, corporate, "corporate");
BENCHMARK_CAPTURE(BM_png_write, minimal, "minimal");

}  // namespace
