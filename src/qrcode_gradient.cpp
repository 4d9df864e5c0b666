// Gradient evaluation for the raster path: a position inside a frame maps to
// a parameter t in [0, 1] (linear along the rotated axis, or radial from the
// frame's centre), and t maps to a colour between the start and end colours.
// The SVG writer takes its linear axis from here too, so both agree on it.
//
// The frame centre lies between pixel centres for even sizes ((w - 1) / 2).
// Non-finite inputs never reach a float-to-int conversion: a rotation that is
// not finite counts as 0 and a t that is not a number as 0.
#include <bit>
#include <cmath>
#include <cstdint>

#include "qrcode_frame.h"
#include "qrcode_gradient.h"

namespace {

constexpr float DEG_TO_RAD = 0.017453292f;

float clamp_unit(float t) {
    if (!(t >= 0.0f)) return 0.0f;  // also catches NaN
    return t > 1.0f ? 1.0f : t;
}

// cos and sin of the last rotation evaluated on this thread: a gradient is
// evaluated once per pixel, always with the same rotation, and the two
// calls cost more than the rest of the evaluation.
struct axis_memo {
    bool valid;
    std::uint32_t rotation_bits;
    float c, s;
};
thread_local constinit axis_memo t_axis{};

void rotation_axis(float rotation, float *c, float *s) {
    const auto bits = std::bit_cast<std::uint32_t>(rotation);
    if (!t_axis.valid || t_axis.rotation_bits != bits) {
        const float angle = rotation * DEG_TO_RAD;
        t_axis = {true, bits, std::cos(angle), std::sin(angle)};
    }
    *c = t_axis.c;
    *s = t_axis.s;
}

float centre_offset(int pos, int size) {
    return static_cast<float>(pos) - static_cast<float>(size - 1) * 0.5f;
}

}  // namespace

void qr_gradient_axis(const qr_gradient *grad, float *c, float *s) {
    rotation_axis(std::isfinite(grad->rotation) ? grad->rotation : 0.0f, c, s);
}

float qr_linear_t(const qr_gradient *grad, int x, int y, int w, int h) {
    float c = 1.0f;
    float s = 0.0f;
    if (grad) qr_gradient_axis(grad, &c, &s);
    const float dx = centre_offset(x, w);
    const float dy = centre_offset(y, h);
    return clamp_unit((dx * c + dy * s) / static_cast<float>(w) + 0.5f);
}

float qr_radial_t(const qr_gradient * /*grad*/, int x, int y, int w, int h) {
    const float dx = centre_offset(x, w);
    const float dy = centre_offset(y, h);
    const float rx = static_cast<float>(w) * 0.5f;
    const float ry = static_cast<float>(h) * 0.5f;
    const float t = std::sqrt(dx * dx / (rx * rx) + dy * dy / (ry * ry));
    return t > 1.0f ? 1.0f : t;
}

void qr_gradient_sample(const qr_gradient *grad, float t, int *r, int *g, int *b) {
    t = clamp_unit(t);
    const auto channel = [t](int start, int end) {
        return static_cast<int>(static_cast<float>(end - start) * t + static_cast<float>(start) +
                                0.5f);
    };
    *r = channel(grad->start_r, grad->end_r);
    *g = channel(grad->start_g, grad->end_g);
    *b = channel(grad->start_b, grad->end_b);
}

void qr_gradient_color(const qr_gradient *grad, int x, int y, int w, int h, int rgb[3]) {
    const float t = grad->type == QR_GRADIENT_RADIAL ? qr_radial_t(grad, x, y, w, h)
                                                     : qr_linear_t(grad, x, y, w, h);
    qr_gradient_sample(grad, t, &rgb[0], &rgb[1], &rgb[2]);
}
