// The plain-PNG reader. It accepts a file only where stb_image would read
// it to the same pixels, and leaves everything else to stb_image: the chunk
// rules below are stb's (its order checks, its refusals, its indifference
// to CRCs and to what follows IEND), and the stream must inflate to exactly
// the image's bytes (stb also accepts spare bytes after them; such files
// take stb's way). stb inflates into a buffer it keeps doubling and copies
// each row twice before converting it; here the stream goes straight into
// one buffer of the image's size and each row is unfiltered in place.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "qrcode_inflate.h"
#include "qrcode_platform.h"
#include "qrcode_png_read.h"
#include "qrcode_types.h"

namespace {

constexpr unsigned char SIGNATURE[8] = {137, 80, 78, 71, 13, 10, 26, 10};
// stb's limits: a side, an IDAT chunk, and the bytes a decoded image may
// take (2^30, counted with 4 bytes a pixel for palette images).
constexpr std::uint32_t MAX_SIDE = std::uint32_t{1} << 24;
constexpr std::uint32_t MAX_IDAT_CHUNK = std::uint32_t{1} << 30;
constexpr std::uint32_t MAX_DECODED = std::uint32_t{1} << 30;
constexpr int PALETTE_ENTRIES = 256;

enum colour_type : int { GREY = 0, RGB = 2, PALETTE = 3, GREY_ALPHA = 4, RGBA = 6 };
enum filter_type : int { NONE = 0, SUB = 1, UP = 2, AVERAGE = 3, PAETH = 4 };

// A chunk whose name starts with a capital letter must be understood.
constexpr std::uint32_t ANCILLARY_BIT = std::uint32_t{1} << 29;

struct png_image {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    int depth = 0;
    int colour = 0;
    int channels = 0;
    std::array<std::array<unsigned char, 4>, PALETTE_ENTRIES> palette;
    std::uint32_t palette_size = 0;
    std::vector<std::pair<const unsigned char *, std::size_t>> idat;
    std::uint64_t idat_bytes = 0;

    png_image() { palette.fill({0, 0, 0, 255}); }
    std::uint64_t row_bytes() const {
        return (std::uint64_t{width} * static_cast<std::uint64_t>(channels * depth) + 7) / 8;
    }
    // Bytes a filter reaches back: a whole pixel, at least one byte.
    std::size_t filter_step() const { return depth < 8 ? 1 : static_cast<std::size_t>(channels); }
};

// The plain formats: 8 bits a sample, or palette and grey at 1, 2 or 4.
bool plain_format(int colour, int depth) {
    switch (colour) {
    case GREY:
    case PALETTE: return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case RGB:
    case GREY_ALPHA:
    case RGBA: return depth == 8;
    default: return false;
    }
}

bool read_header(const unsigned char *p, png_image &img) {
    constexpr int CHANNELS[] = {1, 0, 3, 1, 2, 0, 4};
    img.width = qr_png_be32(p);
    img.height = qr_png_be32(p + 4);
    img.depth = p[8];
    img.colour = p[9];
    const bool standard = p[10] == 0 && p[11] == 0 && p[12] == 0;  // methods, not interlaced
    if (!standard || !plain_format(img.colour, img.depth)) return false;
    if (img.width == 0 || img.height == 0 || img.width > MAX_SIDE || img.height > MAX_SIDE) {
        return false;
    }
    img.channels = CHANNELS[img.colour];
    const auto decoded_channels =
        static_cast<std::uint32_t>(img.colour == PALETTE ? 4 : img.channels);
    return MAX_DECODED / img.width / decoded_channels >= img.height;
}

// Walks the chunks up to IEND, keeping the header, the palette and where
// the IDAT data lies.
bool read_chunks(const unsigned char *data, std::size_t len, png_image &img) {
    if (len < sizeof SIGNATURE || std::memcmp(data, SIGNATURE, sizeof SIGNATURE) != 0) return false;
    std::size_t pos = sizeof SIGNATURE;
    bool have_header = false;
    for (;;) {
        if (len - pos < 8) return false;
        const std::uint32_t length = qr_png_be32(data + pos);
        const std::uint32_t type = qr_png_be32(data + pos + 4);
        pos += 8;
        if (type == qr_png_chunk_type("IEND")) return have_header && img.idat_bytes > 0;
        if (length > len - pos || len - pos - length < 4) return false;  // data and CRC
        const unsigned char *body = data + pos;
        pos += length + 4;
        if (type == qr_png_chunk_type("IHDR")) {
            if (have_header || length != 13 || !read_header(body, img)) return false;
            have_header = true;
            continue;
        }
        if (!have_header) return false;
        if (type == qr_png_chunk_type("PLTE")) {
            if (length > 3 * PALETTE_ENTRIES || length % 3 != 0) return false;
            img.palette_size = length / 3;
            for (std::uint32_t i = 0; i < img.palette_size; ++i) {
                img.palette[i] = {body[3 * i], body[3 * i + 1], body[3 * i + 2], 255};
            }
        } else if (type == qr_png_chunk_type("tRNS")) {
            // Only a palette's alpha; a colour key takes stb's way.
            if (img.colour != PALETTE || img.idat_bytes > 0 || img.palette_size == 0 ||
                length > img.palette_size) {
                return false;
            }
            for (std::uint32_t i = 0; i < length; ++i) img.palette[i][3] = body[i];
        } else if (type == qr_png_chunk_type("IDAT")) {
            if (img.colour == PALETTE && img.palette_size == 0) return false;
            if (length > MAX_IDAT_CHUNK || img.idat_bytes + length > INT32_MAX) return false;
            if (length > 0) img.idat.emplace_back(body, length);
            img.idat_bytes += length;
        } else if (!(type & ANCILLARY_BIT)) {
            return false;  // CgBI among them: Apple's byte order is stb's to undo
        }
    }
}

// Hands the IDAT chunks' data to the inflater one chunk at a time.
struct idat_reader {
    const png_image *img;
    std::size_t next = 0;

