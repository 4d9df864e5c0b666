// Style setters and presets: clamping, type mapping, the lazy-default
// sequences, the preset table, what presets leave alone, scannability of
// every preset and pinned pixel checksums.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#define ZX_USE_UTF8 1
#include <ZXing/ReadBarcode.h>

#include "qrcode_api.h"
#include "qrcode_shapes.h"
#include "test_support.h"

namespace {

using vqr_test::image;

class Style : public vqr_test::library {};

std::array<int, 8> fields(const qr_gradient &g) {
    return {g.type, static_cast<int>(g.rotation), g.start_r, g.start_g, g.start_b, g.end_r, g.end_g,
            g.end_b};
}

std::array<int, 3> rgb(const int c[3]) { return {c[0], c[1], c[2]}; }

// ---- Setters ----

TEST_F(Style, StyleSettersClamp) {
    struct row {
        void (*set)(int);
        int qr_style::*field;
        int in, out;
    };
    const row rows[] = {
        {qr_set_dot_style, &qr_style::dot_style, -3, 0},
        {qr_set_dot_style, &qr_style::dot_style, 9, 5},
        {qr_set_dot_style, &qr_style::dot_style, 4, 4},
        {qr_set_corner_square_style, &qr_style::corner_square_style, -1, 0},
        {qr_set_corner_square_style, &qr_style::corner_square_style, 6, 5},
        {qr_set_corner_square_style, &qr_style::corner_square_style, 3, 3},
        {qr_set_corner_dot_style, &qr_style::corner_dot_style, 7, 2},
        {qr_set_corner_dot_style, &qr_style::corner_dot_style, -9, 0},
        {qr_set_corner_dot_style, &qr_style::corner_dot_style, 1, 1},
    };
    for (const row &r : rows) {
        r.set(r.in);
        EXPECT_EQ(qr_style_snapshot().*r.field, r.out) << r.in;
    }
    EXPECT_STREQ(qr_last_error(), "");
}

TEST_F(Style, ColourSettersClampAndSwitchTheirGradientOff) {
    struct row {
        void (*set_gradient)(int, float, int, int, int, int, int, int);
        void (*set_colour)(int, int, int);
        qr_gradient qr_style::*gradient;
        int (qr_style::*colour)[3];
    };
    const row rows[] = {
        {qr_set_dot_gradient, qr_set_dot_color, &qr_style::dot_gradient, &qr_style::dot_color},
        {qr_set_corner_square_gradient, qr_set_corner_square_color,
         &qr_style::corner_square_gradient, &qr_style::corner_square_color},
        {qr_set_corner_dot_gradient, qr_set_corner_dot_color, &qr_style::corner_dot_gradient,
         &qr_style::corner_dot_color},
    };
    for (const row &r : rows) {
        r.set_gradient(1, -45.0f, 300, -1, 10, 20, 256, 30);
        EXPECT_EQ(fields(qr_style_snapshot().*r.gradient),
                  (std::array<int, 8>{2, -45, 255, 0, 10, 20, 255, 30}));
        r.set_colour(300, -5, 128);
        EXPECT_EQ(rgb(qr_style_snapshot().*r.colour), (std::array<int, 3>{255, 0, 128}));
        EXPECT_EQ(fields(qr_style_snapshot().*r.gradient),
                  (std::array<int, 8>{0, -45, 255, 0, 10, 20, 255, 30}))
            << "the colour setter turns only the type off";
    }
    qr_set_background_color(-1, 256, 7, 300);
    EXPECT_EQ(
        (std::array<int, 4>{
            qr_style_snapshot().background_color[0], qr_style_snapshot().background_color[1],
            qr_style_snapshot().background_color[2], qr_style_snapshot().background_color[3]}),
        (std::array<int, 4>{0, 255, 7, 255}));
    EXPECT_STREQ(qr_last_error(), "");
}

TEST_F(Style, GradientTypeMappingAndRotation) {
    struct row {
        int public_type, stored;
        float rotation;
    };
    for (const row r : {row{0, 1, 720.0f}, row{1, 2, -45.0f}, row{2, 1, 0.5f}, row{-5, 1, 90.0f},
                        row{99, 1, 1e9f}}) {
        for (auto set : {qr_set_dot_gradient, qr_set_corner_square_gradient,
                         qr_set_corner_dot_gradient, qr_set_background_gradient}) {
            set(r.public_type, r.rotation, 1, 2, 3, 4, 5, 6);
        }
        const qr_style now = qr_style_snapshot();
        for (const qr_gradient *g : {&now.dot_gradient, &now.corner_square_gradient,
                                     &now.corner_dot_gradient, &now.background_gradient}) {
            EXPECT_EQ(g->type, r.stored) << r.public_type;
            EXPECT_EQ(g->rotation, r.rotation);
        }
    }
    qr_set_dot_gradient(0, std::numeric_limits<float>::quiet_NaN(), 0, 0, 0, 0, 0, 0);
    EXPECT_TRUE(std::isnan(qr_style_snapshot().dot_gradient.rotation)) << "stored as given";
}

TEST_F(Style, BackgroundGradientForcesOpaqueAlpha) {
    qr_set_background_color(10, 20, 30, 0);
    qr_set_background_gradient(0, 0.0f, 1, 2, 3, 4, 5, 6);
    EXPECT_EQ(qr_style_snapshot().background_color[3], 255);
    EXPECT_EQ(qr_style_snapshot().background_color[0], 10) << "r, g, b stay";
    EXPECT_EQ(qr_style_snapshot().background_gradient.type, 1);
    qr_set_background_color(10, 20, 30, 40);
    EXPECT_EQ(qr_style_snapshot().background_gradient.type, 0);
    EXPECT_EQ(qr_style_snapshot().background_gradient.end_b, 6);
}

TEST(StyleBeforeInit, EachSetterStartsFromTheDefaults) {
    qr_set_dot_gradient(1, 10.0f, 1, 2, 3, 4, 5, 6);
    qr_set_corner_square_style(4);
    EXPECT_EQ(qr_style_snapshot().dot_gradient.type, 0) << "earlier setting discarded";
    EXPECT_EQ(qr_style_snapshot().dot_gradient.start_g, 2) << "but not the gradient's other fields";
    EXPECT_EQ(qr_style_snapshot().corner_square_style, 4);
    qr_set_background_color(1, 1, 1, 0);
    EXPECT_EQ(qr_style_snapshot().corner_square_style, 0);
    qr_set_logo("x.png", 0.2f, 0);
    EXPECT_EQ(qr_style_snapshot().background_color[3], 255);
    qr_set_dot_style(2);
    EXPECT_EQ(qr_style_snapshot().logo_path[0], '\0');
    // A failing preset still restores the defaults first.
    EXPECT_EQ(qr_apply_preset("nope"), -1);
    EXPECT_EQ(qr_style_snapshot().dot_style, 0);
    qr_set_dot_style(2);
    EXPECT_EQ(qr_apply_preset(nullptr), -1);
    EXPECT_EQ(qr_style_snapshot().dot_style, 0);
    EXPECT_FALSE(qr_style_initialized());
    // reset and encoders do not look at the flag; a preset before init
    // still gives the whole preset.
    EXPECT_EQ(qr_apply_preset("dots"), 1);
    EXPECT_EQ(qr_style_snapshot().dot_style, QR_DOT_DISC);
    qr_reset_style();
    EXPECT_EQ(qr_style_snapshot().dot_style, 0);
    EXPECT_FALSE(qr_style_initialized());
}

TEST_F(Style, ResetRestoresDefaultsOnly) {
    qr_set_dot_gradient(0, 33.0f, 1, 2, 3, 4, 5, 6);
    qr_set_corner_dot_style(2);
    qr_set_logo("some/logo.png", 0.3f, 4);
    EXPECT_EQ(qr_apply_preset(nullptr), -1);
    qr_reset_style();
    EXPECT_EQ(qr_style_snapshot().dot_gradient.type, 0);
    EXPECT_EQ(qr_style_snapshot().dot_gradient.rotation, 33.0f);
    EXPECT_EQ(qr_style_snapshot().dot_gradient.end_b, 6);
    EXPECT_EQ(qr_style_snapshot().corner_dot_style, 0);
    EXPECT_EQ(qr_style_snapshot().logo_path[0], '\0');
    EXPECT_EQ(qr_style_snapshot().logo_path[1], 'o');
    EXPECT_EQ(qr_style_snapshot().logo_size, 0.0f);
    EXPECT_EQ(qr_style_snapshot().logo_margin, 0);
    EXPECT_TRUE(qr_style_initialized());
    EXPECT_STREQ(qr_last_error(), "qr_apply_preset: NULL preset_name");
    // Settings accumulate after init.
    qr_set_dot_style(3);
    qr_set_dot_color(255, 0, 0);
    EXPECT_EQ(qr_style_snapshot().dot_style, 3);
}

// ---- Presets ----

struct preset_row {
    const char *name;
    int dot, ring, centre;
    bool gradient;
    float rotation;
    std::array<int, 3> start, end, colour, centre_colour;
    std::array<int, 4> background;
};

const preset_row PRESET_TABLE[] = {
    {"modern", 1, 2, 1, false, 0, {}, {}, {26, 54, 93}, {26, 54, 93}, {247, 249, 252, 255}},
    {"dots", 2, 1, 1, false, 0, {}, {}, {0, 0, 0}, {0, 0, 0}, {255, 255, 255, 255}},
    {"elegant",
     4,
     3,
     1,
     true,
     135.0f,
     {74, 14, 78},
     {139, 92, 246},
     {0, 0, 0},
     {139, 92, 246},
     {245, 240, 250, 255}},
    {"neon",
     5,
     2,
     1,
     true,
     45.0f,
     {0, 240, 255},
     {255, 0, 255},
     {0, 0, 0},
     {0, 255, 229},
     {15, 15, 35, 255}},
    {"corporate", 0, 0, 0, false, 0, {}, {}, {30, 58, 95}, {30, 58, 95}, {255, 255, 255, 255}},
    {"minimal", 1, 2, 2, false, 0, {}, {}, {74, 74, 74}, {74, 74, 74}, {255, 255, 255, 255}},
};

// Every field a setter can reach set to an odd value, a logo included.
void dirty_style() {
    qr_set_dot_style(3);
    qr_set_corner_square_style(4);
    qr_set_corner_dot_style(2);
    qr_set_dot_color(41, 42, 43);
    qr_set_corner_square_color(44, 45, 46);
    qr_set_corner_dot_color(47, 48, 49);
    qr_set_background_gradient(1, 10.0f, 31, 32, 33, 34, 35, 36);
    qr_set_background_color(50, 51, 52, 0);
    qr_set_dot_gradient(1, 7.0f, 1, 2, 3, 4, 5, 6);
    qr_set_corner_square_gradient(1, 8.0f, 11, 12, 13, 14, 15, 16);
    qr_set_corner_dot_gradient(1, 9.0f, 21, 22, 23, 24, 25, 26);
    qr_set_logo("logo-file.png", 0.3f, 5);
}

TEST_F(Style, EveryPresetWritesItsColumnAndLeavesTheRest) {
    for (const preset_row &p : PRESET_TABLE) {
        qr_init();
        dirty_style();
        EXPECT_EQ(qr_apply_preset(nullptr), -1);
        ASSERT_EQ(qr_apply_preset(p.name), 1) << p.name;
        EXPECT_STREQ(qr_last_error(), "qr_apply_preset: NULL preset_name");
        EXPECT_EQ(qr_style_snapshot().dot_style, p.dot) << p.name;
        EXPECT_EQ(qr_style_snapshot().corner_square_style, p.ring) << p.name;
        EXPECT_EQ(qr_style_snapshot().corner_dot_style, p.centre) << p.name;
        const qr_style now = qr_style_snapshot();
        const qr_gradient *paints[2] = {&now.dot_gradient, &now.corner_square_gradient};
        const std::array<int, 8> kept[2] = {{0, 7, 1, 2, 3, 4, 5, 6},
                                            {0, 8, 11, 12, 13, 14, 15, 16}};
        for (int i = 0; i < 2; ++i) {
            if (p.gradient) {
                EXPECT_EQ(paints[i]->type, 1) << p.name;
                EXPECT_EQ(paints[i]->rotation, p.rotation) << p.name;
                EXPECT_EQ(
                    fields(*paints[i]),
                    (std::array<int, 8>{1, static_cast<int>(p.rotation), p.start[0], p.start[1],
                                        p.start[2], p.end[0], p.end[1], p.end[2]}))
                    << p.name;
            } else {
                EXPECT_EQ(fields(*paints[i]), kept[i]) << p.name << ": type off, rest kept";
            }
        }
        EXPECT_EQ(fields(qr_style_snapshot().corner_dot_gradient),
                  (std::array<int, 8>{0, 9, 21, 22, 23, 24, 25, 26}));
        EXPECT_EQ(fields(qr_style_snapshot().background_gradient),
                  (std::array<int, 8>{0, 10, 31, 32, 33, 34, 35, 36}));
        EXPECT_EQ(rgb(qr_style_snapshot().dot_color), p.colour) << p.name;
        EXPECT_EQ(rgb(qr_style_snapshot().corner_square_color), p.colour) << p.name;
        EXPECT_EQ(rgb(qr_style_snapshot().corner_dot_color), p.centre_colour) << p.name;
        EXPECT_EQ(
            (std::array<int, 4>{
                qr_style_snapshot().background_color[0], qr_style_snapshot().background_color[1],
                qr_style_snapshot().background_color[2], qr_style_snapshot().background_color[3]}),
            p.background)
            << p.name;
        EXPECT_EQ(qr_style_snapshot().logo_path[0], '\0');
        EXPECT_STREQ(qr_style_snapshot().logo_path + 1, "ogo-file.png")
            << "bytes after the first stay";
        EXPECT_EQ(qr_style_snapshot().logo_size, 0.0f);
        EXPECT_EQ(qr_style_snapshot().logo_margin, 0);
        EXPECT_TRUE(qr_style_initialized());
    }
}

TEST_F(Style, PresetNamesAreExactAndFailuresChangeNothing) {
    const std::string unknown =
        "qr_apply_preset: unknown preset (modern/dots/elegant/neon/corporate/minimal)";
    dirty_style();
    const qr_style before = qr_style_snapshot();
    qr_style now{};
    for (const char *name : {"Modern", "modern ", " dots", "NEON", "", "minimalist", "corporat"}) {
        EXPECT_EQ(qr_apply_preset(name), -1) << name;
        EXPECT_EQ(qr_last_error(), unknown) << name;
        EXPECT_EQ(std::memcmp(&(now = qr_style_snapshot()), &before, sizeof before), 0) << name;
    }
    EXPECT_EQ(qr_apply_preset(nullptr), -1);
    EXPECT_STREQ(qr_last_error(), "qr_apply_preset: NULL preset_name");
    EXPECT_EQ(std::memcmp(&(now = qr_style_snapshot()), &before, sizeof before), 0);
}

TEST_F(Style, NeonThenCorporateKeepsTheGradientFields) {
    ASSERT_EQ(qr_apply_preset("neon"), 1);
    ASSERT_EQ(qr_apply_preset("corporate"), 1);
    EXPECT_EQ(fields(qr_style_snapshot().dot_gradient),
              (std::array<int, 8>{0, 45, 0, 240, 255, 255, 0, 255}));
    EXPECT_EQ(qr_style_snapshot().dot_gradient.rotation, 45.0f);
}

// ---- Scannability and pinned output ----

image inverted(const image &img) {
    image out = img;
    for (std::size_t i = 0; i < out.rgba.size(); i += 4) {
        for (int c = 0; c < 3; ++c)
            out.rgba[i + c] = static_cast<unsigned char>(255 - out.rgba[i + c]);
    }
    return out;
}

std::optional<std::string> zxing_global(const image &img) {
    std::vector<unsigned char> grey(img.rgba.size() / 4);
    for (std::size_t i = 0; i < grey.size(); ++i) {
        const unsigned char *p = &img.rgba[i * 4];
        grey[i] = static_cast<unsigned char>((p[0] * 299 + p[1] * 587 + p[2] * 114) / 1000);
    }
    ZXing::DecodeHints hints;
    hints.setFormats(ZXing::BarcodeFormat::QRCode);
    hints.setTryHarder(true);
    hints.setBinarizer(ZXing::Binarizer::GlobalHistogram);
    const ZXing::Result r = ZXing::ReadBarcode(
        ZXing::ImageView(grey.data(), img.width, img.height, ZXing::ImageFormat::Lum), hints);
    if (!r.isValid()) return std::nullopt;
    return r.text();
}

// Light-on-dark codes are read inverted, as most readers do. The fan
// figures of "neon" at large module sizes defeat zxing's default local
// binarizer once inverted; its global-histogram binarizer reads them.
std::optional<std::string> read_either_way(const image &img) {
    if (auto text = vqr_test::zxing_read(img)) return text;
    const image inv = inverted(img);
    if (auto text = vqr_test::zxing_read(inv)) return text;
    return zxing_global(inv);
}

TEST_F(Style, EveryPresetAndTheDefaultLookScan) {
    const char *text = "https://example.org/presets?look=1";
    for (const char *name :
         {"default", "modern", "dots", "elegant", "neon", "corporate", "minimal"}) {
        qr_init();
        if (std::string(name) != "default") {
            ASSERT_EQ(qr_apply_preset(name), 1);
        }
        for (int m : {4, 10}) {
            EXPECT_EQ(read_either_way(vqr_test::encode_image(text, 1, m, 4)), text)
                << name << " at module size " << m;
        }
    }
}

std::uint32_t crc32(const std::vector<unsigned char> &bytes) {
    std::uint32_t crc = 0xffffffffu;
    for (unsigned char b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// Checksums of the decoded canvas bytes: any change to a figure, a paint or
// the arithmetic's order changes them. Regenerate only for an intended
// change of the drawn output.
TEST_F(Style, PinnedCanvasChecksums) {
    struct row {
        const char *name;
        std::uint32_t crc;
    };
    const row rows[] = {
        {"default", 0x0f6b7b16u}, {"modern", 0x6802e4cfu}, {"dots", 0xc6f9cd15u},
        {"elegant", 0xe08ef947u}, {"neon", 0x299840d9u},   {"corporate", 0xaab8c684u},
        {"minimal", 0xfb5942eau},
    };
    for (const row &r : rows) {
        qr_init();
        if (std::string(r.name) != "default") {
            ASSERT_EQ(qr_apply_preset(r.name), 1);
        }
        const image img = vqr_test::encode_image("pinned output 0123", 2, 7, 2);
        EXPECT_EQ(crc32(img.rgba), r.crc) << r.name << std::hex << " 0x" << crc32(img.rgba);
    }
}

}  // namespace
