// Canvas, compositing, background painter and the render driver.
//
// Drawing order: background, dark data modules row by row (the three 7 x 7
// finder areas skipped), then for each finder its ring and its centre. Every
// pixel is sampled once at its centre; anti-aliasing comes from the
// samplers' coverage. Pixel arithmetic is single precision in a fixed order,
// so the same input gives the same bytes everywhere.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "qrcode_render.h"

#include "qrcode_gradient.h"
#include "qrcode_shapes.h"

namespace {

constexpr int SPAN = QR_SPAN;

// k / 255 in float for every byte k: the quotients blending divides by, taken
// from a table (a float division gives the same correctly rounded value at
// compile time as at run time).
constexpr std::array<float, 256> UNIT_OF_BYTE = [] {
    std::array<float, 256> unit{};
    for (int k = 0; k < 256; ++k)
        unit[static_cast<std::size_t>(k)] = static_cast<float>(k) / 255.0f;
    return unit;
}();

unsigned char *pixel_at(qr_canvas *canvas, int x, int y) {
    return canvas->pixels + qr_pixel_offset(canvas->width, x, y);
}

// Blending is a pure function of the pixel, the colour and the alpha, and a
// solid paint over a solid background blends the same few of them again and
// again: entry a keeps the last pixel and colour blended at alpha a and the
// result.
class blend_memo {
public:
    void blend(unsigned char *dst, std::uint32_t colour, unsigned char a) {
        std::uint32_t before = 0;
        std::memcpy(&before, dst, 4);
        // The colour's alpha byte is 255, so no key is 0, the empty entry.
        const std::uint64_t key = std::uint64_t{before} << 32 | colour;
        if (key_[a] == key) {
            std::memcpy(dst, &out_[a], 4);
            return;
        }
        qr_blend_px(dst, channel(colour, 0), channel(colour, 1), channel(colour, 2), a);
        key_[a] = key;
        std::memcpy(&out_[a], dst, 4);
    }

private:
    static int channel(std::uint32_t colour, int c) {
        return static_cast<int>(colour >> qr_channel_shift(c) & 0xffu);
    }

    std::uint64_t key_[256] = {};
    std::uint32_t out_[256] = {};
};

// A row of alphas and its longest run of opaque ones, [lo, hi).
struct alpha_row {
    const unsigned char *alpha;
    int lo, hi;
};

alpha_row with_opaque_run(const unsigned char *alpha, int count) {
    alpha_row row{alpha, 0, 0};
    for (int k = 0; k < count;) {
        if (alpha[k] != 255) {
            ++k;
            continue;
        }
        const int start = k;
        while (k < count && alpha[k] == 255) ++k;
        if (k - start > row.hi - row.lo) row = {alpha, start, k};
    }
    return row;
}

void composite_pixels(unsigned char *dst, const unsigned char *alpha, const std::uint32_t *colours,
                      int from, int to, blend_memo &memo) {
    for (int k = from; k < to; ++k) {
        if (alpha[k] != 0) memo.blend(dst + 4 * k, colours[k], alpha[k]);
    }
}

// Composites `count` pixels of a canvas row from dst: alpha k of colour k;
// alpha 0 leaves a pixel, alpha 255 replaces it.
void composite_span(unsigned char *dst, const alpha_row &row, const std::uint32_t *colours,
                    int count, blend_memo &memo) {
    composite_pixels(dst, row.alpha, colours, 0, row.lo, memo);
    if (row.hi > row.lo) {
        std::memcpy(dst + 4 * row.lo, colours + row.lo,
                    static_cast<std::size_t>(row.hi - row.lo) * 4);
    }
    composite_pixels(dst, row.alpha, colours, row.hi, count, memo);
}

void fill_colour(qr_span_rgb *out, const int color[3]) {
    std::uint32_t word = 255u << qr_channel_shift(3);
    for (int c = 0; c < 3; ++c)
        word |= static_cast<std::uint32_t>(color[c] & 0xff) << qr_channel_shift(c);
    std::fill_n(out->px, SPAN, word);
}

// A paint and the frame its gradient spans, in canvas pixels.
struct framed_paint {
    bool gradient;  // false: the solid colour
    int x0, y0;
    qr_gradient_frame frame;
    qr_span_rgb solid;
};

framed_paint frame_paint(const qr_gradient &gradient, const int color[3], int x0, int y0, int w,
                         int h) {
    const bool graded = gradient.type != QR_GRADIENT_NONE;
    framed_paint paint{graded, x0, y0, {&gradient, 1.0f, 0.0f, w, h}, {}};
    if (graded) paint.frame = qr_gradient_frame_of(&gradient, w, h);
    fill_colour(&paint.solid, color);
    return paint;
}

// The colours of `count` pixels from canvas pixel (x, y): `buf` filled with
// the gradient's, or the solid colour.
const std::uint32_t *paint_colours(const framed_paint &paint, int x, int y, int count,
                                   qr_span_rgb *buf) {
    if (!paint.gradient) return paint.solid.px;
    qr_gradient_span(paint.frame, x - paint.x0, y - paint.y0, count, buf);
    return buf->px;
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

constexpr int MASK_COUNT = 16;
constexpr signed char NOT_DRAWN = -1;

// The neighbour mask of every module drawn in the module pass, NOT_DRAWN for
// the others (light, or inside a finder area).
void drawn_module_masks(const unsigned char *modules, int n, signed char *masks) {
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
            const bool drawn = modules[y * n + x] && !qr_in_finder_area(x, y, n);
            masks[y * n + x] =
                drawn ? static_cast<signed char>(qr_module_neighbors(modules, n, x, y)) : NOT_DRAWN;
        }
    }
}

