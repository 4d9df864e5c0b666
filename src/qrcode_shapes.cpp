// Pixel samplers and the figures they measure.
//
// A sampler turns a sample position (u, v) in module units into a scaled
// signed distance D (pixels, positive inside the figure), then into a
// coverage k = D + 0.5 clamped to 0..1 and an alpha. "Full" means D equals
// the pixels per module, so a covered pixel is always fully covered. Figures
// are chosen by select_dot_figure, the one place that decides a module's
// figure for both the raster and the SVG writer; the finder areas and the
// ring and centre figures are described here for both as well. Single precision
// throughout; at most two square roots per sample; no allocation.
#include "qrcode_shapes.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {

float length(float dx, float dy) { return std::sqrt(dx * dx + dy * dy); }

// Signed distance (positive inside) of a square of half side `half` centred
// at (c, c) whose corners are rounded to radius r.
float rounded_square(float u, float v, float c, float half, float r) {
    const float inset = half - r;
    const float ax = std::max(std::fabs(u - c) - inset, 0.0f);
    const float ay = std::max(std::fabs(v - c) - inset, 0.0f);
    return r - length(ax, ay);
}

// ---- Module figures ----

constexpr qr_dot_figure full_cell() { return {QR_FIG_FULL, 0.0f, 0, 0, 0}; }
constexpr qr_dot_figure leaf() { return {QR_FIG_FULL, 0.0f, 0, 0, QR_SIDE_LEAF}; }
constexpr qr_dot_figure disc() { return {QR_FIG_DISC, 0.5f, 0, 0, 0}; }
constexpr qr_dot_figure round_corner(int cx, int cy) {
    return {QR_FIG_ROUND_CORNER, 0.5f, cx, cy, 0};
}
constexpr qr_dot_figure quarter_disc(int cx, int cy) {
    return {QR_FIG_QUARTER_DISC, 1.0f, cx, cy, 0};
}

struct neighbours {
    bool left, top, right, bottom;
    int count;
    bool opposite;  // exactly two, on opposite sides
};

neighbours neighbours_of(int mask) {
    neighbours nb{(mask & QR_NB_LEFT) != 0,
                  (mask & QR_NB_TOP) != 0,
                  (mask & QR_NB_RIGHT) != 0,
                  (mask & QR_NB_BOTTOM) != 0,
                  0,
                  false};
    nb.count = int{nb.left} + int{nb.top} + int{nb.right} + int{nb.bottom};
    nb.opposite = nb.count == 2 && ((nb.left && nb.right) || (nb.top && nb.bottom));
    return nb;
}

// Corner a fan quarter disc is anchored on: for one neighbour the corner
// where its edge begins walking the cell clockwise, for two adjacent ones the
// corner their edges share.
qr_dot_figure fan_quarter(const neighbours &nb) {
    if (nb.count == 1) {
        if (nb.top) return quarter_disc(0, 0);
        if (nb.right) return quarter_disc(1, 0);
        if (nb.bottom) return quarter_disc(1, 1);
        return quarter_disc(0, 1);
    }
    if (nb.left && nb.top) return quarter_disc(0, 0);
    if (nb.top && nb.right) return quarter_disc(1, 0);
    if (nb.right && nb.bottom) return quarter_disc(1, 1);
    return quarter_disc(0, 1);
}

qr_dot_figure pill_figure(const neighbours &nb) {
    if (nb.count == 0) return disc();
    if (nb.count >= 3 || nb.opposite) return full_cell();
    if (nb.count == 1) {
        const int side = nb.top      ? QR_SIDE_TOP
                         : nb.right  ? QR_SIDE_RIGHT
                         : nb.bottom ? QR_SIDE_BOTTOM
                                     : QR_SIDE_LEFT;
        return {QR_FIG_HALF_ROUND, 0.5f, 0, 0, side};
    }
    // Two adjacent neighbours: round the quadrant diagonally away from both.
    return round_corner(nb.left ? 1 : 0, nb.top ? 1 : 0);
}

qr_dot_figure leaf_figure(const neighbours &nb, bool petal) {
    if (nb.count == 0) return leaf();
    if (!nb.left && !nb.top) return petal ? quarter_disc(1, 1) : round_corner(0, 0);
    if (nb.right || nb.bottom) return full_cell();
    return petal ? quarter_disc(0, 0) : round_corner(1, 1);
}

