// Image reading limits: small files that declare images whose loading would
// cost gigabytes are refused from their headers, and the decoder refuses an
// image too small to hold a code before decoding it (logos may be small).
#include <cstdint>
#include <string>
#include <vector>

#include "qrcode_png.h"
#include "test_decode_helpers.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using bytes = std::vector<unsigned char>;

constexpr const char *READ_FAILED = "qr_png_read_file: stbi_load failed (not a valid PNG?)";
constexpr const char *MEMORY_FAILED =
    "qr_decode_from_memory: stbi_load_from failed (not a valid image?)";
constexpr const char *INVALID_IMAGE = "qr_decode: invalid image (need RGBA, >= 21x21)";

void be32(bytes &out, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<unsigned char>(v >> s));
}

bytes text_bytes(const std::string &s) { return {s.begin(), s.end()}; }

// Signature, IHDR and the start of an IDAT chunk: all a header reader sees.
bytes png_header(std::uint32_t w, std::uint32_t h, unsigned char depth, unsigned char colour) {
    bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    be32(out, 13);
    out.insert(out.end(), {'I', 'H', 'D', 'R'});
    be32(out, w);
    be32(out, h);
    out.insert(out.end(), {depth, colour, 0, 0, 0, 0, 0, 0, 0});
    be32(out, 0);
    out.insert(out.end(), {'I', 'D', 'A', 'T', 0, 0, 0, 0});
    return out;
}

bytes hdr_header(int w, int h) {
    return text_bytes("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y " + std::to_string(h) + " +X " +
                      std::to_string(w) + "\n");
}

// Start of image and a frame header (baseline or progressive) of three
// components sampled 1 x 1.
bytes jpeg_header(int w, int h, bool progressive) {
    bytes out = {0xFF, 0xD8, 0xFF, static_cast<unsigned char>(progressive ? 0xC2 : 0xC0), 0, 17, 8};
    for (int v : {h, w}) {
        out.push_back(static_cast<unsigned char>(v >> 8));
        out.push_back(static_cast<unsigned char>(v));
    }
    out.insert(out.end(), {3, 1, 0x11, 0, 2, 0x11, 0, 3, 0x11, 0});
    return out;
}

bytes gif_header(int w, int h) {
    bytes out = text_bytes("GIF89a");
    for (int v : {w, h}) {
        out.push_back(static_cast<unsigned char>(v));
        out.push_back(static_cast<unsigned char>(v >> 8));
    }
    out.insert(out.end(), {0, 0, 0});
    return out;
}

bytes pgm_header(int w, int h) {
    return text_bytes("P5\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n");
}

TEST(ImageLimits, WorkingMemoryBudgetByFormatDepthAndLayout) {
    struct row {
        const char *name;
        bytes header;
        int width, height;
        bool over_budget;
    };
    const row rows[] = {
        // 16-bit: the image and its RGBA conversion at 16 bits, then 8 bits.
        {"16-bit RGBA PNG 8192^2", png_header(8192, 8192, 16, 6), 8192, 8192, true},
        {"16-bit RGBA PNG 5000^2", png_header(5000, 5000, 16, 6), 5000, 5000, false},
        {"8-bit RGBA PNG 6000^2", png_header(6000, 6000, 8, 6), 6000, 6000, false},
        {"8-bit RGBA PNG 8192^2", png_header(8192, 8192, 8, 6), 8192, 8192, false},
        {"16-bit grey PNG 8192^2", png_header(8192, 8192, 16, 0), 8192, 8192, true},
        // Floats: 16 bytes a pixel plus the 8-bit result.
        {"HDR 8192^2", hdr_header(8192, 8192), 8192, 8192, true},
        {"HDR 4000^2", hdr_header(4000, 4000), 4000, 4000, false},
        // Coefficients triple a progressive file's planes.
        {"progressive JPEG 8192^2", jpeg_header(8192, 8192, true), 8192, 8192, true},
        {"baseline JPEG 8192^2", jpeg_header(8192, 8192, false), 8192, 8192, false},
        {"GIF 8192^2", gif_header(8192, 8192), 8192, 8192, true},
        {"GIF 7000^2", gif_header(7000, 7000), 7000, 7000, false},
        {"PGM 8000^2", pgm_header(8000, 8000), 8000, 8000, false},
    };
    for (const row &r : rows) {
        qr_declared_image img{};
        ASSERT_TRUE(qr_image_declared(r.header.data(), static_cast<int>(r.header.size()), &img))
            << r.name;
        EXPECT_EQ(img.width, r.width) << r.name;
        EXPECT_EQ(img.height, r.height) << r.name;
        EXPECT_EQ(img.work_bytes > QR_MAX_IMAGE_WORK_BYTES, r.over_budget)
            << r.name << ": " << img.work_bytes;
    }
}

