// Canvas, compositing, background, the render driver and the samplers'
// coverage rule, observed in bytes.
#include <array>
#include <utility>
#include <vector>

#include "qrcode_api.h"
#include "qrcode_render.h"
#include "qrcode_shapes.h"
#include "shape_samplers.h"
#include "test_support.h"

namespace {

using vqr_test::BLACK;
using vqr_test::image;
using vqr_test::px4;
using vqr_test::px4_of;
using vqr_test::WHITE;

class Render : public vqr_test::library {};

px4 blended(px4 dst, px4 src) {
    unsigned char d[4] = {static_cast<unsigned char>(dst[0]), static_cast<unsigned char>(dst[1]),
                          static_cast<unsigned char>(dst[2]), static_cast<unsigned char>(dst[3])};
    qr_blend_px(d, src[0], src[1], src[2], src[3]);
    return px4_of(d);
}

px4 pixel(const image &img, int x, int y) { return px4_of(img.at(x, y)); }

constexpr px4 CLEAR{0, 0, 0, 0};

TEST(Blend, WorkedExamples) {
    struct row {
        px4 dst, src, out;
    };
    const row rows[] = {
        {WHITE, {0, 0, 0, 128}, {127, 127, 127, 255}},
        {CLEAR, {200, 100, 50, 64}, {200, 100, 50, 64}},
        {{10, 20, 30, 128}, {200, 100, 50, 128}, {137, 73, 43, 192}},
        {{9, 9, 9, 6}, {178, 178, 178, 2}, {52, 52, 52, 8}},  // 51 if contracted into FMA
        {{1, 2, 3, 4}, {90, 80, 70, 255}, {90, 80, 70, 255}},
        {{40, 50, 60, 255}, {0, 0, 0, 1}, {40, 50, 60, 255}},
    };
    for (const row &r : rows) EXPECT_EQ(blended(r.dst, r.src), r.out);
}

TEST_F(Render, SolidBackgroundIsCompositedOverTheNewCanvas) {
    struct row {
        px4 colour, out;
    };
    for (const row r : {row{{255, 255, 255, 128}, {255, 255, 255, 128}},
                        row{{12, 34, 56, 0}, CLEAR}, row{{12, 34, 56, 255}, {12, 34, 56, 255}}}) {
        qr_set_background_color(r.colour[0], r.colour[1], r.colour[2], r.colour[3]);
        qr_canvas canvas{};
        ASSERT_EQ(qr_canvas_init(&canvas, 3, 2), 0);
        qr_render_background(qr_style_snapshot(), &canvas);
        for (int i = 0; i < 6; ++i) {
            const unsigned char *p = canvas.pixels + i * 4;
            EXPECT_EQ((px4{p[0], p[1], p[2], p[3]}), r.out) << i;
        }
        qr_canvas_free(&canvas);
    }
}

// Every pixel of the canvas, quiet zone included, against the matrix.
void expect_plain_code(const image &img, const std::vector<unsigned char> &modules, int n, int m,
                       int q, px4 light) {
    ASSERT_EQ(img.width, n * m + 2 * q);
    int wrong = 0;
    for (int y = 0; y < img.height; ++y) {
        for (int x = 0; x < img.width; ++x) {
            const int mx = (x - q) / m;
            const int my = (y - q) / m;
            const bool dark = x >= q && y >= q && mx < n && my < n && modules[my * n + mx];
            if (pixel(img, x, y) != (dark ? BLACK : light) && ++wrong < 5) {
                ADD_FAILURE() << "pixel " << x << "," << y;
            }
        }
    }
    EXPECT_EQ(wrong, 0);
}

TEST_F(Render, DefaultLookIsPureBlackOnWhite) {
    int n = 0;
    const char *text = "default look, version 2 with an alignment pattern";
    const auto modules = vqr_test::matrix_of(text, 0, &n);
    for (int m : {1, 3, 8}) {
        expect_plain_code(vqr_test::encode_image(text, 0, m, 2), modules, n, m, 2 * m, WHITE);
    }
}

TEST(RenderAtLoad, LoadTimeStyleLeavesTheRestTransparent) {
    int n = 0;
    const auto modules = vqr_test::matrix_of("load time", 1, &n);
    ASSERT_FALSE(qr_style_initialized());
    ASSERT_EQ(qr_style_snapshot().background_color[3], 0);
    expect_plain_code(vqr_test::encode_image("load time", 1, 4, 1), modules, n, 4, 4, CLEAR);
}

// ---- Driver ----

TEST_F(Render, FinderAreasAreDrawnOnlyByTheFinderPass) {
    qr_set_dot_style(QR_DOT_DISC);
    qr_set_corner_square_color(255, 0, 0);
    qr_set_corner_dot_color(0, 0, 255);
    const int m = 10;
    const int q = 0;
    int n = 0;
    const char *text = "version two symbol with alignment";
    const auto modules = vqr_test::matrix_of(text, 1, &n);
    ASSERT_EQ(n, 29);  // version 3: alignment centre at module (22, 22)
    const image img = vqr_test::encode_image(text, 1, m, q);
    // Finder rings and centres keep their square figures and own colours.
    for (int f = 0; f < 3; ++f) {
        const int bx = (f == 1 ? n - 7 : 0) * m;
        const int by = (f == 2 ? n - 7 : 0) * m;
        EXPECT_EQ(pixel(img, bx, by), (px4{255, 0, 0, 255}));
        EXPECT_EQ(pixel(img, bx + 7 * m - 1, by + 7 * m - 1), (px4{255, 0, 0, 255}));
        EXPECT_EQ(pixel(img, bx + m + 2, by + m + 2), WHITE);
        EXPECT_EQ(pixel(img, bx + 2 * m, by + 2 * m), (px4{0, 0, 255, 255}));
        EXPECT_EQ(pixel(img, bx + 5 * m - 1, by + 5 * m - 1), (px4{0, 0, 255, 255}));
    }
    // The alignment pattern is drawn module by module: its lone centre is a
    // disc, and its ring modules have neighbours, but discs still leave the
    // cell corners empty.
    const int ax = 22 * m;
    EXPECT_EQ(pixel(img, ax + m / 2, ax + m / 2), BLACK);
    EXPECT_EQ(pixel(img, ax, ax), WHITE);
    EXPECT_EQ(pixel(img, ax - 2 * m, ax - 2 * m), WHITE);
    // Timing pattern module next to the top-left finder: a disc too.
    ASSERT_EQ(modules[6 * n + 8], 1);
    EXPECT_EQ(pixel(img, 8 * m, 6 * m), WHITE);
    EXPECT_EQ(pixel(img, 8 * m + m / 2, 6 * m + m / 2), BLACK);
}

std::vector<std::pair<int, int>> g_calls;
int g_dark_side = 0;  // which call reports a dark neighbour (0..3), -1 none

unsigned char recording_nb(int dx, int dy) {
    g_calls.emplace_back(dx, dy);
    return static_cast<unsigned char>(g_calls.size() - 1 == static_cast<std::size_t>(g_dark_side));
}

TEST_F(Render, NeighbourMaskBitsFollowTheCallOrder) {
    // The pill figure shows which bit was set: a half-round whose square
    // half faces the one dark neighbour.
    const qr_shape_paint paint{QR_DOT_PILL, nullptr, {0, 0, 0}};
    unsigned char rgba[4];
    // (u, v) in the corner that the square half covers for each neighbour.
    const std::pair<float, float> square_corner[4] = {
        {0.05f, 0.05f}, {0.95f, 0.05f}, {0.95f, 0.95f}, {0.05f, 0.95f}};
    const std::pair<float, float> round_corner[4] = {
        {0.95f, 0.95f}, {0.05f, 0.95f}, {0.05f, 0.05f}, {0.95f, 0.05f}};
    for (int side = 0; side < 4; ++side) {
        g_dark_side = side;
        g_calls.clear();
        qr_shape_sample(&paint, recording_nb, square_corner[side].first, square_corner[side].second,
                        0, 0, 0, 0, 1, 1, 20.0f, rgba);
        EXPECT_EQ(g_calls, (std::vector<std::pair<int, int>>{{-1, 0}, {0, -1}, {1, 0}, {0, 1}}));
        EXPECT_EQ(rgba[3], 255) << side;
        g_calls.clear();
        qr_shape_sample(&paint, recording_nb, round_corner[side].first, round_corner[side].second,
                        0, 0, 0, 0, 1, 1, 20.0f, rgba);
        EXPECT_EQ(rgba[3], 0) << side;
    }
    // No callback: every module is lone, a disc for the pill style.
    qr_shape_sample(&paint, nullptr, 0.05f, 0.05f, 0, 0, 0, 0, 1, 1, 20.0f, rgba);
    EXPECT_EQ(rgba[3], 0);
    qr_shape_sample(&paint, nullptr, 0.5f, 0.5f, 0, 0, 0, 0, 1, 1, 20.0f, rgba);
    EXPECT_EQ(rgba[3], 255);
}

TEST_F(Render, NeighboursOutsideTheSymbolAreLight) {
    // The top-left module of the matrix is a finder module; use the fan
    // style on a pattern where a dark module sits on the symbol's edge: the
    // last column of the timing row is light, so check a module in column
    // n - 1 below the top-right finder (rows 9..) and a bottom-row module.
    qr_set_dot_style(QR_DOT_PILL);
    const int m = 12;
    int n = 0;
    const char *text = "edge";
    const auto modules = vqr_test::matrix_of(text, 1, &n);
    const image img = vqr_test::encode_image(text, 1, m, 0);
    int checked = 0;
    for (int y = 8; y < n; ++y) {
        const int x = n - 1;
        if (!modules[y * n + x]) continue;
        const bool up = modules[(y - 1) * n + x];
        const bool down = y + 1 < n && modules[(y + 1) * n + x];
        const bool left = modules[y * n + x - 1];
        if (up || down || !left) continue;
        // Only the left neighbour is dark: the right half is round, so the
        // cell's right corners are empty although the symbol ends there.
        EXPECT_EQ(pixel(img, x * m + m - 1, y * m), WHITE) << y;
        EXPECT_EQ(pixel(img, x * m, y * m), BLACK) << y;
        ++checked;
    }
    EXPECT_GT(checked, 0);
}

TEST_F(Render, TimingModulesCountAsNeighbours) {
    // Pill figures: a dark data module beside the timing pattern whose only
    // dark neighbour is a timing module keeps the corners on that side
    // square; were the timing module taken as light it would be a disc.
    qr_set_dot_style(QR_DOT_PILL);
    const int m = 12;
    int checked = 0;
    for (const char *text : {"timing pattern neighbours, version 3", "timing 1", "timing 2",
                             "timing 3", "timing 4", "timing 5"}) {
        int n = 0;
        const auto modules = vqr_test::matrix_of(text, 1, &n);
        const auto dark = [&](int cx, int cy) { return modules[cy * n + cx] != 0; };
        const image img = vqr_test::encode_image(text, 1, m, 0);
        for (int i = 10; i < n - 9; i += 2) {
            // Below the horizontal timing row: row 7, column i.
            if (dark(i, 7) && dark(i, 6) && !dark(i - 1, 7) && !dark(i + 1, 7) && !dark(i, 8)) {
                EXPECT_EQ(pixel(img, i * m, 7 * m), BLACK) << text << " col " << i;
                EXPECT_EQ(pixel(img, i * m + m - 1, 7 * m), BLACK) << text << " col " << i;
                EXPECT_EQ(pixel(img, i * m, 8 * m - 1), WHITE) << text << " col " << i;
                ++checked;
            }
            // Right of the vertical timing column: column 7, row i.
            if (dark(7, i) && dark(6, i) && !dark(7, i - 1) && !dark(7, i + 1) && !dark(8, i)) {
                EXPECT_EQ(pixel(img, 7 * m, i * m), BLACK) << text << " row " << i;
                EXPECT_EQ(pixel(img, 7 * m, i * m + m - 1), BLACK) << text << " row " << i;
                EXPECT_EQ(pixel(img, 8 * m - 1, i * m), WHITE) << text << " row " << i;
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 0);
}

// ---- Coverage ----

TEST(Coverage, EdgeRampAndFullPixels) {
    const qr_shape_paint disc{QR_DOT_DISC, nullptr, {10, 20, 30}};
    unsigned char rgba[4];
    struct row {
        float u, v, scale;
        px4 out;
    };
    const row rows[] = {
        {0.0f, 0.5f, 10.0f, {10, 20, 30, 128}},   // on the edge: D = 0
        {-0.1f, 0.5f, 10.0f, {0, 0, 0, 0}},       // one pixel outside
        {0.05f, 0.5f, 10.0f, {10, 20, 30, 255}},  // half a pixel inside
        {0.5f, 0.5f, 1.0f, {10, 20, 30, 255}},    // one-pixel module: centre covered
        {0.03f, 0.5f, 10.0f, {10, 20, 30, 204}},  // D = 0.3
    };
    for (const row &r : rows) {
        qr_shape_sample(&disc, nullptr, r.u, r.v, 0, 0, 0, 0, 1, 1, r.scale, rgba);
        EXPECT_EQ((px4{rgba[0], rgba[1], rgba[2], rgba[3]}), r.out) << r.u;
    }
    const qr_shape_paint box{QR_RING_BOX, nullptr, {1, 2, 3}};
    qr_corner_sample(0, &box, 1.0f, 3.0f, 0, 0, 0, 0, 1, 1, 4.0f, rgba);
    EXPECT_EQ((px4{rgba[0], rgba[1], rgba[2], rgba[3]}), CLEAR) << "u = 1 belongs to the hole";
    qr_corner_sample(0, &box, 0.99f, 3.0f, 0, 0, 0, 0, 1, 1, 4.0f, rgba);
    EXPECT_EQ((px4{rgba[0], rgba[1], rgba[2], rgba[3]}), (px4{1, 2, 3, 255}));
    qr_corner_sample(0, &box, 6.0f, 6.0f, 0, 0, 0, 0, 1, 1, 4.0f, rgba);
    EXPECT_EQ(rgba[3], 0);
    qr_corner_sample(1, &box, 0.01f, 0.01f, 0, 0, 0, 0, 1, 1, 4.0f, rgba);
    EXPECT_EQ(rgba[3], 255);
}

TEST(Coverage, GradientOfOneColourEqualsTheSolidPaint) {
    const qr_gradient grads[] = {{1, 33.0f, 70, 80, 90, 70, 80, 90},
                                 {2, 0.0f, 70, 80, 90, 70, 80, 90}};
    const qr_shape_paint solid{QR_DOT_PETAL, nullptr, {70, 80, 90}};
    for (const qr_gradient &g : grads) {
        const qr_shape_paint painted{QR_DOT_PETAL, &g, {1, 1, 1}};
        for (int i = 0; i < 100; ++i) {
            const float u = static_cast<float>(i % 10) / 10.0f + 0.05f;
            const float v = static_cast<float>(i / 10) / 10.0f + 0.05f;
            unsigned char a[4];
            unsigned char b[4];
            qr_shape_sample(&solid, nullptr, u, v, i, i, 0, 0, 100, 100, 10.0f, a);
            qr_shape_sample(&painted, nullptr, u, v, i, i, 0, 0, 100, 100, 10.0f, b);
            EXPECT_EQ((px4{a[0], a[1], a[2], a[3]}), (px4{b[0], b[1], b[2], b[3]})) << i;
        }
    }
    // A gradient of type 0 leaves the solid colour in charge.
    const qr_gradient off{0, 0.0f, 255, 255, 255, 255, 255, 255};
    const qr_shape_paint paint{QR_DOT_BLOCK, &off, {5, 6, 7}};
    unsigned char c[4];
    qr_shape_sample(&paint, nullptr, 0.5f, 0.5f, 0, 0, 0, 0, 1, 1, 4.0f, c);
    EXPECT_EQ((px4{c[0], c[1], c[2], c[3]}), (px4{5, 6, 7, 255}));
}

}  // namespace