qr_dot_figure fan_figure(const neighbours &nb) {
    if (nb.count == 0) return disc();
    if (nb.count >= 3 || nb.opposite) return full_cell();
    return fan_quarter(nb);
}

// Distance from the cell centre, scaled, for the figures cut to a disc
// around it.
float centre_disc_distance(float radius, float u, float v, float s) {
    return (radius - length(u - 0.5f, v - 0.5f)) * s;
}

float dot_distance(const qr_dot_figure &fig, float u, float v, float s) {
    if (fig.side == QR_SIDE_LEAF) {
        const bool cut = (u < 0.5f && v < 0.5f) || (u >= 0.5f && v >= 0.5f);
        return cut ? centre_disc_distance(0.5f, u, v, s) : s;
    }
    switch (fig.kind) {
    case QR_FIG_DISC: return centre_disc_distance(fig.radius, u, v, s);
    case QR_FIG_ROUND_CORNER: {
        const bool in_x = fig.corner_x == 1 ? u >= 0.5f : u < 0.5f;
        const bool in_y = fig.corner_y == 1 ? v >= 0.5f : v < 0.5f;
        return in_x && in_y ? centre_disc_distance(fig.radius, u, v, s) : s;
    }
    case QR_FIG_HALF_ROUND: {
        float t = 0.0f;
        switch (fig.side) {
        case QR_SIDE_TOP: t = v - 0.5f; break;
        case QR_SIDE_BOTTOM: t = 0.5f - v; break;
        case QR_SIDE_RIGHT: t = 0.5f - u; break;
        default: t = u - 0.5f; break;
        }
        return t > 0.0f ? centre_disc_distance(fig.radius, u, v, s) : s;
    }
    case QR_FIG_QUARTER_DISC:
        return (fig.radius - length(u - static_cast<float>(fig.corner_x),
                                    v - static_cast<float>(fig.corner_y))) *
               s;
    default: return s;
    }
}

// ---- Finder figures ----

// Styles index these tables. A ring fills a 7-module box, a centre a 3-module
// box, so each figure's centre lies at `radius` on both axes.
constexpr qr_finder_shape RING_SHAPES[] = {
    {QR_OUTLINE_SQUARE, 3.5f, 0.0f, QR_OUTLINE_SQUARE, 2.5f, 0.0f},    // box
    {QR_OUTLINE_CIRCLE, 3.5f, 0.0f, QR_OUTLINE_CIRCLE, 2.5f, 0.0f},    // circle
    {QR_OUTLINE_ROUNDED, 3.5f, 1.0f, QR_OUTLINE_SQUARE, 2.5f, 0.0f},   // cushion
    {QR_OUTLINE_ROUNDED, 3.5f, 2.5f, QR_OUTLINE_ROUNDED, 2.5f, 1.5f},  // pebble
    {QR_OUTLINE_ROUNDED, 3.5f, 0.5f, QR_OUTLINE_SQUARE, 2.5f, 0.0f},   // tile
    {QR_OUTLINE_ROUNDED, 3.5f, 1.0f, QR_OUTLINE_ROUNDED, 2.5f, 0.5f},  // tube
};
static_assert(std::size(RING_SHAPES) == QR_RING_TUBE + 1);

constexpr qr_finder_shape CENTER_SHAPES[] = {
    {QR_OUTLINE_SQUARE, 1.5f, 0.0f, QR_OUTLINE_NONE, 0.0f, 0.0f},    // box
    {QR_OUTLINE_CIRCLE, 1.5f, 0.0f, QR_OUTLINE_NONE, 0.0f, 0.0f},    // disc
    {QR_OUTLINE_ROUNDED, 1.5f, 0.75f, QR_OUTLINE_NONE, 0.0f, 0.0f},  // cushion
};
static_assert(std::size(CENTER_SHAPES) == QR_CENTER_CUSHION + 1);

bool in_square(float u, float v, float c, float half) {
    return u >= c - half && u <= c + half && v >= c - half && v <= c + half;
}

bool in_hole(const qr_finder_shape &f, float u, float v) {
    switch (f.hole) {
    case QR_OUTLINE_SQUARE: return in_square(u, v, f.radius, f.hole_radius);
    case QR_OUTLINE_ROUNDED:
        return rounded_square(u, v, f.radius, f.hole_radius, f.hole_corner) >= 0.0f;
    default: return false;
    }
}

