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

#include "qrcode_gradient.h"
#include "qrcode_types.h"

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

// A linear parameter is (dx c + dy s) / w + 0.5 and a radial one the root of
// dx^2 / rx^2 + dy^2 / ry^2: each a column term plus a row term, so a row of
// pixels computes its row term once. The terms are the very products of the
// per-pixel formula, so the sums round the same.
struct linear_frame {
    float c, s, fw;
    int w, h;

    linear_frame(float c_, float s_, int w_, int h_)
        : c(c_), s(s_), fw(static_cast<float>(w_)), w(w_), h(h_) {}
    float row_term(int y) const { return centre_offset(y, h) * s; }
    float t(int x, float row) const {
        return clamp_unit((centre_offset(x, w) * c + row) / fw + 0.5f);
    }
};

float half_squared(int size) {
    const float half = static_cast<float>(size) * 0.5f;
    return half * half;
}

struct radial_frame {
    float rx2, ry2;
    int w, h;

    radial_frame(int w_, int h_) : rx2(half_squared(w_)), ry2(half_squared(h_)), w(w_), h(h_) {}
    float row_term(int y) const {
        const float dy = centre_offset(y, h);
        return dy * dy / ry2;
    }
    float t(int x, float row) const {
        const float dx = centre_offset(x, w);
        const float t = std::sqrt(dx * dx / rx2 + row);
        return t > 1.0f ? 1.0f : t;
    }
};

int channel(int start, int end, float t) {
    return static_cast<int>(static_cast<float>(end - start) * t + static_cast<float>(start) + 0.5f);
}

std::uint32_t channel_bits(int start, int end, float t, int c) {
    return (static_cast<std::uint32_t>(channel(start, end, t)) & 0xffu) << qr_channel_shift(c);
}

// Two loops over whole vectors that the compiler vectorises in 32-bit lanes;
// a span is rounded up to a multiple of 16 pixels (the extra pixels lie past
// the span and are never read).
template <class Frame>
void span_colours(const qr_gradient *grad, const Frame &frame, int x, int y, int count,
                  qr_span_rgb *out) {
    const float row = frame.row_term(y);
    const int padded = (count + 15) & ~15;
    float ts[QR_SPAN];
    for (int k = 0; k < padded; ++k) ts[k] = clamp_unit(frame.t(x + k, row));
    for (int k = 0; k < padded; ++k) {
        const float t = ts[k];
        out->px[k] = channel_bits(grad->start_r, grad->end_r, t, 0) |
                     channel_bits(grad->start_g, grad->end_g, t, 1) |
                     channel_bits(grad->start_b, grad->end_b, t, 2) | 255u << qr_channel_shift(3);
    }
}

}  // namespace

void qr_gradient_axis(const qr_gradient *grad, float *c, float *s) {
    rotation_axis(std::isfinite(grad->rotation) ? grad->rotation : 0.0f, c, s);
}

float qr_linear_t(const qr_gradient *grad, int x, int y, int w, int h) {
    float c = 1.0f;
    float s = 0.0f;
    if (grad) qr_gradient_axis(grad, &c, &s);
    const linear_frame frame(c, s, w, h);
    return frame.t(x, frame.row_term(y));
}

float qr_radial_t(const qr_gradient * /*grad*/, int x, int y, int w, int h) {
    const radial_frame frame(w, h);
    return frame.t(x, frame.row_term(y));
}

void qr_gradient_sample(const qr_gradient *grad, float t, int *r, int *g, int *b) {
    t = clamp_unit(t);
    *r = channel(grad->start_r, grad->end_r, t);
    *g = channel(grad->start_g, grad->end_g, t);
    *b = channel(grad->start_b, grad->end_b, t);
}

qr_gradient_frame qr_gradient_frame_of(const qr_gradient *grad, int w, int h) {
    qr_gradient_frame frame{grad, 1.0f, 0.0f, w, h};
    if (grad->type != QR_GRADIENT_RADIAL) qr_gradient_axis(grad, &frame.c, &frame.s);
    return frame;
}

void qr_gradient_span(const qr_gradient_frame &frame, int x, int y, int count, qr_span_rgb *out) {
    if (frame.grad->type == QR_GRADIENT_RADIAL) {
        span_colours(frame.grad, radial_frame(frame.w, frame.h), x, y, count, out);
    } else {
        span_colours(frame.grad, linear_frame(frame.c, frame.s, frame.w, frame.h), x, y, count,
                     out);
    }
}
