// Decoding next to quirc alone on the same grey image, and the grid-sampling
// fallback's worst case: 32 finder patterns arranged so that thousands of
// triples pass the geometric tests.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "qrcode_api.h"
#include "qrcode_decode.h"
#include "qrcode_decode_rescue.h"
#include "qrcode_encode.h"
#include "qrcode_render.h"
#include "vantelor_qrcode.h"

extern "C" {
#include "quirc_internal.h"
}

namespace {

// The text the benchmarks' decodes read.
thread_local qr_decoded out;

struct rgba_image {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> px;
};

rgba_image blank(int w, int h) {
    return {w, h, std::vector<unsigned char>(static_cast<std::size_t>(w) * h * 4, 255)};
}

// Our own default-look code: "https://example.org/" at version 1, 10 pixels a
// module, 4 modules of quiet zone: 290 x 290 pixels.
rgba_image own_code(int module_size) {
    qr_init();
    const qr_style style = qr_style_snapshot();
    const auto symbol = std::make_unique<qr_symbol>();
    qr_encode_matrix(style, "https://example.org/", 1, *symbol);
    const int n = symbol->n;
    const int q = 4 * module_size;
    const int side = n * module_size + 2 * q;
    qr_canvas canvas{};
    qr_canvas_init(&canvas, side, side);
    qr_render_background(style, &canvas);
    qr_render_styled(style, &canvas, symbol->modules, {n, module_size, q, side});
    rgba_image img{side, side,
                   std::vector<unsigned char>(canvas.pixels, canvas.pixels + side * side * 4)};
    qr_canvas_free(&canvas);
    return img;
}

// A 1000 x 1000 white image with a 116-pixel code near its centre.
rgba_image megapixel_with_small_code() {
    const rgba_image code = own_code(4);
    rgba_image img = blank(1000, 1000);
    const int x0 = 437;
    const int y0 = 412;
    for (int y = 0; y < code.height; ++y) {
        std::memcpy(&img.px[(static_cast<std::size_t>(y0 + y) * img.width + x0) * 4],
                    &code.px[static_cast<std::size_t>(y) * code.width * 4],
                    static_cast<std::size_t>(code.width) * 4);
    }
    return img;
}

void draw_finder(rgba_image &img, int cx, int cy, int m) {
    for (int y = 0; y < 7; ++y) {
        for (int x = 0; x < 7; ++x) {
            const bool ring = x == 0 || y == 0 || x == 6 || y == 6;
            const bool stone = x >= 2 && x <= 4 && y >= 2 && y <= 4;
            if (!ring && !stone) continue;
            for (int py = 0; py < m; ++py) {
                for (int px = 0; px < m; ++px) {
                    const int ix = cx + (x - 3) * m - m / 2 + px;
                    const int iy = cy + (y - 3) * m - m / 2 + py;
                    unsigned char *p = &img.px[(static_cast<std::size_t>(iy) * img.width + ix) * 4];
                    p[0] = p[1] = p[2] = 0;
                }
            }
        }
    }
}

// Four clusters of eight finder patterns (2-pixel modules) at the corners of
// a square of 345 pixels: every corner cluster as A with its two neighbouring
// clusters as B and C passes the tests, about 2,000 ordered triples, with
// version guesses near 38, so most triples cost five grids of up to 177 x 177
// samples each.
rgba_image many_finders() {
    rgba_image img = blank(520, 520);
    const int corners[4][2] = {{80, 80}, {425, 80}, {425, 425}, {80, 425}};
    for (const auto &c : corners) {
        int placed = 0;
        for (int gy = -1; gy <= 1; ++gy) {
            for (int gx = -1; gx <= 1; ++gx) {
                if (placed == 8) break;
                draw_finder(img, c[0] + gx * 22, c[1] + gy * 22, 2);
                ++placed;
            }
        }
    }
    return img;
}

void BM_decode_own_290(benchmark::State &state) {
    const rgba_image img = own_code(10);
    for (auto _ : state) {
        benchmark::DoNotOptimize(qr_decode_rgba(img.px.data(), img.width, img.height, out));
    }
}
BENCHMARK(BM_decode_own_290)->Unit(benchmark::kMicrosecond);

void BM_decode_megapixel_small_code(benchmark::State &state) {
    const rgba_image img = megapixel_with_small_code();
    for (auto _ : state) {
        benchmark::DoNotOptimize(qr_decode_rgba(img.px.data(), img.width, img.height, out));
    }
}
BENCHMARK(BM_decode_megapixel_small_code)->Unit(benchmark::kMicrosecond);

// What a host using quirc directly does for one image: create and size the
// decoder, copy the grey image in, detect, extract and decode the grids.
void quirc_once(const std::vector<std::uint8_t> &grey, int w, int h) {
    quirc *q = qr_quirc_new();
    quirc_resize(q, w, h);
    std::memcpy(quirc_begin(q, nullptr, nullptr), grey.data(), grey.size());
    quirc_end(q);
    for (int j = 0; j < quirc_count(q); ++j) {
        quirc_code code;
        quirc_data data;
        quirc_extract(q, j, &code);
        benchmark::DoNotOptimize(quirc_decode(&code, &data));
    }
    quirc_destroy(q);
}

std::vector<std::uint8_t> grey_of(const rgba_image &img) {
    std::vector<std::uint8_t> grey(static_cast<std::size_t>(img.width) * img.height);
    for (std::size_t i = 0; i < grey.size(); ++i) {
        grey[i] = static_cast<std::uint8_t>(rgba_gray_white(&img.px[i * 4]));
    }
    return grey;
}

void BM_quirc_alone_own_290(benchmark::State &state) {
    const rgba_image img = own_code(10);
    const std::vector<std::uint8_t> grey = grey_of(img);
    for (auto _ : state) quirc_once(grey, img.width, img.height);
}
BENCHMARK(BM_quirc_alone_own_290)->Unit(benchmark::kMicrosecond);

void BM_quirc_alone_megapixel_small_code(benchmark::State &state) {
    const rgba_image img = megapixel_with_small_code();
    const std::vector<std::uint8_t> grey = grey_of(img);
    for (auto _ : state) quirc_once(grey, img.width, img.height);
}
BENCHMARK(BM_quirc_alone_megapixel_small_code)->Unit(benchmark::kMicrosecond);

// The whole run on the 32-finder image: both passes, both fallback calls.
void BM_decode_worst_case_finders(benchmark::State &state) {
    const rgba_image img = many_finders();
    for (auto _ : state) {
        benchmark::DoNotOptimize(qr_decode_rgba(img.px.data(), img.width, img.height, out));
    }
}
BENCHMARK(BM_decode_worst_case_finders)->Unit(benchmark::kMillisecond);

// A 480 x 480 picture without a code: smooth shading under a fine, uneven
// texture, on which every attempt and every second-chance strategy runs and
// fails.
rgba_image textured_photo() {
    rgba_image img = blank(480, 480);
    std::uint32_t seed = 12345;
    for (int y = 0; y < img.height; ++y) {
        for (int x = 0; x < img.width; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const double shade = 120 + 60 * std::sin(x * 0.013) * std::cos(y * 0.021) +
                                 40 * std::sin((x + 2 * y) * 0.11);
            const int level =
                std::clamp(static_cast<int>(shade) + static_cast<int>(seed >> 28), 0, 255);
            unsigned char *p = &img.px[(static_cast<std::size_t>(y) * img.width + x) * 4];
            p[0] = static_cast<unsigned char>(level);
            p[1] = static_cast<unsigned char>(std::max(level - 20, 0));
            p[2] = static_cast<unsigned char>(std::min(level + 15, 255));
        }
    }
    return img;
}

// The four fixed attempts alone on that picture; the whole run below adds the
// second-chance stage, and the ratio of the two is what a picture without a
// code pays for it.
void BM_fixed_attempts_photo_without_code(benchmark::State &state) {
    const rgba_image img = textured_photo();
    quirc *q = qr_quirc_new();
    quirc_resize(q, img.width, img.height);
    for (auto _ : state) {
        benchmark::DoNotOptimize(qr_decode_attempts(q, img.px.data(), img.width, img.height, out));
    }
    quirc_destroy(q);
}
BENCHMARK(BM_fixed_attempts_photo_without_code)->Unit(benchmark::kMillisecond);

void BM_decode_photo_without_code(benchmark::State &state) {
    const rgba_image img = textured_photo();
    for (auto _ : state) {
        benchmark::DoNotOptimize(qr_decode_rgba(img.px.data(), img.width, img.height, out));
    }
}
BENCHMARK(BM_decode_photo_without_code)->Unit(benchmark::kMillisecond);

// One fallback call on the detector's finder list for that image.
void BM_fallback_worst_case_one_call(benchmark::State &state) {
    const rgba_image img = many_finders();
    quirc *q = qr_quirc_new();
    quirc_resize(q, img.width, img.height);
    const std::vector<std::uint8_t> grey = grey_of(img);
    std::memcpy(quirc_begin(q, nullptr, nullptr), grey.data(), grey.size());
    quirc_end(q);
    state.counters["finders"] = q->num_capstones;
    qr_finder finders[QR_MAX_FINDERS];
    for (int i = 0; i < q->num_capstones; ++i) {
        finders[i] = {q->capstones[i].center.x, q->capstones[i].center.y,
                      q->regions[q->capstones[i].stone].count};
    }
    long passing = 0;
    qr_fallback_enumerate(
        finders, q->num_capstones,
        [](void *user, int, int, int) {
            ++*static_cast<long *>(user);
            return 0;
        },
        &passing);
    state.counters["passing_triples"] = static_cast<double>(passing);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            try_decode_centers(q, img.px.data(), img.width, img.height, 0, out));
    }
    quirc_destroy(q);
}
BENCHMARK(BM_fallback_worst_case_one_call)->Unit(benchmark::kMillisecond);

}  // namespace