// The module figures' alpha rows at one pixel row of the cell, per
// neighbour mask, computed when first needed: pixels p0 .. p0 + count - 1 of
// row py of a cell of m pixels.
class figure_rows {
public:
    figure_rows(int dot_style, int m)
        : dot_style_(dot_style), m_(m), scale_(static_cast<float>(m)) {}

    void start(int py, int p0, int count) {
        v_ = (static_cast<float>(py) + 0.5f) / scale_;
        count_ = count;
        for (int k = 0; k < count; ++k) u_[k] = (static_cast<float>(p0 + k) + 0.5f) / scale_;
        std::fill_n(ready_, MASK_COUNT, false);
    }
    int count() const { return count_; }
    // Whether the row covers whole cells, so cells side by side make one run.
    bool whole_cells() const { return count_ == m_; }

    const alpha_row &row(int mask) {
        if (!ready_[mask]) {
            qr_figure_alpha_row(select_dot_figure(dot_style_, mask), u_, count_, v_, scale_,
                                alpha_[mask]);
            rows_[mask] = with_opaque_run(alpha_[mask], count_);
            ready_[mask] = true;
        }
        return rows_[mask];
    }

private:
    int dot_style_;
    int m_;
    float scale_;
    float v_ = 0.0f;
    int count_ = 0;
    float u_[SPAN] = {};
    unsigned char alpha_[MASK_COUNT][SPAN] = {};
    alpha_row rows_[MASK_COUNT] = {};
    bool ready_[MASK_COUNT] = {};
};

// What the module pass keeps from one run of cells to the next.
struct module_pass {
    qr_canvas *canvas;
    int m;
    framed_paint paint;
    figure_rows rows;
    qr_span_rgb colours;
    blend_memo memo;

    // One pixel row `cy` of `cells` drawn modules side by side from canvas
    // column cx, masks[0 .. cells) theirs: their colours computed at once,
    // and the cells whose row is opaque throughout copied together.
    void draw_run(int cx, int cy, const signed char *masks, int cells) {
        const int count = rows.count();
        const std::uint32_t *run = paint_colours(paint, cx, cy, (cells - 1) * m + count, &colours);
        int opaque_from = 0;
        const auto copy_opaque = [&](int to) {
            if (to <= opaque_from) return;
            const int pixels = (to - opaque_from - 1) * m + count;
            std::memcpy(pixel_at(canvas, cx + opaque_from * m, cy), run + opaque_from * m,
                        static_cast<std::size_t>(pixels) * 4);
        };
        for (int i = 0; i < cells; ++i) {
            const alpha_row &alpha = rows.row(masks[i]);
            if (alpha.lo == 0 && alpha.hi == count) continue;
            copy_opaque(i);
            opaque_from = i + 1;
            composite_span(pixel_at(canvas, cx + i * m, cy), alpha, run + i * m, count, memo);
        }
        copy_opaque(cells);
    }
};

// A module's figure depends only on its neighbour mask, and its alphas only
// on the figure and the pixel's place in the cell, so one alpha row per mask
// serves that pixel row of every module. Modules do not overlap, so drawing
// them a pixel row of every cell at a time gives the pixels drawing them one
// by one gives.
void draw_modules(const qr_style &style, qr_canvas *canvas, const unsigned char *modules,
                  const qr_geometry &geo) {
    const int n = geo.n;
    const int m = geo.module_px;
    const int margin = geo.margin;
    const int sym = n * m;
    module_pass pass{canvas,
                     m,
                     frame_paint(style.dot_gradient, style.dot_color, margin, margin, sym, sym),
                     figure_rows(style.dot_style, m),
                     {},
                     {}};
    std::array<signed char, QR_MATRIX_CAP> masks;
    drawn_module_masks(modules, n, masks.data());
    for (int py = 0; py < m; ++py) {
        for (int p0 = 0; p0 < m; p0 += SPAN) {
            pass.rows.start(py, p0, std::min(SPAN, m - p0));
            const int most = pass.rows.whole_cells() ? SPAN / m : 1;
            for (int y = 0; y < n; ++y) {
                const signed char *row = &masks[static_cast<std::size_t>(y * n)];
                for (int x = 0; x < n;) {
                    if (row[x] == NOT_DRAWN) {
                        ++x;
                        continue;
                    }
                    int end = x + 1;
                    while (end < n && end - x < most && row[end] != NOT_DRAWN) ++end;
                    pass.draw_run(margin + x * m + p0, margin + y * m + py, row + x, end - x);
                    x = end;
                }
            }
        }
    }
}

