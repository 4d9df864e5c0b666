// Grid-sampling fallback: the triple search, its geometric tests, the
// version guess, the sampling threshold and the affine grid, then the whole
// path on images quirc detects but cannot decode.
#include <qrcodegen.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "qrcode_api.h"
#include "qrcode_decode.h"
#include "qrcode_decode_rescue.h"
#include "test_decode_helpers.h"

extern "C" {
#include "quirc_internal.h"
}

namespace {

using vqr_test::image;

TEST(DecodeFallback, GeometricTests) {
    struct row {
        qr_finder a, b, c;
        int passes;
        const char *why;
    };
    const row rows[] = {
        {{0, 0, 9}, {14, 0, 9}, {0, 14, 9}, 1, "arms of 14 pixels"},
        {{0, 0, 9}, {13, 5, 9}, {-6, 16, 9}, 0, "arm of 13.93 pixels"},
        {{0, 0, 9}, {0, 14, 9}, {14, 0, 9}, 0, "mirror image (B and C swapped)"},
        {{50, 50, 9}, {50, 150, 9}, {-50, 50, 9}, 1, "rotated by 90 degrees"},
        {{0, 0, 9}, {133, 0, 9}, {0, 100, 9}, 1, "ratio 1.33"},
        {{0, 0, 9}, {134, 0, 9}, {0, 100, 9}, 0, "ratio 1.34"},
        {{0, 0, 9}, {75, 0, 9}, {0, 100, 9}, 1, "ratio 0.75"},
        {{0, 0, 9}, {74, 0, 9}, {0, 100, 9}, 0, "ratio 0.74"},
        {{0, 0, 9}, {100, 0, 9}, {24, 97, 9}, 1, "angle 76 degrees"},
        {{0, 0, 9}, {100, 0, 9}, {26, 97, 9}, 0, "angle 75 degrees"},
        {{0, 0, 9}, {100, 0, 9}, {-24, 97, 9}, 1, "angle 104 degrees"},
        {{0, 0, 9}, {100, 0, 9}, {-26, 97, 9}, 0, "angle 105 degrees"},
        {{0, 0, 9}, {100, 0, 9}, {200, 0, 9}, 0, "collinear"},
    };
    for (const row &r : rows) {
        EXPECT_EQ(qr_fallback_triple_passes(&r.a, &r.b, &r.c), r.passes) << r.why;
    }
}

TEST(DecodeFallback, CentresNearTheIntLimitsDoNotOverflow) {
    const int big = std::numeric_limits<int>::max();
    const int small = std::numeric_limits<int>::min();
    const qr_finder a{small, small, 9};
    const qr_finder b{big, small, 9};
    const qr_finder c{small, big, 9};
    EXPECT_EQ(qr_fallback_triple_passes(&a, &b, &c), 1);
    unsigned char bitmap[QR_BITMAP_CAP];
    const unsigned char px[21 * 21 * 4] = {};
    qr_fallback_sample(px, 21, 21, 0, &a, &b, &c, 21, bitmap);
    for (unsigned char byte : bitmap) ASSERT_EQ(byte, 0) << "every sample is off the image";
}

struct visit_log {
    std::vector<std::vector<int>> seen;
    std::size_t stop_at = 0;  // 1-based visit that returns non-zero; 0 never
};

int record_visit(void *user, int a, int b, int c) {
    auto *log = static_cast<visit_log *>(user);
    log->seen.push_back({a, b, c});
    return log->seen.size() == log->stop_at ? 7 : 0;
}

TEST(DecodeFallback, TripleOrderAndEarlyStop) {
    // The corners of a square: each corner is A once, with its two neighbours
    // in the one order that is not mirrored; the diagonals fail the ratio.
    const qr_finder square[] = {{0, 0, 9}, {100, 0, 9}, {100, 100, 9}, {0, 100, 9}};
    visit_log all;
    EXPECT_EQ(qr_fallback_enumerate(square, 4, record_visit, &all), 0);
    const std::vector<std::vector<int>> expected = {{0, 1, 3}, {1, 2, 0}, {2, 3, 1}, {3, 0, 2}};
    EXPECT_EQ(all.seen, expected);

    visit_log stop;
    stop.stop_at = 2;
    EXPECT_EQ(qr_fallback_enumerate(square, 4, record_visit, &stop), 7);
    EXPECT_EQ(stop.seen.size(), 2u);

    visit_log two;
    EXPECT_EQ(qr_fallback_enumerate(square, 2, record_visit, &two), 0);
    EXPECT_TRUE(two.seen.empty());
}

TEST(DecodeFallback, ModuleSizeAndVersionEstimate) {
    // A 3 x 3 block of 6-pixel modules (324 pixels) and a disc 18 pixels
    // across (254 pixels) both give about 6.
    EXPECT_NEAR(qr_fallback_module_size(324), 6.386f, 0.001f);
    EXPECT_NEAR(qr_fallback_module_size(254), 5.654f, 0.001f);
    struct row {
        float lb, lc, module;
        int version;
    };
    const row rows[] = {
        {132.0f, 132.0f, 6.0f, 3},  // 22 modules apart: version 3
        {20.0f, 20.0f, 1.0f, 3},    // (20 - 10) / 4 = 2.5 rounds away from zero
        {19.9f, 19.9f, 1.0f, 2},
        {14.0f, 14.0f, 1.0f, 1},     // 1
        {14.0f, 14.0f, 7.0f, 1},     // negative estimate
        {800.0f, 800.0f, 1.0f, 40},  // 197.5 clamped
        {std::numeric_limits<float>::infinity(), 20.0f, 1.0f, 40},
    };
    for (const row &r : rows) {
        EXPECT_EQ(qr_fallback_version_estimate(r.lb, r.lc, r.module), r.version)
            << r.lb << " " << r.lc << " " << r.module;
    }
}

TEST(DecodeFallback, CandidateVersions) {
    const std::pair<int, std::vector<int>> rows[] = {
        {1, {1, 2, 3}},         {2, {1, 2, 3, 4}},
        {3, {1, 2, 3, 4, 5}},   {20, {18, 19, 20, 21, 22}},
        {39, {37, 38, 39, 40}}, {40, {38, 39, 40}},
    };
    for (const auto &[estimate, expected] : rows) {
        int out[5] = {};
        const int n = qr_fallback_candidates(estimate, out);
        EXPECT_EQ(std::vector<int>(out, out + n), expected) << estimate;
    }
}

TEST(DecodeFallback, ThresholdByPolarity) {
    struct row {
        int grey, inverted, dark;
    };
    const row rows[] = {{127, 0, 1}, {128, 0, 0}, {127, 1, 0}, {128, 1, 1},
                        {0, 0, 1},   {255, 0, 0}, {0, 1, 0},   {255, 1, 1}};
    for (const row &r : rows) {
        EXPECT_EQ(qr_fallback_is_dark(r.grey, r.inverted), r.dark)
            << r.grey << (r.inverted ? " inverted" : " normal");
    }
}

// Sample positions to pixels: half away from zero, and in the picture only
// when the rounded value is. The cases sit on either side of each edge
// (the float just below 0.5 must not round up; just above -0.5 is pixel 0),
// beyond the range where floats carry a fraction, and at NaN and infinity.
TEST(DecodeFallback, PixelIndexRoundsHalfAwayFromZero) {
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    constexpr float inf = std::numeric_limits<float>::infinity();
    const float below_half = std::nextafter(0.5f, 0.0f);
    const float two23 = 8388608.0f;
    struct row {
        float v;
        int limit, index;  // -1: outside
    };
    const row rows[] = {
        {0.0f, 10, 0},
        {-0.0f, 10, 0},
        {below_half, 10, 0},
        {0.5f, 10, 1},
        {-below_half, 10, 0},
        {-0.5f, 10, -1},
        {-1.0f, 10, -1},
        {2.5f, 10, 3},
        {std::nextafter(2.5f, 0.0f), 10, 2},
        {9.0f, 10, 9},
        {std::nextafter(9.5f, 0.0f), 10, 9},
        {9.5f, 10, -1},
        {0.0f, 0, -1},
        {std::nextafter(two23, 0.0f), 1 << 24, 8388608},  // 8388607.5
        {two23, 1 << 24, 8388608},
        {two23, 8388608, -1},
        {16777216.0f, 16777218, 16777216},
        {3.0e9f, std::numeric_limits<int>::max(), -1},
        {nan, 10, -1},
        {inf, std::numeric_limits<int>::max(), -1},
        {-inf, 10, -1},
    };
    for (const row &r : rows) {
        int index = -1;
        const bool inside = qr_pixel_index(r.v, r.limit, &index);
        EXPECT_EQ(inside ? index : -1, r.index) << r.v << " below " << r.limit;
    }
}

// qrcodegen's symbol for `text` drawn black on white, `m` pixels a module, a
// 4-module quiet zone.
struct drawn {
    std::uint8_t qr[qrcodegen_BUFFER_LEN_MAX];
    int n = 0;
    int m = 0;
    image img;

