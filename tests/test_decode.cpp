// Decode pipeline: grey levels, the entry points and their messages, the
// result buffer, and round-trips of our own output through our decoder.
#include <qrcodegen.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "qrcode_api.h"
#include "qrcode_decode.h"
#include "qrcode_decode_rescue.h"
#include "test_decode_helpers.h"
#include "test_support.h"

namespace {

using vqr_test::image;

class DecodeLibrary : public vqr_test::library {};

using vqr_decoding::decode_rgba;
using vqr_decoding::last_error;
using vqr_decoding::last_run;
using vqr_decoding::run_rgba;

std::string decode_bytes(const std::vector<unsigned char> &bytes) {
    return qr_decode_from_memory(bytes.data(), static_cast<int>(bytes.size()));
}

image solid(int w, int h, unsigned char r, unsigned char g, unsigned char b, unsigned char a) {
    image img;
    img.width = w;
    img.height = h;
    img.rgba.resize(static_cast<std::size_t>(w) * h * 4);
    for (std::size_t i = 0; i < img.rgba.size(); i += 4) {
        img.rgba[i] = r;
        img.rgba[i + 1] = g;
        img.rgba[i + 2] = b;
        img.rgba[i + 3] = a;
    }
    return img;
}

// ---- Grey levels ---------------------------------------------------------------

TEST(DecodeGrey, WorkedPixels) {
    struct row {
        unsigned char px[4];
        int grey;
    };
    const row rows[] = {
        {{0, 0, 0, 0}, 254},         {{200, 10, 90, 0}, 254},  // transparent: any colour
        {{255, 255, 255, 255}, 255}, {{0, 0, 0, 255}, 0},
        {{200, 100, 50, 255}, 124},   // (15400 + 15000 + 1450) >> 8
        {{0, 0, 0, 128}, 126},        // each channel (255 * 127) >> 8 = 126
        {{255, 255, 255, 254}, 254},  // not continuous with the opaque path
    };
    for (const row &r : rows) {
        EXPECT_EQ(rgba_gray_white(r.px), r.grey)
            << int{r.px[0]} << "," << int{r.px[1]} << "," << int{r.px[2]} << "," << int{r.px[3]};
    }
}

// ---- Entry points and messages --------------------------------------------------

TEST(DecodeRun, RefusesImagesBelow21PixelsAndRunsFrom21) {
    struct row {
        int w, h;
        const char *message;
    };
    const row rows[] = {
        {20, 100, "qr_decode: invalid image (need RGBA, >= 21x21)"},
        {100, 20, "qr_decode: invalid image (need RGBA, >= 21x21)"},
        {21, 21, "qr_decode: no QR code found in image"},
    };
    for (const row &r : rows) {
        const image img = solid(r.w, r.h, 255, 255, 255, 255);
        EXPECT_EQ(run_rgba(img.rgba.data(), r.w, r.h), -1);
        EXPECT_STREQ(last_error, r.message) << r.w << "x" << r.h;
    }
    EXPECT_EQ(run_rgba(nullptr, 50, 50), -1);
    EXPECT_STREQ(last_error, "qr_decode: invalid image (need RGBA, >= 21x21)");
}

TEST(DecodeRun, RefusesSizesQuircCannotIndex) {
    const unsigned char px[4] = {};
    EXPECT_EQ(run_rgba(px, 70000, 70000), -1);
    EXPECT_STREQ(last_error, "qr_decode: image too large for quirc");
}

TEST(DecodeMemory, SizeAndLoaderMessages) {
    const unsigned char junk[8] = {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i'};
    struct row {
        const unsigned char *data;
        int len;
        const char *message;
    };
    const row rows[] = {
        {nullptr, 100, "qr_decode_from_memory: data too small"},
        {junk, 7, "qr_decode_from_memory: data too small"},
        {junk, 0, "qr_decode_from_memory: data too small"},
        {junk, -5, "qr_decode_from_memory: data too small"},
        {junk, 8, "qr_decode_from_memory: stbi_load_from failed (not a valid image?)"},
    };
    const char *slot = qr_decode_from_memory(nullptr, 0);
    for (const row &r : rows) {
        const char *out = qr_decode_from_memory(r.data, r.len);
        EXPECT_EQ(out, slot);
        EXPECT_STREQ(out, "");
        EXPECT_STREQ(qr_last_error(), r.message) << r.len;
    }
}

TEST(DecodeMemory, DeclaredSizeAboveTheCapIsRefusedBeforeDecoding) {
    // A 20,000 x 20,000 grey PNM header with no pixels: refused on its size.
    const std::string head = "P5\n20000 20000\n255\n";
    std::vector<unsigned char> bytes(head.begin(), head.end());
    bytes.resize(bytes.size() + 64, 0);
    EXPECT_STREQ(qr_decode_from_memory(bytes.data(), static_cast<int>(bytes.size())), "");
    EXPECT_STREQ(qr_last_error(),
                 "qr_decode_from_memory: stbi_load_from failed (not a valid image?)");
}

TEST(DecodeFile, Messages) {
    EXPECT_STREQ(qr_decode_from_file(nullptr), "");
    EXPECT_STREQ(qr_last_error(), "qr_decode_from_file: NULL path");
    EXPECT_STREQ(qr_decode_from_file("/nonexistent/dir/code.png"), "");
    EXPECT_STREQ(qr_last_error(), "qr_png_read_file: stbi_load failed (not a valid PNG?)");
    vqr_test::temp_dir dir;
    vqr_test::write_bytes(dir / "junk.png", {'j', 'u', 'n', 'k', 'j', 'u', 'n', 'k', 'j'});
    EXPECT_STREQ(qr_decode_from_file((dir / "junk.png").c_str()), "");
    EXPECT_STREQ(qr_last_error(), "qr_png_read_file: stbi_load failed (not a valid PNG?)");
}

// Files are read whole up to 64 MiB and by stb in pieces beyond that: the
// same code either way, and an empty file holds no image.
TEST_F(DecodeLibrary, FilesReadWholeOrInPiecesAlike) {
    const image img = vqr_test::encode_image("formats", 1, 4, 4);
    vqr_test::temp_dir dir;
    for (const char *format : {"png", "jpg"}) {
        const auto path = dir / (std::string("code.") + format);
        vqr_test::write_bytes(
            path, vqr_writers::stb_format(format, img.rgba.data(), img.width, img.height));
        EXPECT_STREQ(qr_decode_from_file(path.c_str()), "formats") << format;
        // Zeros after the image's end marker, which both readers stop at
        // (a sparse file: nothing is written to disk).
        std::filesystem::resize_file(path, (std::uintmax_t{64} << 20) + 1);
        EXPECT_STREQ(qr_decode_from_file(path.c_str()), "formats") << format;
    }
    vqr_test::write_bytes(dir / "empty.png", {});
    EXPECT_STREQ(qr_decode_from_file((dir / "empty.png").c_str()), "");
    EXPECT_STREQ(qr_last_error(), "qr_png_read_file: stbi_load failed (not a valid PNG?)");
}

TEST(DecodeFile, NoCodeFound) {
    vqr_test::temp_dir dir;
    const image img = solid(64, 48, 30, 200, 90, 255);
    vqr_test::write_bytes(dir / "plain.png",
                          vqr_writers::stb_format("png", img.rgba.data(), 64, 48));
    EXPECT_STREQ(qr_decode_from_file((dir / "plain.png").c_str()), "");
    EXPECT_STREQ(qr_last_error(), "qr_decode: no QR code found in image");
}

TEST_F(DecodeLibrary, ResultIsOneBufferEmptiedByEveryCall) {
    int len = 0;
    unsigned char *png = qr_encode_to_memory("first", 1, 4, 4, &len);
    ASSERT_NE(png, nullptr);
    const char *ok = qr_decode_from_memory(png, len);
    EXPECT_STREQ(ok, "first");
    EXPECT_EQ(qr_apply_preset(nullptr), -1);
    EXPECT_STREQ(qr_decode_from_memory(png, len), "first");
    EXPECT_STREQ(qr_last_error(), "qr_apply_preset: NULL preset_name")
        << "success writes no message";
    qr_free_buffer(png);
    const char *failed = qr_decode_from_memory(nullptr, 0);
    EXPECT_EQ(failed, ok);
    EXPECT_STREQ(failed, "");
    EXPECT_EQ(qr_decode_from_file(nullptr), ok);
}

// A symbol drawn straight from qrcodegen's matrix: dark modules black, light
// white, `m` pixels each, a 4-module quiet zone.
image draw_matrix(const std::uint8_t *qr, int m) {
    const int n = qrcodegen_getSize(qr);
    const int side = (n + 8) * m;
    image img = solid(side, side, 255, 255, 255, 255);
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            if (qrcodegen_getModule(qr, x / m - 4, y / m - 4)) {
                unsigned char *p = &img.rgba[(static_cast<std::size_t>(y) * side + x) * 4];
                p[0] = p[1] = p[2] = 0;
            }
        }
    }
    return img;
}

