// Raster pipeline: geometry, level mapping, failure messages, file handling,
// size caps, image reading and round-trips through an independent decoder.
#define ZX_USE_UTF8 1
#include <ZXing/ReadBarcode.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "qrcode_api.h"
#include "qrcode_encode.h"
#include "qrcode_png.h"
#include "qrcode_render.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using vqr_test::image;
using vqr_test::temp_dir;

class Encode : public vqr_test::library {};

constexpr const char *READ_FAILED = "qr_png_read_file: stbi_load failed (not a valid PNG?)";
constexpr const char *TOO_LONG = "qr_encode: text too long to fit in any QR version (max 40)";
constexpr const char *CANVAS_FAILED = "qr_encode: canvas allocation failed";

void write_text(const fs::path &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string read_text(const fs::path &path) {
    const auto bytes = vqr_test::read_bytes(path);
    return {bytes.begin(), bytes.end()};
}

// The header of a binary PGM of w x h pixels. Without pixel data it is a
// 20-byte file declaring w * h pixels: the size check refuses it before the
// loader could allocate w * h * 4 bytes for it.
std::string hollow_pgm(int w, int h) {
    return "P5\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
}

// The error-correction level zxing reads from the symbol's format bits.
std::string level_read_back(const image &img) {
    std::vector<unsigned char> grey(static_cast<std::size_t>(img.width) *
                                    static_cast<std::size_t>(img.height));
    for (std::size_t i = 0; i < grey.size(); ++i) grey[i] = img.rgba[i * 4];
    ZXing::DecodeHints hints;
    hints.setFormats(ZXing::BarcodeFormat::QRCode);
    const ZXing::ImageView view(grey.data(), img.width, img.height, ZXing::ImageFormat::Lum);
    const ZXing::Result result = ZXing::ReadBarcode(view, hints);
    return result.isValid() ? result.ecLevel() : std::string("unreadable");
}

// ---- Geometry ----

TEST_F(Encode, CanvasSideFollowsModuleSizeAndQuietZone) {
    struct row {
        int module_size, quiet_zone, side;
    };
    // 'A' is version 1 (21 modules).
    for (const row r : {row{10, 4, 290}, row{1, 0, 21}, row{0, 0, 21}, row{-7, 2, 25},
                        row{3, -1, 63}, row{2, 4, 58}}) {
        const image img = vqr_test::encode_image("A", 1, r.module_size, r.quiet_zone);
        EXPECT_EQ(img.width, r.side) << r.module_size << "/" << r.quiet_zone;
        EXPECT_EQ(img.height, r.side) << r.module_size << "/" << r.quiet_zone;
    }
}

TEST_F(Encode, NullOutLenStillReturnsThePng) {
    unsigned char *png = qr_encode_to_memory("A", 1, 4, 4, nullptr);
    ASSERT_NE(png, nullptr);
    EXPECT_EQ(png[1], 'P');
    qr_free_buffer(png);
    qr_free_buffer(nullptr);
}

// ---- Level mapping ----

TEST_F(Encode, LevelMappingWithAndWithoutLogo) {
    const std::string text = "level mapping test text";
    int n = 0;
    const auto l = vqr_test::matrix_of(text.c_str(), 0, &n);
    const auto m = vqr_test::matrix_of(text.c_str(), 1, &n);
    const auto h = vqr_test::matrix_of(text.c_str(), 3, &n);
    EXPECT_EQ(vqr_test::matrix_of(text.c_str(), 5, &n), m);
    EXPECT_EQ(vqr_test::matrix_of(text.c_str(), -2, &n), m);
    EXPECT_NE(l, m);

    // The logo rule runs before the range rule: negatives rise to H, 5 is M.
    qr_set_logo("/no/such/logo.png", 0.2f, 0);
    for (int ecc : {0, 1, 2, -2, 3})
        EXPECT_EQ(vqr_test::matrix_of(text.c_str(), ecc, &n), h) << ecc;
    EXPECT_EQ(vqr_test::matrix_of(text.c_str(), 5, &n), m);
    const qr_style style = qr_style_snapshot();
    qr_symbol symbol;
    ASSERT_EQ(qr_encode_matrix(style, text.c_str(), -2, symbol), QR_OK);
    EXPECT_EQ(symbol.ecc, 3);
    ASSERT_EQ(qr_encode_matrix(style, text.c_str(), 7, symbol), QR_OK);
    EXPECT_EQ(symbol.ecc, 7);
}

TEST_F(Encode, SymbolCarriesTheLevelUsed) {
    for (int ecc : {0, 1, 2, 3}) {
        EXPECT_EQ(level_read_back(vqr_test::encode_image("LEVELS", ecc, 4, 4)),
                  std::string(1, "LMQH"[ecc]));
    }
    EXPECT_EQ(level_read_back(vqr_test::encode_image("LEVELS", 9, 4, 4)), "M");
}

// ---- Failures ----

TEST_F(Encode, FailureMessages) {
    const std::string too_long(2954, 'a');
    struct row {
        const char *text;
        int ecc;
        const char *message;
    };
    for (const row r :
         {row{nullptr, 1, "qr_encode: NULL argument"}, row{"", 1, "qr_encode: empty text"},
          row{too_long.c_str(), 0, TOO_LONG}, row{too_long.c_str(), 3, TOO_LONG}}) {
        qr_init();
        int len = -5;
        EXPECT_EQ(qr_encode_to_memory(r.text, r.ecc, 4, 4, &len), nullptr);
        EXPECT_STREQ(qr_last_error(), r.message);
        EXPECT_EQ(len, -5) << "out-parameters of a failing call stay unwritten";
        qr_init();
        EXPECT_EQ(qr_encode_to_file(r.text, "/nonexistent-dir/x.png", r.ecc, 4, 4), -1);
        EXPECT_STREQ(qr_last_error(), r.message);
    }
    EXPECT_EQ(qr_encode_to_file("A", nullptr, 1, 4, 4), -1);
    EXPECT_STREQ(qr_last_error(), "qr_encode_to_file: NULL output path");
    EXPECT_EQ(qr_encode_to_file("A", "/nonexistent-dir/x.png", 1, 4, 4), -1);
    EXPECT_STREQ(qr_last_error(), "qr_encode_to_file: cannot open output path for writing");

    const qr_style style = qr_style_snapshot();
    qr_symbol symbol;
    EXPECT_STREQ(qr_encode_matrix(style, nullptr, 1, symbol), "qr_encode_matrix: NULL argument");
    EXPECT_STREQ(qr_encode_matrix(style, "", 1, symbol), "qr_encode_matrix: empty text");

    qr_bytes png;
    const qr_canvas empty{};
    EXPECT_STREQ(qr_png_write_mem(empty, png), "qr_png_write_mem: bad args");
    EXPECT_STREQ(qr_png_write_file(empty, "/tmp/x.png"), "qr_png_write_file: bad args");
    qr_canvas tiny{};
    ASSERT_EQ(qr_canvas_init(&tiny, 2, 2), 0);
    EXPECT_STREQ(qr_png_write_file(tiny, nullptr), "qr_png_write_file: bad args");
    EXPECT_STREQ(qr_png_write_file(tiny, "/nonexistent-dir/x.png"),
                 "qr_png_write_file: stbi_write_png failed");
    qr_canvas_free(&tiny);
    EXPECT_EQ(tiny.pixels, nullptr);
    EXPECT_EQ(tiny.width, 0);

    unsigned char *pixels = nullptr;
    int w = 0;
    int h = 0;
    EXPECT_EQ(qr_png_read_file(nullptr, &pixels, &w, &h), -1);
    EXPECT_EQ(qr_png_read_file("/no/such/file.png", &pixels, &w, &h), -1);
    EXPECT_EQ(pixels, nullptr);
}

TEST(Canvas, RefusesEmptySizes) {
    qr_canvas canvas{};
    EXPECT_EQ(qr_canvas_init(&canvas, 0, 5), -1);
    EXPECT_EQ(qr_canvas_init(&canvas, 5, -1), -1);
    EXPECT_EQ(canvas.pixels, nullptr);
}

TEST_F(Encode, FailingEncodesNeverCreateOrTruncateTheFile) {
    temp_dir dir;
    const fs::path existing = dir / "existing.png";
    write_text(existing, "keep me");
    const std::string too_long(3000, 'z');
    EXPECT_EQ(qr_encode_to_file("", existing.c_str(), 1, 4, 4), -1);
    EXPECT_EQ(qr_encode_to_file(nullptr, existing.c_str(), 1, 4, 4), -1);
    EXPECT_EQ(qr_encode_to_file(too_long.c_str(), existing.c_str(), 1, 4, 4), -1);
    EXPECT_EQ(qr_encode_to_file("A", existing.c_str(), 1, 100000, 4), -1);
    EXPECT_EQ(read_text(existing), "keep me");

    const fs::path fresh = dir / "fresh.png";
    EXPECT_EQ(qr_encode_to_file(too_long.c_str(), fresh.c_str(), 1, 4, 4), -1);
    qr_set_logo((dir / "missing-logo.png").c_str(), 0.2f, 2);
    EXPECT_EQ(qr_encode_to_file("A", fresh.c_str(), 1, 4, 4), -1);
    EXPECT_STREQ(qr_last_error(), READ_FAILED);
    EXPECT_EQ(qr_encode_to_file("A", existing.c_str(), 1, 4, 4), -1);
    EXPECT_EQ(read_text(existing), "keep me");
    EXPECT_FALSE(fs::exists(fresh));
}

TEST_F(Encode, SuccessfulFileMatchesTheMemoryBytes) {
    temp_dir dir;
    const fs::path out = dir / "a.png";
    write_text(out, std::string(100000, 'x'));
    ASSERT_EQ(qr_encode_to_file("same bytes", out.c_str(), 2, 5, 3), 1);
    int len = 0;
    unsigned char *png = qr_encode_to_memory("same bytes", 2, 5, 3, &len);
    ASSERT_NE(png, nullptr);
    EXPECT_EQ(vqr_test::read_bytes(out), std::vector<unsigned char>(png, png + len));
    qr_free_buffer(png);
}

TEST_F(Encode, ErrorReportedOnlyAtCloseIsAShortWrite) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    // The PNG fits in the stream's buffer, so the device's "no space" error
    // surfaces only when the stream is closed.
    EXPECT_EQ(qr_encode_to_file("A", "/dev/full", 1, 1, 0), -1);
    EXPECT_STREQ(qr_last_error(), "qr_encode_to_file: short write");
}