// One finder part (ring or centre) of all three finders: the same figure in
// the same box size, with each box as its own gradient frame, so a row's
// alphas and colours serve all three. The finder boxes of a symbol do not
// overlap one another, so only the order of ring and centre matters.
void draw_finder_parts(qr_canvas *canvas, int n, int margin, int m, int is_center,
                       const qr_shape_paint &part) {
    const int cells = is_center ? QR_CENTER_SIDE : QR_FINDER_SIDE;
    const int inset = is_center ? QR_CENTER_INSET * m : 0;
    const int side = cells * m;
    const auto fside = static_cast<float>(side);
    const auto fcells = static_cast<float>(cells);
    const auto scale = static_cast<float>(m);
    const framed_paint paint = frame_paint(*part.gradient, part.color, 0, 0, side, side);
    float u[SPAN];
    unsigned char alpha[SPAN];
    qr_span_rgb colours;
    blend_memo memo;
    for (int py = 0; py < side; ++py) {
        const float v = ((static_cast<float>(py) + 0.5f) / fside) * fcells;
        for (int p0 = 0; p0 < side; p0 += SPAN) {
            const int count = std::min(SPAN, side - p0);
            for (int k = 0; k < count; ++k) {
                u[k] = ((static_cast<float>(p0 + k) + 0.5f) / fside) * fcells;
            }
            qr_finder_alpha_row(is_center, part.style, u, count, v, scale, alpha);
            const alpha_row row = with_opaque_run(alpha, count);
            const std::uint32_t *rgb = paint_colours(paint, p0, py, count, &colours);
            for (const qr_cell origin : qr_finder_origins(n)) {
                unsigned char *dst = pixel_at(canvas, margin + origin.col * m + inset + p0,
                                              margin + origin.row * m + inset + py);
                composite_span(dst, row, rgb, count, memo);
            }
        }
    }
}

void draw_finders(const qr_style &style, qr_canvas *canvas, const qr_geometry &geo) {
    const qr_shape_paint ring = {
        style.corner_square_style,
        &style.corner_square_gradient,
        {style.corner_square_color[0], style.corner_square_color[1], style.corner_square_color[2]}};
    const qr_shape_paint center = {
        style.corner_dot_style,
        &style.corner_dot_gradient,
        {style.corner_dot_color[0], style.corner_dot_color[1], style.corner_dot_color[2]}};
    draw_finder_parts(canvas, geo.n, geo.margin, geo.module_px, 0, ring);
    draw_finder_parts(canvas, geo.n, geo.margin, geo.module_px, 1, center);
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
    const float sa = UNIT_OF_BYTE[static_cast<unsigned char>(a)];
    const float inv = 1.0f - sa;
    const float da = UNIT_OF_BYTE[dst[3]];
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

void qr_background_span(const qr_style &style, int x, int y, int count, int w, int h,
                        qr_span_rgb *out) {
    if (style.background_gradient.type != QR_GRADIENT_NONE) {
        qr_gradient_span(qr_gradient_frame_of(&style.background_gradient, w, h), x, y, count, out);
    } else {
        fill_colour(out, style.background_color);
    }
}

void qr_render_background(const qr_style &style, qr_canvas *canvas) {
    const int alpha = style.background_color[3];
    if (alpha == 0) return;
    if (alpha == 255 && style.background_gradient.type == QR_GRADIENT_NONE) {
        fill_opaque(canvas, 0, 0, canvas->width, canvas->height, style.background_color[0],
                    style.background_color[1], style.background_color[2]);
        return;
    }
    unsigned char alphas[SPAN];
    std::memset(alphas, alpha, sizeof alphas);
    qr_span_rgb colours;
    blend_memo memo;
    for (int y = 0; y < canvas->height; ++y) {
        for (int x = 0; x < canvas->width; x += SPAN) {
            const int count = std::min(SPAN, canvas->width - x);
            qr_background_span(style, x, y, count, canvas->width, canvas->height, &colours);
            // One alpha throughout: the whole span is opaque or none of it.
            const alpha_row row{alphas, 0, alpha == 255 ? count : 0};
            composite_span(pixel_at(canvas, x, y), row, colours.px, count, memo);
        }
    }
}

void qr_render_styled(const qr_style &style, qr_canvas *canvas, const unsigned char *modules,
                      const qr_geometry &geo) {
    draw_modules(style, canvas, modules, geo);
    draw_finders(style, canvas, geo);
}