TEST(DecodeRun, PayloadWithAZeroByteIsCopiedWhole) {
    std::uint8_t buf[qrcodegen_BUFFER_LEN_MAX];
    std::uint8_t qr[qrcodegen_BUFFER_LEN_MAX];
    const std::uint8_t payload[] = {'a', 'b', 0, 'c', 'd'};
    std::memcpy(buf, payload, sizeof payload);
    ASSERT_TRUE(qrcodegen_encodeBinary(buf, sizeof payload, qr, qrcodegen_Ecc_MEDIUM, 1, 40,
                                       qrcodegen_Mask_AUTO, false));
    const image img = draw_matrix(qr, 4);
    std::memset(last_run.text, 'x', 16);
    EXPECT_EQ(run_rgba(img.rgba.data(), img.width, img.height), 1);
    EXPECT_EQ(std::memcmp(last_run.text, "ab\0cd\0", 6), 0);
}

TEST(DecodeRun, LongestByteModePayloadFitsTheBuffer) {
    std::uint8_t buf[qrcodegen_BUFFER_LEN_MAX];
    std::uint8_t qr[qrcodegen_BUFFER_LEN_MAX];
    const int len = 2953;  // version 40, level L, byte mode
    std::vector<std::uint8_t> payload(static_cast<std::size_t>(len));
    for (int i = 0; i < len; ++i) payload[i] = static_cast<std::uint8_t>(0x80 + i % 100);
    std::memcpy(buf, payload.data(), payload.size());  // buf is also the encoder's scratch
    ASSERT_TRUE(qrcodegen_encodeBinary(buf, static_cast<std::size_t>(len), qr, qrcodegen_Ecc_LOW,
                                       40, 40, qrcodegen_Mask_AUTO, false));
    const image img = draw_matrix(qr, 3);
    EXPECT_EQ(run_rgba(img.rgba.data(), img.width, img.height), 1);
    EXPECT_EQ(std::memcmp(last_run.text, payload.data(), payload.size()), 0);
    EXPECT_EQ(last_run.text[len], '\0');
}

