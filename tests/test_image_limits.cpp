// Image reading limits: small files that declare images whose loading would
// cost gigabytes are refused from their headers, and the decoder refuses an
// image too small to hold a code before decoding it (logos may be small).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
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

void chunk(bytes &out, const char *type, const bytes &data) {
    be32(out, static_cast<std::uint32_t>(data.size()));
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    be32(out, 0);  // CRC: not checked by the loader
}

// Deflate's bits, least significant first; Huffman codes go in most
// significant bit first.
struct bit_writer {
    bytes out;
    int used = 8;
    void put(std::uint32_t value, int bits) {
        for (int i = 0; i < bits; ++i) {
            if (used == 8) {
                out.push_back(0);
                used = 0;
            }
            out.back() = static_cast<unsigned char>(out.back() | ((value >> i) & 1u) << used++);
        }
    }
    void code(std::uint32_t value, int bits) {
        for (int i = bits - 1; i >= 0; --i) put(value >> i, 1);
    }
};

// A zlib stream of `n` zero bytes in one fixed-code block: a literal zero,
// then copies of 258 bytes from one byte back (13 bits each, so 600 MB fit
// in 3.8 MB), then literal zeros for the rest.
bytes zlib_zeros(std::uint64_t n) {
    bit_writer w;
    w.out = {0x78, 0x01};
    w.put(1, 1);  // final block
    w.put(1, 2);  // fixed codes
    constexpr std::uint32_t LITERAL_ZERO = 0x30;
    constexpr std::uint32_t LENGTH_258 = 0xC5;
    std::uint64_t left = n;
    if (left > 0) {
        w.code(LITERAL_ZERO, 8);
        --left;
    }
    for (; left >= 258; left -= 258) {
        w.code(LENGTH_258, 8);
        w.code(0, 5);  // distance 1
    }
    for (; left > 0; --left) w.code(LITERAL_ZERO, 8);
    w.code(0, 7);                                                    // end of block
    be32(w.out, static_cast<std::uint32_t>((n % 65521) << 16 | 1));  // Adler-32 of zeros
    return w.out;
}

// An 8-bit grey PNG whose one IDAT chunk inflates to `inflated` zero bytes.
bytes grey_png(std::uint32_t w, std::uint32_t h, bool interlaced, std::uint64_t inflated) {
    bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    bytes ihdr;
    be32(ihdr, w);
    be32(ihdr, h);
    ihdr.insert(ihdr.end(), {8, 0, 0, 0, static_cast<unsigned char>(interlaced ? 1 : 0)});
    chunk(out, "IHDR", ihdr);
    chunk(out, "IDAT", zlib_zeros(inflated));
    chunk(out, "IEND", {});
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
        {"progressive JPEG 6500^2", jpeg_header(6500, 6500, true), 6500, 6500, true},
        {"baseline JPEG 6500^2", jpeg_header(6500, 6500, false), 6500, 6500, false},
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

// A PNG whose stream inflates to more than its image needs is refused
// before it is inflated, by every reader and as a logo; a few spare bytes
// are tolerated. 21 x 21 grey needs 21 rows of 22 bytes, or 482 bytes in
// Adam7's seven passes.
TEST(ImageLimits, PngStreamLongerThanItsImageIsRefused) {
    constexpr std::uint64_t PLAIN = 21 * 22;
    constexpr std::uint64_t ADAM7 = 482;
    const struct {
        const char *name;
        bool interlaced;
        std::uint64_t inflated;
        bool readable;
    } rows[] = {
        {"exact", false, PLAIN, true},
        {"a few spare bytes", false, PLAIN + 1000, true},
        {"64 KiB too many", false, PLAIN + 65536, false},
        {"interlaced, exact", true, ADAM7, true},
        {"interlaced, a few spare bytes", true, ADAM7 + 1000, true},
        {"interlaced, 64 KiB too many", true, ADAM7 + 65536, false},
    };
    vqr_test::temp_dir dir;
    qr_init();
    for (const auto &r : rows) {
        const bytes png = grey_png(21, 21, r.interlaced, r.inflated);
        unsigned char *pixels = nullptr;
        int w = 0;
        int h = 0;
        EXPECT_EQ(qr_image_read_memory(png.data(), static_cast<int>(png.size()), &pixels, &w, &h),
                  r.readable ? 0 : -1)
            << r.name;
        std::free(pixels);
        EXPECT_STREQ(qr_decode_from_memory(png.data(), static_cast<int>(png.size())), "");
        EXPECT_STREQ(qr_last_error(),
                     r.readable ? "qr_decode: no QR code found in image" : MEMORY_FAILED)
            << r.name;
        vqr_test::write_bytes(dir / "logo.png", png);
        qr_set_logo((dir / "logo.png").c_str(), 0.2f, 0);
        unsigned char *code = qr_encode_to_memory("A", 1, 4, 4, &w);
        EXPECT_EQ(code != nullptr, r.readable) << r.name << " as a logo";
        if (!code) {
            EXPECT_STREQ(qr_last_error(), READ_FAILED) << r.name;
        }
        qr_free_buffer(code);
    }
    qr_cleanup();
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif
#else
constexpr bool SANITIZED = false;
#endif

// Address space this process has mapped, in bytes.
std::uint64_t mapped_bytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmSize:", 0) == 0) return std::stoull(line.substr(7)) * 1024;
    }
    return 0;
}

// Decodes in a child process whose address space may grow by `extra`
// bytes; the wait status, which is a normal exit with 0 when the decode
// failed cleanly with `message`.
int decode_in_child(const bytes &data, std::uint64_t extra, const char *message) {
    const std::uint64_t limit = mapped_bytes() + extra;
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit r{limit, limit};
        setrlimit(RLIMIT_AS, &r);
        const char *text = qr_decode_from_memory(data.data(), static_cast<int>(data.size()));
        _exit(text[0] == '\0' && std::strcmp(qr_last_error(), message) == 0 ? 0 : 1);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    return status;
}

// Small files that used to take gigabytes, decoded with 512 MiB of address
// space to spare beyond the decoded pixels: each fails with its message and
// the process lives on.
TEST(ImageLimits, HostileImagesFailCleanlyUnderAMemoryLimit) {
    if (SANITIZED) GTEST_SKIP() << "the sanitizers reserve more address space than any limit";
    const struct {
        const char *name;
        bytes png;
        std::uint64_t decoded;
        const char *message;
    } rows[] = {
        {"flat 21 x 99,864", grey_png(21, 99'864, false, 99'864 * 22), 21 * 99'864 * 4,
         "qr_decode: no QR code found in image"},
        {"21 x 21 inflating to 600 MB", grey_png(21, 21, false, 600'000'000), 21 * 21 * 4,
         MEMORY_FAILED},
    };
    for (const auto &r : rows) {
        const int status =
            decode_in_child(r.png, (std::uint64_t{512} << 20) + r.decoded, r.message);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << r.name << ": " << status;
    }
}

}  // namespace
