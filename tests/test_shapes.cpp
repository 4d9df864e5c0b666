// Module figure selection and the module, ring and centre figures, observed
// as the coverage the samplers give at chosen points.
#include <string>

#include "qrcode_shapes.h"
#include "shape_samplers.h"
#include "test_support.h"

namespace {

// ---- Figure selection ----

constexpr int L = QR_NB_LEFT, T = QR_NB_TOP, R = QR_NB_RIGHT, B = QR_NB_BOTTOM;

constexpr qr_dot_figure FULL{QR_FIG_FULL, 0.0f, 0, 0, 0};
constexpr qr_dot_figure LEAF{QR_FIG_FULL, 0.0f, 0, 0, QR_SIDE_LEAF};
constexpr qr_dot_figure DISC{QR_FIG_DISC, 0.5f, 0, 0, 0};
constexpr qr_dot_figure rc(int x, int y) { return {QR_FIG_ROUND_CORNER, 0.5f, x, y, 0}; }
constexpr qr_dot_figure qd(int x, int y) { return {QR_FIG_QUARTER_DISC, 1.0f, x, y, 0}; }
constexpr qr_dot_figure half(int side) { return {QR_FIG_HALF_ROUND, 0.5f, 0, 0, side}; }

std::string describe(const qr_dot_figure &f) {
    return "kind " + std::to_string(f.kind) + " r " + std::to_string(f.radius) + " corner " +
           std::to_string(f.corner_x) + "," + std::to_string(f.corner_y) + " side " +
           std::to_string(f.side);
}

TEST(SelectDotFigure, EveryMaskForEveryStyle) {
    // Columns: pill, leaf, petal, fan, indexed by the neighbour mask.
    struct row {
        int mask;
        qr_dot_figure pill, leaf, petal, fan;
    };
    const row rows[16] = {
        {0, DISC, LEAF, LEAF, DISC},
        {L, half(QR_SIDE_LEFT), rc(1, 1), qd(0, 0), qd(0, 1)},
        {T, half(QR_SIDE_TOP), rc(1, 1), qd(0, 0), qd(0, 0)},
        {L | T, rc(1, 1), rc(1, 1), qd(0, 0), qd(0, 0)},
        {R, half(QR_SIDE_RIGHT), rc(0, 0), qd(1, 1), qd(1, 0)},
        {L | R, FULL, FULL, FULL, FULL},
        {T | R, rc(0, 1), FULL, FULL, qd(1, 0)},
        {L | T | R, FULL, FULL, FULL, FULL},
        {B, half(QR_SIDE_BOTTOM), rc(0, 0), qd(1, 1), qd(1, 1)},
        {L | B, rc(1, 0), FULL, FULL, qd(0, 1)},
        {T | B, FULL, FULL, FULL, FULL},
        {L | T | B, FULL, FULL, FULL, FULL},
        {R | B, rc(0, 0), rc(0, 0), qd(1, 1), qd(1, 1)},
        {L | R | B, FULL, FULL, FULL, FULL},
        {T | R | B, FULL, FULL, FULL, FULL},
        {L | T | R | B, FULL, FULL, FULL, FULL},
    };
    const auto expect_figure = [](int style, int mask, const qr_dot_figure &want) {
        const qr_dot_figure got = select_dot_figure(style, mask);
        EXPECT_EQ(describe(got), describe(want)) << "style " << style << " mask " << mask;
    };
    for (const row &r : rows) {
        expect_figure(QR_DOT_BLOCK, r.mask, FULL);
        expect_figure(QR_DOT_DISC, r.mask, DISC);
        expect_figure(QR_DOT_PILL, r.mask, r.pill);
        expect_figure(QR_DOT_LEAF, r.mask, r.leaf);
        expect_figure(QR_DOT_PETAL, r.mask, r.petal);
        expect_figure(QR_DOT_FAN, r.mask, r.fan);
        for (int other : {-1, 6, 100}) expect_figure(other, r.mask, FULL);
    }
}

// ---- Module figures in pixels ----

int g_mask = 0;
unsigned char mask_nb(int dx, int dy) {
    const int bit = dx < 0 ? L : dy < 0 ? T : dx > 0 ? R : B;
    return static_cast<unsigned char>((g_mask & bit) != 0);
}

int dot_alpha(int style, int mask, float u, float v, float scale) {
    g_mask = mask;
    const qr_shape_paint paint{style, nullptr, {0, 0, 0}};
    unsigned char rgba[4];
    qr_shape_sample(&paint, mask_nb, u, v, 0, 0, 0, 0, 1, 1, scale, rgba);
    return rgba[3];
}

// Four corner pixels and the centre of a 20-pixel module, as '#' (covered),
// '.' (empty) or '+' (partly covered): top-left, top-right, bottom-right,
// bottom-left, centre.
std::string corners(int style, int mask) {
    const float lo = 0.5f / 20.0f;
    const float hi = 19.5f / 20.0f;
    const float pts[5][2] = {{lo, lo}, {hi, lo}, {hi, hi}, {lo, hi}, {0.5f, 0.5f}};
    std::string out;
    for (const auto &p : pts) {
        const int a = dot_alpha(style, mask, p[0], p[1], 20.0f);
        out += a == 255 ? '#' : a == 0 ? '.' : '+';
    }
    return out;
}

TEST(DotFigures, CornersInPixels) {
    struct row {
        int style, mask;
        const char *corners;
    };
    const row rows[] = {
        {QR_DOT_BLOCK, 0, "#####"},
        {QR_DOT_PILL, 0, "....#"},  // lone: disc
        {QR_DOT_DISC, L | T | R | B, "....#"},
        {QR_DOT_FAN, 0, "....#"},
        {QR_DOT_LEAF, 0, ".#.##"},  // leaf: top-left and bottom-right rounded
        {QR_DOT_PETAL, 0, ".#.##"},
        {QR_DOT_PILL, R, ".##.#"},  // right half square, left half round
        {QR_DOT_PILL, L, "#..##"},
        {QR_DOT_PILL, T, "##..#"},
        {QR_DOT_PILL, B, "..###"},
        {QR_DOT_PILL, B | L, "#.###"},  // only the top-right corner rounded
        {QR_DOT_PILL, L | T, "##.##"},
        {QR_DOT_PILL, L | R, "#####"},
        {QR_DOT_PILL, L | T | B, "#####"},
        {QR_DOT_LEAF, R, ".####"},
        {QR_DOT_LEAF, L, "##.##"},
        {QR_DOT_LEAF, L | R, "#####"},
        {QR_DOT_PETAL, R, ".+#+#"},  // quarter disc of radius 1 from bottom-right
        {QR_DOT_PETAL, T, "#+.+#"},
        {QR_DOT_FAN, B | L, "+.+##"},  // anchored at the bottom-left corner
        {QR_DOT_FAN, T, "#+.+#"},
        {QR_DOT_FAN, R, "+#+.#"},
        {QR_DOT_FAN, B, ".+#+#"},
        {QR_DOT_FAN, L, "+.+##"},
        {QR_DOT_FAN, T | R, "+#+.#"},
        {QR_DOT_FAN, T | B, "#####"},
        {9, 0, "#####"},
    };
    for (const row &r : rows) {
        EXPECT_EQ(corners(r.style, r.mask), r.corners) << "style " << r.style << " mask " << r.mask;
    }
}

TEST(DotFigures, BoundariesOfQuadrantsAndHalves) {
    struct row {
        int style, mask;
        float u, v, scale;
        int alpha;
        const char *why;
    };
    // With one pixel per module a point 0.45 from the centre has D = 0.05
    // and alpha 140, while a "full" point has 255.
    const row rows[] = {
        {QR_DOT_PILL, T, 0.0f, 0.5f, 1.0f, 255, "half-round needs t > 0: v = 0.5 is square"},
        {QR_DOT_PILL, T, 0.05f, 0.5001f, 1.0f, 140, "just past the middle it is round"},
        {QR_DOT_PILL, L | T, 0.5f, 0.95f, 1.0f, 140, "quadrant x = 1 includes u = 0.5"},
        {QR_DOT_PILL, R | B, 0.5f, 0.05f, 1.0f, 255, "quadrant x = 0 excludes u = 0.5"},
        {QR_DOT_PILL, R | B, 0.05f, 0.5f, 1.0f, 255, "quadrant y = 0 excludes v = 0.5"},
        {QR_DOT_LEAF, 0, 0.5f, 0.95f, 1.0f, 140, "leaf cuts u >= 0.5 and v >= 0.5"},
        {QR_DOT_LEAF, 0, 0.5f, 0.05f, 1.0f, 255, "u >= 0.5 with v < 0.5 stays square"},
        {QR_DOT_LEAF, 0, 0.05f, 0.5f, 1.0f, 255, "u < 0.5 with v >= 0.5 stays square"},
        {QR_DOT_PETAL, 0, 0.5f, 0.95f, 1.0f, 140, "lone petal is the leaf of radius 0.5"},
        {QR_DOT_LEAF, R, 0.2f, 0.2f, 20.0f, 255, "leaf corner radius 0.5 covers (0.2, 0.2)"},
        {QR_DOT_PETAL, R, 0.2f, 0.2f, 20.0f, 0, "petal corner radius 1 does not"},
        {QR_DOT_DISC, 0, 0.5f, 0.5f, 1.0f, 255, "one-pixel disc: the centre is covered"},
        {QR_DOT_LEAF, 0, 0.5f, 0.5f, 1.0f, 255, "one-pixel leaf: the centre is covered"},
    };
    for (const row &r : rows) {
        EXPECT_EQ(dot_alpha(r.style, r.mask, r.u, r.v, r.scale), r.alpha) << r.why;
    }
}

// ---- Finder figures ----

int ring_alpha(int style, float u, float v, float scale) {
    const qr_shape_paint paint{style, nullptr, {0, 0, 0}};
    unsigned char rgba[4];
    qr_corner_sample(0, &paint, u, v, 0, 0, 0, 0, 1, 1, scale, rgba);
    return rgba[3];
}

int centre_alpha(int style, float u, float v, float scale) {
    const qr_shape_paint paint{style, nullptr, {0, 0, 0}};
    unsigned char rgba[4];
    qr_corner_sample(7, &paint, u, v, 0, 0, 0, 0, 1, 1, scale, rgba);
    return rgba[3];
}

TEST(RingFigures, OutlinesAndHoles) {
    struct row {
        int style;
        float u, v, scale;
        int alpha;
        const char *why;
    };
    const row rows[] = {
        {QR_RING_BOX, 0.05f, 0.05f, 4.0f, 255, "square corner"},
        {QR_RING_BOX, 1.1f, 1.1f, 4.0f, 0, "square hole"},
        {QR_RING_CIRCLE, 0.2f, 0.2f, 4.0f, 0, "circle leaves the box corners"},
        {QR_RING_CIRCLE, 0.0f, 3.5f, 4.0f, 128, "outer edge at distance 3.5"},
        {QR_RING_CIRCLE, 1.1f, 3.5f, 1.0f, 102, "distance 2.4, one pixel per module: 0.4"},
        {QR_RING_CIRCLE, 1.0f, 3.5f, 10.0f, 255, "distance 2.5 is fully in the band"},
        {QR_RING_CIRCLE, 1.015f, 3.5f, 10.0f, 89, "inner edge ramps on the hole side"},
        {QR_RING_CIRCLE, 3.5f, 3.5f, 4.0f, 0, "centre of the hole"},
        {QR_RING_CUSHION, 0.2f, 0.2f, 4.0f, 0, "corner radius 1"},
        {QR_RING_CUSHION, 0.5f, 0.5f, 4.0f, 255, "inside the rounded corner"},
        {QR_RING_CUSHION, 1.1f, 1.1f, 4.0f, 0, "square hole"},
        {QR_RING_CUSHION, 1.0f, 3.5f, 4.0f, 0, "hole includes its bound"},
        {QR_RING_PEBBLE, 0.2f, 0.2f, 1.0f, 0, "corner radius 2.5, any module size"},
        {QR_RING_PEBBLE, 0.2f, 0.2f, 20.0f, 0, "corner radius 2.5, any module size"},
        {QR_RING_PEBBLE, 0.6f, 0.6f, 4.0f, 0, "still outside the big rounding"},
        {QR_RING_PEBBLE, 1.1f, 1.1f, 1.0f, 255, "rounded hole leaves (1.1, 1.1) in the ring"},
        {QR_RING_PEBBLE, 1.3f, 1.3f, 4.0f, 255, "hole corner radius 1.5"},
        {QR_RING_PEBBLE, 1.5f, 1.5f, 4.0f, 0, "hole corner radius 1.5"},
        {QR_RING_PEBBLE, 2.5f, 2.5f, 4.0f, 0, "hole"},
        {QR_RING_PEBBLE, 1.0f, 3.5f, 4.0f, 0, "rounded hole includes its bound"},
        {QR_RING_TILE, 0.05f, 0.05f, 4.0f, 0, "corner radius 0.5"},
        {QR_RING_TILE, 0.45f, 0.45f, 4.0f, 255, "inside the small rounding"},
        {QR_RING_TILE, 1.1f, 1.1f, 4.0f, 0, "square hole"},
        {QR_RING_TILE, 6.0f, 6.0f, 4.0f, 0, "hole includes its bound"},
        {QR_RING_TUBE, 0.2f, 0.2f, 4.0f, 0, "corner radius 1"},
        {QR_RING_TUBE, 1.1f, 1.1f, 4.0f, 255, "rounded hole leaves (1.1, 1.1) in the ring"},
        {QR_RING_TUBE, 1.3f, 1.3f, 4.0f, 0, "hole corner radius 0.5"},
        {QR_RING_TUBE, 0.5f, 3.5f, 4.0f, 255, "ring side"},
        {QR_RING_TUBE, 3.5f, 6.0f, 4.0f, 0, "rounded hole includes its bound"},
        {9, 0.05f, 0.05f, 4.0f, 255, "unknown style is the box"},
        {9, 3.0f, 3.0f, 4.0f, 0, "unknown style is the box"},
    };
    for (const row &r : rows) {
        EXPECT_EQ(ring_alpha(r.style, r.u, r.v, r.scale), r.alpha)
            << "style " << r.style << ": " << r.why;
    }
}

TEST(CentreFigures, DiscCushionBox) {
    struct row {
        int style;
        float u, v;
        int alpha;
    };
    const row rows[] = {
        {QR_CENTER_BOX, 0.05f, 0.05f, 255},   {QR_CENTER_BOX, 2.95f, 1.0f, 255},
        {QR_CENTER_DISC, 0.05f, 0.05f, 0},    {QR_CENTER_DISC, 2.9f, 2.9f, 0},
        {QR_CENTER_DISC, 1.5f, 0.5f, 255},    {QR_CENTER_DISC, 0.0f, 1.5f, 128},
        {QR_CENTER_CUSHION, 0.05f, 0.05f, 0}, {QR_CENTER_CUSHION, 0.4f, 0.4f, 255},
        {QR_CENTER_CUSHION, 0.2f, 1.5f, 255}, {5, 0.05f, 0.05f, 255},
    };
    for (const row &r : rows) {
        EXPECT_EQ(centre_alpha(r.style, r.u, r.v, 4.0f), r.alpha)
            << "style " << r.style << " at " << r.u << "," << r.v;
    }
}

// The finder pass through the whole pipeline: a circle ring with a disc
// centre leaves the corners of both boxes to the background.
TEST(FinderPass, CircleRingAndDiscCentreInTheCanvas) {
    qr_init();
    qr_set_corner_square_style(QR_RING_CIRCLE);
    qr_set_corner_dot_style(QR_CENTER_DISC);
    const int m = 8;
    const vqr_test::image img = vqr_test::encode_image("finder", 1, m, 0);
    const auto dark = [&](int x, int y) { return img.at(x, y)[0] < 128; };
    EXPECT_FALSE(dark(0, 0));
    EXPECT_FALSE(dark(7 * m - 1, 0));
    EXPECT_TRUE(dark(0, 7 * m / 2));
    EXPECT_TRUE(dark(7 * m / 2, 0));
    EXPECT_FALSE(dark(2 * m, 2 * m)) << "centre box corner";
    EXPECT_TRUE(dark(7 * m / 2, 7 * m / 2)) << "centre";
    EXPECT_FALSE(dark(m + m / 2, 7 * m / 2)) << "between ring and centre";
    qr_cleanup();
}

}  // namespace