    static std::size_t span(void *user, const unsigned char **data) {
        auto *r = static_cast<idat_reader *>(user);
        if (r->next == r->img->idat.size()) return 0;
        const auto &[start, size] = r->img->idat[r->next++];
        *data = start;
        return size;
    }
};

// The neighbour (left a, above b, above left c) nearest to a + b - c,
// preferring a, then b; without branches, the choice being unpredictable.
inline int paeth(int a, int b, int c) {
    const int pa = std::abs(b - c);
    const int pb = std::abs(a - c);
    const int pc = std::abs(a + b - 2 * c);
    const int bc = pb <= pc ? b : c;
    return pa <= pb && pa <= pc ? a : bc;
}

// Sub, average and Paeth predict from the byte a pixel to the left, just
// decoded: it is kept in a register, the pixel's channels side by side,
// rather than stored and read back on every byte's critical path.
template <std::size_t STEP, int FILTER>
void unfilter_from_left(unsigned char *row, const unsigned char *prior, std::size_t n) {
    std::array<int, STEP> left{};
    std::array<int, STEP> up_left{};
    for (std::size_t k = 0; k < n; k += STEP) {
        for (std::size_t ch = 0; ch < STEP; ++ch) {
            const int up = prior[k + ch];
            int predicted = left[ch];
            if constexpr (FILTER == AVERAGE) predicted = (left[ch] + up) >> 1;
            if constexpr (FILTER == PAETH) predicted = paeth(left[ch], up, up_left[ch]);
            left[ch] = (row[k + ch] + predicted) & 0xFF;
            row[k + ch] = static_cast<unsigned char>(left[ch]);
            up_left[ch] = up;
        }
    }
}

// Two rows filtered with Paeth, the second below the first, in one loop: a
// pixel of the lower row waits on its left neighbour and on the pixel above
// it, just decoded, so the two rows' chains of dependent steps run side by
// side instead of one after the other.
template <std::size_t STEP>
void unpaeth_rows(unsigned char *upper, unsigned char *lower, const unsigned char *prior,
                  std::size_t n) {
    std::array<int, STEP> upper_left{};
    std::array<int, STEP> prior_left{};
    std::array<int, STEP> lower_left{};
    for (std::size_t k = 0; k < n; k += STEP) {
        for (std::size_t ch = 0; ch < STEP; ++ch) {
            const int up = prior[k + ch];
            const int above = (upper[k + ch] + paeth(upper_left[ch], up, prior_left[ch])) & 0xFF;
            upper[k + ch] = static_cast<unsigned char>(above);
            lower_left[ch] = (lower[k + ch] + paeth(lower_left[ch], above, upper_left[ch])) & 0xFF;
            lower[k + ch] = static_cast<unsigned char>(lower_left[ch]);
            upper_left[ch] = above;
            prior_left[ch] = up;
        }
    }
}

#if defined(__SSE2__)
// One pixel of STEP bytes, its channels in the low 16-bit lanes. The
// bytes are gathered in a register: a copy through memory of another
// size than the load stalls the load on every pixel.
template <std::size_t STEP>
__m128i load_pixel(const unsigned char *p) {
    std::uint32_t v = 0;
    for (std::size_t ch = 0; ch < STEP; ++ch) v |= std::uint32_t{p[ch]} << (8 * ch);
    return _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(v)), _mm_setzero_si128());
}

