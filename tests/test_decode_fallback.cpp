// Grid-sampling fallback: the triple search, its geometric tests, the
// version guess, the sampling threshold and the affine grid, then the whole
// path on images quirc detects but cannot decode.
#include <qrcodegen.h>

#include <cmath>
#include <cstring>
#include <limits>
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
            quirc_extract(q, j, &code);
            if (quirc_decode(&code, &data) == QUIRC_SUCCESS) decoded = true;
        }
    }
    quirc_destroy(q);
    return {finders, decoded};
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
