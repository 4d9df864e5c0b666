// The perspective grid reader: phone-like captures of our own looks (tilted,
// defocused, noisy, tone-compressed) that quirc and the affine fallback
// cannot read are read, with the exact text.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "qrcode_decode.h"
#include "qrcode_decode_grid.h"
#include "qrcode_decode_rescue.h"
#include "test_decode_helpers.h"

extern "C" {
#include "quirc_internal.h"
}

namespace {

using vqr_test::image;

class DecodeGrid : public vqr_test::library {};

// ---- A small phone camera ---------------------------------------------------------

struct camera {
    double tilt;       // how much narrower the far edge is than the near one (0..1)
    double module_px;  // pixels per module at the near edge
    double blur;       // Gaussian defocus, sigma in pixels
    double noise;      // Gaussian sensor noise, sigma in grey levels
    unsigned seed;
};

// Projective map of the unit square onto a quadrilateral (corners in the order
// (0,0), (1,0), (1,1), (0,1)).
struct quad_map {
    double a, b, c, d, e, f, g, h;

    explicit quad_map(const std::array<std::array<double, 2>, 4> &q) {
        const double sx = q[0][0] - q[1][0] + q[2][0] - q[3][0];
        const double sy = q[0][1] - q[1][1] + q[2][1] - q[3][1];
        const double dx1 = q[1][0] - q[2][0], dx2 = q[3][0] - q[2][0];
        const double dy1 = q[1][1] - q[2][1], dy2 = q[3][1] - q[2][1];
        const double den = dx1 * dy2 - dx2 * dy1;
        g = (sx * dy2 - dx2 * sy) / den;
        h = (dx1 * sy - sx * dy1) / den;
        a = q[1][0] - q[0][0] + g * q[1][0];
        b = q[3][0] - q[0][0] + h * q[3][0];
        c = q[0][0];
        d = q[1][1] - q[0][1] + g * q[1][1];
        e = q[3][1] - q[0][1] + h * q[3][1];
        f = q[0][1];
    }
    // (x, y) on the quadrilateral back to (u, v) on the unit square.
    std::array<double, 2> unmap(double x, double y) const {
        const double A = e - f * h, B = c * h - b, C = b * f - c * e;
        const double D = f * g - d, E = a - c * g, F = c * d - a * f;
        const double G = d * h - e * g, H = b * g - a * h, I = a * e - b * d;
        const double w = G * x + H * y + I;
        return {(A * x + B * y + C) / w, (D * x + E * y + F) / w};
    }
};

// The render's level at (x, y), bilinear, over white paper: its luma, or
// the colour channel `channel` (0 to 2).
constexpr int LUMA = -1;
double level_at(const image &src, double x, double y, int channel) {
    if (x < 0 || y < 0 || x > src.width - 1 || y > src.height - 1) return 255.0;
    const int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
    const int x1 = std::min(x0 + 1, src.width - 1), y1 = std::min(y0 + 1, src.height - 1);
    const double fx = x - x0, fy = y - y0;
    const auto lum = [&](int px, int py) {
        const unsigned char *p = src.at(px, py);
        const double ink = channel == LUMA ? 0.3 * p[0] + 0.59 * p[1] + 0.11 * p[2] : p[channel];
        return ink * p[3] / 255.0 + 255.0 - p[3];
    };
    return (lum(x0, y0) * (1 - fx) + lum(x1, y0) * fx) * (1 - fy) +
           (lum(x0, y1) * (1 - fx) + lum(x1, y1) * fx) * fy;
}

void gaussian_blur(std::vector<double> &px, int w, int h, double sigma) {
    const int r = static_cast<int>(std::ceil(3 * sigma));
    std::vector<double> k(static_cast<std::size_t>(2 * r + 1));
    double sum = 0;
    for (int i = -r; i <= r; ++i)
        sum += k[static_cast<std::size_t>(i + r)] = std::exp(-i * i / (2 * sigma * sigma));
    for (double &v : k) v /= sum;
    std::vector<double> tmp(px.size());
    for (int pass = 0; pass < 2; ++pass) {
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                double acc = 0;
                for (int i = -r; i <= r; ++i) {
                    const int sx = pass == 0 ? std::clamp(x + i, 0, w - 1) : x;
                    const int sy = pass == 1 ? std::clamp(y + i, 0, h - 1) : y;
                    acc += k[static_cast<std::size_t>(i + r)] *
                           px[static_cast<std::size_t>(sy * w + sx)];
                }
                tmp[static_cast<std::size_t>(y * w + x)] = acc;
            }
        }
        px.swap(tmp);
    }
}