// ---- Finder areas and neighbours ----

TEST(FinderAreas, BoxesAndOrigins) {
    const int n = 21;
    struct row {
        int col, row;
        bool finder;
    };
    const row rows[] = {
        {0, 0, true},    {6, 6, true},    {7, 6, false},  {6, 7, false},  {14, 0, true},
        {13, 0, false},  {20, 6, true},   {0, 14, true},  {0, 13, false}, {6, 20, true},
        {14, 14, false}, {20, 20, false}, {7, 14, false}, {14, 7, false},
    };
    for (const row &r : rows) {
        EXPECT_EQ(qr_in_finder_area(r.col, r.row, n), r.finder) << r.col << "," << r.row;
    }
    const auto origins = qr_finder_origins(n);
    EXPECT_EQ(origins[0].col, 0);
    EXPECT_EQ(origins[0].row, 0);
    EXPECT_EQ(origins[1].col, 14);
    EXPECT_EQ(origins[1].row, 0);
    EXPECT_EQ(origins[2].col, 0);
    EXPECT_EQ(origins[2].row, 14);
}

// A 3 x 3 matrix:  1 1 0 / 0 1 1 / 1 0 2 (any non-zero byte is dark).
TEST(ModuleNeighbours, MaskFromTheMatrixWithLightOutside) {
    const unsigned char m[9] = {1, 1, 0, 0, 1, 1, 1, 0, 2};
    struct row {
        int col, row, mask;
    };
    const row rows[] = {
        {0, 0, QR_NB_RIGHT},
        {1, 0, QR_NB_LEFT | QR_NB_BOTTOM},
        {2, 0, QR_NB_LEFT | QR_NB_BOTTOM},
        {1, 1, QR_NB_TOP | QR_NB_RIGHT},
        {2, 1, QR_NB_LEFT | QR_NB_BOTTOM},
        {0, 2, 0},
        {2, 2, QR_NB_TOP},
        {1, 2, QR_NB_LEFT | QR_NB_TOP | QR_NB_RIGHT},
    };
    for (const row &r : rows) {
        EXPECT_EQ(qr_module_neighbors(m, 3, r.col, r.row), r.mask) << r.col << "," << r.row;
    }
}
