// The plain PNG reader must give stb_image's pixels for every file it
// accepts and leave every file it cannot read that way to stb.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "qrcode_png.h"
#include "qrcode_png_read.h"
#include "qrcode_png_write.h"

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

namespace {

using bytes = std::vector<unsigned char>;

struct format {
    const char *name;
    int colour, depth, channels;
};

constexpr format FORMATS[] = {
    {"grey 1", 0, 1, 1},    {"grey 2", 0, 2, 1},     {"grey 4", 0, 4, 1},    {"grey 8", 0, 8, 1},
    {"palette 1", 3, 1, 1}, {"palette 2", 3, 2, 1},  {"palette 4", 3, 4, 1}, {"palette 8", 3, 8, 1},
    {"RGB", 2, 8, 3},       {"grey alpha", 4, 8, 2}, {"RGBA", 6, 8, 4},
};

void put32(bytes &out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<unsigned char>(v >> shift));
}

// Neither reader checks CRCs, so they are left zero.
void put_chunk(bytes &png, const char *type, const bytes &data) {
    put32(png, static_cast<std::uint32_t>(data.size()));
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    put32(png, 0);
}

bytes header(int width, int height, int depth, int colour, int interlace = 0) {
    bytes h;
    put32(h, static_cast<std::uint32_t>(width));
    put32(h, static_cast<std::uint32_t>(height));
    h.insert(h.end(), {static_cast<unsigned char>(depth), static_cast<unsigned char>(colour), 0, 0,
                       static_cast<unsigned char>(interlace)});
    return h;
}

bytes zlib(const bytes &data) {
    const int len = static_cast<int>(data.size());
    bytes out(qr_deflate_bound(len));
    std::vector<unsigned char> tables(qr_deflate_table_size());
    out.resize(qr_deflate_to(data.data(), len, 8, tables.data(), out.data()));
    return out;
}

