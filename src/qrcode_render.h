// The RGBA canvas, compositing, the background painter and the render driver
// of the raster path.
#pragma once

#include <memory>

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

// Straight-alpha source-over compositing of one pixel; `a` is never 0.
void qr_blend_px(unsigned char *dst, int r, int g, int b, int a);

void qr_render_background(qr_canvas *canvas);
int qr_render_styled(qr_canvas *canvas, const unsigned char *modules, int n, int margin);
