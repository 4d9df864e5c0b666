// The RGBA canvas, compositing, the background painter and the render driver
// of the raster path.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>

struct qr_style;

struct qr_canvas {
    int width;
    int height;
    unsigned char *pixels;  // width * height * 4 bytes RGBA, straight alpha
};

int qr_canvas_init(qr_canvas *canvas, int width, int height);
void qr_canvas_free(qr_canvas *canvas);

// Frees a canvas's pixels (not the record itself) when it leaves scope; an
// empty record is fine, so the owner can be made before the canvas is.
struct qr_canvas_releaser {
    void operator()(qr_canvas *canvas) const noexcept { qr_canvas_free(canvas); }
};
using qr_canvas_owner = std::unique_ptr<qr_canvas, qr_canvas_releaser>;

// Straight-alpha source-over compositing of one pixel; `a` is 1..255.
void qr_blend_px(unsigned char *dst, int r, int g, int b, int a);

// Offset of the RGBA pixel (x, y) in an image `width` pixels wide.
inline std::size_t qr_pixel_offset(int width, int x, int y) {
    return (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
            static_cast<std::size_t>(x)) *
           4;
}

// Colours of a run of at most QR_SPAN pixels of one row: each pixel's bytes
// in one word as they lie in memory, with channel c (0 red .. 3 alpha) at
// bit qr_channel_shift(c); the alpha byte is 255.
inline constexpr int QR_SPAN = 128;
struct qr_span_rgb {
    std::uint32_t px[QR_SPAN];
};
inline constexpr int qr_channel_shift(int c) {
    return std::endian::native == std::endian::little ? 8 * c : 24 - 8 * c;
}

void qr_render_background(qr_canvas *canvas);
// The background paint's colours of `count` (at most QR_SPAN) pixels from
// (x, y) rightwards on a w x h canvas.
void qr_background_span(const qr_style &style, int x, int y, int count, int w, int h,
                        qr_span_rgb *out);
int qr_render_styled(qr_canvas *canvas, const unsigned char *modules, int n, int margin);