    bool dark(int x, int y) const { return qrcodegen_getModule(qr, x, y); }
    // Pixel centre of module (x, y).
    qr_finder centre(int x, int y) const { return {(x + 4) * m + m / 2, (y + 4) * m + m / 2, 9}; }
};

drawn draw(const char *text, int version, int m) {
    drawn d;
    std::uint8_t tmp[qrcodegen_BUFFER_LEN_MAX];
    qrcodegen_encodeText(text, tmp, d.qr, qrcodegen_Ecc_MEDIUM, version, version,
                         qrcodegen_Mask_AUTO, false);
    d.n = qrcodegen_getSize(d.qr);
    d.m = m;
    const int side = (d.n + 8) * m;
    d.img.width = d.img.height = side;
    d.img.rgba.assign(static_cast<std::size_t>(side) * side * 4, 255);
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            if (!d.dark(x / m - 4, y / m - 4)) continue;
            unsigned char *p = &d.img.rgba[(static_cast<std::size_t>(y) * side + x) * 4];
            p[0] = p[1] = p[2] = 0;
        }
    }
    return d;
}

void expect_bitmap_is_matrix(const unsigned char *bitmap, const drawn &d) {
    int wrong = 0;
    for (int y = 0; y < d.n; ++y) {
        for (int x = 0; x < d.n; ++x) {
            const int i = y * d.n + x;
            const bool bit = (bitmap[i >> 3] >> (i & 7)) & 1;
            if (bit != d.dark(x, y)) ++wrong;
        }
    }
    EXPECT_EQ(wrong, 0);
}

// Grey levels for quirc: every pixel as rgba_gray_white gives it, in both
// polarities, for runs of opaque pixels (the sixteen-at-a-time path and its
// tail), runs with a translucent pixel at either end, and runs of any alpha
// (the extremes 0, 1 and 254 included).
TEST(DecodeFallback, GreyLevelsMatchThePerPixelFormula) {
    std::mt19937 rng(5);
    constexpr int ANY_ALPHA = -2;
    for (const std::size_t pixels : {1u, 15u, 16u, 17u, 1023u, 1024u, 1025u, 3000u}) {
        for (const int translucent : {-1, 0, static_cast<int>(pixels) - 1, ANY_ALPHA}) {
            std::vector<unsigned char> rgba(pixels * 4);
            for (unsigned char &c : rgba) c = static_cast<unsigned char>(rng());
            constexpr unsigned char ALPHAS[] = {0, 1, 254, 255};
            for (std::size_t i = 0; i < pixels; ++i) {
                rgba[i * 4 + 3] = translucent != ANY_ALPHA ? 255
                                  : i % 2                  ? ALPHAS[i / 2 % 4]
                                                           : rgba[i * 4 + 3];
            }
            if (translucent >= 0) rgba[static_cast<std::size_t>(translucent) * 4 + 3] = 100;
            // Extremes: white, black and full channels weigh in at their limits.
            std::memset(rgba.data(), 255, 3);
            if (pixels > 1) std::memset(rgba.data() + 4, 0, 3);
            for (const int flip : {0, 255}) {
                std::vector<std::uint8_t> grey(pixels);
                qr_grey_levels(rgba.data(), grey.data(), pixels, flip);
                for (std::size_t i = 0; i < pixels; ++i) {
                    ASSERT_EQ(grey[i], rgba_gray_white(&rgba[i * 4]) ^ flip)
                        << pixels << " pixels, pixel " << i << ", flip " << flip;
                }
            }
        }
    }
}

