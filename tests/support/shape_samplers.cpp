#include "shape_samplers.h"

#include <algorithm>

#include "qrcode_gradient.h"
#include "qrcode_types.h"

namespace {

int neighbor_mask(qr_neighbor_fn nb) {
    int mask = 0;
    if (nb) {
        if (nb(-1, 0)) mask |= QR_NB_LEFT;
        if (nb(0, -1)) mask |= QR_NB_TOP;
        if (nb(1, 0)) mask |= QR_NB_RIGHT;
        if (nb(0, 1)) mask |= QR_NB_BOTTOM;
    }
    return mask;
}

void paint_sample(const qr_shape_paint *paint, unsigned char alpha, int px, int py, int x0, int y0,
                  int frame_w, int frame_h, unsigned char rgba_out[4]) {
    if (alpha == 0) {
        std::fill_n(rgba_out, 4, static_cast<unsigned char>(0));
        return;
    }
    int rgb[3] = {paint->color[0], paint->color[1], paint->color[2]};
    if (paint->gradient && paint->gradient->type != QR_GRADIENT_NONE) {
        qr_gradient_color(paint->gradient, px - x0, py - y0, frame_w, frame_h, rgb);
    }
    for (int c = 0; c < 3; ++c) rgba_out[c] = static_cast<unsigned char>(rgb[c] & 0xff);
    rgba_out[3] = alpha;
}

}  // namespace

void qr_gradient_color(const qr_gradient *grad, int x, int y, int w, int h, int rgb[3]) {
    const float t = grad->type == QR_GRADIENT_RADIAL ? qr_radial_t(grad, x, y, w, h)
                                                     : qr_linear_t(grad, x, y, w, h);
    qr_gradient_sample(grad, t, &rgb[0], &rgb[1], &rgb[2]);
}

void qr_shape_sample(const qr_shape_paint *paint, qr_neighbor_fn nb, float u, float v, int px,
                     int py, int x0, int y0, int frame_w, int frame_h, float aa_scale,
                     unsigned char rgba_out[4]) {
    unsigned char alpha = 0;
    qr_figure_alpha_row(select_dot_figure(paint->style, neighbor_mask(nb)), &u, 1, v, aa_scale,
                        &alpha);
    paint_sample(paint, alpha, px, py, x0, y0, frame_w, frame_h, rgba_out);
}

void qr_corner_sample(int is_center, const qr_shape_paint *paint, float u, float v, int px, int py,
                      int x0, int y0, int frame_w, int frame_h, float aa_scale,
                      unsigned char rgba_out[4]) {
    unsigned char alpha = 0;
    qr_finder_alpha_row(is_center, paint->style, &u, 1, v, aa_scale, &alpha);
    paint_sample(paint, alpha, px, py, x0, y0, frame_w, frame_h, rgba_out);
}
