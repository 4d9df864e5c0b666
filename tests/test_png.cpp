// PNG writing: the library's compressor must give exactly the bytes of
// stb_image_write's own, and every PNG the library writes must equal what
// plain stb_image_write makes of the same pixels. stb_image_write is compiled
// here, static and untouched, as the reference.
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "qrcode_api.h"
#include "qrcode_png.h"
#include "qrcode_png_write.h"
#include "qrcode_render.h"
#include "test_support.h"

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

namespace {

using namespace vqr_test;
using bytes = std::vector<unsigned char>;

bytes take(unsigned char *p, int len) {
    bytes out(p, p + len);
    std::free(p);
    return out;
}

bytes reference_zlib(bytes data, int quality) {
    int len = 0;
    unsigned char *z =
        stbi_zlib_compress(data.data(), static_cast<int>(data.size()), &len, quality);
    return take(z, len);
}

bytes our_zlib(const bytes &data, int quality) {
    const int len = static_cast<int>(data.size());
    bytes out(qr_deflate_bound(len));
    // Tables left dirty by an earlier input must not matter.
    std::vector<unsigned char> tables(qr_deflate_table_size(), 0xA5);
    out.resize(qr_deflate_to(data.data(), len, quality, tables.data(), out.data()));
    return out;
}

bytes reference_png(const unsigned char *rgba, int width, int height) {
    int len = 0;
    unsigned char *png = stbi_write_png_to_mem(rgba, width * 4, width, height, 4, &len);
    return take(png, len);
}

bytes noise(std::size_t n, unsigned alphabet, unsigned seed) {
    std::mt19937 rng(seed);
    bytes out(n);
    for (auto &b : out) b = static_cast<unsigned char>(rng() % alphabet);
    return out;
}

// A random block followed by itself: the second copy matches at exactly
// `period` bytes back, at and around the window's edge.
bytes repeated_block(std::size_t period, std::size_t total) {
    const bytes block = noise(period, 256, static_cast<unsigned>(period));
    bytes out(total);
    for (std::size_t k = 0; k < total; ++k) out[k] = block[k % period];
    return out;
}

bytes phrases() {
    const char *words[] = {"PNG ", "deflate ", "window ", "bucket ", "match ", "literal "};
    std::mt19937 rng(7);
    bytes out;
    while (out.size() < 40000) {
        const char *w = words[rng() % 6];
        out.insert(out.end(), w, w + std::strlen(w));
    }
    return out;
}

TEST(Deflate, SameBytesAsStbCompressor) {
    struct input {
        const char *name;
        bytes data;
    };
    const input inputs[] = {
        {"empty", {}},
        {"one byte", {7}},
        {"three bytes", {1, 2, 3}},
        {"five equal bytes", bytes(5, 9)},
        {"all zero, two windows", bytes(70000, 0)},
        {"all 0xFF", bytes(1000, 0xFF)},
        {"noise: stored blocks", noise(70000, 256, 1)},
        {"noise just under one stored block", noise(32000, 256, 2)},
        {"two-symbol noise", noise(60000, 2, 3)},
        {"four-symbol noise", noise(60000, 4, 4)},
        {"sixteen-symbol noise", noise(60000, 16, 5)},
        {"period 32766", repeated_block(32766, 66000)},
        {"period 32767", repeated_block(32767, 66000)},
        {"period 32768", repeated_block(32768, 66000)},
        {"period 32769", repeated_block(32769, 66000)},
        {"period 3", repeated_block(3, 5000)},
        {"period 300", repeated_block(300, 5000)},
        {"phrases", phrases()},
    };
    for (const input &in : inputs) {
        for (const int quality : {0, 5, 8, 13, 40}) {
            EXPECT_EQ(our_zlib(in.data, quality), reference_zlib(in.data, quality))
                << in.name << ", quality " << quality;
        }
    }
}

// Every length up to 80 over small alphabets: matches, lazy literals and
// the shortened comparisons near the end of the input at every offset.
TEST(Deflate, SameBytesAsStbCompressorNearTheEnd) {
    for (unsigned alphabet : {2u, 3u, 5u}) {
        for (std::size_t n = 0; n <= 80; ++n) {
            const bytes data = noise(n, alphabet, static_cast<unsigned>(n * 31 + alphabet));
            EXPECT_EQ(our_zlib(data, 8), reference_zlib(data, 8))
                << n << " bytes over " << alphabet << " symbols";
        }
    }
}

// ---- Whole PNG files ----

struct canvas_case {
    const char *name;
    int width, height;
    std::function<void(int x, int y, unsigned char *px)> paint;
};

TEST(PngWriter, SameBytesAsStbOnAnyCanvas) {
    std::mt19937 rng(11);
    const canvas_case cases[] = {
        {"all white", 64, 64, [](int, int, unsigned char *p) { std::memset(p, 255, 4); }},
        {"all black", 64, 64,
         [](int, int, unsigned char *p) { p[0] = p[1] = p[2] = 0, p[3] = 255; }},
        // Larger than the working memory the writer keeps between calls,
        // between smaller images that reuse it.
        {"stripes beyond the kept memory", 1100, 1000,
         [](int x, int, unsigned char *p) { std::memset(p, x % 97 < 3 ? 0 : 255, 4); }},
        {"noise", 120, 90,
         [&](int, int, unsigned char *p) {
             for (int k = 0; k < 4; ++k) p[k] = static_cast<unsigned char>(rng());
         }},
        {"1 x N ramp", 1, 300, [](int, int y, unsigned char *p) { std::memset(p, y & 0xFF, 4); }},
        {"N x 1 ramp", 300, 1, [](int x, int, unsigned char *p) { std::memset(p, x & 0xFF, 4); }},
        // Small steps from pixel to pixel: every filter wins some rows.
        {"random walk", 83, 70,
         [&, v = 128u](int, int, unsigned char *p) mutable {
             for (int k = 0; k < 4; ++k)
                 p[k] = static_cast<unsigned char>(v += static_cast<unsigned>(rng() % 7));
         }},
        {"diagonal gradient, translucent", 97, 61,
         [](int x, int y, unsigned char *p) {
             p[0] = static_cast<unsigned char>(x * 2);
             p[1] = static_cast<unsigned char>(y * 3);
             p[2] = static_cast<unsigned char>(x + y);
             p[3] = static_cast<unsigned char>(x * y);
         }},
    };
    // Both filter passes where the processor has AVX2, the SSE2 one anyway.
    for (const bool avx2 : {true, false}) {
        qr_png_allow_avx2(avx2);
        for (const canvas_case &c : cases) {
            qr_canvas canvas{};
            ASSERT_EQ(qr_canvas_init(&canvas, c.width, c.height), 0);
            for (int y = 0; y < c.height; ++y) {
                for (int x = 0; x < c.width; ++x) {
                    c.paint(x, y, canvas.pixels + (y * c.width + x) * 4);
                }
            }
            qr_bytes png;
            ASSERT_EQ(qr_png_write_mem(canvas, png), QR_OK) << c.name;
            EXPECT_EQ(take(png.data.release(), static_cast<int>(png.len)),
                      reference_png(canvas.pixels, c.width, c.height))
                << c.name << (avx2 ? "" : ", SSE2");
            qr_canvas_free(&canvas);
        }
    }
    qr_png_allow_avx2(true);
}

class PngIdentity : public library {
protected:
    // Encodes through the public API and checks the file against plain
    // stb_image_write on the decoded pixels.
    void expect_identical(const std::string &label, const char *text, int ecc, int module_size,
                          int quiet_zone) {
        int len = 0;
        unsigned char *png = qr_encode_to_memory(text, ecc, module_size, quiet_zone, &len);
        ASSERT_NE(png, nullptr) << label << ": " << qr_last_error();
        const bytes ours = take(png, len);
        const auto img = decode_image(ours);
        ASSERT_TRUE(img) << label;
        EXPECT_EQ(ours, reference_png(img->rgba.data(), img->width, img->height)) << label;
    }
};

constexpr const char *URL = "https://example.org/q?id=12345";
constexpr const char *PRESETS[] = {"modern", "dots", "elegant", "neon", "corporate", "minimal"};

TEST_F(PngIdentity, DefaultLookAtEveryModuleSize) {
    for (int m = 1; m <= 12; ++m) expect_identical("module " + std::to_string(m), URL, 1, m, 4);
}

TEST_F(PngIdentity, EveryVersion) {
    // Byte-mode capacity at level L of versions 1 to 40: a text this long
    // fills its version exactly.
    constexpr int CAPACITY[] = {17,   32,   53,   78,   106,  134,  154,  192,  230,  271,
                                321,  367,  425,  458,  520,  586,  644,  718,  792,  858,
                                929,  1003, 1091, 1171, 1273, 1367, 1465, 1528, 1628, 1732,
                                1840, 1952, 2068, 2188, 2303, 2431, 2563, 2699, 2809, 2953};
    for (int v = 1; v <= 40; ++v) {
        const std::string text(static_cast<std::size_t>(CAPACITY[v - 1]), 'a');
        ASSERT_EQ(qr_get_version(text.c_str(), 0), v);
        expect_identical("version " + std::to_string(v), text.c_str(), 0, 1, 2);
    }
}

TEST_F(PngIdentity, EveryPresetAtSeveralSizes) {
    for (const char *preset : PRESETS) {
        for (const int m : {3, 10}) {
            ASSERT_EQ(qr_apply_preset(preset), 1);
            expect_identical(std::string(preset) + " module " + std::to_string(m), URL, 1, m, 4);
        }
    }
}

TEST_F(PngIdentity, GradientsTransparencyAndLogo) {
    temp_dir dir;
    const int side = 40;
    bytes logo(side * side * 4);
    for (int k = 0; k < side * side; ++k) {
        logo[k * 4 + 0] = static_cast<unsigned char>(k * 7);
        logo[k * 4 + 1] = 40;
        logo[k * 4 + 2] = static_cast<unsigned char>(k / side * 6);
        logo[k * 4 + 3] = static_cast<unsigned char>(k % side * 6);
    }
    const std::string logo_path = (dir / "logo.png").string();
    ASSERT_NE(stbi_write_png(logo_path.c_str(), side, side, 4, logo.data(), side * 4), 0);

    qr_set_dot_gradient(QR_GRADIENT_RADIAL, 0.0f, 200, 0, 0, 0, 0, 200);
    qr_set_corner_square_gradient(QR_GRADIENT_LINEAR, 30.0f, 0, 120, 0, 0, 0, 0);
    qr_set_background_color(255, 255, 255, 0);
    expect_identical("gradients, transparent background", URL, 1, 7, 4);

    qr_set_background_gradient(QR_GRADIENT_LINEAR, 135.0f, 250, 250, 200, 200, 220, 250);
    qr_set_logo(logo_path.c_str(), 0.25f, 4);
    expect_identical("gradient background and logo", URL, 2, 9, 2);
}

TEST_F(PngIdentity, FileHoldsTheSameBytesAsMemory) {
    temp_dir dir;
    const std::string path = (dir / "code.png").string();
    ASSERT_EQ(qr_apply_preset("elegant"), 1);
    ASSERT_EQ(qr_encode_to_file(URL, path.c_str(), 1, 6, 4), 1);
    int len = 0;
    unsigned char *png = qr_encode_to_memory(URL, 1, 6, 4, &len);
    ASSERT_NE(png, nullptr);
    EXPECT_EQ(read_bytes(path), take(png, len));
}

}  // namespace