// A 67-byte HDR header declaring 8192 x 8192: the loader would take over a
// gigabyte and seconds to "decode" it from nothing. Every reader refuses it
// with its usual message.
TEST(ImageLimits, HdrBombIsRefusedByEveryReader) {
    const bytes bomb = hdr_header(8192, 8192);
    vqr_test::temp_dir dir;
    vqr_test::write_bytes(dir / "bomb.hdr", bomb);

    EXPECT_STREQ(qr_decode_from_memory(bomb.data(), static_cast<int>(bomb.size())), "");
    EXPECT_STREQ(qr_last_error(), MEMORY_FAILED);
    EXPECT_STREQ(qr_decode_from_file((dir / "bomb.hdr").c_str()), "");
    EXPECT_STREQ(qr_last_error(), READ_FAILED);

    qr_init();
    qr_set_logo((dir / "bomb.hdr").c_str(), 0.2f, 0);
    EXPECT_EQ(qr_encode_to_memory("A", 1, 4, 4, nullptr), nullptr);
    EXPECT_STREQ(qr_last_error(), READ_FAILED);
    qr_cleanup();
}

// The decoder checks the declared size: a header of 4 x 16,777,216 pixels
// is refused as too small, not decoded first.
TEST(ImageLimits, DecoderRefusesNarrowImagesFromTheirHeader) {
    vqr_test::temp_dir dir;
    struct row {
        const char *name;
        bytes data;
        const char *message;
    };
    const vqr_test::image white = [] {
        vqr_test::image img;
        img.width = 21;
        img.height = 21;
        img.rgba.assign(21 * 21 * 4, 255);
        return img;
    }();
    const row rows[] = {
        {"narrow PGM header", pgm_header(4, 16777216), INVALID_IMAGE},
        {"wide PGM header", pgm_header(16777216, 4), INVALID_IMAGE},
        {"20 x 21 PNG", vqr_writers::stb_format("png", white.rgba.data(), 20, 21), INVALID_IMAGE},
        {"21 x 21 PNG", vqr_writers::stb_format("png", white.rgba.data(), 21, 21),
         "qr_decode: no QR code found in image"},
    };
    for (const row &r : rows) {
        EXPECT_STREQ(qr_decode_from_memory(r.data.data(), static_cast<int>(r.data.size())), "");
        EXPECT_STREQ(qr_last_error(), r.message) << r.name << " from memory";
        vqr_test::write_bytes(dir / "image", r.data);
        EXPECT_STREQ(qr_decode_from_file((dir / "image").c_str()), "");
        EXPECT_STREQ(qr_last_error(), r.message) << r.name << " from a file";
    }
    // The same small image is a fine logo.
    vqr_test::write_bytes(dir / "logo.png", rows[2].data);
    unsigned char *pixels = nullptr;
    int w = 0;
    int h = 0;
    ASSERT_EQ(qr_png_read_file((dir / "logo.png").c_str(), &pixels, &w, &h), 0);
    EXPECT_EQ(w, 20);
    std::free(pixels);
}

// A PSD whose black pixels carry alpha 1: undoing the white matte gives
// about -64,770 for their colour, which the loader stores as a byte. The
// load and the decode still end cleanly, and every pixel the step leaves
// alone (alpha 0 or 255) and the alpha plane come through exactly.
TEST(ImageLimits, PsdWhoseMatteFallsBelowZeroLoadsCleanly) {
    const fs::path file = fs::path(VQR_SOURCE_DIR) /
                          "tests/crashers/decode/image_loader/psd_white_matte_below_zero.psd";
    const bytes psd = vqr_test::read_bytes(file);
    unsigned char *pixels = nullptr;
    int w = 0;
    int h = 0;
    ASSERT_EQ(qr_image_read_memory(psd.data(), static_cast<int>(psd.size()), &pixels, &w, &h), 0);
    const qr_heap_ptr<unsigned char> owner(pixels);
    ASSERT_EQ(w * h, 21 * 21);
    for (int i = 0; i < w * h; ++i) {
        const unsigned char alpha = (i % 3 == 0) ? 1 : (i % 3 == 1) ? 255 : 0;
        ASSERT_EQ(pixels[i * 4 + 3], alpha) << i;
        if (alpha != 1) {
            EXPECT_EQ(vqr_test::px4_of(pixels + i * 4), (vqr_test::px4{0, 0, 0, alpha})) << i;
        }
    }
    EXPECT_STREQ(qr_decode_from_memory(psd.data(), static_cast<int>(psd.size())), "");
    EXPECT_STREQ(qr_last_error(), "qr_decode: no QR code found in image");
}

}  // namespace
