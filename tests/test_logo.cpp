// The logo setter and the logo compositing: geometry, floors, resampling,
// transparency, the cleared box's paint and failures.
#define ZX_USE_UTF8 1
#include <ZXing/ReadBarcode.h>

#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "qrcode_api.h"
#include "qrcode_logo.h"
#include "qrcode_png.h"
#include "qrcode_render.h"
#include "test_support.h"

namespace {

using vqr_test::BLACK;
using vqr_test::px4;
using vqr_test::px4_of;
using vqr_test::temp_dir;
using vqr_test::WHITE;

class Logo : public vqr_test::library {};

// Writes a w x h PNG whose pixel (x, y) is fill(x, y).
void write_logo(const std::filesystem::path &path, int w, int h,
                const std::function<px4(int, int)> &fill) {
    qr_canvas c{};
    ASSERT_EQ(qr_canvas_init(&c, w, h), 0);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const px4 p = fill(x, y);
            for (int i = 0; i < 4; ++i)
                c.pixels[(y * w + x) * 4 + i] = static_cast<unsigned char>(p[i]);
        }
    }
    ASSERT_EQ(qr_png_write_file(c, path.c_str()), QR_OK);
    qr_canvas_free(&c);
}

void write_solid_logo(const std::filesystem::path &path, int w, int h, px4 colour) {
    write_logo(path, w, h, [colour](int, int) { return colour; });
}

// A side x side canvas filled with `fill`, standing for drawn modules.
struct test_canvas {
    qr_canvas c{};
    explicit test_canvas(int side, px4 fill = {0, 0, 0, 255}) {
        qr_canvas_init(&c, side, side);
        for (int i = 0; i < side * side; ++i) {
            for (int k = 0; k < 4; ++k) c.pixels[i * 4 + k] = static_cast<unsigned char>(fill[k]);
        }
    }
    ~test_canvas() { qr_canvas_free(&c); }
    px4 at(int x, int y) const { return px4_of(c.pixels + (y * c.width + x) * 4); }
};

constexpr px4 RED{255, 0, 0, 255};

// ---- Setter ----