template <std::size_t STEP>
void store_pixel(unsigned char *p, __m128i lanes) {
    const auto v = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(lanes, lanes)));
    for (std::size_t ch = 0; ch < STEP; ++ch) p[ch] = static_cast<unsigned char>(v >> (8 * ch));
}

__m128i abs_lanes(__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); }

// mask ? when_set : otherwise, lane by lane.
__m128i select_lanes(__m128i mask, __m128i when_set, __m128i otherwise) {
    return _mm_or_si128(_mm_and_si128(mask, when_set), _mm_andnot_si128(mask, otherwise));
}

// Paeth for pixels of three or four channels, a whole pixel at a time.
// Each pixel waits on the one to its left, so the work that depends on
// it is kept short: paeth()'s choice (a when |b - c| <= |a - c| and
// <= |a + b - 2c|, else b when |a - c| <= |a + b - 2c|, else c) is a set
// of bounds on a, computed from b and c alone, so the left pixel only
// meets compares and selects. With p = b - c:
// - |a - c| >= |p| when a >= c + |p| or a <= c - |p|, and likewise
//   around m = 2c - b for |a + b - 2c| = |a - m|;
// - a is at least as near c as m when it lies on c's side of their
//   midpoint c - p / 2 (and b is c when p is 0).
__m128i paeth_lanes(__m128i a, __m128i b, __m128i c) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i one = _mm_set1_epi16(1);
    const __m128i p = _mm_sub_epi16(b, c);
    const __m128i pa = abs_lanes(p);
    const __m128i m = _mm_sub_epi16(c, p);
    // a is kept when it lies beyond |p| of both c and m; these are
    // the bounds it must exceed (above) or undercut (below).
    const __m128i c_above = _mm_sub_epi16(_mm_add_epi16(c, pa), one);
    const __m128i c_below = _mm_add_epi16(_mm_sub_epi16(c, pa), one);
    const __m128i m_above = _mm_sub_epi16(_mm_add_epi16(m, pa), one);
    const __m128i m_below = _mm_add_epi16(_mm_sub_epi16(m, pa), one);
    // b rather than c: a >= c - floor(p / 2) for p > 0, a <= c +
    // floor(-p / 2) for p < 0.
    const __m128i rising = _mm_cmpgt_epi16(p, zero);
    const __m128i falling = _mm_cmpgt_epi16(zero, p);
    const __m128i b_above = select_lanes(
        rising, _mm_sub_epi16(_mm_sub_epi16(c, _mm_srai_epi16(p, 1)), one), _mm_set1_epi16(32767));
    const __m128i b_below =
        select_lanes(falling, _mm_add_epi16(_mm_add_epi16(c, _mm_srli_epi16(pa, 1)), one),
                     _mm_set1_epi16(-32768));

    const __m128i keep_a =
        _mm_and_si128(_mm_or_si128(_mm_cmpgt_epi16(a, c_above), _mm_cmpgt_epi16(c_below, a)),
                      _mm_or_si128(_mm_cmpgt_epi16(a, m_above), _mm_cmpgt_epi16(m_below, a)));
    const __m128i take_b = _mm_or_si128(_mm_cmpgt_epi16(a, b_above), _mm_cmpgt_epi16(b_below, a));
    return select_lanes(keep_a, a, select_lanes(take_b, b, c));
}

// Decodes the pixel at p from its neighbours (left a, above b, above left
// c) and returns it. The sum with the filtered byte wraps within each
// lane's low byte.
template <std::size_t STEP>
__m128i unpaeth_pixel(unsigned char *p, __m128i a, __m128i b, __m128i c) {
    const __m128i pixel = _mm_add_epi8(load_pixel<STEP>(p), paeth_lanes(a, b, c));
    store_pixel<STEP>(p, pixel);
    return pixel;
}