// ---- Size caps ----

TEST_F(Encode, CanvasAboveTheCapIsRefusedBeforeAllocating) {
    struct row {
        int module_size, quiet_zone;
    };
    // 'A' has 21 modules: 780 px modules give 16,380 px, the largest below the cap.
    for (const row r : {row{781, 0}, row{780, 1}, row{1, 8183}, row{INT_MAX, 0}, row{1, INT_MAX},
                        row{INT_MAX, INT_MAX}, row{65536, 65536}}) {
        qr_init();
        EXPECT_EQ(qr_encode_to_memory("A", 1, r.module_size, r.quiet_zone, nullptr), nullptr)
            << r.module_size << "/" << r.quiet_zone;
        EXPECT_STREQ(qr_last_error(), CANVAS_FAILED);
    }
}

TEST_F(Encode, ImageDeclaringTooManyPixelsIsRefused) {
    temp_dir dir;
    const fs::path small = dir / "small.pgm";
    const fs::path huge = dir / "huge.pgm";
    write_text(small, hollow_pgm(100, 100) + std::string(100 * 100, '\x80'));
    write_text(huge, hollow_pgm(9000, 9000));  // 81 million pixels
    unsigned char *pixels = nullptr;
    int w = 0;
    int h = 0;
    ASSERT_EQ(qr_png_read_file(small.c_str(), &pixels, &w, &h), 0);
    EXPECT_EQ(w, 100);
    std::free(pixels);
    pixels = nullptr;
    EXPECT_EQ(qr_png_read_file(huge.c_str(), &pixels, &w, &h), -1);
    EXPECT_EQ(pixels, nullptr);
    EXPECT_STREQ(qr_decode_from_file(huge.c_str()), "");
    EXPECT_STREQ(qr_last_error(), READ_FAILED);

    const std::string bytes = hollow_pgm(9000, 9000);
    EXPECT_EQ(qr_image_read_memory(reinterpret_cast<const unsigned char *>(bytes.data()),
                                   static_cast<int>(bytes.size()), &pixels, &w, &h),
              -1);
}

