// Canvas, compositing, background painter and the render driver.
//
// Drawing order: background, dark data modules row by row (the three 7 x 7
// finder areas skipped), then for each finder its ring and its centre. Every
// pixel is sampled once at its centre; anti-aliasing comes from the
// samplers' coverage. Pixel arithmetic is single precision in a fixed order,
// so the same input gives the same bytes everywhere.
#include <cstdlib>
#include <cstring>

#include "qrcode_frame.h"
#include "qrcode_gradient.h"
#include "qrcode_render.h"
#include "qrcode_shapes.h"

namespace {

unsigned char *pixel_at(qr_canvas *canvas, int x, int y) {
    return canvas->pixels + (static_cast<std::size_t>(y) * static_cast<std::size_t>(canvas->width) +
                             static_cast<std::size_t>(x)) *
                                4;
}

void composite_sample(qr_canvas *canvas, int x, int y, const unsigned char rgba[4]) {
    if (rgba[3] != 0) qr_blend_px(pixel_at(canvas, x, y), rgba[0], rgba[1], rgba[2], rgba[3]);
}

qr_shape_paint paint_of(int style, const qr_gradient &gradient, const int color[3]) {
    return {style, &gradient, {color[0], color[1], color[2]}};
}

// Paints a rectangle one opaque colour: what compositing an alpha-255 sample
// onto each of its pixels gives.
void fill_opaque(qr_canvas *canvas, int x, int y, int w, int h, int r, int g, int b) {
    const unsigned char px[4] = {static_cast<unsigned char>(r), static_cast<unsigned char>(g),
                                 static_cast<unsigned char>(b), 255};
    unsigned char *first = pixel_at(canvas, x, y);
    for (int k = 0; k < w; ++k) std::memcpy(first + k * 4, px, 4);
    const auto row_bytes = static_cast<std::size_t>(w) * 4;
    for (int row = 1; row < h; ++row) std::memcpy(pixel_at(canvas, x, y + row), first, row_bytes);
}

bool has_gradient(const qr_shape_paint &paint) {
    return paint.gradient && paint.gradient->type != QR_GRADIENT_NONE;
}

// A module's figure depends only on its neighbours, so it is chosen once per
// module; a figure that fills its cell in a solid paint is one fill.
void draw_modules(qr_canvas *canvas, const unsigned char *modules, int n, int margin, int m) {
    const qr_shape_paint paint =
        paint_of(g_style.dot_style, g_style.dot_gradient, g_style.dot_color);
    const auto scale = static_cast<float>(m);
    const int sym = n * m;
    unsigned char rgba[4];
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
            if (!modules[y * n + x] || qr_in_finder_area(x, y, n)) continue;
            const qr_dot_figure fig =
                select_dot_figure(paint.style, qr_module_neighbors(modules, n, x, y));
            if (qr_figure_fills_cell(fig) && !has_gradient(paint)) {
                fill_opaque(canvas, margin + x * m, margin + y * m, m, m, paint.color[0] & 0xff,
                            paint.color[1] & 0xff, paint.color[2] & 0xff);
                continue;
            }
            for (int py = 0; py < m; ++py) {
                const float v = (static_cast<float>(py) + 0.5f) / scale;
                for (int px = 0; px < m; ++px) {
                    const float u = (static_cast<float>(px) + 0.5f) / scale;
                    const int cx = margin + x * m + px;
                    const int cy = margin + y * m + py;
                    qr_figure_sample(fig, &paint, u, v, cx, cy, margin, margin, sym, sym, scale,
                                     rgba);
                    composite_sample(canvas, cx, cy, rgba);
                }
            }
        }
    }
}

// One finder figure: a box of `cells` modules at (bx, by) sampled in module
// units 0..cells, with the box itself as the gradient frame.
void draw_finder_part(qr_canvas *canvas, int is_center, const qr_shape_paint &paint, int bx, int by,
                      int cells, int m) {
    const int side = cells * m;
    const auto fside = static_cast<float>(side);
    const auto fcells = static_cast<float>(cells);
    const auto scale = static_cast<float>(m);
    unsigned char rgba[4];
    for (int py = 0; py < side; ++py) {
        const float v = ((static_cast<float>(py) + 0.5f) / fside) * fcells;
        for (int px = 0; px < side; ++px) {
            const float u = ((static_cast<float>(px) + 0.5f) / fside) * fcells;
            qr_corner_sample(is_center, &paint, u, v, bx + px, by + py, bx, by, side, side, scale,
                             rgba);
            composite_sample(canvas, bx + px, by + py, rgba);
        }
    }
}