template <std::size_t STEP>
void unpaeth_pixels(unsigned char *row, const unsigned char *prior, std::size_t n) {
    __m128i a = _mm_setzero_si128();
    __m128i c = a;
    for (std::size_t k = 0; k < n; k += STEP) {
        const __m128i b = load_pixel<STEP>(prior + k);
        a = unpaeth_pixel<STEP>(row + k, a, b, c);
        c = b;
    }
}

// unpaeth_rows a whole pixel at a time, the pixel above each lower-row
// pixel taken from the register it was just decoded into.
template <std::size_t STEP>
void unpaeth_pixel_rows(unsigned char *upper, unsigned char *lower, const unsigned char *prior,
                        std::size_t n) {
    __m128i upper_a = _mm_setzero_si128();
    __m128i upper_c = upper_a;
    __m128i lower_a = upper_a;
    __m128i lower_c = upper_a;
    for (std::size_t k = 0; k < n; k += STEP) {
        const __m128i b = load_pixel<STEP>(prior + k);
        upper_a = unpaeth_pixel<STEP>(upper + k, upper_a, b, upper_c);
        upper_c = b;
        lower_a = unpaeth_pixel<STEP>(lower + k, lower_a, upper_a, lower_c);
        lower_c = upper_a;
    }
}
#endif

template <int FILTER>
void unfilter_from_left(unsigned char *row, const unsigned char *prior, std::size_t n,
                        std::size_t step) {
#if defined(__SSE2__)
    if constexpr (FILTER == PAETH) {
        if (step == 3) return unpaeth_pixels<3>(row, prior, n);
        if (step == 4) return unpaeth_pixels<4>(row, prior, n);
    }
#endif
    switch (step) {
    case 1: unfilter_from_left<1, FILTER>(row, prior, n); break;
    case 2: unfilter_from_left<2, FILTER>(row, prior, n); break;
    case 3: unfilter_from_left<3, FILTER>(row, prior, n); break;
    default: unfilter_from_left<4, FILTER>(row, prior, n); break;
    }
}

// Undoes a row's filter in place (n bytes, a whole number of steps);
// `prior` is the row above, unfiltered, or zeros for the first row. The
// first pixel's left neighbours are zeros too.
bool unfilter(unsigned char *row, const unsigned char *prior, std::size_t n, std::size_t step,
              int filter) {
    switch (filter) {
    case NONE: return true;
    case SUB: unfilter_from_left<SUB>(row, prior, n, step); return true;
    case UP:
        for (std::size_t k = 0; k < n; ++k) row[k] = static_cast<unsigned char>(row[k] + prior[k]);
        return true;
    case AVERAGE: unfilter_from_left<AVERAGE>(row, prior, n, step); return true;
    case PAETH: unfilter_from_left<PAETH>(row, prior, n, step); return true;
    default: return false;
    }
}

// Undoes the Paeth filter of two consecutive rows (n bytes each) at once.
void unpaeth_two_rows(unsigned char *upper, unsigned char *lower, const unsigned char *prior,
                      std::size_t n, std::size_t step) {
#if defined(__SSE2__)
    if (step == 3) return unpaeth_pixel_rows<3>(upper, lower, prior, n);
    if (step == 4) return unpaeth_pixel_rows<4>(upper, lower, prior, n);
#endif
    switch (step) {
    case 1: unpaeth_rows<1>(upper, lower, prior, n); break;
    case 2: unpaeth_rows<2>(upper, lower, prior, n); break;
    case 3: unpaeth_rows<3>(upper, lower, prior, n); break;
    default: unpaeth_rows<4>(upper, lower, prior, n); break;
    }
}

// The bits of an RGBA pixel's alpha byte in a word copied from memory.
constexpr std::uint32_t OPAQUE_ALPHA =
    std::endian::native == std::endian::little ? 0xff000000u : 0x000000ffu;