TEST_F(Encode, ReaderAcceptsOtherFormatsAsRgba) {
    temp_dir dir;
    // 2 x 1 BMP, 24 bits: a blue and a red pixel (rows padded to 4 bytes).
    // clang-format off
    const unsigned char bmp[] = {
        'B', 'M', 62, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,  // file header
        40, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0, 8, 0, 0, 0,
        0x13, 0x0b, 0, 0, 0x13, 0x0b, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // info header
        255, 0, 0, 0, 0, 255, 0, 0};                                  // B,G,R pixels
    // clang-format on
    vqr_test::write_bytes(dir / "a.bmp",
                          std::vector<unsigned char>(std::begin(bmp), std::end(bmp)));
    unsigned char *pixels = nullptr;
    int w = 0;
    int h = 0;
    ASSERT_EQ(qr_png_read_file((dir / "a.bmp").c_str(), &pixels, &w, &h), 0) << qr_last_error();
    ASSERT_EQ(w, 2);
    ASSERT_EQ(h, 1);
    const std::vector<unsigned char> got(pixels, pixels + 8);
    EXPECT_EQ(got, (std::vector<unsigned char>{0, 0, 255, 255, 255, 0, 0, 255}));
    std::free(pixels);
}

// ---- Round-trips through zxing ----

