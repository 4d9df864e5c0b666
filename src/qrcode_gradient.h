// Gradient evaluation: a position in a frame to a parameter t, and t to a
// colour; the SVG writer takes its linear axis from here too.
#pragma once

struct qr_gradient;

float qr_linear_t(const qr_gradient *grad, int x, int y, int w, int h);
float qr_radial_t(const qr_gradient *grad, int x, int y, int w, int h);
void qr_gradient_sample(const qr_gradient *grad, float t, int *r, int *g, int *b);
// The colour of a gradient whose type is not 0 at (x, y) within a w x h
// frame: radial for type 2, linear for any other type.
void qr_gradient_color(const qr_gradient *grad, int x, int y, int w, int h, int rgb[3]);
// cos and sin of the gradient's rotation; a rotation that is not finite counts as 0.
void qr_gradient_axis(const qr_gradient *grad, float *c, float *s);