// ---- Round-trips ------------------------------------------------------------------

TEST_F(DecodeLibrary, LevelsLengthsAndUtf8RoundTrip) {
    const std::string utf8 = "Grüße, Zürich — 東京 ☃ 😀";
    // Near capacity at each level for version 40 (byte mode): L 2953, M 2331,
    // Q 1663, H 1273.
    const int capacity[4] = {2953, 2331, 1663, 1273};
    for (int ecc = 0; ecc < 4; ++ecc) {
        std::vector<std::string> texts = {"a", "0123456789", utf8, std::string(300, 'z')};
        std::string near;
        while (static_cast<int>(near.size()) < capacity[ecc] - 3) {
            near += static_cast<char>('a' + near.size() % 26);
        }
        texts.push_back(near);
        for (const std::string &text : texts) {
            const int m = text.size() > 1000 ? 2 : 4;
            const image img = vqr_test::encode_image(text.c_str(), ecc, m, 4);
            EXPECT_EQ(decode_rgba(img), text) << "ecc " << ecc << " length " << text.size();
        }
    }
}

struct look {
    const char *name;
    void (*apply)(int);
    int variants;
};

// Every module style, ring style and centre style, and every preset, at module
// sizes 4 to 10, must read back; sizes 2 and 3 are reported, not required.
TEST_F(DecodeLibrary, EveryLookReadsBackFromModuleSize4) {
    static const char *const PRESET_NAMES[] = {"modern", "dots",      "elegant",
                                               "neon",   "corporate", "minimal"};
    const look looks[] = {
        {"dot style", [](int v) { qr_set_dot_style(v); }, 6},
        {"ring style", [](int v) { qr_set_corner_square_style(v); }, 6},
        {"centre style", [](int v) { qr_set_corner_dot_style(v); }, 3},
        {"preset", [](int v) { qr_apply_preset(PRESET_NAMES[v]); }, 6},
    };
    const char *text = "https://example.org/look?id=42";
    std::string unread;
    for (const look &l : looks) {
        for (int v = 0; v < l.variants; ++v) {
            for (int m = 2; m <= 10; ++m) {
                qr_reset_style();
                l.apply(v);
                const image img = vqr_test::encode_image(text, 1, m, 4);
                if (decode_rgba(img) == text) continue;
                if (m >= 4) ADD_FAILURE() << l.name << " " << v << " module size " << m;
                unread += std::string(l.name) + " " + std::to_string(v) + " at " +
                          std::to_string(m) + "; ";
            }
        }
    }
    std::printf("not read: %s\n", unread.c_str());
}