int paeth_predictor(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// Filters the rows (each `row` bytes) with filter_of(y), as an encoder would.
bytes filtered(const bytes &rows, std::size_t row, int step, int (*filter_of)(int)) {
    bytes out;
    const std::size_t height = rows.size() / row;
    const auto s = static_cast<std::size_t>(step);
    for (std::size_t y = 0; y < height; ++y) {
        const unsigned char *cur = &rows[y * row];
        const unsigned char *up = y ? &rows[(y - 1) * row] : nullptr;
        const int f = filter_of(static_cast<int>(y));
        out.push_back(static_cast<unsigned char>(f));
        for (std::size_t k = 0; k < row; ++k) {
            const int a = k >= s ? cur[k - s] : 0;
            const int b = up ? up[k] : 0;
            const int c = up && k >= s ? up[k - s] : 0;
            const int predicted = f == 1   ? a
                                  : f == 2 ? b
                                  : f == 3 ? (a + b) / 2
                                  : f == 4 ? paeth_predictor(a, b, c)
                                           : 0;
            out.push_back(static_cast<unsigned char>(cur[k] - predicted));
        }
    }
    return out;
}

// A PNG of random samples (palette indices within `palette` entries; 8-bit
// samples drawn from `levels` when it is given), its stream split over two
// IDAT chunks.
bytes random_png(const format &f, int width, int height, int (*filter_of)(int), int palette,
                 int transparent, unsigned seed, const std::vector<unsigned> &levels = {}) {
    std::mt19937 rng(seed);
    const std::size_t row = (static_cast<std::size_t>(width) * f.channels * f.depth + 7) / 8;
    bytes rows(row * static_cast<std::size_t>(height));
    const int limit = f.colour == 3 ? palette : 256;
    for (std::size_t y = 0; y < static_cast<std::size_t>(height); ++y) {
        for (int x = 0; x < width * f.channels; ++x) {
            const auto v = levels.empty()
                               ? static_cast<unsigned>(rng() % static_cast<unsigned>(limit)) &
                                     ((1u << f.depth) - 1)
                               : levels[rng() % levels.size()];
            const int bit = x * f.depth;
            rows[y * row + static_cast<std::size_t>(bit / 8)] |=
                static_cast<unsigned char>(v << (8 - f.depth - bit % 8));
        }
    }
    const int step = f.depth < 8 ? 1 : f.channels;
    const bytes stream = zlib(filtered(rows, row, step, filter_of));
    bytes png = {137, 80, 78, 71, 13, 10, 26, 10};
    put_chunk(png, "IHDR", header(width, height, f.depth, f.colour));
    put_chunk(png, "tEXt", {'a', 0, 'b'});
    if (f.colour == 3) {
        bytes plte;
        for (int i = 0; i < 3 * palette; ++i) plte.push_back(static_cast<unsigned char>(rng()));
        put_chunk(png, "PLTE", plte);
        if (transparent > 0) {
            bytes alpha;
            for (int i = 0; i < transparent; ++i)
                alpha.push_back(static_cast<unsigned char>(rng()));
            put_chunk(png, "tRNS", alpha);
        }
    }
    const std::size_t half = stream.size() / 2;
    put_chunk(png, "IDAT", bytes(stream.begin(), stream.begin() + static_cast<long>(half)));
    put_chunk(png, "IDAT", bytes(stream.begin() + static_cast<long>(half), stream.end()));
    put_chunk(png, "IEND", {});
    return png;
}

struct decoded {
    bool ok = false;
    int width = 0, height = 0;
    bytes rgba;
};

decoded plain(const bytes &png) {
    decoded d;
    unsigned char *p = nullptr;
    d.ok = qr_png_decode_plain(png.data(), png.size(), &p, &d.width, &d.height);
    if (d.ok) d.rgba.assign(p, p + static_cast<std::size_t>(d.width) * d.height * 4);
    std::free(p);
    return d;
}

decoded stb(const bytes &png) {
    decoded d;
    int channels = 0;
    unsigned char *p = stbi_load_from_memory(png.data(), static_cast<int>(png.size()), &d.width,
                                             &d.height, &channels, 4);
    d.ok = p != nullptr;
    if (d.ok) d.rgba.assign(p, p + static_cast<std::size_t>(d.width) * d.height * 4);
    std::free(p);
    return d;
}

int same_filter(int) { return 0; }
int sub_filter(int) { return 1; }
int up_filter(int) { return 2; }
int average_filter(int) { return 3; }
int paeth_filter(int) { return 4; }
int filter_by_row(int y) { return y % 5; }

TEST(PlainPngReader, SamePixelsAsStbForEveryFormatAndFilter) {
    int (*const filters[])(int) = {same_filter,    sub_filter,   up_filter,
                                   average_filter, paeth_filter, filter_by_row};
    unsigned seed = 1;
    for (const format &f : FORMATS) {
        for (auto filter_of : filters) {
            // Widths that leave part of the last byte, and a one-pixel image.
            for (const auto &[w, h] : {std::pair{13, 11}, std::pair{64, 7}, std::pair{1, 1}}) {
                const int palette = 1 << std::min(f.depth, 8);
                const bytes png = random_png(f, w, h, filter_of, palette, palette / 2, ++seed);
                const decoded ours = plain(png);
                const decoded theirs = stb(png);
                ASSERT_TRUE(ours.ok) << f.name << " " << w << "x" << h;
                ASSERT_TRUE(theirs.ok) << f.name;
                EXPECT_EQ(ours.width, theirs.width);
                EXPECT_EQ(ours.height, theirs.height);
                EXPECT_EQ(ours.rgba, theirs.rgba)
                    << f.name << " filter " << filter_of(1) << " " << w << "x" << h;
            }
        }
    }
}

// Paeth's choice turns on ties between distances (|b - c| = |a - c| and the
// like), which uniform samples seldom make: samples from a few close
// levels, and levels where the sum with the filtered byte wraps.
TEST(PlainPngReader, PaethTiesAsStbBreaksThem) {
    const std::vector<unsigned> levels = {0, 1, 2, 3, 4, 127, 128, 129, 252, 253, 254, 255};
    unsigned seed = 100;
    for (const format &f : FORMATS) {
        if (f.depth != 8 || f.colour == 3) continue;
        const bytes png = random_png(f, 97, 23, paeth_filter, 0, 0, ++seed, levels);
        const decoded ours = plain(png);
        ASSERT_TRUE(ours.ok) << f.name;
        EXPECT_EQ(ours.rgba, stb(png).rgba) << f.name;
    }
}

// The library's own PNGs (one of the two readers' everyday inputs) read
// the same through either reader.
TEST(PlainPngReader, ReadsTheLibrarysOwnPngs) {
    std::mt19937 rng(5);
    for (const int side : {1, 17, 200}) {
        bytes rgba(static_cast<std::size_t>(side) * side * 4);
        for (std::size_t i = 0; i < rgba.size(); ++i) {
            rgba[i] = static_cast<unsigned char>(i % 7 < 3 ? rng() : 255);
        }
        int len = 0;
        unsigned char *png = qr_png_encode(rgba.data(), side, side, &len);
        ASSERT_NE(png, nullptr);
        const bytes file(png, png + len);
        std::free(png);
        const decoded ours = plain(file);
        ASSERT_TRUE(ours.ok) << side;
        EXPECT_EQ(ours.rgba, rgba) << side;
    }
}

// An index past the palette has no colour; stb reads whatever its stack
// held there, the plain reader opaque black.
TEST(PlainPngReader, IndexPastThePaletteIsOpaqueBlack) {
    const format f = FORMATS[7];  // palette 8
    const bytes png = random_png(f, 9, 4, filter_by_row, 256, 0, 3);
    bytes small = png;
    // Cut the palette chunk to two entries by rebuilding the file around it.
    bytes rebuilt = {137, 80, 78, 71, 13, 10, 26, 10};
    std::size_t pos = 8;
    while (pos + 8 <= small.size()) {
        const std::uint32_t length = static_cast<std::uint32_t>(small[pos]) << 24 |
                                     static_cast<std::uint32_t>(small[pos + 1]) << 16 |
                                     static_cast<std::uint32_t>(small[pos + 2]) << 8 |
                                     small[pos + 3];
        const std::string type(small.begin() + static_cast<long>(pos) + 4,
                               small.begin() + static_cast<long>(pos) + 8);
        bytes data(small.begin() + static_cast<long>(pos) + 8,
                   small.begin() + static_cast<long>(pos + 8 + length));
        if (type == "PLTE") data = {10, 20, 30, 40, 50, 60};
        put_chunk(rebuilt, type.c_str(), data);
        pos += 12 + length;
    }
    const decoded ours = plain(rebuilt);
    ASSERT_TRUE(ours.ok);
    int black = 0;
    for (std::size_t i = 0; i < ours.rgba.size(); i += 4) {
        const unsigned char *p = &ours.rgba[i];
        const bool listed =
            (p[0] == 10 && p[1] == 20 && p[2] == 30) || (p[0] == 40 && p[1] == 50 && p[2] == 60);
        const bool opaque_black = p[0] == 0 && p[1] == 0 && p[2] == 0;
        EXPECT_TRUE(listed || opaque_black);
        EXPECT_EQ(p[3], 255);
        black += opaque_black;
    }
    EXPECT_GT(black, 0) << "no index past the palette: the case tests nothing";
}

bytes with_chunks(const bytes &hdr, const std::vector<std::pair<const char *, bytes>> &chunks) {
    bytes png = {137, 80, 78, 71, 13, 10, 26, 10};
    put_chunk(png, "IHDR", hdr);
    for (const auto &[type, data] : chunks) put_chunk(png, type, data);
    return png;
}

// Files outside the plain reader's formats, and faults stb reports, are
// declined; through the library they read (or fail) exactly as stb makes
// them.
// A zlib stream of stored blocks of at most `block` bytes each, as
// encoders write incompressible data (no checksum: neither reader checks it).
bytes stored_zlib(const bytes &data, std::size_t block) {
    bytes out = {0x78, 0x01};
    std::size_t at = 0;
    do {
        const std::size_t n = std::min(block, data.size() - at);
        out.push_back(at + n == data.size() ? 1 : 0);
        for (const std::size_t v : {n, n ^ 0xFFFF}) {
            out.push_back(static_cast<unsigned char>(v));
            out.push_back(static_cast<unsigned char>(v >> 8));
        }
        out.insert(out.end(), data.begin() + static_cast<long>(at),
                   data.begin() + static_cast<long>(at + n));
        at += n;
    } while (at < data.size());
    return out;
}

// Stored blocks are copied straight from the input: split anywhere over
// IDAT chunks (in a block's header, in its bytes) they read as stb reads
// them, and a stream cut short in a block's bytes is refused.
TEST(PlainPngReader, StoredBlocksAcrossChunks) {
    constexpr int WIDTH = 40;
    constexpr int HEIGHT = 30;
    std::mt19937 rng(11);
    bytes rows;
    for (int y = 0; y < HEIGHT; ++y) {
        rows.push_back(static_cast<unsigned char>(y % 5));  // every filter
        for (int x = 0; x < WIDTH; ++x) rows.push_back(static_cast<unsigned char>(rng()));
    }
    const bytes stream = stored_zlib(rows, 500);
    const auto grey_png = [](std::vector<bytes> idats) {
        std::vector<std::pair<const char *, bytes>> chunks;
        for (bytes &data : idats) chunks.emplace_back("IDAT", std::move(data));
        chunks.emplace_back("IEND", bytes{});
        return with_chunks(header(WIDTH, HEIGHT, 8, 0), chunks);
    };
    const auto at = [&](std::size_t k) { return stream.begin() + static_cast<long>(k); };
    for (const std::size_t cut : {std::size_t{1}, std::size_t{4}, std::size_t{300},
                                  std::size_t{505}, std::size_t{506}, stream.size() - 1}) {
        const bytes png = grey_png({bytes(stream.begin(), at(cut)), bytes(at(cut), stream.end())});
        const decoded ours = plain(png);
        ASSERT_TRUE(ours.ok) << "split at " << cut;
        EXPECT_EQ(ours.rgba, stb(png).rgba) << "split at " << cut;
    }
    for (const std::size_t missing : {std::size_t{1}, std::size_t{200}}) {
        const bytes png = grey_png({bytes(stream.begin(), at(stream.size() - missing))});
        EXPECT_FALSE(plain(png).ok) << missing << " bytes missing";
    }
}

TEST(PlainPngReader, LeavesEveryOtherFileToStb) {
    const bytes grey_row = {0, 0x80, 0x40};  // filter byte, two grey pixels
    const bytes stream = zlib(grey_row);
    bytes two_rows = grey_row;
    two_rows.insert(two_rows.end(), grey_row.begin(), grey_row.end());
    bytes bad_filter = grey_row;
    bad_filter[0] = 5;
    const bytes grey = header(2, 1, 8, 0);
    const struct {
        const char *name;
        bytes png;
        bool stb_reads;
    } cases[] = {
        {"interlaced",
         with_chunks(header(2, 1, 8, 0, 1), {{"IDAT", zlib({0, 1, 0, 2})}, {"IEND", {}}}), true},
        {"16-bit",
         with_chunks(header(2, 1, 16, 0), {{"IDAT", zlib({0, 1, 2, 3, 4})}, {"IEND", {}}}), true},
        {"grey with a colour key",
         with_chunks(grey, {{"tRNS", {0, 0x80}}, {"IDAT", stream}, {"IEND", {}}}), true},
        {"spare bytes after the image",
         with_chunks(header(2, 1, 8, 0), {{"IDAT", zlib(two_rows)}, {"IEND", {}}}), true},
        {"unknown critical chunk",
         with_chunks(grey, {{"ABCD", {}}, {"IDAT", stream}, {"IEND", {}}}), false},
        {"no IDAT", with_chunks(grey, {{"IEND", {}}}), false},
        {"no IEND", with_chunks(grey, {{"IDAT", stream}}), false},
        {"stream cut short",
         with_chunks(grey, {{"IDAT", bytes(stream.begin(), stream.end() - 6)}, {"IEND", {}}}),
         false},
        {"filter 5", with_chunks(grey, {{"IDAT", zlib(bad_filter)}, {"IEND", {}}}), false},
        {"palette without PLTE", with_chunks(header(2, 1, 8, 3), {{"IDAT", stream}, {"IEND", {}}}),
         false},
        {"tRNS before PLTE",
         with_chunks(header(2, 1, 8, 3),
                     {{"tRNS", {1}}, {"PLTE", {1, 2, 3}}, {"IDAT", stream}, {"IEND", {}}}),
         false},
        {"too few image bytes", with_chunks(header(2, 2, 8, 0), {{"IDAT", stream}, {"IEND", {}}}),
         false},
        {"zlib header with a preset dictionary",
         with_chunks(grey, {{"IDAT",
                             [&] {
                                 bytes s = stream;
                                 s[1] |= 32;
                                 return s;
                             }()},
                            {"IEND", {}}}),
         false},
    };
    for (const auto &c : cases) {
        EXPECT_FALSE(plain(c.png).ok) << c.name;
        const decoded theirs = stb(c.png);
        EXPECT_EQ(theirs.ok, c.stb_reads) << c.name;
        unsigned char *pixels = nullptr;
        int w = 0, h = 0;
        const int r =
            qr_image_read_memory(c.png.data(), static_cast<int>(c.png.size()), &pixels, &w, &h);
        EXPECT_EQ(r == 0, c.stb_reads) << c.name;
        if (r == 0 && theirs.ok) {
            EXPECT_EQ(bytes(pixels, pixels + static_cast<std::size_t>(w) * h * 4), theirs.rgba)
                << c.name;
        }
        std::free(pixels);
    }
}

}  // namespace
