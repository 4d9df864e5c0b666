// The PNG writer alone (filter choice, compressor, framing) on the pixels of
// the default look and of every preset: the share of each encode that is
// spent making the file.
#include <benchmark/benchmark.h>
#include <png.h>

#include <cstdlib>
#include <vector>

#include "bench_looks.h"
#include "qrcode_png_write.h"
#include "vantelor_qrcode.h"

namespace {

struct pixels {
    std::vector<unsigned char> rgba;
    int width = 0;
    int height = 0;
};

// The RGBA pixels of the code the library draws in the current look, read
// back by libpng.
bool draw(pixels &out) {
    int len = 0;
    unsigned char *png = qr_encode_to_memory(BENCH_URL, 1, 10, 4, &len);
    if (!png) return false;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    bool ok = png_image_begin_read_from_memory(&image, png, static_cast<std::size_t>(len)) != 0;
    if (ok) {
        image.format = PNG_FORMAT_RGBA;
        out.rgba.resize(PNG_IMAGE_SIZE(image));
        ok = png_image_finish_read(&image, nullptr, out.rgba.data(), 0, nullptr) != 0;
        out.width = static_cast<int>(image.width);
        out.height = static_cast<int>(image.height);
    }
    qr_free_buffer(png);
    return ok;
}

// `preset` is null for the default look.
void BM_png_write(benchmark::State &state, const char *preset) {
    qr_init();
    pixels image;
    const bool drawn = (!preset || qr_apply_preset(preset) == 1) && draw(image);
    qr_cleanup();
    if (!drawn) {
        state.SkipWithError("no pixels to write");
        return;
    }
    for (auto _ : state) {
        int size = 0;
        unsigned char *out = qr_png_encode(image.rgba.data(), image.width, image.height, &size);
        benchmark::DoNotOptimize(out);
        std::free(out);
    }
}
const bool png_registered = register_per_look("BM_png_write", BM_png_write);

}  // namespace