TEST(DecodeFallback, AffineGridSamplesEveryModuleUprightAndRotated) {
    const drawn d = draw("sampled grid", 3, 5);
    const qr_finder a = d.centre(3, 3);
    const qr_finder b = d.centre(d.n - 4, 3);
    const qr_finder c = d.centre(3, d.n - 4);
    unsigned char bitmap[QR_BITMAP_CAP];
    qr_fallback_sample(d.img.rgba.data(), d.img.width, d.img.height, 0, &a, &b, &c, d.n, bitmap);
    expect_bitmap_is_matrix(bitmap, d);

    // A quarter turn clockwise moves pixel (x, y) to (H - 1 - y, x).
    const image turned = vqr_writers::rotate_cw(d.img);
    auto turn = [&](const qr_finder &f) { return qr_finder{d.img.height - 1 - f.y, f.x, 9}; };
    const qr_finder ra = turn(a), rb = turn(b), rc = turn(c);
    EXPECT_EQ(qr_fallback_triple_passes(&ra, &rb, &rc), 1);
    qr_fallback_sample(turned.rgba.data(), turned.width, turned.height, 0, &ra, &rb, &rc, d.n,
                       bitmap);
    expect_bitmap_is_matrix(bitmap, d);
}

TEST(DecodeFallback, InvertedPassSamplesLightModulesAsDark) {
    drawn d = draw("inverse", 2, 4);
    vqr_writers::invert(d.img);
    const qr_finder a = d.centre(3, 3), b = d.centre(d.n - 4, 3), c = d.centre(3, d.n - 4);
    unsigned char bitmap[QR_BITMAP_CAP];
    qr_fallback_sample(d.img.rgba.data(), d.img.width, d.img.height, 1, &a, &b, &c, d.n, bitmap);
    expect_bitmap_is_matrix(bitmap, d);
}

TEST(DecodeFallback, DecodesFromGivenCentres) {
    const drawn d = draw("from centres", 4, 4);
    // A distractor first: the search skips triples that fail and goes on.
    const qr_finder finders[] = {
        {5, 5, 9}, d.centre(3, 3), d.centre(d.n - 4, 3), d.centre(3, d.n - 4)};
    // Area of a 3 x 3 block at 4 pixels a module.
    qr_finder with_area[4];
    for (int i = 0; i < 4; ++i) with_area[i] = {finders[i].x, finders[i].y, 144};
    qr_decoded out;
    EXPECT_EQ(
        qr_fallback_decode(with_area, 4, d.img.rgba.data(), d.img.width, d.img.height, 0, out), 1);
    EXPECT_STREQ(out.text, "from centres");
    EXPECT_EQ(
        qr_fallback_decode(with_area + 1, 2, d.img.rgba.data(), d.img.width, d.img.height, 0, out),
        0);
}

// 28 finder patterns in four tight clusters at the corners of a square pass
// the tests in over a thousand ordered triples, each guessing versions 38 to
// 40. The sample budget ends the search long before the last triple.
TEST(DecodeFallback, SampleBudgetEndsACrowdedSearch) {
    const drawn d = draw("budget", 2, 4);
    std::vector<qr_finder> crowd;
    const int corners[4][2] = {{2000, 2000}, {2345, 2000}, {2345, 2345}, {2000, 2345}};
    for (const auto &c : corners) {
        for (int k = 0; k < 7; ++k) crowd.push_back({c[0] + (k % 3) * 20, c[1] + (k / 3) * 20, 4});
    }
    const qr_finder real[] = {{d.centre(3, 3).x, d.centre(3, 3).y, 144},
                              {d.centre(d.n - 4, 3).x, d.centre(d.n - 4, 3).y, 144},
                              {d.centre(3, d.n - 4).x, d.centre(3, d.n - 4).y, 144}};
    std::vector<qr_finder> real_last = crowd;
    real_last.insert(real_last.end(), std::begin(real), std::end(real));
    qr_decoded out;
    EXPECT_EQ(qr_fallback_decode(real_last.data(), static_cast<int>(real_last.size()),
                                 d.img.rgba.data(), d.img.width, d.img.height, 0, out),
              0);
    std::vector<qr_finder> real_first(std::begin(real), std::end(real));
    real_first.insert(real_first.end(), crowd.begin(), crowd.end());
    EXPECT_EQ(qr_fallback_decode(real_first.data(), static_cast<int>(real_first.size()),
                                 d.img.rgba.data(), d.img.width, d.img.height, 0, out),
              1);
    EXPECT_STREQ(out.text, "budget");
}

// quirc alone on both polarities: how many finder patterns the first pass
// saw, and whether any grid decoded.
std::pair<int, bool> quirc_alone(const image &img) {
    quirc *q = qr_quirc_new();
    quirc_resize(q, img.width, img.height);
    int finders = 0;
    bool decoded = false;
    for (int inverted = 0; inverted < 2; ++inverted) {
        std::uint8_t *grey = quirc_begin(q, nullptr, nullptr);
        for (std::size_t i = 0; i < static_cast<std::size_t>(img.width) * img.height; ++i) {
            const int level = rgba_gray_white(&img.rgba[i * 4]);
            grey[i] = static_cast<std::uint8_t>(inverted ? 255 - level : level);
        }
        quirc_end(q);
        if (!inverted) finders = q->num_capstones;
        for (int j = 0; j < quirc_count(q); ++j) {
            quirc_code code;
            quirc_data data;
            qr_quirc_jiggle(q, j);  // quirc refines each grid as it records it
            quirc_extract(q, j, &code);
            if (quirc_decode(&code, &data) == QUIRC_SUCCESS) decoded = true;
        }
    }
    quirc_destroy(q);
    return {finders, decoded};
}

