// The RGBA canvas, compositing, the background painter and the render driver
// of the raster path.
#pragma once

#include <cstddef>
#include <memory>

#include "qrcode_types.h"

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

// The background paint over the whole canvas.
void qr_render_background(const qr_style &style, qr_canvas *canvas);
// The background paint's colours of `count` (at most QR_SPAN) pixels from
// (x, y) rightwards on a w x h canvas.
void qr_background_span(const qr_style &style, int x, int y, int count, int w, int h,
                        qr_span_rgb *out);
// The dark modules and the finder patterns of the n x n matrix `modules`,
// placed on the canvas as `geo` says.
void qr_render_styled(const qr_style &style, qr_canvas *canvas, const unsigned char *modules,
                      const qr_geometry &geo);