// The row's samples to RGBA: grey levels below 8 bits scaled to 0-255,
// palette indices looked up.
void to_rgba(const png_image &img, const unsigned char *row, unsigned char *out) {
    constexpr unsigned char GREY_SCALE[] = {0, 0xff, 0x55, 0, 0x11, 0, 0, 0, 1};
    const std::uint32_t w = img.width;
    if (img.depth < 8) {
        const auto per_byte = static_cast<std::uint32_t>(8 / img.depth);
        const unsigned mask = (1u << img.depth) - 1;
        for (std::uint32_t x = 0; x < w; ++x, out += 4) {
            const int shift = 8 - img.depth * (1 + static_cast<int>(x % per_byte));
            const unsigned v = (row[x / per_byte] >> shift) & mask;
            if (img.colour == PALETTE) {
                std::memcpy(out, img.palette[v].data(), 4);
            } else {
                out[0] = out[1] = out[2] = static_cast<unsigned char>(v * GREY_SCALE[img.depth]);
                out[3] = 255;
            }
        }
        return;
    }
    // One loop per format, so that no pixel pays for the choice.
    const auto each_pixel = [w, out](auto convert) {
        for (std::uint32_t x = 0; x < w; ++x) convert(x, out + 4 * std::size_t{x});
    };
    switch (img.colour) {
    case GREY:
        each_pixel([row](std::uint32_t x, unsigned char *p) {
            p[0] = p[1] = p[2] = row[x];
            p[3] = 255;
        });
        break;
    case GREY_ALPHA:
        each_pixel([row](std::uint32_t x, unsigned char *p) {
            p[0] = p[1] = p[2] = row[2 * x];
            p[3] = row[2 * x + 1];
        });
        break;
    case RGB:
        // Four bytes at a time, the fourth (the next pixel's red) overwritten
        // by the alpha; the last pixel is copied alone, since its fourth
        // byte may lie past the row.
        for (std::uint32_t x = 0; x + 1 < w; ++x) {
            std::uint32_t v;
            std::memcpy(&v, row + 3 * std::size_t{x}, 4);
            v |= OPAQUE_ALPHA;
            std::memcpy(out + 4 * std::size_t{x}, &v, 4);
        }
        std::memcpy(out + 4 * std::size_t{w - 1}, row + 3 * std::size_t{w - 1}, 3);
        out[4 * std::size_t{w - 1} + 3] = 255;
        break;
    case RGBA: std::memcpy(out, row, 4 * std::size_t{w}); break;
    default:  // PALETTE
        each_pixel([row, &img](std::uint32_t x, unsigned char *p) {
            std::memcpy(p, img.palette[row[x]].data(), 4);
        });
        break;
    }
}

}  // namespace

bool qr_png_decode_plain(const unsigned char *data, std::size_t len, unsigned char **pixels,
                         int *width, int *height) {
    png_image img;
    if (!read_chunks(data, len, img)) return false;
    const std::uint64_t row_bytes = img.row_bytes();
    const std::uint64_t need = std::uint64_t{img.height} * (row_bytes + 1);
    const qr_heap_ptr<unsigned char> raw(static_cast<unsigned char *>(std::malloc(need)));
    if (!raw) return false;
    idat_reader reader{&img};
    std::size_t produced = 0;
    if (qr_inflate(idat_reader::span, &reader, true, raw.get(), need, &produced) !=
            qr_inflated::complete ||
        produced != need) {
        return false;
    }
    const std::size_t out_row = std::size_t{img.width} * 4;
    qr_heap_ptr<unsigned char> out(
        static_cast<unsigned char *>(qr_big_malloc(out_row * img.height)));
    if (!out) return false;
    const std::vector<unsigned char> zeros(row_bytes);
    const unsigned char *prior = zeros.data();
    for (std::uint32_t y = 0; y < img.height; ++y) {
        unsigned char *row = raw.get() + y * (row_bytes + 1);
        unsigned char *next = row + row_bytes + 1;
        if (row[0] == PAETH && y + 1 < img.height && next[0] == PAETH) {
            unpaeth_two_rows(row + 1, next + 1, prior, row_bytes, img.filter_step());
            to_rgba(img, row + 1, out.get() + y * out_row);
            ++y;
            row = next;
        } else if (!unfilter(row + 1, prior, row_bytes, img.filter_step(), row[0])) {
            return false;
        }
        to_rgba(img, row + 1, out.get() + y * out_row);
        prior = row + 1;
    }
    *pixels = out.release();
    *width = static_cast<int>(img.width);
    *height = static_cast<int>(img.height);
    return true;
}
