// The second-chance stage: every look we draw reads back at every module
// size, pictures that the four fixed attempts miss are read, and pictures
// without a code (hostile ones included) still end in "no QR code found".
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>

#include "qrcode_decode.h"
#include "qrcode_decode_rescue.h"
#include "test_decode_helpers.h"

extern "C" {
#include "quirc.h"
}

namespace {

using vqr_test::image;

class DecodeRescue : public vqr_test::library {};

const char *const SHORT_TEXT = "https://example.org/r?id=7";
const char *const LONG_TEXT =
    "https://example.org/products/catalogue?item=0123456789&ref=newsletter-2026-12";

using vqr_decoding::decode_rgba;
using vqr_decoding::fixed_attempts_read;

image blank(int width, int height, unsigned char level) {
    image img;
    img.width = width;
    img.height = height;
    img.rgba.assign(static_cast<std::size_t>(width) * height * 4, level);
    for (std::size_t i = 3; i < img.rgba.size(); i += 4) img.rgba[i] = 255;
    return img;
}

unsigned char *pixel(image &img, int x, int y) { return const_cast<unsigned char *>(img.at(x, y)); }

// ---- Our own looks -----------------------------------------------------------

bool have_renderer() {
    static const bool found = std::system("command -v rsvg-convert >/dev/null 2>&1") == 0;
    return found;
}

std::optional<image> rendered_svg(const char *text, int module, const vqr_test::temp_dir &dir) {
    const char *doc = qr_encode_to_svg_string(text, 1, module, 4);
    if (!doc) return std::nullopt;
    const std::string svg(doc);
    vqr_test::write_bytes(dir / "in.svg", std::vector<unsigned char>(svg.begin(), svg.end()));
    const std::string cmd =
        "rsvg-convert -o '" + (dir / "out.png").string() + "' '" + (dir / "in.svg").string() + "'";
    if (std::system(cmd.c_str()) != 0) return std::nullopt;
    return vqr_test::read_image(dir / "out.png");
}

// Every preset and the default look, at module sizes 2 to 10, as PNG and as
// SVG rendered by an independent renderer, with a short and a long text.
TEST_F(DecodeRescue, EveryLookReadsBackAtEveryModuleSize) {
    const char *const looks[] = {"default", "modern",    "dots",   "elegant",
                                 "neon",    "corporate", "minimal"};
    const vqr_test::temp_dir dir;
    for (const char *look : looks) {
        for (int m = 2; m <= 10; ++m) {
            for (const char *text : {SHORT_TEXT, LONG_TEXT}) {
                qr_reset_style();
                if (std::string(look) != "default") {
                    ASSERT_EQ(qr_apply_preset(look), 1);
                }
                const std::string name = std::string(look) + " " + std::to_string(m) +
                                         (text == SHORT_TEXT ? " short" : " long");
                EXPECT_EQ(decode_rgba(vqr_test::encode_image(text, 1, m, 4)), text) << name;
                if (!have_renderer()) continue;
                const std::optional<image> svg = rendered_svg(text, m, dir);
                ASSERT_TRUE(svg.has_value()) << name;
                EXPECT_EQ(decode_rgba(*svg), text) << name << " as SVG";
            }
        }
    }
}

// ---- Pictures the fixed attempts miss -------------------------------------------

// A plain code drawn black on white, placed on a canvas of `level` grey.
image code_on(const char *text, int module, int quiet, int canvas, unsigned char level) {
    const image code = vqr_test::encode_image(text, 1, module, quiet);
    image img = blank(canvas, canvas, level);
    const int off = (canvas - code.width) / 2;
    for (int y = 0; y < code.height; ++y) {
        for (int x = 0; x < code.width; ++x) {
            std::memcpy(pixel(img, x + off, y + off), code.at(x, y), 4);
        }
    }
    return img;
}

// Light falling off from one corner to the other, as from a lamp beside the
// page: the far corner's paper is darker than the near corner's ink.
image under_uneven_light(image img) {
    for (int y = 0; y < img.height; ++y) {
        for (int x = 0; x < img.width; ++x) {
            const float gain = 1.0f - 0.85f * static_cast<float>(x + y) /
                                          static_cast<float>(img.width + img.height);
            unsigned char *p = pixel(img, x, y);
            for (int c = 0; c < 3; ++c) p[c] = static_cast<unsigned char>(p[c] * gain * gain);
        }
    }
    return img;
}

// A dim page (paper 90, ink 50) lying on a near-black table (10) that
// fills most of the picture.
image dim_page_on_dark_table() {
    image img = code_on(LONG_TEXT, 4, 4, 600, 10);
    for (std::size_t i = 0; i < img.rgba.size(); ++i) {
        if (i % 4 == 3) continue;
        if (img.rgba[i] == 255)
            img.rgba[i] = 90;
        else if (img.rgba[i] == 0)
            img.rgba[i] = 50;
    }
    return img;
}

// Dark modules printed in yellow: luma barely tells them from the paper
// (226 against 255), while the blue channel (0) does.
image in_yellow(image img) {
    for (std::size_t i = 0; i < img.rgba.size(); i += 4) {
        if (img.rgba[i] < 128) img.rgba[i] = img.rgba[i + 1] = 255;
        if (img.rgba[i + 2] < 128) img.rgba[i + 2] = 0;
    }
    return img;
}

image jpeg_at_quality_30(const image &src) {
    vqr_writers::bytes out;
    stbi_write_jpg_to_func(vqr_writers::append_to, &out, src.width, src.height, 4, src.rgba.data(),
                           30);
    return *vqr_test::decode_image(out);
}

// Turned by `degrees` about the centre and shrunk by `shrink`, each output
// pixel the mean of 4 x 4 bilinear samples, on white.
image rotated(const image &src, double degrees, double shrink) {
    image img =
        blank(static_cast<int>(src.width / shrink), static_cast<int>(src.height / shrink), 255);
    const double a = degrees * 3.14159265358979 / 180.0;
    const double cx = src.width / 2.0;
    const double cy = src.height / 2.0;
    for (int y = 0; y < img.height; ++y) {
        for (int x = 0; x < img.width; ++x) {
            double acc[3] = {0, 0, 0};
            for (int s = 0; s < 16; ++s) {
                const double ux = (x + (s % 4 + 0.5) / 4) * shrink - cx;
                const double uy = (y + (s / 4 + 0.5) / 4) * shrink - cy;
                const double sx = std::cos(a) * ux + std::sin(a) * uy + cx;
                const double sy = -std::sin(a) * ux + std::cos(a) * uy + cy;
                const int x0 = std::clamp(static_cast<int>(std::floor(sx)), 0, src.width - 2);
                const int y0 = std::clamp(static_cast<int>(std::floor(sy)), 0, src.height - 2);
                const double fx = std::clamp(sx - x0, 0.0, 1.0);
                const double fy = std::clamp(sy - y0, 0.0, 1.0);
                for (int c = 0; c < 3; ++c) {
                    acc[c] += (1 - fx) * (1 - fy) * src.at(x0, y0)[c] +
                              fx * (1 - fy) * src.at(x0 + 1, y0)[c] +
                              (1 - fx) * fy * src.at(x0, y0 + 1)[c] +
                              fx * fy * src.at(x0 + 1, y0 + 1)[c];
                }
            }
            for (int c = 0; c < 3; ++c) {
                pixel(img, x, y)[c] = static_cast<unsigned char>(std::lround(acc[c] / 16));
            }
        }
    }
    return img;
}

image mirrored(image img) {
    for (int y = 0; y < img.height; ++y) {
        for (int x = 0; x < img.width / 2; ++x) {
            unsigned char *left = pixel(img, x, y);
            unsigned char *right = pixel(img, img.width - 1 - x, y);
            for (int c = 0; c < 4; ++c) std::swap(left[c], right[c]);
        }
    }
    return img;
}

struct hard_case {
    const char *name;
    const char *text;
    std::function<image()> make;
    // Read by the perspective reader on the fixed attempts' own finder
    // patterns, before any strategy prepares an image.
    bool read_at_first_look;
};

std::vector<hard_case> hard_cases() {
    return {
        {"uneven light", LONG_TEXT,
         [] { return under_uneven_light(code_on(LONG_TEXT, 5, 4, 460, 255)); }, false},
        {"dim page on a dark table", LONG_TEXT, dim_page_on_dark_table, false},
        {"JPEG at quality 30 under uneven light", LONG_TEXT,
         [] { return jpeg_at_quality_30(under_uneven_light(code_on(LONG_TEXT, 3, 4, 200, 255))); },
         false},
        {"small code turned 45 degrees", SHORT_TEXT,
         [] { return rotated(code_on(SHORT_TEXT, 2, 4, 120, 255), 45.0, 1.2); }, false},
        {"seen from the back", SHORT_TEXT,
         [] { return mirrored(vqr_test::encode_image(SHORT_TEXT, 1, 4, 4)); }, false},
        {"cropped at its edge", LONG_TEXT,
         [] { return vqr_test::encode_image(LONG_TEXT, 1, 3, 0); }, false},
        {"yellow on white under uneven light", LONG_TEXT,
         [] { return under_uneven_light(in_yellow(code_on(LONG_TEXT, 5, 4, 460, 255))); }, false},
        {"modules of 1.8 pixels, each pixel a mean", LONG_TEXT,
         [] { return rotated(code_on(LONG_TEXT, 3, 4, 192, 255), 0.0, 1.7); }, true},
        {"turned 25 degrees, JPEG at quality 30", LONG_TEXT,
         [] { return jpeg_at_quality_30(rotated(code_on(LONG_TEXT, 4, 4, 256, 255), 25.0, 1.3)); },
         true},
    };
}

TEST_F(DecodeRescue, ReadsPicturesTheFixedAttemptsMiss) {
    for (const hard_case &c : hard_cases()) {
        const image img = c.make();
        EXPECT_FALSE(fixed_attempts_read(img)) << c.name << ": no longer a hard case";
        EXPECT_EQ(decode_rgba(img), c.text) << c.name;
    }
}

// With what the fixed attempts leave, the stage first reads the upright
// pass's finder patterns over the luma; a picture that look reads needs no
// prepared image, and one it cannot read goes on to the strategies.
TEST_F(DecodeRescue, FirstLooksAtTheFixedAttemptsFinderPatterns) {
    for (const hard_case &c : hard_cases()) {
        const image img = c.make();
        const qr_quirc_ptr q(qr_quirc_new());
        ASSERT_TRUE(q && quirc_resize(q.get(), img.width, img.height) == 0);
        qr_decoded out;
        qr_attempts_left left;
        ASSERT_EQ(qr_decode_attempts(q.get(), img.rgba.data(), img.width, img.height, out, nullptr,
                                     &left.upright),
                  0)
            << c.name;
        left.inverted_luma = quirc_begin(q.get(), nullptr, nullptr);
        qr_rescue_work work{};
        EXPECT_EQ(
            qr_decode_rescue(q.get(), img.rgba.data(), img.width, img.height, out, &work, &left), 1)
            << c.name;
        EXPECT_STREQ(out.text, c.text) << c.name;
        EXPECT_EQ(work.images == 0, c.read_at_first_look) << c.name;
    }
}

// The yellow code is a case for the darkest channel: no strategy that reads
// luma (or the brightest channel) at the usual contrast step reads it.
TEST_F(DecodeRescue, YellowCodeIsReadOnlyThroughTheDarkestChannel) {
    const image img = under_uneven_light(in_yellow(code_on(LONG_TEXT, 5, 4, 460, 255)));
    const qr_quirc_ptr q(qr_quirc_new());
    ASSERT_TRUE(q);
    int colour_reads = 0;
    for (int i = 0; i < qr_rescue_strategy_count(); ++i) {
        const std::string name = qr_rescue_strategy_name(i);
        const bool darkest =
            name.find("colour") != std::string::npos && name.find("inverted") == std::string::npos;
        // The faint strategies split the luma finely enough to see yellow.
        const bool faint = name.find("faint") != std::string::npos;
        qr_decoded out;
        const bool read =
            qr_rescue_try_strategy(q.get(), img.rgba.data(), img.width, img.height, i, out);
        if (!darkest && !faint) {
            EXPECT_FALSE(read) << name;
        }
        if (read) {
            EXPECT_STREQ(out.text, LONG_TEXT) << name;
            if (darkest) ++colour_reads;
        }
    }
    EXPECT_GT(colour_reads, 0);
}

// ---- Pictures without a code ----------------------------------------------------

image noise(int width, int height, unsigned seed) {
    image img = blank(width, height, 0);
    std::mt19937 rng(seed);
    for (std::size_t i = 0; i < img.rgba.size(); ++i) {
        if (i % 4 != 3) img.rgba[i] = static_cast<unsigned char>(rng() & 0xff);
    }
    return img;
}

// `count` finder-like targets (7 x 7 modules of `module` pixels) in rows of
// `columns`, `pitch` pixels apart: every triple at a right angle looks like
// the corners of a symbol.
image finder_targets(int side, int count, int columns, int module, int pitch) {
    image img = blank(side, side, 255);
    const int size = 7 * module;
    for (int k = 0; k < count; ++k) {
        const int ox = 10 + (k % columns) * pitch;
        const int oy = 10 + (k / columns) * pitch;
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x) {
                const int ring = std::min({x / module, y / module, 6 - x / module, 6 - y / module});
                if (ring != 1) std::memset(pixel(img, ox + x, oy + y), 0, 3);
            }
        }
    }
    return img;
}

