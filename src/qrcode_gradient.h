// Gradient evaluation: a position in a frame to a parameter t, and t to a
// colour; the SVG writer takes its linear axis from here too.
#pragma once

struct qr_gradient;
struct qr_span_rgb;

float qr_linear_t(const qr_gradient *grad, int x, int y, int w, int h);
float qr_radial_t(const qr_gradient *grad, int x, int y, int w, int h);
void qr_gradient_sample(const qr_gradient *grad, float t, int *r, int *g, int *b);
// A gradient prepared for a w x h frame, its rotation's cosine and sine
// taken once, and its colours of `count` (at most QR_SPAN) pixels from
// (x, y) rightwards in it: t from qr_radial_t for type 2, qr_linear_t for
// any other type, through qr_gradient_sample.
struct qr_gradient_frame {
    const qr_gradient *grad;
    float c, s;
    int w, h;
};
qr_gradient_frame qr_gradient_frame_of(const qr_gradient *grad, int w, int h);
void qr_gradient_span(const qr_gradient_frame &frame, int x, int y, int count, qr_span_rgb *out);
// cos and sin of the gradient's rotation; a rotation that is not finite counts as 0.
void qr_gradient_axis(const qr_gradient *grad, float *c, float *s);
