// Centre logo compositing for the raster path.
//
// The box in the canvas centre is overwritten (not blended) with the
// background paint, then the logo, fitted inside the box less its margin with
// its aspect ratio kept, is resampled bilinearly and composited over it with
// straight alpha. Sizes are computed in 64 bits where a margin could
// overflow; reads of the logo stay inside the image by clamping.
#include "qrcode_logo.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "qrcode_gradient.h"
#include "qrcode_png.h"
#include "qrcode_render.h"

namespace {

constexpr int MIN_INNER = 8;
constexpr float MIN_SCALE = 0.05f;

struct rgba_f {
    float c[4];
};

const unsigned char *logo_px(const unsigned char *pixels, int lw, int x, int y) {
    return pixels + qr_pixel_offset(lw, x, y);
}

// Integer cell and weight along one axis.
struct axis_sample {
    int cell;
    float weight;
};

// The axis sample of source coordinate `s` in an image `len` pixels long.
axis_sample bilinear_axis(float s, int len) {
    const float f = std::min(s, static_cast<float>(len) - 1.001f);
    int i = std::max(0, static_cast<int>(f));
    if (i >= len - 1) i = std::max(len, 2) - 2;
    float w = f;
    if (len > 1) {
        w = f - static_cast<float>(i);
    } else {
        i = 0;
    }
    return {i, std::clamp(w, 0.0f, 1.0f)};
}

void sample_logo(const unsigned char *pixels, int lw, int lh, axis_sample x, axis_sample y,
                 unsigned char out[4]) {
    const int ix = x.cell;
    const int iy = y.cell;
    const float wx = x.weight;
    const float wy = y.weight;
    const unsigned char *p00 = logo_px(pixels, lw, ix, iy);
    const unsigned char *p10 = lw > 1 ? logo_px(pixels, lw, ix + 1, iy) : p00;
    const unsigned char *p01 = lh > 1 ? logo_px(pixels, lw, ix, iy + 1) : p00;
    const unsigned char *p11 = lh == 1 ? p00 : lw > 1 ? logo_px(pixels, lw, ix + 1, iy + 1) : p01;
    for (int c = 0; c < 4; ++c) {
        const float top = static_cast<float>(p10[c] - p00[c]) * wx + static_cast<float>(p00[c]);
        const float bottom = static_cast<float>(p11[c] - p01[c]) * wx + static_cast<float>(p01[c]);
        const float value = (bottom - top) * wy + top;
        out[c] = static_cast<unsigned char>(static_cast<int>(value + 0.5f));
    }
}

void clear_box(qr_canvas *canvas, const qr_style &style, int box) {
    if (box <= 0) return;
    const int w = canvas->width;
    const int h = canvas->height;
    const int x0 = std::max(0, (w - box) / 2);
    const int y0 = std::max(0, (h - box) / 2);
    const int x_end = std::min(x0 + box, w);
    // The span's words with the background's alpha in place of 255.
    const std::uint32_t alpha_mask = 255u << qr_channel_shift(3);
    const std::uint32_t alpha = static_cast<std::uint32_t>(style.background_color[3] & 0xff)
                                << qr_channel_shift(3);
    qr_span_rgb rgb;
    for (int y = y0; y < y0 + box && y < h; ++y) {
        for (int x = x0; x < x_end; x += QR_SPAN) {
            const int count = std::min(QR_SPAN, x_end - x);
            qr_background_span(style, x, y, count, w, h, &rgb);
            unsigned char *dst = canvas->pixels + qr_pixel_offset(w, x, y);
            for (int k = 0; k < count; ++k) {
                const std::uint32_t px = (rgb.px[k] & ~alpha_mask) | alpha;
                std::memcpy(dst + 4 * k, &px, 4);
            }
        }
    }
}

}  // namespace

qr_logo_fit qr_logo_geometry(int symbol_width, float logo_size, int logo_margin, int lw, int lh) {
    qr_logo_fit fit{};
    fit.box = static_cast<int>(static_cast<float>(symbol_width) * logo_size + 0.5f);
    const std::int64_t inner64 = std::int64_t{fit.box} - 2 * std::int64_t{logo_margin};
    const int inner = inner64 < MIN_INNER ? MIN_INNER : static_cast<int>(inner64);
    const auto finner = static_cast<float>(inner);
    float scale = finner / static_cast<float>(lw);
    if (static_cast<float>(lh) * scale > finner) scale = finner / static_cast<float>(lh);
    fit.scale = std::max(scale, MIN_SCALE);
    fit.dw = std::max(1, static_cast<int>(static_cast<float>(lw) * fit.scale + 0.5f));
    fit.dh = std::max(1, static_cast<int>(static_cast<float>(lh) * fit.scale + 0.5f));
    return fit;
}

qr_error qr_logo_composite(const qr_style &style, qr_canvas *canvas, int symbol_width) {
    if (!qr_style_has_logo(style) || symbol_width <= 0) return QR_OK;
    unsigned char *raw = nullptr;
    int lw = 0;
    int lh = 0;
    if (qr_png_read_file(style.logo_path, &raw, &lw, &lh) != 0) return QR_PNG_READ_FAILED;
    const qr_heap_ptr<unsigned char> pixels(raw);

    const qr_logo_fit fit =
        qr_logo_geometry(symbol_width, style.logo_size, style.logo_margin, lw, lh);
    clear_box(canvas, style, fit.box);

    const int ox = (canvas->width - fit.dw) / 2;
    const int oy = (canvas->height - fit.dh) / 2;
    unsigned char sample[4];
    for (int ly = 0; ly < fit.dh; ++ly) {
        const int dy = oy + ly;
        if (dy < 0 || dy >= canvas->height) continue;
        const axis_sample y = bilinear_axis(static_cast<float>(ly) / fit.scale, lh);
        for (int lx = 0; lx < fit.dw; ++lx) {
            const int dx = ox + lx;
            if (dx < 0 || dx >= canvas->width) continue;
            sample_logo(raw, lw, lh, bilinear_axis(static_cast<float>(lx) / fit.scale, lw), y,
                        sample);
            if (sample[3] == 0) continue;
            qr_blend_px(canvas->pixels + qr_pixel_offset(canvas->width, dx, dy), sample[0],
                        sample[1], sample[2], sample[3]);
        }
    }
    return QR_OK;
}