// A square outline has no distance of its own: its box is the sampled area.
float finder_distance(const qr_finder_shape &f, float u, float v, float s) {
    switch (f.outline) {
    case QR_OUTLINE_CIRCLE: {
        const float dist = length(u - f.radius, v - f.radius);
        // Inside the band the distance is to the outer circle only, so the
        // inner edge ramps over half a pixel on the hole side.
        if (f.hole == QR_OUTLINE_CIRCLE && dist < f.hole_radius) {
            return (dist - f.hole_radius) * s;
        }
        return (f.radius - dist) * s;
    }
    case QR_OUTLINE_ROUNDED: {
        const float e = rounded_square(u, v, f.radius, f.radius, f.corner);
        if (e <= 0.0f) return e * s;
        return in_hole(f, u, v) ? -s : e * s;
    }
    default: return in_hole(f, u, v) ? -s : s;
    }
}

// Coverage k in (0, 1] from a scaled distance, or 0 for an uncovered sample.
float coverage(float d) {
    const float k = d + 0.5f;
    if (k < 0.0f) return 0.0f;
    return std::min(k, 1.0f);
}

unsigned char alpha_of(float k) {
    return static_cast<unsigned char>(static_cast<int>(k * 255.0f + 0.5f));
}

unsigned char coverage_alpha(float d) {
    const float k = coverage(d);
    return k <= 0.0f ? 0 : alpha_of(k);
}

}  // namespace

qr_dot_figure select_dot_figure(int style, int mask) {
    const neighbours nb = neighbours_of(mask);
    switch (style) {
    case QR_DOT_PILL: return pill_figure(nb);
    case QR_DOT_DISC: return disc();
    case QR_DOT_LEAF: return leaf_figure(nb, false);
    case QR_DOT_PETAL: return leaf_figure(nb, true);
    case QR_DOT_FAN: return fan_figure(nb);
    default: return full_cell();
    }
}

void qr_figure_alpha_row(const qr_dot_figure &fig, const float *u, int count, float v,
                         float aa_scale, unsigned char *alpha_out) {
    for (int k = 0; k < count; ++k)
        alpha_out[k] = coverage_alpha(dot_distance(fig, u[k], v, aa_scale));
}

void qr_finder_alpha_row(int is_center, int style, const float *u, int count, float v,
                         float aa_scale, unsigned char *alpha_out) {
    const qr_finder_shape &f = is_center ? qr_center_shape(style) : qr_ring_shape(style);
    for (int k = 0; k < count; ++k) {
        alpha_out[k] = coverage_alpha(finder_distance(f, u[k], v, aa_scale));
    }
}

const qr_finder_shape &qr_ring_shape(int style) {
    return RING_SHAPES[style >= 0 && style <= QR_RING_TUBE ? style : QR_RING_BOX];
}

const qr_finder_shape &qr_center_shape(int style) {
    return CENTER_SHAPES[style >= 0 && style <= QR_CENTER_CUSHION ? style : QR_CENTER_BOX];
}

std::array<qr_cell, 3> qr_finder_origins(int n) {
    return {{{0, 0}, {n - QR_FINDER_SIDE, 0}, {0, n - QR_FINDER_SIDE}}};
}

bool qr_in_finder_area(int col, int row, int n) {
    const bool top = row < QR_FINDER_SIDE;
    const bool left = col < QR_FINDER_SIDE;
    return (top && left) || (top && col >= n - QR_FINDER_SIDE) ||
           (row >= n - QR_FINDER_SIDE && left);
}

int qr_module_neighbors(const unsigned char *modules, int n, int col, int row) {
    const auto dark = [modules, n](int c, int r) {
        return c >= 0 && r >= 0 && c < n && r < n && modules[r * n + c] != 0;
    };
    int mask = 0;
    if (dark(col - 1, row)) mask |= QR_NB_LEFT;
    if (dark(col, row - 1)) mask |= QR_NB_TOP;
    if (dark(col + 1, row)) mask |= QR_NB_RIGHT;
    if (dark(col, row + 1)) mask |= QR_NB_BOTTOM;
    return mask;
}