// Pads with a white border and enlarges one-pixel modules: zxing needs a
// quiet zone and a few pixels per module to find the finders; the pixels of
// the symbol itself are unchanged.
image readable(const image &img, int module_px, int quiet) {
    const int scale = module_px < 3 ? 3 : 1;
    const int pad = quiet < 4 ? 4 * module_px : 0;
    image out;
    out.width = (img.width + 2 * pad) * scale;
    out.height = out.width;
    out.rgba.assign(static_cast<std::size_t>(out.width) * static_cast<std::size_t>(out.height) * 4,
                    255);
    for (int y = 0; y < img.height; ++y) {
        for (int x = 0; x < img.width; ++x) {
            for (int sy = 0; sy < scale; ++sy) {
                for (int sx = 0; sx < scale; ++sx) {
                    const int ox = (x + pad) * scale + sx;
                    const int oy = (y + pad) * scale + sy;
                    std::copy_n(img.at(x, y), 4,
                                &out.rgba[(static_cast<std::size_t>(oy) * out.width + ox) * 4]);
                }
            }
        }
    }
    return out;
}

TEST_F(Encode, RoundTripAcrossModuleSizesAndQuietZones) {
    const char *text = "https://example.org/round-trip";
    for (int m = 1; m <= 10; ++m) {
        for (int q = 0; q <= 4; ++q) {
            const image img = vqr_test::encode_image(text, 1, m, q);
            EXPECT_EQ(vqr_test::zxing_read(readable(img, m, q)), text) << m << "/" << q;
        }
    }
}

TEST_F(Encode, RoundTripAcrossLevelsAndLengthsUpToCapacity) {
    const int capacity[4] = {2953, 2331, 1663, 1273};  // bytes at version 40
    for (int ecc = 0; ecc < 4; ++ecc) {
        for (int len : {1, 17, 100, 700, capacity[ecc]}) {
            std::string text;
            for (int i = 0; i < len; ++i) text += "abcdefghijklmnopqrstuvwxyz"[(i * 7) % 26];
            const image img = vqr_test::encode_image(text.c_str(), ecc, 3, 4);
            EXPECT_EQ(vqr_test::zxing_read(img), text) << ecc << "/" << len;
        }
        const std::string over(static_cast<std::size_t>(capacity[ecc]) + 1, 'a');
        EXPECT_EQ(qr_encode_to_memory(over.c_str(), ecc, 3, 4, nullptr), nullptr);
        EXPECT_STREQ(qr_last_error(), TOO_LONG);
    }
}

TEST_F(Encode, RoundTripUtf8AndDigits) {
    for (const char *text : {"Grüße aus Köln – ☃", "日本語のテキスト",
                             "0123456789012345678901234567890", "HELLO WORLD $%*+-./:"}) {
        EXPECT_EQ(vqr_test::zxing_read(vqr_test::encode_image(text, 2, 6, 4)), text);
    }
}

}  // namespace