image finder_blobs() { return finder_targets(520, 32, 6, 4, 84); }

TEST_F(DecodeRescue, PicturesWithoutACodeStayUnread) {
    const struct {
        const char *name;
        std::function<image()> make;
    } cases[] = {
        {"noise", [] { return noise(300, 200, 7); }},
        {"fine noise at 21 x 21", [] { return noise(21, 21, 3); }},
        {"all black", [] { return blank(200, 200, 0); }},
        {"1 pixel bands, 21 x 3000", [] { return noise(21, 3000, 5); }},
        {"uneven light on paper", [] { return under_uneven_light(blank(300, 300, 255)); }},
        {"32 finder-like targets", finder_blobs},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(decode_rgba(c.make()), "") << c.name;
        EXPECT_STREQ(vqr_decoding::last_error, "qr_decode: no QR code found in image") << c.name;
    }
}

// The stage's budget is charged by crowding: on a picture full of finder
// patterns, where every quirc pass is costly, it stops after a few of its
// strategies (all nine that apply to this size would take seconds).
TEST_F(DecodeRescue, BudgetStopsTheStrategiesOnACrowdedPicture) {
    const vqr_test::image img = finder_targets(1000, 121, 11, 6, 90);
    const qr_quirc_ptr q(qr_quirc_new());
    ASSERT_TRUE(q && quirc_resize(q.get(), img.width, img.height) == 0);
    qr_decoded out;
    qr_rescue_work work{};
    EXPECT_EQ(qr_decode_rescue(q.get(), img.rgba.data(), img.width, img.height, out, &work), 0);
    EXPECT_GT(work.images, 0);
    EXPECT_LE(work.images, 4);
    EXPECT_LE(work.pixels, 5'000'000);
}