// The render printed on paper and photographed: the code's top edge tilted
// away (narrower by `tilt`), ink and paper compressed to grey 60 and 225,
// defocused and noisy, as an opaque RGBA picture:
// grey, or in colour with each channel so captured.
image photographed(const image &render, int modules, const camera &cam, bool in_colour = false) {
    const double side = cam.module_px * modules;
    const double margin = 0.25 * side;
    const int w = static_cast<int>(side + 2 * margin), h = w;
    const double inset = cam.tilt * side / 2;
    const quad_map map({{{margin + inset, margin + 0.1 * side * cam.tilt},
                         {margin + side - inset, margin + 0.1 * side * cam.tilt},
                         {margin + side, margin + side},
                         {margin, margin + side}}});
    std::mt19937 rng(cam.seed);
    std::normal_distribution<double> noise(0.0, cam.noise);
    image out;
    out.width = w;
    out.height = h;
    out.rgba.assign(static_cast<std::size_t>(w * h) * 4, 255);
    for (int plane = 0; plane < (in_colour ? 3 : 1); ++plane) {
        std::vector<double> px(static_cast<std::size_t>(w * h));
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const auto uv = map.unmap(x + 0.5, y + 0.5);
                const double level =
                    level_at(render, uv[0] * render.width - 0.5, uv[1] * render.height - 0.5,
                             in_colour ? plane : LUMA);
                px[static_cast<std::size_t>(y * w + x)] = 60.0 + level * (225.0 - 60.0) / 255.0;
            }
        }
        gaussian_blur(px, w, h, cam.blur);
        for (std::size_t i = 0; i < px.size(); ++i) {
            const auto v =
                static_cast<unsigned char>(std::clamp(std::lround(px[i] + noise(rng)), 0L, 255L));
            for (int c = in_colour ? plane : 0; c <= (in_colour ? plane : 2); ++c)
                out.rgba[i * 4 + c] = v;
        }
    }
    return out;
}

using vqr_decoding::decode_rgba;
using vqr_decoding::fixed_attempts_read;

const char *const LONG_TEXT =
    "https://example.org/products/catalogue?item=0123456789&ref=newsletter-2026-12&lang=en";

}  // namespace

// Each of these captures of a styled look was missed by the decoder before
// the perspective grid reader existed (quirc and the affine fallback fail on
// every prepared image); each is made afresh from its seed.
TEST_F(DecodeGrid, ReadsTiltedBlurredCapturesOfStyledLooks) {
    const struct {
        const char *preset;
        unsigned seed;
    } cases[] = {{"modern", 1}, {"modern", 2},  {"dots", 1},
                 {"dots", 2},   {"elegant", 1}, {"minimal", 2}};
    int n = 0;
    vqr_test::matrix_of(LONG_TEXT, 1, &n);
    for (const auto &c : cases) {
        qr_reset_style();
        ASSERT_EQ(qr_apply_preset(c.preset), 1);
        const image render = vqr_test::encode_image(LONG_TEXT, 1, 4, 0);
        const camera cam{0.08 + 0.04 * c.seed, 4.0, 1.0 + 0.1 * c.seed, 6.0, c.seed};
        const image img = photographed(render, n, cam);
        EXPECT_FALSE(fixed_attempts_read(img)) << c.preset << " " << c.seed << ": not a hard case";
        EXPECT_EQ(decode_rgba(img), LONG_TEXT) << c.preset << " " << c.seed;
    }
}

// The same camera on pictures without a code: paper with finder-like
// targets, chequered tiles and plain noise stay unread.
TEST_F(DecodeGrid, CapturesWithoutACodeStayUnread) {
    const auto tiles = [](int cell) {
        image img;
        img.width = img.height = 240;
        img.rgba.assign(240 * 240 * 4, 255);
        for (int y = 0; y < 240; ++y) {
            for (int x = 0; x < 240; ++x) {
                if ((x / cell + y / cell) % 2)
                    std::memset(img.rgba.data() + (y * 240 + x) * 4, 0, 3);
            }
        }
        return img;
    };
    for (const int cell : {3, 7, 12}) {
        const image img = photographed(tiles(cell), 60, camera{0.15, 4.0, 1.2, 6.0, 5});
        EXPECT_EQ(decode_rgba(img), "") << "tiles of " << cell;
    }
}

// Faint codes: grey #aaaaaa modules, which the camera's tone curve and noise
// leave about 13 % below the paper. Each capture was missed before the
// smoothed, finely split strategies existed.
TEST_F(DecodeGrid, ReadsNoisyCapturesOfFaintLooks) {
    const char *const text = "https://example.org/faint";
    int n = 0;
    vqr_test::matrix_of(text, 1, &n);
    for (const unsigned seed : {1U, 3U}) {
        qr_reset_style();
        qr_set_dot_color(170, 170, 170);
        qr_set_corner_square_color(170, 170, 170);
        qr_set_corner_dot_color(170, 170, 170);
        const image render = vqr_test::encode_image(text, 1, 4, 0);
        const camera cam{0.05 + 0.03 * seed, 4.5, 0.9 + 0.1 * seed, 3.0 + seed, seed};
        const image img = photographed(render, n, cam);
        EXPECT_FALSE(fixed_attempts_read(img)) << seed << ": not a hard case";
        EXPECT_EQ(decode_rgba(img), text) << "seed " << seed;
    }
}
// A strongly defocused, noisy capture of the "modern" look: its modules end
// up less than 12 % below their surroundings, and smoothing for the 3 % step
// blurs them into the paper. Only the unsmoothed 6 % step reads it.
TEST_F(DecodeGrid, ReadsDefocusedCaptureBetweenTheContrastSteps) {
    int n = 0;
    vqr_test::matrix_of(LONG_TEXT, 1, &n);
    qr_reset_style();
    ASSERT_EQ(qr_apply_preset("modern"), 1);
    const image render = vqr_test::encode_image(LONG_TEXT, 1, 4, 0);
    const image img = photographed(render, n, camera{0.11, 4.0, 1.6, 7.0, 1});
    EXPECT_FALSE(fixed_attempts_read(img)) << "not a hard case";
    EXPECT_EQ(decode_rgba(img), LONG_TEXT);
}

