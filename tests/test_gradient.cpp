// Gradient mapping and colour, and the frame each drawn part spreads its
// gradient over.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include "qrcode_api.h"
#include "qrcode_gradient.h"
#include "test_support.h"

namespace {

using vqr_test::image;

TEST(GradientMapping, WorkedValues) {
    struct row {
        int type;  // 1 linear, 2 radial
        float rotation;
        int x, y, w, h;
        float t;
    };
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const row rows[] = {
        {1, 0.0f, 0, 0, 10, 10, 0.05f},   {1, 0.0f, 9, 0, 10, 10, 0.95f},
        {1, 0.0f, 0, 7, 10, 10, 0.05f},   {1, 0.0f, 9, 3, 10, 10, 0.95f},
        {1, 90.0f, 4, 0, 10, 10, 0.05f},  {1, 90.0f, 0, 9, 10, 10, 0.95f},
        {1, 45.0f, 0, 0, 10, 10, 0.0f},   {1, 45.0f, 9, 9, 10, 10, 1.0f},
        {1, 45.0f, 9, 0, 10, 10, 0.5f},   {1, 180.0f, 0, 5, 10, 10, 0.95f},
        {1, 270.0f, 5, 0, 10, 10, 0.95f}, {1, 0.0f, 0, 0, 1, 1, 0.5f},
        {1, 720.0f, 0, 0, 10, 10, 0.05f}, {1, nan, 0, 0, 10, 10, 0.05f},
        {1, inf, 9, 0, 10, 10, 0.95f},    {1, -inf, 0, 0, 10, 10, 0.05f},
        {2, 0.0f, 10, 10, 21, 21, 0.0f},  {2, 0.0f, 0, 10, 21, 21, 0.952381f},
        {2, 0.0f, 0, 0, 21, 21, 1.0f},    {2, 0.0f, 4, 4, 10, 10, 0.141421f},
        {2, 0.0f, 0, 0, 1, 1, 0.0f},      {2, 77.0f, 0, 10, 21, 21, 0.952381f},
    };
    for (const row &r : rows) {
        const qr_gradient g = {r.type, r.rotation, 0, 0, 0, 0, 0, 0};
        const float t =
            r.type == 2 ? qr_radial_t(&g, r.x, r.y, r.w, r.h) : qr_linear_t(&g, r.x, r.y, r.w, r.h);
        EXPECT_NEAR(t, r.t, 2e-6f)
            << "type " << r.type << " rot " << r.rotation << " at " << r.x << "," << r.y;
    }
    EXPECT_FLOAT_EQ(qr_linear_t(nullptr, 0, 0, 10, 10), 0.05f);
    EXPECT_NEAR(qr_radial_t(nullptr, 4, 4, 10, 10), 0.141421f, 2e-6f);
}

TEST(GradientColour, WorkedValues) {
    struct row {
        qr_gradient g;
        float t;
        std::array<int, 3> rgb;
    };
    const qr_gradient grey = {1, 0.0f, 0, 0, 0, 255, 255, 255};
    const qr_gradient red_blue = {1, 0.0f, 255, 0, 0, 0, 0, 255};
    const qr_gradient same = {2, 0.0f, 12, 200, 7, 12, 200, 7};
    const row rows[] = {
        {grey, 0.5f, {128, 128, 128}},
        {grey, 0.05f, {13, 13, 13}},
        {grey, -1.0f, {0, 0, 0}},
        {grey, 2.0f, {255, 255, 255}},
        {grey, std::numeric_limits<float>::quiet_NaN(), {0, 0, 0}},
        {red_blue, 0.95f, {13, 0, 242}},
        {red_blue, 0.0f, {255, 0, 0}},
        {red_blue, 1.0f, {0, 0, 255}},
        {same, 0.0f, {12, 200, 7}},
        {same, 0.37f, {12, 200, 7}},
        {same, 1.0f, {12, 200, 7}},
    };
    for (const row &r : rows) {
        std::array<int, 3> got{};
        qr_gradient_sample(&r.g, r.t, &got[0], &got[1], &got[2]);
        EXPECT_EQ(got, r.rgb) << "t " << r.t;
    }
}

// ---- Frames ----

class GradientFrame : public vqr_test::library {};

int red(const image &img, int x, int y) { return img.at(x, y)[0]; }

TEST_F(GradientFrame, BackgroundSpansTheWholeCanvas) {
    qr_set_background_gradient(0, 0.0f, 0, 0, 0, 255, 0, 0);
    const image img = vqr_test::encode_image("background", 1, 4, 4);
    const int w = img.width;
    // Quiet zone included: t = 0.5 / w at the left edge, 1 - 0.5 / w at the right.
    EXPECT_LE(red(img, 0, 0), 2);
    EXPECT_GE(red(img, w - 1, 0), 253);
    EXPECT_NEAR(red(img, w / 2, 0), 255.0 * (w / 2 + 0.5) / w, 1.0);
    for (int x = 1; x < w; ++x) EXPECT_GE(red(img, x, 0), red(img, x - 1, 0));
    for (int y = 0; y < img.height; y += 7) EXPECT_EQ(red(img, 3, y), red(img, 3, 0));
    EXPECT_EQ(img.at(0, 0)[3], 255);
}

// With the dot gradient on and everything else white, a module pixel's
// colour must not depend on the quiet zone: the gradient frame is the symbol.
TEST_F(GradientFrame, ModulesSpanTheSymbolOnly) {
    qr_set_dot_gradient(0, 0.0f, 255, 0, 0, 0, 0, 255);
    qr_set_corner_square_color(255, 255, 255);
    qr_set_corner_dot_color(255, 255, 255);
    const int m = 5;
    int n = 0;
    const auto modules = vqr_test::matrix_of("frame", 1, &n);
    const image bare = vqr_test::encode_image("frame", 1, m, 0);
    const image padded = vqr_test::encode_image("frame", 1, m, 3);
    const int q = 3 * m;
    int first_col = n;
    int last_col = -1;
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
            if (!modules[y * n + x]) continue;
            const bool finder =
                (x <= 6 && y <= 6) || (x >= n - 7 && y <= 6) || (x <= 6 && y >= n - 7);
            if (finder) continue;
            first_col = std::min(first_col, x);
            last_col = std::max(last_col, x);
            for (int p = 0; p < m * m; ++p) {
                const int px = x * m + p % m;
                const int py = y * m + p / m;
                ASSERT_EQ(std::memcmp(bare.at(px, py), padded.at(px + q, py + q), 4), 0)
                    << px << "," << py;
            }
        }
    }
    ASSERT_EQ(first_col, 0);
    ASSERT_EQ(last_col, n - 1);
    // The symbol's first pixel column is almost the start colour, its last
    // almost the end colour.
    for (int y = 0; y < n; ++y) {
        if (modules[y * n] && y > 7 && y < n - 8) {
            EXPECT_GE(red(bare, 0, y * m + 2), 250);
        }
        if (modules[y * n + n - 1] && y > 7) {
            EXPECT_LE(red(bare, n * m - 1, y * m + 2), 5);
        }
    }
}