// The picture tilted away at the top, as a camera below it sees it: a
// perspective map that leaves the bottom edge and narrows the top edge to k
// times its width (nearest pixel, white outside).
image keystone(const image &src, double k) {
    image out = src;
    std::fill(out.rgba.begin(), out.rgba.end(), 255);
    const double g = 1.0 / k - 1.0;
    for (int y = 0; y < src.height; ++y) {
        const double ty = (y + 0.5) / src.height;
        const double v = ty * (1.0 + g) / (1.0 + g * ty);
        const double w = 1.0 + g * (1.0 - v);
        const int sy = static_cast<int>(v * src.height);
        for (int x = 0; x < src.width; ++x) {
            const double u = ((x + 0.5) / src.width - 0.5) * w + 0.5;
            const int sx = static_cast<int>(std::floor(u * src.width));
            if (sx < 0 || sx >= src.width || sy >= src.height) continue;
            std::memcpy(&out.rgba[(static_cast<std::size_t>(y) * src.width + x) * 4],
                        &src.rgba[(static_cast<std::size_t>(sy) * src.width + sx) * 4], 4);
        }
    }
    return out;
}

// quirc's detector skips groupings of finder patterns that cannot be a symbol
// (outside versions 1 to 40, or an alignment pattern of absurd size) and stops
// recording grids after a pass's module budget; none of that may cost it a
// real code, from the smallest version to the largest, upright, turned or
// seen at an angle.
TEST(DecodeDetector, ReadsEveryVersionWithoutTheFallback) {
    struct row {
        int version;
        int module;
        int turns;
        double keystone;  // top width against bottom, 1 for none
    };
    const row rows[] = {{1, 4, 0, 1.0},  {2, 4, 1, 1.0},  {7, 3, 0, 0.7},
                        {10, 4, 1, 0.6}, {20, 2, 0, 1.0}, {25, 3, 0, 0.9},
                        {39, 2, 1, 1.0}, {40, 2, 0, 1.0}, {40, 3, 0, 0.85}};
    for (const row &r : rows) {
        image img = draw("detector", r.version, r.module).img;
        for (int t = 0; t < r.turns; ++t) img = vqr_writers::rotate_cw(img);
        if (r.keystone < 1.0) img = keystone(img, r.keystone);
        EXPECT_TRUE(quirc_alone(img).second)
            << "version " << r.version << " keystone " << r.keystone;
    }
}

// Finder patterns in four clusters of eight: every cluster corner groups with
// dozens of pairs of its neighbours into grids near version 38, each costing
// quirc milliseconds of refinement. The pass's budget holds the grids to
// eight of the largest size; noise records no grid of impossible size.
TEST(DecodeDetector, GridsPerPassAreBounded) {
    image crowded;
    crowded.width = crowded.height = 520;
    crowded.rgba.assign(520 * 520 * 4, 255);
    const int corners[4][2] = {{80, 80}, {425, 80}, {425, 425}, {80, 425}};
    for (const auto &c : corners) {
        for (int k = 0; k < 8; ++k) {
            for (int y = 0; y < 14; ++y) {
                for (int x = 0; x < 14; ++x) {
                    const int mx = x / 2;
                    const int my = y / 2;
                    const bool ring = mx == 0 || my == 0 || mx == 6 || my == 6;
                    const bool stone = mx >= 2 && mx <= 4 && my >= 2 && my <= 4;
                    if (!ring && !stone) continue;
                    const int px = c[0] + (k % 3 - 1) * 22 - 7 + x;
                    const int py = c[1] + (k / 3 - 1) * 22 - 7 + y;
                    unsigned char *p = &crowded.rgba[(static_cast<std::size_t>(py) * 520 + px) * 4];
                    p[0] = p[1] = p[2] = 0;
                }
            }
        }
    }
    image noise;
    noise.width = noise.height = 700;
    noise.rgba.assign(700 * 700 * 4, 255);
    std::uint32_t seed = 18;
    for (std::size_t i = 0; i < noise.rgba.size(); i += 4) {
        seed = seed * 1664525u + 1013904223u;
        noise.rgba[i] = noise.rgba[i + 1] = noise.rgba[i + 2] =
            static_cast<unsigned char>(seed >> 24);
    }
    struct row {
        const char *name;
        const image *img;
        int min_finders;
        int min_grids;
    };
    for (const row &r :
         {row{"crowded", &crowded, QUIRC_MAX_CAPSTONES, 1}, row{"noise", &noise, 8, 0}}) {
        quirc *q = qr_quirc_new();
        ASSERT_EQ(quirc_resize(q, r.img->width, r.img->height), 0);
        std::uint8_t *grey = quirc_begin(q, nullptr, nullptr);
        for (int i = 0; i < r.img->width * r.img->height; ++i) {
            grey[i] = static_cast<std::uint8_t>(rgba_gray_white(&r.img->rgba[i * 4]));
        }
        quirc_end(q);
        EXPECT_GE(q->num_capstones, r.min_finders) << r.name;
        EXPECT_GE(q->num_grids, r.min_grids) << r.name;
        long modules = 0;
        for (int j = 0; j < q->num_grids; ++j) {
            const int n = q->grids[j].grid_size;
            EXPECT_TRUE(n >= 21 && n <= QUIRC_MAX_GRID_SIZE) << r.name << " " << n;
            modules += n * n;
        }
        EXPECT_LE(modules, 8L * QUIRC_MAX_GRID_SIZE * QUIRC_MAX_GRID_SIZE) << r.name;
        quirc_destroy(q);
    }
}