// Khaki modules beside navy finder patterns, captured in colour: a local
// threshold judges the modules against the dark finder patterns around
// them and turns many of them light, while the darkest channel still shows
// them well below the paper. Read by the perspective reader sampling that
// channel behind the thresholded image; missed before it did.
TEST_F(DecodeGrid, ReadsLightModulesBesideDarkFinderPatternsThroughTheirChannel) {
    const char *const text = "https://example.org/pale";
    int n = 0;
    vqr_test::matrix_of(text, 1, &n);
    qr_reset_style();
    qr_set_dot_color(240, 230, 140);
    qr_set_corner_square_color(30, 58, 138);
    qr_set_corner_dot_color(30, 58, 138);
    const image render = vqr_test::encode_image(text, 1, 4, 0);
    const image img = photographed(render, n, camera{0.04, 3.75, 1.2, 5.0, 1}, true);
    EXPECT_FALSE(fixed_attempts_read(img)) << "not a hard case";
    EXPECT_EQ(decode_rgba(img), text);
}

// The reader on its own, given quirc's finder patterns of a sharp code (5
// pixels a module, a quiet zone of 4) and another picture of the same code:
// - lit from 140 at its left edge to 250 at its right, its modules 32 levels
//   below the paper: the modules at the right are lighter than the paper at
//   the left, so neither the level that splits all modules best nor the
//   finder patterns' own splits them, but each module against the data
//   modules around it does;
// - its modules pale grey (221 on 255) and its finder patterns near black
//   (34): the timing patterns alternate entirely above the finder patterns'
//   midpoint, so no grid passes when they are scored against it; scored
//   against their own levels, the right one does.
TEST_F(DecodeGrid, ReadsPicturesNoSingleLevelSplits) {
    constexpr int MODULE = 5;
    constexpr int QUIET = 4;
    qr_reset_style();
    const image render = vqr_test::encode_image(LONG_TEXT, 1, MODULE, QUIET);
    int n = 0;
    vqr_test::matrix_of(LONG_TEXT, 1, &n);
    const auto w = static_cast<std::size_t>(render.width);
    const auto h = static_cast<std::size_t>(render.height);
    // Whether module (mx, my) belongs to a finder pattern.
    const auto in_finder = [n](int mx, int my) {
        const auto near = [](int m) { return m >= 0 && m < 7; };
        const auto far = [n](int m) { return m >= n - 7 && m < n; };
        return (near(mx) && near(my)) || (far(mx) && near(my)) || (near(mx) && far(my));
    };
    const struct {
        const char *name;
        // The level of pixel (x, y), dark in the sharp code or not.
        std::function<std::uint8_t(bool dark, std::size_t x, std::size_t y)> level;
    } cases[] = {
        {"lit unevenly",
         [&](bool dark, std::size_t x, std::size_t) {
             const double paper =
                 140.0 + 110.0 * static_cast<double>(x) / static_cast<double>(w - 1);
             return static_cast<std::uint8_t>(std::lround(dark ? paper - 32.0 : paper));
         }},
        {"pale modules, dark finder patterns",
         [&](bool dark, std::size_t x, std::size_t y) -> std::uint8_t {
             const int mx = static_cast<int>(x) / MODULE - QUIET;
             const int my = static_cast<int>(y) / MODULE - QUIET;
             return !dark ? 255 : in_finder(mx, my) ? 34 : 221;
         }},
    };
    for (const auto &c : cases) {
        const qr_quirc_ptr q(qr_quirc_new());
        ASSERT_EQ(quirc_resize(q.get(), render.width, render.height), 0);
        std::uint8_t *grey = quirc_begin(q.get(), nullptr, nullptr);
        std::vector<std::uint8_t> picture(w * h);
        for (std::size_t i = 0; i < w * h; ++i) {
            const bool dark = render.rgba[i * 4] < 128;
            grey[i] = dark ? 0 : 255;
            picture[i] = c.level(dark, i % w, i / w);
        }
        qr_quirc_end(q.get());
        ASSERT_EQ(q->num_capstones, 3) << c.name;
        std::int64_t samples = std::int64_t{1} << 20;
        qr_decoded out{};
        ASSERT_EQ(qr_perspective_decode(q.get(), picture.data(), render.width, render.height,
                                        &samples, out),
                  1)
            << c.name;
        EXPECT_STREQ(out.text, LONG_TEXT) << c.name;
    }
}