TEST_F(GradientFrame, EachFinderRingAndCentreRepeatsItsGradient) {
    qr_set_corner_square_gradient(2, 0.0f, 255, 0, 0, 0, 0, 255);
    qr_set_corner_dot_gradient(1, 0.0f, 0, 255, 0, 0, 0, 0);
    const int m = 6;
    int n = 0;
    vqr_test::matrix_of("finders", 1, &n);
    const image img = vqr_test::encode_image("finders", 1, m, 2);
    const int q = 2 * m;
    const int boxes[3][2] = {{q, q}, {q + (n - 7) * m, q}, {q, q + (n - 7) * m}};
    for (int py = 0; py < 7 * m; ++py) {
        for (int px = 0; px < 7 * m; ++px) {
            const unsigned char *a = img.at(boxes[0][0] + px, boxes[0][1] + py);
            for (int f = 1; f < 3; ++f) {
                ASSERT_EQ(std::memcmp(a, img.at(boxes[f][0] + px, boxes[f][1] + py), 4), 0)
                    << "finder " << f << " at " << px << "," << py;
            }
        }
    }
    const int mid = 7 * m / 2;
    EXPECT_GE(red(img, q, q + mid), 250) << "ring starts at its box's left edge";
    EXPECT_LE(img.at(q, q + mid)[2], 5);
    EXPECT_GE(img.at(q + 7 * m - 1, q + mid)[2], 250) << "and ends at its right edge";
    // Radial centre: green at its own middle, black at its box's edge.
    EXPECT_GE(img.at(q + mid, q + mid)[1], 200);
    EXPECT_LE(img.at(q + 2 * m, q + mid)[1], 30);
}

// A rotation that is not finite is drawn as rotation 0 (and stays stored).
TEST_F(GradientFrame, NonFiniteRotationDrawsAsZero) {
    const auto draw = [](float rotation) {
        qr_set_dot_gradient(0, rotation, 255, 0, 0, 0, 0, 255);
        qr_set_corner_square_gradient(0, rotation, 0, 255, 0, 0, 0, 255);
        qr_set_background_gradient(0, rotation, 255, 255, 255, 200, 200, 0);
        return vqr_test::encode_image("rotation", 1, 3, 2).rgba;
    };
    const auto zero = draw(0.0f);
    for (float r : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                    -std::numeric_limits<float>::infinity()}) {
        EXPECT_TRUE(draw(r) == zero) << r;
        EXPECT_FALSE(std::isfinite(qr_style_snapshot().dot_gradient.rotation));
    }
    EXPECT_FALSE(draw(90.0f) == zero);
}

}  // namespace