// The library's quirc_end counts its histogram differently and scans rows
// a word of pixels at a time; the threshold, the labels and the records
// must be quirc's own, on two-level prepared images (where the counting
// differs most), flat ones (where quirc's rule has its edge cases), a ramp,
// noise and drawn codes of widths that are no multiple of 64. On two-level
// images the pass at a given threshold must match too.
TEST(DecodeDetector, OwnThresholdPassMatchesQuircs) {
    const auto filled = [](int w, int h, auto level) {
        std::vector<std::uint8_t> g(static_cast<std::size_t>(w) * h);
        for (int i = 0; i < w * h; ++i)
            g[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(level(i));
        return g;
    };
    const drawn code = draw("own threshold", 3, 3);
    std::vector<std::uint8_t> code_grey(static_cast<std::size_t>(code.img.width) * code.img.height);
    for (std::size_t i = 0; i < code_grey.size(); ++i) {
        code_grey[i] = static_cast<std::uint8_t>(rgba_gray_white(&code.img.rgba[i * 4]));
    }
    std::uint32_t seed = 7;
    const struct {
        const char *name;
        int width, height;
        std::vector<std::uint8_t> grey;
    } cases[] = {
        {"all black", 61, 37, filled(61, 37, [](int) { return 0; })},
        {"all white", 61, 37, filled(61, 37, [](int) { return 255; })},
        {"two levels", 203, 101, filled(203, 101, [](int i) { return (i / 7) % 3 ? 255 : 0; })},
        {"ramp", 256, 9, filled(256, 9, [](int i) { return i % 256; })},
        {"noise", 123, 77,
         filled(123, 77, [&](int) { return (seed = seed * 1664525u + 1013904223u) >> 24; })},
        {"code", code.img.width, code.img.height, code_grey},
        {"two-level code", code.img.width, code.img.height,
         filled(code.img.width, code.img.height,
                [&](int i) { return code_grey[static_cast<std::size_t>(i)] < 128 ? 0 : 255; })},
        {"two-level noise", 131, 67,
         filled(131, 67,
                [&](int) { return ((seed = seed * 1664525u + 1013904223u) >> 31) * 255; })},
    };
    // Both levels 0 and 255 and no other: a single level differs only in
    // being called all dark or all light, which holds no finder either way.
    const auto two_level = [](const std::vector<std::uint8_t> &g) {
        const auto [low, high] = std::minmax_element(g.begin(), g.end());
        return *low == 0 && *high == 255 &&
               std::all_of(g.begin(), g.end(), [](std::uint8_t v) { return v == 0 || v == 255; });
    };
    for (const auto &c : cases) {
        const qr_quirc_ptr theirs(qr_quirc_new());
        const qr_quirc_ptr ours(qr_quirc_new());
        ASSERT_EQ(quirc_resize(theirs.get(), c.width, c.height), 0);
        ASSERT_EQ(quirc_resize(ours.get(), c.width, c.height), 0);
        std::memcpy(quirc_begin(theirs.get(), nullptr, nullptr), c.grey.data(), c.grey.size());
        std::memcpy(quirc_begin(ours.get(), nullptr, nullptr), c.grey.data(), c.grey.size());
        quirc_end(theirs.get());
        qr_quirc_end(ours.get());
        EXPECT_EQ(0,
                  std::memcmp(theirs->pixels, ours->pixels, c.grey.size() * sizeof(quirc_pixel_t)))
            << c.name;
        EXPECT_EQ(theirs->num_regions, ours->num_regions) << c.name;
        EXPECT_EQ(theirs->num_capstones, ours->num_capstones) << c.name;
        EXPECT_EQ(theirs->num_grids, ours->num_grids) << c.name;
        // The inverse, thresholded from the histogram reversed.
        std::vector<std::uint8_t> inverse = c.grey;
        for (std::uint8_t &v : inverse) v ^= 255;
        unsigned int levels[256];
        qr_quirc_histogram(ours.get(), levels);
        std::reverse(std::begin(levels), std::end(levels));
        std::memcpy(quirc_begin(theirs.get(), nullptr, nullptr), inverse.data(), inverse.size());
        std::memcpy(quirc_begin(ours.get(), nullptr, nullptr), inverse.data(), inverse.size());
        quirc_end(theirs.get());
        qr_quirc_end_at(ours.get(),
                        qr_quirc_threshold(levels, static_cast<unsigned>(inverse.size())));
        EXPECT_EQ(0,
                  std::memcmp(theirs->pixels, ours->pixels, c.grey.size() * sizeof(quirc_pixel_t)))
            << c.name << ", inverted";
        EXPECT_EQ(theirs->num_capstones, ours->num_capstones) << c.name << ", inverted";
        if (!two_level(c.grey)) continue;
        std::memcpy(quirc_begin(theirs.get(), nullptr, nullptr), c.grey.data(), c.grey.size());
        quirc_end(theirs.get());
        const qr_quirc_ptr given(qr_quirc_new());
        ASSERT_EQ(qr_quirc_resize(given.get(), c.width, c.height), 0);
        std::memcpy(quirc_begin(given.get(), nullptr, nullptr), c.grey.data(), c.grey.size());
        qr_quirc_end_at(given.get(), 128);
        EXPECT_EQ(0,
                  std::memcmp(theirs->pixels, given->pixels, c.grey.size() * sizeof(quirc_pixel_t)))
            << c.name;
        EXPECT_EQ(theirs->num_capstones, given->num_capstones) << c.name;
        EXPECT_EQ(theirs->num_grids, given->num_grids) << c.name;
    }
}

// The fixed attempts' inverted pass takes its threshold from the first
// pass's histogram reversed: on pictures whose levels are skewed to one side
// (where the inverse's threshold is not the first's), it must label every
// pixel as quirc's own pass over the inverted picture does.
TEST(DecodeDetector, InvertedPassThresholdsAsQuircWould) {
    std::mt19937 rng(11);
    for (const int skew : {2, 3}) {
        constexpr int W = 64;
        constexpr int H = 48;
        vqr_test::image img;
        img.width = W;
        img.height = H;
        img.rgba.resize(std::size_t{W} * H * 4, 255);
        std::vector<std::uint8_t> inverse(std::size_t{W} * H);
        for (std::size_t i = 0; i < inverse.size(); ++i) {
            const double u = static_cast<double>(rng() & 0xffff) / 65535.0;
            const auto level = static_cast<unsigned char>(255.0 * std::pow(u, skew));
            std::memset(&img.rgba[i * 4], level, 3);
            inverse[i] = static_cast<std::uint8_t>(rgba_gray_white(&img.rgba[i * 4]) ^ 255);
        }
        const qr_quirc_ptr ours(qr_quirc_new());
        const qr_quirc_ptr theirs(qr_quirc_new());
        ASSERT_EQ(qr_quirc_resize(ours.get(), W, H), 0);
        ASSERT_EQ(quirc_resize(theirs.get(), W, H), 0);
        qr_decoded out;
        ASSERT_EQ(qr_decode_attempts(ours.get(), img.rgba.data(), W, H, out), 0);
        std::memcpy(quirc_begin(theirs.get(), nullptr, nullptr), inverse.data(), inverse.size());
        quirc_end(theirs.get());
        EXPECT_EQ(0,
                  std::memcmp(theirs->pixels, ours->pixels, inverse.size() * sizeof(quirc_pixel_t)))
            << "skew " << skew;
        EXPECT_EQ(theirs->num_capstones, ours->num_capstones) << "skew " << skew;
    }
}

// Resizing in place (the planes already hold the picture) must leave quirc
// as its own resize would: the dimensions, and the flood fill's record
// count, which decides where a deep shape's fill gives up.
TEST(DecodeDetector, ResizeInPlaceMatchesQuircs) {
    const struct {
        int width, height;
    } sizes[] = {{400, 300}, {120, 90}, {300, 400}, {21, 21}, {401, 299}, {64, 1200}};
    const qr_quirc_ptr reused(qr_quirc_new());
    for (const auto &s : sizes) {
        const qr_quirc_ptr fresh(qr_quirc_new());
        ASSERT_EQ(quirc_resize(fresh.get(), s.width, s.height), 0);
        ASSERT_EQ(qr_quirc_resize(reused.get(), s.width, s.height), 0);
        EXPECT_EQ(reused->w, fresh->w) << s.width << " x " << s.height;
        EXPECT_EQ(reused->h, fresh->h) << s.width << " x " << s.height;
        EXPECT_EQ(reused->num_flood_fill_vars, fresh->num_flood_fill_vars)
            << s.width << " x " << s.height;
    }
}

// The detector's own refinement of a grid's perspective must end where
// quirc's ends, bit for bit, from the grids quirc records and from starts
// moved off them (so that trials are kept and refused alike): straight and
// tilted codes with and without alignment patterns, and a noisy one; each
// also turned a quarter, so that every coefficient has a part to play.
TEST(DecodeDetector, RefinementMatchesQuircs) {
    const struct {
        int version, module;
        double keystone;
        bool noisy;
    } cases[] = {{1, 4, 1.0, false}, {2, 3, 0.8, false},  {7, 3, 0.7, false},
                 {7, 4, 0.85, true}, {25, 3, 0.9, false}, {3, 5, 0.5, false}};
    for (const auto &c : cases) {
        for (const bool turned : {false, true}) {
            image img = keystone(draw("refinement", c.version, c.module).img, c.keystone);
            if (turned) img = vqr_writers::rotate_cw(img);
            std::uint32_t seed = 11;
            for (std::size_t i = 0; c.noisy && i < img.rgba.size(); ++i) {
                seed = seed * 1664525u + 1013904223u;
                img.rgba[i] = static_cast<unsigned char>(
                    std::clamp(img.rgba[i] + static_cast<int>(seed >> 26) - 32, 0, 255));
            }
            const qr_quirc_ptr q(qr_quirc_new());
            ASSERT_EQ(quirc_resize(q.get(), img.width, img.height), 0);
            std::uint8_t *grey = quirc_begin(q.get(), nullptr, nullptr);
            for (std::size_t i = 0; i < static_cast<std::size_t>(img.width) * img.height; ++i) {
                grey[i] = static_cast<std::uint8_t>(rgba_gray_white(&img.rgba[i * 4]));
            }
            qr_quirc_end(q.get());
            ASSERT_GT(q->num_grids, 0) << c.version;
            for (int g = 0; g < q->num_grids; ++g) {
                std::uint32_t state = 5;
                for (int start_no = 0; start_no < 16; ++start_no) {
                    // Each coefficient moved by up to +-4 % (none for the first start).
                    double start[QUIRC_PERSPECTIVE_PARAMS];
                    for (int k = 0; k < QUIRC_PERSPECTIVE_PARAMS; ++k) {
                        state = state * 1664525u + 1013904223u;
                        const double shift =
                            start_no ? ((state >> 8) / 16777216.0 - 0.5) * 0.08 : 0.0;
                        start[k] = q->grids[g].c[k] * (1.0 + shift);
                    }
                    std::memcpy(q->grids[g].c, start, sizeof start);
                    qr_quirc_reference_jiggle(q.get(), g);
                    double theirs[QUIRC_PERSPECTIVE_PARAMS];
                    std::memcpy(theirs, q->grids[g].c, sizeof theirs);
                    std::memcpy(q->grids[g].c, start, sizeof start);
                    qr_quirc_jiggle(q.get(), g);
                    EXPECT_EQ(0, std::memcmp(theirs, q->grids[g].c, sizeof theirs))
                        << "version " << c.version << " start " << start_no << " turned " << turned;
                }
            }
        }
    }
}

// The same on grids no photo gives but a crafted one can: a denominator
// crossing zero inside the grid, coefficients so large or small that the
// mapped points land beyond the clamp or on a few pixels, terms that cancel,
// and coefficients that are not numbers. Each over a blotchy picture.
TEST(DecodeDetector, RefinementMatchesQuircsOnDegenerateGrids) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    const struct {
        int grid_size;
        std::array<double, QUIRC_PERSPECTIVE_PARAMS> c;
    } cases[] = {
        {25, {4, 0.3, 20, -0.2, 4, 30, 0, 0}},            // plain, for reference
        {25, {4, 0.3, 20, -0.2, 4, 30, -1.0 / 12, 0}},    // denominator 0 at column 12
        {45, {4, 0, 10, 0, 4, 10, 1e-3, -2e-3}},          // mild perspective
        {21, {1e9, 0, -1e10, 0, 1e9, -1e10, 0, 0}},       // cancelling terms
        {29, {2e5, 1, 3, 4, 2e5, 6, 0, 0}},               // beyond the clamp
        {33, {1e-300, 0, 50, 0, 1e-300, 50, 1e-300, 0}},  // all on one pixel
        {21, {4, 0, 20, 0, 4, 20, nan, 0}},               // not a number
        {21, {inf, 0, 20, 0, 4, 20, 0, 0}},               // infinite
        {57, {3, 0.01, 5.5, -0.01, 3, 5.5, 2e-4, 1e-4}},  // half-pixel offsets
        {21, {5, 0, 2.5, 0, 8, 10, 2, 0}},                // x = 2.5 at every point
        {21, {0, 7, 3.5, 9, 0, 4.5, 0, 2}},               // x = 3.5, along v
    };
    constexpr int side = 240;
    const qr_quirc_ptr q(qr_quirc_new());
    ASSERT_EQ(quirc_resize(q.get(), side, side), 0);
    std::uint32_t state = 7;
    for (int i = 0; i < side * side; ++i) {
        state = state * 1664525u + 1013904223u;
        const int x = i % side / 3;
        const int y = i / side / 3;
        q->pixels[i] = ((x * 7 + y * 13) % 5 < 2) != (state >> 28 == 0) ? 2 : 0;
    }
    for (const auto &c : cases) {
        q->num_grids = 1;
        q->grids[0].grid_size = c.grid_size;
        std::memcpy(q->grids[0].c, c.c.data(), sizeof q->grids[0].c);
        qr_quirc_reference_jiggle(q.get(), 0);
        double theirs[QUIRC_PERSPECTIVE_PARAMS];
        std::memcpy(theirs, q->grids[0].c, sizeof theirs);
        std::memcpy(q->grids[0].c, c.c.data(), sizeof q->grids[0].c);
        qr_quirc_jiggle(q.get(), 0);
        EXPECT_EQ(0, std::memcmp(theirs, q->grids[0].c, sizeof theirs))
            << "size " << c.grid_size << " c0 " << c.c[0] << " c6 " << c.c[6];
    }
}

