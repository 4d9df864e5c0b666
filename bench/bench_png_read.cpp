// Reading PNG files: the whole read (header, inflated-size check, stb's
// decode) beside the inflated-size check alone, on a code the library drew,
// a photo-like picture and noise (the check's worst case: a literal for
// every byte).
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "qrcode_inflate.h"
#include "qrcode_png.h"
#include "vantelor_qrcode.h"

namespace {

using bytes = std::vector<unsigned char>;

struct png_file {
    bytes data;
    bytes stream;  // the IDAT chunks' contents, joined
};

void be32(bytes &out, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<unsigned char>(v >> s));
}

std::uint32_t be32_at(const unsigned char *p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

bytes idat_stream(const bytes &png) {
    bytes out;
    for (std::size_t at = 8; at + 12 <= png.size();) {
        const std::uint32_t length = be32_at(&png[at]);
        if (std::equal(&png[at + 4], &png[at + 8], "IDAT")) {
            out.insert(out.end(), &png[at + 8], &png[at + 8 + length]);
        }
        at += 12 + length;
    }
    return out;
}

void chunk(bytes &out, const char *type, const bytes &data) {
    be32(out, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    be32(out,
         static_cast<std::uint32_t>(crc32(0, &out[start], static_cast<uInt>(out.size() - start))));
}

int paeth(int a, int b, int c) {
    const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// An RGB PNG compressed by zlib at its default level, rows filtered with Sub
// (as common writers do for photos) or Paeth (as others do).
bytes rgb_png(int width, int height, const bytes &rgb, bool with_paeth = false) {
    bytes raw;
    const std::size_t stride = static_cast<std::size_t>(width) * 3;
    for (int y = 0; y < height; ++y) {
        raw.push_back(with_paeth ? 4 : 1);
        const unsigned char *row = &rgb[static_cast<std::size_t>(y) * stride];
        const unsigned char *up = y ? row - stride : nullptr;
        for (std::size_t x = 0; x < stride; ++x) {
            const int a = x >= 3 ? row[x - 3] : 0;
            const int b = up ? up[x] : 0;
            const int c = up && x >= 3 ? up[x - 3] : 0;
            raw.push_back(static_cast<unsigned char>(row[x] - (with_paeth ? paeth(a, b, c) : a)));
        }
    }
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    bytes z(size);
    compress2(z.data(), &size, raw.data(), static_cast<uLong>(raw.size()), Z_DEFAULT_COMPRESSION);
    z.resize(size);
    bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    bytes ihdr;
    be32(ihdr, static_cast<std::uint32_t>(width));
    be32(ihdr, static_cast<std::uint32_t>(height));
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
    chunk(out, "IHDR", ihdr);
    chunk(out, "IDAT", z);
    chunk(out, "IEND", {});
    return out;
}

png_file code_png() {
    int len = 0;
    unsigned char *png = qr_encode_to_memory(
        "https://example.org/products/catalogue?item=0123456789", 1, 10, 4, &len);
    png_file f;
    if (png) f.data.assign(png, png + len);
    qr_free_buffer(png);
    f.stream = idat_stream(f.data);
    return f;
}

// Soft gradients with sensor-like noise of a few levels.
png_file photo_png(int width, int height, int noise_levels, bool with_paeth = false) {
    bytes rgb(static_cast<std::size_t>(width) * height * 3);
    std::mt19937 rng(5);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                const double base = 128 + 100 * std::sin((x * (c + 1) + y * 2) / 180.0);
                const int n = noise_levels > 0 ? static_cast<int>(rng() % noise_levels) : 0;
                rgb[(static_cast<std::size_t>(y) * width + x) * 3 + c] =
                    static_cast<unsigned char>(std::clamp(static_cast<int>(base) + n, 0, 255));
            }
        }
    }
    png_file f;
    f.data = rgb_png(width, height, rgb, with_paeth);
    f.stream = idat_stream(f.data);
    return f;
}

png_file noise_png(int side) {
    bytes rgb(static_cast<std::size_t>(side) * side * 3);
    std::mt19937 rng(9);
    for (unsigned char &b : rgb) b = static_cast<unsigned char>(rng());
    png_file f;
    f.data = rgb_png(side, side, rgb);
    f.stream = idat_stream(f.data);
    return f;
}

const png_file &sample(int kind) {
    static const png_file files[] = {code_png(), photo_png(1000, 750, 6), noise_png(1000),
                                     photo_png(1000, 750, 6, true)};
    return files[kind];
}
const char *const KINDS[] = {"code_370", "photo_1000x750", "noise_1000", "photo_paeth_1000x750"};

void BM_png_read(benchmark::State &state) {
    const png_file &f = sample(static_cast<int>(state.range(0)));
    state.SetLabel(KINDS[state.range(0)]);
    for (auto _ : state) {
        unsigned char *pixels = nullptr;
        int w = 0;
        int h = 0;
        qr_image_read_memory(f.data.data(), static_cast<int>(f.data.size()), &pixels, &w, &h);
        benchmark::DoNotOptimize(pixels);
        std::free(pixels);
    }
}
BENCHMARK(BM_png_read)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

struct span_source {
    const bytes *stream;
    bool given;
};

std::size_t whole_stream(void *user, const unsigned char **data) {
    auto *s = static_cast<span_source *>(user);
    if (s->given) return 0;
    s->given = true;
    *data = s->stream->data();
    return s->stream->size();
}

void BM_png_inflated_size_check(benchmark::State &state) {
    const png_file &f = sample(static_cast<int>(state.range(0)));
    state.SetLabel(KINDS[state.range(0)]);
    for (auto _ : state) {
        span_source src{&f.stream, false};
        benchmark::DoNotOptimize(
            qr_inflated_size_within(whole_stream, &src, true, std::uint64_t{1} << 40));
    }
}
BENCHMARK(BM_png_inflated_size_check)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

}  // namespace