TEST_F(DecodeLibrary, DotStylesAtEveryLevelAndSize) {
    for (int style = 0; style < 6; ++style) {
        for (int ecc = 0; ecc < 4; ++ecc) {
            for (int m = 4; m <= 10; m += 3) {
                qr_set_dot_style(style);
                const image img = vqr_test::encode_image("Style x level x size", ecc, m, 4);
                EXPECT_EQ(decode_rgba(img), "Style x level x size")
                    << "style " << style << " ecc " << ecc << " m " << m;
            }
        }
    }
}

TEST_F(DecodeLibrary, LightOnDarkIsFoundInTheInvertedPass) {
    image img = vqr_test::encode_image("inverted", 1, 6, 4);
    vqr_writers::invert(img);
    EXPECT_EQ(decode_rgba(img), "inverted");
    // quirc itself finds the grid in the second pass, on grey levels flipped
    // from the first pass's, not only the fallback.
    const qr_quirc_ptr q(qr_quirc_new());
    ASSERT_TRUE(q && quirc_resize(q.get(), img.width, img.height) == 0);
    qr_decoded out;
    qr_decode_geometry geo{};
    ASSERT_EQ(qr_decode_attempts(q.get(), img.rgba.data(), img.width, img.height, out, &geo), 1);
    EXPECT_STREQ(out.text, "inverted");
    EXPECT_EQ(geo.inverted, 1);
    EXPECT_EQ(quirc_count(q.get()), 1);
    // A light code on a dark background of our own style.
    qr_set_dot_color(250, 250, 250);
    qr_set_corner_square_color(250, 250, 250);
    qr_set_corner_dot_color(250, 250, 250);
    qr_set_background_color(20, 20, 40, 255);
    EXPECT_EQ(decode_rgba(vqr_test::encode_image("styled inverse", 1, 6, 4)), "styled inverse");
}

TEST_F(DecodeLibrary, DarkModulesOnATransparentBackground) {
    qr_set_background_color(255, 255, 255, 0);
    const image img = vqr_test::encode_image("transparent", 1, 5, 4);
    ASSERT_EQ(img.at(0, 0)[3], 0);
    EXPECT_EQ(decode_rgba(img), "transparent");
}

TEST_F(DecodeLibrary, RotatedCodes) {
    image img = vqr_test::encode_image("rotated code", 2, 5, 4);
    for (int turns = 1; turns <= 3; ++turns) {
        img = vqr_writers::rotate_cw(img);
        EXPECT_EQ(decode_rgba(img), "rotated code") << turns * 90 << " degrees";
    }
}

// A thread keeps its detector between decodes and resizes it in place when
// a picture fits: pictures larger and smaller than the last, and one without
// a code between them, each read as they would alone.
TEST_F(DecodeLibrary, DecodesOfEverySizeInTurnOnOneThread) {
    const image small = vqr_test::encode_image("small", 1, 4, 4);
    const image large = vqr_test::encode_image("a larger picture", 3, 12, 4);
    const image blank = solid(701, 499, 255, 255, 255, 255);
    const struct {
        const image *img;
        const char *text;
    } runs[] = {{&small, "small"}, {&large, "a larger picture"}, {&small, "small"},
                {&blank, ""},      {&large, "a larger picture"}, {&small, "small"}};
    for (const auto &r : runs) {
        EXPECT_EQ(decode_rgba(*r.img), r.text) << r.img->width << " x " << r.img->height;
    }
}

TEST_F(DecodeLibrary, OtherImageFormatsFromMemoryAndFile) {
    const image img = vqr_test::encode_image("formats", 1, 4, 4);
    const unsigned char *px = img.rgba.data();
    const int w = img.width;
    const int h = img.height;
    struct row {
        const char *name;
        vqr_writers::bytes bytes;
    };
    const row rows[] = {
        {"jpg", vqr_writers::stb_format("jpg", px, w, h)},
        {"bmp", vqr_writers::stb_format("bmp", px, w, h)},
        {"tga", vqr_writers::stb_format("tga", px, w, h)},
        {"hdr", vqr_writers::stb_format("hdr", px, w, h)},
        {"ppm", vqr_writers::ppm(px, w, h)},
        {"pgm", vqr_writers::pgm(px, w, h)},
        {"gif", vqr_writers::gif(px, w, h)},
        {"psd", vqr_writers::psd(px, w, h)},
    };
    vqr_test::temp_dir dir;
    for (const row &r : rows) {
        ASSERT_FALSE(r.bytes.empty()) << r.name;
        EXPECT_EQ(decode_bytes(r.bytes), "formats") << r.name;
        const auto path = dir / (std::string("code.") + r.name);
        vqr_test::write_bytes(path, r.bytes);
        EXPECT_STREQ(qr_decode_from_file(path.c_str()), "formats") << r.name;
    }
}

}  // namespace