// Paints the bottom-right alignment pattern (modules n - 9 to n - 5) light.
void erase_alignment_pattern(drawn &d) {
    for (int y = (d.n - 9 + 4) * d.m; y < (d.n - 4 + 4) * d.m; ++y) {
        for (int x = (d.n - 9 + 4) * d.m; x < (d.n - 4 + 4) * d.m; ++x) {
            unsigned char *p = &d.img.rgba[(static_cast<std::size_t>(y) * d.img.width + x) * 4];
            p[0] = p[1] = p[2] = 255;
        }
    }
}

// Without its alignment pattern quirc anchors its perspective grid on some
// other dark region and misreads the symbol; the affine grid through the
// three finder centres needs no alignment pattern.
TEST(DecodeFallback, ReadsACodeWithoutItsAlignmentPattern) {
    for (int version : {2, 5}) {
        for (int turns = 0; turns < 2; ++turns) {
            drawn d = draw("fallback reads this", version, 5);
            erase_alignment_pattern(d);
            const image img = turns ? vqr_writers::rotate_cw(d.img) : d.img;
            const auto [finders, decoded] = quirc_alone(img);
            ASSERT_GE(finders, 3) << version;
            ASSERT_FALSE(decoded) << "quirc alone reads it: the case tests nothing";
            EXPECT_EQ(vqr_decoding::run_rgba(img.rgba.data(), img.width, img.height), 1);
            EXPECT_STREQ(vqr_decoding::last_run.text, "fallback reads this")
                << version << " " << turns;
        }
    }
}