TEST_F(Logo, SetterStoresClampsAndClears) {
    struct row {
        const char *path;
        float size;
        int margin;
        const char *stored_path;
        float stored_size;
        int stored_margin;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const row rows[] = {
        {"a.png", 0.8f, -3, "a.png", 0.5f, 0},
        {"a.png", 0.25f, 6, "a.png", 0.25f, 6},
        {nullptr, 0.2f, 5, "", 0.0f, 0},
        {"a.png", 0.0f, 5, "", 0.0f, 0},
        {"a.png", -0.1f, 5, "", 0.0f, 0},
        {"a.png", nan, 5, "", 0.0f, 0},
        {"a.png", -inf, 5, "", 0.0f, 0},
        {"a.png", inf, 5, "a.png", 0.5f, 5},
        {"", 0.2f, 4, "", 0.2f, 4},
    };
    for (const row &r : rows) {
        qr_set_logo("previous.png", 0.3f, 9);
        qr_set_logo(r.path, r.size, r.margin);
        EXPECT_STREQ(qr_style_snapshot().logo_path, r.stored_path) << r.size;
        EXPECT_EQ(qr_style_snapshot().logo_size, r.stored_size) << r.size;
        EXPECT_EQ(qr_style_snapshot().logo_margin, r.stored_margin) << r.size;
    }
    const std::string long_path(1500, 'p');
    qr_set_logo(long_path.c_str(), 0.2f, 0);
    EXPECT_EQ(std::string(qr_style_snapshot().logo_path), long_path.substr(0, 1023));
    EXPECT_STREQ(qr_last_error(), "");
}

TEST(LogoBeforeInit, SetterAppliesTheLazyDefaults) {
    qr_set_dot_style(3);
    qr_set_logo("x.png", 0.2f, 1);
    EXPECT_EQ(qr_style_snapshot().dot_style, 0);
    EXPECT_STREQ(qr_style_snapshot().logo_path, "x.png");
    EXPECT_EQ(qr_style_snapshot().background_color[3], 255);
}

// ---- Geometry ----

TEST(LogoGeometry, BoxScaleAndFloors) {
    struct row {
        int symbol, margin;
        float size;
        int lw, lh;
        int box;
        float scale;
        int dw, dh;
    };
    const row rows[] = {
        {500, 10, 0.2f, 200, 100, 100, 0.4f, 80, 40},     // worked example
        {500, 10, 0.2f, 100, 200, 100, 0.4f, 40, 80},     // portrait: fitted by height
        {500, 10, 0.2f, 1, 1, 100, 80.0f, 80, 80},        // 1 x 1 logo fills the inner square
        {500, 46, 0.2f, 100, 50, 100, 0.08f, 8, 4},       // inner floor of 8 pixels
        {500, INT_MAX, 0.2f, 100, 50, 100, 0.08f, 8, 4},  // margin that overflows 2 x margin
        {500, 46, 0.2f, 200, 100, 100, 0.05f, 10, 5},     // inner floor, then scale floor
        {200, 0, 0.2f, 1000, 1000, 40, 0.05f, 50, 50},    // scale floor: wider than the box
        {7, 0, 0.01f, 3, 3, 0, 8.0f / 3.0f, 8, 8},        // box rounds to 0, inner still 8
        {500, 0, 0.5f, 3, 1, 250, 250.0f / 3.0f, 250, 83},
    };
    for (const row &r : rows) {
        const qr_logo_fit fit = qr_logo_geometry(r.symbol, r.size, r.margin, r.lw, r.lh);
        EXPECT_EQ(fit.box, r.box) << r.symbol << "/" << r.margin;
        EXPECT_FLOAT_EQ(fit.scale, std::max(r.scale, 0.05f)) << r.symbol << "/" << r.margin;
        EXPECT_EQ(fit.dw, r.dw) << r.symbol << "/" << r.margin;
        EXPECT_EQ(fit.dh, r.dh) << r.symbol << "/" << r.margin;
    }
}

// ---- Compositing ----

TEST_F(Logo, WorkedExampleInPixels) {
    temp_dir dir;
    write_solid_logo(dir / "logo.png", 200, 100, RED);
    qr_set_logo((dir / "logo.png").c_str(), 0.2f, 10);
    test_canvas canvas(500);
    ASSERT_EQ(qr_logo_composite(qr_style_snapshot(), &canvas.c, 500), QR_OK);
    struct row {
        int x, y;
        px4 colour;
    };
    // Box 200..299 on both axes; logo 80 x 40 at (210, 230).
    for (const row r :
         {row{199, 250, BLACK}, row{200, 200, WHITE}, row{299, 299, WHITE}, row{300, 250, BLACK},
          row{250, 199, BLACK}, row{250, 300, BLACK}, row{209, 250, WHITE}, row{210, 230, RED},
          row{289, 269, RED}, row{290, 250, WHITE}, row{250, 229, WHITE}, row{250, 270, WHITE}}) {
        EXPECT_EQ(canvas.at(r.x, r.y), r.colour) << r.x << "," << r.y;
    }
}

TEST_F(Logo, BilinearSamplingHasNoHalfPixelOffset) {
    temp_dir dir;
    write_logo(dir / "ramp.png", 2, 1, [](int x, int) { return px4{x * 255, 0, 0, 255}; });
    // Symbol 40, size 0.2: box 8, inner 8, scale 4: drawn 8 x 4.
    qr_set_logo((dir / "ramp.png").c_str(), 0.2f, 0);
    test_canvas canvas(40);
    ASSERT_EQ(qr_logo_composite(qr_style_snapshot(), &canvas.c, 40), QR_OK);
    const int expected[8] = {0, 64, 128, 191, 255, 255, 255, 255};
    for (int lx = 0; lx < 8; ++lx) {
        for (int ly = 0; ly < 4; ++ly) {
            EXPECT_EQ(canvas.at(16 + lx, 18 + ly), (px4{expected[lx], 0, 0, 255}))
                << lx << "," << ly;
        }
    }
    EXPECT_EQ(canvas.at(16, 17), WHITE);
    EXPECT_EQ(canvas.at(16, 22), WHITE);
}

TEST_F(Logo, OnePixelLogoIsASolidSquare) {
    temp_dir dir;
    write_solid_logo(dir / "dot.png", 1, 1, {10, 200, 30, 255});
    qr_set_logo((dir / "dot.png").c_str(), 0.2f, 10);
    test_canvas canvas(500);
    ASSERT_EQ(qr_logo_composite(qr_style_snapshot(), &canvas.c, 500), QR_OK);
    for (int y = 200; y < 300; ++y) {
        for (int x = 200; x < 300; ++x) {
            const bool in_logo = x >= 210 && x < 290 && y >= 210 && y < 290;
            ASSERT_EQ(canvas.at(x, y), (in_logo ? px4{10, 200, 30, 255} : WHITE)) << x << "," << y;
        }
    }
}

TEST_F(Logo, TransparentLogoPixelsShowTheBoxBackground) {
    temp_dir dir;
    write_logo(dir / "holes.png", 4, 4, [](int x, int y) {
        return (x + y) % 2 ? px4{0, 0, 255, 0} : px4{0, 0, 255, 255};
    });
    qr_set_background_color(250, 240, 230, 255);
    qr_set_logo((dir / "holes.png").c_str(), 0.5f, 0);
    test_canvas canvas(64);
    ASSERT_EQ(qr_logo_composite(qr_style_snapshot(), &canvas.c, 64), QR_OK);
    // Box 32 at 16..47; nothing in it keeps the modules' black.
    for (int y = 16; y < 48; ++y) {
        for (int x = 16; x < 48; ++x) {
            const px4 p = canvas.at(x, y);
            ASSERT_EQ(p[3], 255);
            ASSERT_NE(p, BLACK) << x << "," << y;
            ASSERT_EQ(p[2] >= 230, true);
        }
    }
    EXPECT_EQ(canvas.at(15, 20), BLACK);
}

TEST_F(Logo, TransparentBackgroundKeepsHalfTransparentLogoPixels) {
    temp_dir dir;
    write_solid_logo(dir / "half.png", 2, 2, {200, 100, 50, 128});
    qr_set_background_color(9, 8, 7, 0);
    qr_set_logo((dir / "half.png").c_str(), 0.5f, 4);
    test_canvas canvas(64);
    ASSERT_EQ(qr_logo_composite(qr_style_snapshot(), &canvas.c, 64), QR_OK);
    EXPECT_EQ(canvas.at(17, 17), (px4{9, 8, 7, 0})) << "box cleared, not blended";
    EXPECT_EQ(canvas.at(32, 32), (px4{200, 100, 50, 128}));
    EXPECT_EQ(canvas.at(15, 17), BLACK);
}

TEST_F(Logo, BoxContinuesTheBackgroundGradient) {
    temp_dir dir;
    write_solid_logo(dir / "clear.png", 3, 3, {0, 0, 0, 0});
    for (int type : {0, 1}) {
        qr_set_background_gradient(type, 30.0f, 255, 0, 0, 0, 255, 0);
        qr_set_logo((dir / "clear.png").c_str(), 0.4f, 0);
        qr_style style = qr_style_snapshot();
        style.background_color[3] = 200;  // no setter pairs a gradient with an alpha
        test_canvas canvas(90);
        test_canvas background(90, {0, 0, 0, 0});
        qr_render_background(style, &background.c);
        ASSERT_EQ(qr_logo_composite(style, &canvas.c, 80), QR_OK);
        // Box of 32 at 29..60.
        for (int y = 29; y < 61; ++y) {
            for (int x = 29; x < 61; ++x) {
                ASSERT_EQ(canvas.at(x, y), background.at(x, y)) << type << ": " << x << "," << y;
            }
        }
        EXPECT_EQ(canvas.at(28, 40), BLACK);
    }
}

TEST_F(Logo, OversizedLogoIsClippedToTheCanvas) {
    temp_dir dir;
    write_solid_logo(dir / "big.png", 1000, 1000, RED);
    qr_set_logo((dir / "big.png").c_str(), 0.5f, 0);
    const vqr_test::image img = vqr_test::encode_image("A", 1, 1, 0);  // 21 px, logo 50 px
    ASSERT_EQ(img.width, 21);
    for (int y = 0; y < 21; ++y) {
        for (int x = 0; x < 21; ++x) ASSERT_EQ(img.at(x, y)[1], 0) << x << "," << y;
    }
}

TEST_F(Logo, HugeMarginStillDrawsAnEightPixelLogo) {
    temp_dir dir;
    write_solid_logo(dir / "logo.png", 4, 4, RED);
    qr_set_logo((dir / "logo.png").c_str(), 0.5f, INT_MAX);
    test_canvas canvas(100);
    ASSERT_EQ(qr_logo_composite(qr_style_snapshot(), &canvas.c, 100), QR_OK);
    EXPECT_EQ(canvas.at(46, 46), RED);
    EXPECT_EQ(canvas.at(53, 53), RED);
    EXPECT_EQ(canvas.at(45, 46), WHITE);
    EXPECT_EQ(canvas.at(54, 53), WHITE);
    EXPECT_EQ(canvas.at(24, 24), BLACK);
}

TEST_F(Logo, NothingToDoAndMissingFile) {
    test_canvas canvas(50);
    EXPECT_EQ(qr_logo_composite(qr_style_snapshot(), &canvas.c, 50), QR_OK) << "no path";
    qr_set_logo("/no/such/logo.png", 0.2f, 0);
    EXPECT_EQ(qr_logo_composite(qr_style_snapshot(), &canvas.c, 0), QR_OK) << "no symbol width";
    EXPECT_STREQ(qr_logo_composite(qr_style_snapshot(), &canvas.c, 50),
                 "qr_png_read_file: stbi_load failed (not a valid PNG?)");
    for (int i = 0; i < 50; i += 7) EXPECT_EQ(canvas.at(i, 25), BLACK) << "canvas untouched";

    EXPECT_EQ(qr_encode_to_memory("A", 1, 4, 4, nullptr), nullptr);
    EXPECT_STREQ(qr_last_error(), "qr_png_read_file: stbi_load failed (not a valid PNG?)");
}

TEST_F(Logo, HostileLogoFileIsRefusedByTheSizeCap) {
    temp_dir dir;
    std::ofstream(dir / "huge.pgm", std::ios::binary) << "P5\n9000 9000\n255\n";
    qr_set_logo((dir / "huge.pgm").c_str(), 0.2f, 0);
    EXPECT_EQ(qr_encode_to_memory("A", 1, 4, 4, nullptr), nullptr);
    EXPECT_STREQ(qr_last_error(), "qr_png_read_file: stbi_load failed (not a valid PNG?)");
}

std::string level_of(const vqr_test::image &img) {
    std::vector<unsigned char> grey(static_cast<std::size_t>(img.width) *
                                    static_cast<std::size_t>(img.height));
    for (std::size_t i = 0; i < grey.size(); ++i)
        grey[i] = img.rgba[i * 4];  // red channel: the red logo reads as light
    ZXing::DecodeHints hints;
    hints.setFormats(ZXing::BarcodeFormat::QRCode);
    const ZXing::Result r = ZXing::ReadBarcode(
        ZXing::ImageView(grey.data(), img.width, img.height, ZXing::ImageFormat::Lum), hints);
    return r.isValid() ? r.ecLevel() + ":" + r.text() : "unreadable";
}

TEST_F(Logo, SetLogoRaisesTheLevelToHAndStillScans) {
    temp_dir dir;
    write_solid_logo(dir / "logo.png", 30, 20, RED);
    const char *text = "https://example.org/with-a-logo";
    EXPECT_EQ(level_of(vqr_test::encode_image(text, 0, 8, 4)), std::string("L:") + text);
    qr_set_logo((dir / "logo.png").c_str(), 0.2f, 4);
    EXPECT_EQ(level_of(vqr_test::encode_image(text, 0, 8, 4)), std::string("H:") + text);
    EXPECT_EQ(level_of(vqr_test::encode_image(text, 5, 8, 4)), std::string("M:") + text);
    // A preset removes the logo and with it the raised level.
    ASSERT_EQ(qr_apply_preset("corporate"), 1);
    EXPECT_EQ(qr_style_snapshot().logo_path[0], '\0');
    EXPECT_EQ(level_of(vqr_test::encode_image(text, 0, 8, 4)), std::string("L:") + text);
}

}  // namespace
