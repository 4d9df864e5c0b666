// Module and finder figures, shared by the raster and SVG writers.
#pragma once

#include <array>

struct qr_gradient;

enum : int { QR_NB_LEFT = 1, QR_NB_TOP = 2, QR_NB_RIGHT = 4, QR_NB_BOTTOM = 8 };

// A figure style with its paint: a gradient (inside the style drawn; may
// be null or of type none) or else the solid colour.
struct qr_shape_paint {
    int style;
    const qr_gradient *gradient;
    int color[3];
};

// ---- Module figures ----

enum : int {
    QR_DOT_BLOCK = 0,
    QR_DOT_PILL = 1,
    QR_DOT_DISC = 2,
    QR_DOT_LEAF = 3,
    QR_DOT_PETAL = 4,
    QR_DOT_FAN = 5,
};

enum : int {
    QR_RING_BOX = 0,
    QR_RING_CIRCLE = 1,
    QR_RING_CUSHION = 2,
    QR_RING_PEBBLE = 3,
    QR_RING_TILE = 4,
    QR_RING_TUBE = 5,
};

enum : int { QR_CENTER_BOX = 0, QR_CENTER_DISC = 1, QR_CENTER_CUSHION = 2 };

enum : int {
    QR_FIG_FULL = 0,
    QR_FIG_DISC = 1,
    QR_FIG_ROUND_CORNER = 2,
    QR_FIG_HALF_ROUND = 3,
    QR_FIG_QUARTER_DISC = 4,
};

enum : int {
    QR_SIDE_TOP = 0,
    QR_SIDE_RIGHT = 1,
    QR_SIDE_BOTTOM = 2,
    QR_SIDE_LEFT = 3,
    QR_SIDE_LEAF = 100,
};

struct qr_dot_figure {
    int kind;
    float radius;
    int corner_x;
    int corner_y;
    int side;
};

qr_dot_figure select_dot_figure(int style, int mask);
// The QR_NB_* mask of the dark neighbours of module (col, row) in an n x n
// matrix; outside the symbol counts as light.
int qr_module_neighbors(const unsigned char *modules, int n, int col, int row);
// The alphas the samplers give along one row of a figure: sample positions
// u[0..count) at v, module size aa_scale.
void qr_figure_alpha_row(const qr_dot_figure &fig, const float *u, int count, float v,
                         float aa_scale, unsigned char *alpha_out);
void qr_finder_alpha_row(int is_center, int style, const float *u, int count, float v,
                         float aa_scale, unsigned char *alpha_out);

// ---- Finder figures ----

// The finder patterns: a ring in a 7 x 7 box at each origin, a centre in the
// 3 x 3 box two modules inside it. Data modules inside a box are not drawn.
inline constexpr int QR_FINDER_SIDE = 7;
inline constexpr int QR_CENTER_INSET = 2;
inline constexpr int QR_CENTER_SIDE = 3;

struct qr_cell {
    int col;
    int row;
};
// Top-left modules of the three finder boxes of an n x n symbol, in drawing order.
std::array<qr_cell, 3> qr_finder_origins(int n);
bool qr_in_finder_area(int col, int row, int n);

// Outline and hole kinds of a finder figure.
enum : int {
    QR_OUTLINE_NONE = 0,
    QR_OUTLINE_SQUARE = 1,
    QR_OUTLINE_CIRCLE = 2,
    QR_OUTLINE_ROUNDED = 3
};

// A ring or centre figure in its own box, in module units. The outline and
// the hole are centred on the box, whose half side is `radius`; squares
// measure radii as half sides, rounded squares round their corners to
// `corner` and `hole_corner`.
struct qr_finder_shape {
    int outline;
    float radius;
    float corner;
    int hole;
    float hole_radius;
    float hole_corner;
};
// The figure of a ring or centre style; an unknown style gets the square one.
const qr_finder_shape &qr_ring_shape(int style);
const qr_finder_shape &qr_center_shape(int style);