TEST(DecodeFallback, InvertedPassFallbackReadsALightCodeWithoutAlignmentPattern) {
    drawn d = draw("light code", 3, 5);
    erase_alignment_pattern(d);
    vqr_writers::invert(d.img);
    ASSERT_FALSE(quirc_alone(d.img).second);
    EXPECT_EQ(vqr_decoding::run_rgba(d.img.rgba.data(), d.img.width, d.img.height), 1);
    EXPECT_STREQ(vqr_decoding::last_run.text, "light code");
}

}  // namespace

// The decoder reads a grid's data bits from per-version lists: the same bits
// in the same order as quirc's walk, for every version (visited out of
// order, several threads asking for the same lists at once) and every mask.
TEST(DecodeDetector, DataBitsMatchQuircs) {
    const auto compare = [](int first, int step, std::atomic<int> *mismatches) {
        std::mt19937 rng(static_cast<unsigned>(first));
        for (int k = 0; k < QUIRC_MAX_VERSION; ++k) {
            const int version = (first + k * step) % QUIRC_MAX_VERSION + 1;
            quirc_code code{};
            code.size = 4 * version + 17;
            for (std::uint8_t &b : code.cell_bitmap) b = static_cast<std::uint8_t>(rng());
            for (int mask = 0; mask < 8; ++mask) {
                std::vector<std::uint8_t> ours(QUIRC_MAX_PAYLOAD);
                std::vector<std::uint8_t> theirs(QUIRC_MAX_PAYLOAD);
                const int bits = qr_quirc_data_bits(&code, mask, ours.data());
                const int reference = qr_quirc_reference_data_bits(&code, mask, theirs.data());
                if (bits != reference || ours != theirs) ++*mismatches;
            }
        }
    };
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (const int first : {0, 7, 13}) threads.emplace_back(compare, first, 17, &mismatches);
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(mismatches.load(), 0);
}

