// Raster encoding of the default look and of every preset, next to a floor
// (the same matrix drawn naively, one fill per module, no sampling, and
// compressed by the same PNG writer) and a peer: qrencode's matrix written by
// libpng. The peer links into this program only, never into the library.
#include <benchmark/benchmark.h>
#include <png.h>
#include <qrencode.h>
#include <zlib.h>

#include <csetjmp>
#include <cstring>
#include <memory>
#include <vector>

#include "bench_looks.h"
#include "qrcode_api.h"
#include "qrcode_encode.h"
#include "qrcode_png.h"
#include "qrcode_render.h"
#include "vantelor_qrcode.h"

namespace {

// The benchmark code's matrix and geometry: 10 px per module, a quiet zone
// of 4 modules (370 x 370 px).
struct bench_symbol {
    static constexpr int m = 10;
    static constexpr int q = 4 * m;
    qr_symbol symbol{};
    const unsigned char *modules = symbol.modules;
    int n = 0;
    int side = 0;
    bench_symbol() {
        qr_encode_matrix(qr_style_snapshot(), BENCH_URL, 1, symbol);
        n = symbol.n;
        side = n * m + 2 * q;
    }
};

// `preset` is null for the default look.
void BM_encode_preset(benchmark::State &state, const char *preset) {
    qr_init();
    if (preset && qr_apply_preset(preset) != 1) {
        state.SkipWithError("unknown preset");
        return;
    }
    for (auto _ : state) {
        int len = 0;
        unsigned char *png = qr_encode_to_memory(BENCH_URL, 1, 10, 4, &len);
        if (!png) {
            state.SkipWithError(qr_last_error());
            break;
        }
        benchmark::DoNotOptimize(png);
        qr_free_buffer(png);
    }
    qr_cleanup();
}
const bool encode_registered = register_per_look("BM_encode_preset", BM_encode_preset);

// Drawing alone (background, modules, finders) on the canvas of the encode
// benchmark: the part of an encode that depends on the look.
void BM_render_preset(benchmark::State &state, const char *preset) {
    qr_init();
    if (preset && qr_apply_preset(preset) != 1) {
        state.SkipWithError("unknown preset");
        return;
    }
    const auto sym = std::make_unique<bench_symbol>();
    const qr_style style = qr_style_snapshot();
    for (auto _ : state) {
        qr_canvas canvas{};
        qr_canvas_init(&canvas, sym->side, sym->side);
        qr_render_background(style, &canvas);
        qr_render_styled(style, &canvas, sym->modules, {sym->n, sym->m, sym->q, sym->side});
        benchmark::DoNotOptimize(canvas.pixels);
        qr_canvas_free(&canvas);
    }
    qr_cleanup();
}
const bool render_registered = register_per_look("BM_render_preset", BM_render_preset);

void BM_floor_naive_fill_and_png(benchmark::State &state) {
    qr_init();
    const bench_symbol sym;
    for (auto _ : state) {
        qr_canvas canvas{};
        qr_canvas_init(&canvas, sym.side, sym.side);
        std::memset(canvas.pixels, 255, static_cast<std::size_t>(sym.side) * sym.side * 4);
        for (int y = 0; y < sym.n; ++y) {
            for (int x = 0; x < sym.n; ++x) {
                if (!sym.modules[y * sym.n + x]) continue;
                for (int py = 0; py < sym.m; ++py) {
                    unsigned char *row =
                        canvas.pixels +
                        ((sym.q + y * sym.m + py) * sym.side + sym.q + x * sym.m) * 4;
                    for (int px = 0; px < sym.m; ++px) {
                        row[px * 4] = row[px * 4 + 1] = row[px * 4 + 2] = 0;
                    }
                }
            }
        }
        qr_bytes png;
        qr_png_write_mem(canvas, png);
        benchmark::DoNotOptimize(png.data);
        qr_canvas_free(&canvas);
    }
}
BENCHMARK(BM_floor_naive_fill_and_png);

// ---- Peer: qrencode's matrix drawn into 8-bit RGBA and written by libpng ----

// Collects libpng's output in memory.
void append_png_bytes(png_structp png, png_bytep data, png_size_t len) {
    auto *out = static_cast<std::vector<unsigned char> *>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + len);
}

void flush_nothing(png_structp) {}

// The same text, level and geometry as ours (370 x 370 px: version 3, 10 px
// per module, a quiet zone of 4 modules), black on white, written at zlib's
// default level with libpng's default per-row filter choice.
bool peer_encode(std::vector<unsigned char> &out) {
    QRcode *code = QRcode_encodeString(BENCH_URL, 0, QR_ECLEVEL_M, QR_MODE_8, 1);
    if (!code) return false;
    constexpr int m = bench_symbol::m;
    constexpr int q = bench_symbol::q;
    const int side = code->width * m + 2 * q;
    std::vector<unsigned char> pixels(static_cast<std::size_t>(side) * side * 4, 255);
    for (int y = 0; y < code->width; ++y) {
        for (int x = 0; x < code->width; ++x) {
            if (!(code->data[y * code->width + x] & 1)) continue;
            for (int py = 0; py < m; ++py) {
                unsigned char *row = &pixels[((q + y * m + py) * side + q + x * m) * 4];
                for (int px = 0; px < m; ++px) row[px * 4] = row[px * 4 + 1] = row[px * 4 + 2] = 0;
            }
        }
    }
    QRcode_free(code);

    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    out.clear();
    png_set_write_fn(png, &out, append_png_bytes, flush_nothing);
    png_set_compression_level(png, Z_DEFAULT_COMPRESSION);
    png_set_IHDR(png, info, static_cast<png_uint_32>(side), static_cast<png_uint_32>(side), 8,
                 PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < side; ++y)
        png_write_row(png, &pixels[static_cast<std::size_t>(y) * side * 4]);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

void BM_peer_qrencode_libpng(benchmark::State &state) {
    std::vector<unsigned char> out;
    for (auto _ : state) {
        if (!peer_encode(out)) {
            state.SkipWithError("qrencode or libpng failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["bytes"] = static_cast<double>(out.size());
}
BENCHMARK(BM_peer_qrencode_libpng);

}  // namespace