// A phone capture of a code alone is a few hundred pixels a side: once a
// strategy has seen a finder pattern, every strategy that applies to that
// size gets its turn, the three doubled ones included (about 21 times the
// picture's pixels in all). Where the three that always run see none, the
// stage stops after them.
TEST_F(DecodeRescue, SmallPictureTriesEveryStrategyOnceItSawAFinder) {
    // Halving needs a short side of 240, fourfold enlargement at most 128.
    const int applicable = qr_rescue_strategy_count() - 4;
    const int unconditional = 3;
    const struct {
        const char *name;
        vqr_test::image img;
        int images;
    } cases[] = {
        {"three finder-like targets, no code", finder_targets(230, 3, 2, 4, 120), applicable},
        {"paper under uneven light", under_uneven_light(blank(230, 230, 255)), unconditional},
    };
    for (const auto &c : cases) {
        const qr_quirc_ptr q(qr_quirc_new());
        ASSERT_TRUE(q && quirc_resize(q.get(), c.img.width, c.img.height) == 0);
        qr_decoded out;
        qr_rescue_work work{};
        EXPECT_EQ(
            qr_decode_rescue(q.get(), c.img.rgba.data(), c.img.width, c.img.height, out, &work), 0)
            << c.name;
        EXPECT_EQ(work.images, c.images) << c.name;
    }
}

}  // namespace