void draw_finders(qr_canvas *canvas, int n, int margin, int m) {
    const qr_shape_paint ring = paint_of(
        g_style.corner_square_style, g_style.corner_square_gradient, g_style.corner_square_color);
    const qr_shape_paint center =
        paint_of(g_style.corner_dot_style, g_style.corner_dot_gradient, g_style.corner_dot_color);
    for (const qr_cell origin : qr_finder_origins(n)) {
        const int bx = margin + origin.col * m;
        const int by = margin + origin.row * m;
        const int inset = QR_CENTER_INSET * m;
        draw_finder_part(canvas, 0, ring, bx, by, QR_FINDER_SIDE, m);
        draw_finder_part(canvas, 1, center, bx + inset, by + inset, QR_CENTER_SIDE, m);
    }
}

}  // namespace

int qr_canvas_init(qr_canvas *canvas, int width, int height) {
    if (width <= 0 || height <= 0) return -1;
    canvas->width = width;
    canvas->height = height;
    const std::size_t bytes =
        static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
    canvas->pixels = static_cast<unsigned char *>(std::calloc(bytes, 1));
    return canvas->pixels ? 0 : -1;
}

void qr_canvas_free(qr_canvas *canvas) {
    std::free(canvas->pixels);
    canvas->pixels = nullptr;
    canvas->width = 0;
    canvas->height = 0;
}

void qr_blend_px(unsigned char *dst, int r, int g, int b, int a) {
    if (a == 255) {
        dst[0] = static_cast<unsigned char>(r);
        dst[1] = static_cast<unsigned char>(g);
        dst[2] = static_cast<unsigned char>(b);
        dst[3] = 255;
        return;
    }
    const float sa = static_cast<float>(a) / 255.0f;
    const float inv = 1.0f - sa;
    const float da = static_cast<float>(dst[3]) / 255.0f;
    const float out_a = da * inv + sa;
    const int src[3] = {r, g, b};
    for (int c = 0; c < 3; ++c) {
        const float d = static_cast<float>(dst[c]);
        const float s = static_cast<float>(src[c]);
        dst[c] =
            static_cast<unsigned char>(static_cast<int>(((d * da) * inv + s * sa) / out_a + 0.5f));
    }
    dst[3] = static_cast<unsigned char>(static_cast<int>(out_a * 255.0f + 0.5f));
}

void qr_render_background(qr_canvas *canvas) {
    const int alpha = g_style.background_color[3];
    if (alpha == 0) return;
    const qr_gradient &grad = g_style.background_gradient;
    int rgb[3] = {g_style.background_color[0], g_style.background_color[1],
                  g_style.background_color[2]};
    if (alpha == 255 && grad.type == QR_GRADIENT_NONE) {
        fill_opaque(canvas, 0, 0, canvas->width, canvas->height, rgb[0], rgb[1], rgb[2]);
        return;
    }
    for (int y = 0; y < canvas->height; ++y) {
        for (int x = 0; x < canvas->width; ++x) {
            if (grad.type != QR_GRADIENT_NONE) {
                qr_gradient_color(&grad, x, y, canvas->width, canvas->height, rgb);
            }
            qr_blend_px(pixel_at(canvas, x, y), rgb[0], rgb[1], rgb[2], alpha);
        }
    }
}

int qr_render_styled(qr_canvas *canvas, const unsigned char *modules, int n, int margin) {
    const int m = (canvas->width - 2 * margin) / n;
    if (m < 1) {
        qr_set_error("qr_render: module size too small for canvas");
        return -1;
    }
    draw_modules(canvas, modules, n, margin, m);
    draw_finders(canvas, n, margin, m);
    return 0;
}
