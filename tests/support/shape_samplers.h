// One pixel of a figure as the renderer draws it, for tests that probe
// figures point by point: alpha from the figure's coverage at (u, v) in
// module units, colour from the paint's gradient (frame x0, y0, frame_w,
// frame_h) or solid colour; all zero where the figure does not reach.
#pragma once

#include "qrcode_shapes.h"

// Non-zero when the module at (column + dx, row + dy) of the module being
// sampled is dark; 0 when light or outside the symbol.
using qr_neighbor_fn = unsigned char (*)(int dx, int dy);

// The gradient's colour at (x, y) of a w x h frame.
void qr_gradient_color(const qr_gradient *grad, int x, int y, int w, int h, int rgb[3]);

void qr_shape_sample(const qr_shape_paint *paint, qr_neighbor_fn nb, float u, float v, int px,
                     int py, int x0, int y0, int frame_w, int frame_h, float aa_scale,
                     unsigned char rgba_out[4]);
void qr_corner_sample(int is_center, const qr_shape_paint *paint, float u, float v, int px, int py,
                      int x0, int y0, int frame_w, int frame_h, float aa_scale,
                      unsigned char rgba_out[4]);