// Every line a fill makes, in order.
static void record_span(void *user, int y, int left, int right) {
    static_cast<std::vector<std::array<int, 3>> *>(user)->push_back({y, left, right});
}

// The detector's flood fill must fill what quirc's fills, line by line in
// the same order, and give up where quirc's gives up when its stack runs
// out: blobs, stripes and speckle at widths around the eight-pixel scans,
// from every kind of starting pixel, with quirc's stack and a short one.
TEST(DecodeDetector, FloodFillMatchesQuircs) {
    const struct {
        int width, height, percent_dark;
        bool stripes;
    } pictures[] = {{37, 29, 50, false}, {64, 48, 70, false}, {131, 17, 85, false},
                    {9, 40, 60, false},  {90, 90, 0, true},   {200, 120, 95, false}};
    for (const auto &pic : pictures) {
        const qr_quirc_ptr theirs(qr_quirc_new());
        const qr_quirc_ptr ours(qr_quirc_new());
        ASSERT_EQ(quirc_resize(theirs.get(), pic.width, pic.height), 0);
        ASSERT_EQ(quirc_resize(ours.get(), pic.width, pic.height), 0);
        std::uint32_t seed = 7;
        const std::size_t pixels = static_cast<std::size_t>(pic.width) * pic.height;
        std::vector<quirc_pixel_t> plane(pixels);
        for (std::size_t i = 0; i < pixels; ++i) {
            seed = seed * 1664525u + 1013904223u;
            const int x = static_cast<int>(i % static_cast<std::size_t>(pic.width));
            const int y = static_cast<int>(i / static_cast<std::size_t>(pic.width));
            const bool dark = pic.stripes
                                  ? (x / 3 + y / 5) % 4 != 0 || (x * y) % 13 == 0
                                  : static_cast<int>(seed >> 25) < pic.percent_dark * 128 / 100;
            plane[i] = dark ? QUIRC_PIXEL_BLACK : QUIRC_PIXEL_WHITE;
        }
        for (const std::size_t stack : {std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
            std::copy(plane.begin(), plane.end(), theirs->pixels);
            std::copy(plane.begin(), plane.end(), ours->pixels);
            if (stack) theirs->num_flood_fill_vars = ours->num_flood_fill_vars = stack;
            // Fill from every dark pixel still unfilled, each with its own label.
            int label = QUIRC_PIXEL_REGION;
            for (std::size_t i = 0; i < pixels; ++i) {
                if (theirs->pixels[i] != QUIRC_PIXEL_BLACK) continue;
                ASSERT_EQ(ours->pixels[i], QUIRC_PIXEL_BLACK);
                const int x = static_cast<int>(i % static_cast<std::size_t>(pic.width));
                const int y = static_cast<int>(i / static_cast<std::size_t>(pic.width));
                std::vector<std::array<int, 3>> their_lines, our_lines;
                qr_quirc_reference_flood_fill_seed(theirs.get(), x, y, QUIRC_PIXEL_BLACK, label,
                                                   record_span, &their_lines);
                qr_quirc_flood_fill_seed(ours.get(), x, y, QUIRC_PIXEL_BLACK, label, record_span,
                                         &our_lines);
                ASSERT_EQ(our_lines, their_lines) << pic.width << " x " << pic.height;
                label = label == 65000 ? QUIRC_PIXEL_REGION : label + 1;
            }
            EXPECT_TRUE(std::equal(theirs->pixels, theirs->pixels + pixels, ours->pixels))
                << pic.width << " x " << pic.height << " stack " << stack;
        }
    }
}

// The detector leaves its grids unrefined and the decoder refines a grid
// only when it does not decode as it stands. Tilted codes whose grid reads
// only one way or the other: each must be read, and the geometry must be
// quirc's refined grid whichever way it was read.
TEST(DecodeDetector, GridsAreRefinedWhenTheyDoNotReadAsTheyStand) {
    const struct {
        int version, module;
        double keystone;
        bool reads_as_it_stands, reads_refined;
    } cases[] = {{1, 2, 0.8, true, false}, {1, 3, 0.7, false, true}, {3, 2, 0.6, false, true},
                 {7, 3, 0.7, false, true}, {7, 3, 0.5, false, true}, {3, 4, 1.0, true, true}};
    for (const auto &c : cases) {
        const image img = keystone(draw("probe refine", c.version, c.module).img, c.keystone);
        const auto detected = [&img] {
            qr_quirc_ptr q(qr_quirc_new());
            EXPECT_EQ(quirc_resize(q.get(), img.width, img.height), 0);
            std::uint8_t *grey = quirc_begin(q.get(), nullptr, nullptr);
            for (std::size_t i = 0; i < static_cast<std::size_t>(img.width) * img.height; ++i) {
                grey[i] = static_cast<std::uint8_t>(rgba_gray_white(&img.rgba[i * 4]));
            }
            qr_quirc_end(q.get());
            return q;
        };
        const qr_quirc_ptr theirs = detected();
        ASSERT_EQ(theirs->num_grids, 1) << c.version << " " << c.keystone;
        const auto reads = [&theirs] {
            quirc_code code;
            quirc_data data;
            quirc_extract(theirs.get(), 0, &code);
            return quirc_decode(&code, &data) == QUIRC_SUCCESS;
        };
        EXPECT_EQ(reads(), c.reads_as_it_stands) << c.version << " " << c.keystone;
        qr_quirc_reference_jiggle(theirs.get(), 0);
        EXPECT_EQ(reads(), c.reads_refined) << c.version << " " << c.keystone;

        const qr_quirc_ptr ours = detected();
        qr_decoded out{};
        qr_decode_geometry geo{};
        ASSERT_TRUE(qr_decode_grids(ours.get(), out, &geo)) << c.version << " " << c.keystone;
        EXPECT_STREQ(out.text, "probe refine");
        EXPECT_EQ(0, std::memcmp(geo.c, theirs->grids[0].c, sizeof geo.c))
            << c.version << " " << c.keystone;
    }
}
