// PNG framing and the per-row filter choice for 8-bit RGBA images.
//
// Each row gets the filter (None, Sub, Up, Average, Paeth, tried in that
// order) whose output has the smallest sum of absolute values read as signed
// bytes; the first of equal sums wins. Above the first row there is a row of
// zeros and left of the first pixel a pixel of zeros. The file holds exactly
// IHDR, one IDAT and IEND, so equal pixels always give equal bytes.
//
// Every filter and the sums run in loops the compiler vectorises (Paeth in
// explicit 16-bit lanes), and the search for a row stops at a filter whose
// sum is 0, which no later filter can beat.
#include "qrcode_png_write.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int CHANNELS = 4;
constexpr int COMPRESSION_QUALITY = 8;
constexpr int FILTER_COUNT = 5;
constexpr std::size_t CHUNK_OVERHEAD = 12;  // length, type, CRC
constexpr std::size_t IHDR_SIZE = 13;
constexpr unsigned char SIGNATURE[8] = {137, 80, 78, 71, 13, 10, 26, 10};

enum filter_type : int { NONE, SUB, UP, AVERAGE, PAETH };

// ---- Filters --------------------------------------------------------------

int paeth(int left, int up, int up_left) {
    const int to_left = std::abs(up - up_left);
    const int to_up = std::abs(left - up_left);
    const int to_up_left = std::abs(left + up - 2 * up_left);
    if (to_left <= to_up && to_left <= to_up_left) return left;
    return to_up <= to_up_left ? up : up_left;
}

// Eight Paeth predictions at once in 16-bit lanes: the compiler does not
// vectorise the byte-wise selects by itself, and Paeth is the costliest
// filter to try.
using lanes16 = std::int16_t __attribute__((vector_size(16)));
using bytes8 = std::uint8_t __attribute__((vector_size(8)));

lanes16 load8(const unsigned char *p) {
    bytes8 b;
    std::memcpy(&b, p, sizeof b);
    return __builtin_convertvector(b, lanes16);
}

lanes16 abs16(lanes16 v) { return v < 0 ? -v : v; }

lanes16 paeth8(lanes16 left, lanes16 up, lanes16 up_left) {
    const lanes16 to_left = abs16(up - up_left);
    const lanes16 to_up = abs16(left - up_left);
    const lanes16 to_up_left = abs16(left + up - up_left - up_left);
    const lanes16 up_or_up_left = to_up <= to_up_left ? up : up_left;
    return ((to_left <= to_up) & (to_left <= to_up_left)) ? left : up_or_up_left;
}

template <int Filter>
int predicted(int left, int up, int up_left) {
    if constexpr (Filter == NONE) return 0;
    if constexpr (Filter == SUB) return left;
    if constexpr (Filter == UP) return up;
    if constexpr (Filter == AVERAGE) return (left + up) >> 1;
    if constexpr (Filter == PAETH) return paeth(left, up, up_left);
}

// Filters one row into `out`.
template <int Filter>
void filter_row(const unsigned char *row, const unsigned char *prev, int bytes,
                unsigned char *out) {
    for (int i = 0; i < CHANNELS; ++i) {
        out[i] = static_cast<unsigned char>(row[i] - predicted<Filter>(0, prev[i], 0));
    }
    int i = CHANNELS;
    if constexpr (Filter == PAETH) {
        for (; i + 8 <= bytes; i += 8) {
            const lanes16 p =
                paeth8(load8(row + i - CHANNELS), load8(prev + i), load8(prev + i - CHANNELS));
            const bytes8 v = __builtin_convertvector(load8(row + i) - p, bytes8);
            std::memcpy(out + i, &v, sizeof v);
        }
    }
    for (; i < bytes; ++i) {
        out[i] = static_cast<unsigned char>(
            row[i] - predicted<Filter>(row[i - CHANNELS], prev[i], prev[i - CHANNELS]));
    }
}

// Sum of the bytes' absolute values read as signed bytes. With SSE2, 16 at
// a time: the magnitude of a signed byte is the smaller of it and its
// negation read unsigned (-128 gives 128), and psadbw adds them up.
int abs_sum(const unsigned char *filtered, int bytes) {
    int i = 0;
    std::uint64_t sum = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    __m128i acc = zero;
    for (; i + 16 <= bytes; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(filtered + i));
        const __m128i magnitude = _mm_min_epu8(v, _mm_sub_epi8(zero, v));
        acc = _mm_add_epi64(acc, _mm_sad_epu8(magnitude, zero));
    }
    sum = static_cast<std::uint64_t>(_mm_cvtsi128_si64(acc)) +
          static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc)));
#endif
    for (; i < bytes; ++i) {
        sum += static_cast<std::uint64_t>(std::abs(static_cast<signed char>(filtered[i])));
    }
    return static_cast<int>(sum);
}

using filter_fn = void (*)(const unsigned char *, const unsigned char *, int, unsigned char *);
constexpr filter_fn FILTERS[FILTER_COUNT] = {filter_row<NONE>, filter_row<SUB>, filter_row<UP>,
                                             filter_row<AVERAGE>, filter_row<PAETH>};

// Writes the type byte and the best filtered row to `out`; `scratch` holds
// one row.
void write_best_filter(const unsigned char *row, const unsigned char *prev, int bytes,
                       unsigned char *scratch, unsigned char *out) {
    out[0] = NONE;
    FILTERS[NONE](row, prev, bytes, out + 1);
    int best_sum = abs_sum(out + 1, bytes);
    for (int f = SUB; f < FILTER_COUNT && best_sum > 0; ++f) {
        FILTERS[f](row, prev, bytes, scratch);
        const int sum = abs_sum(scratch, bytes);
        if (sum < best_sum) {
            best_sum = sum;
            out[0] = static_cast<unsigned char>(f);
            std::memcpy(out + 1, scratch, static_cast<std::size_t>(bytes));
        }
    }
}

// ---- Framing --------------------------------------------------------------

constexpr std::array<std::uint32_t, 256> make_crc_table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}
constexpr auto CRC_TABLE = make_crc_table();

std::uint32_t crc32(const unsigned char *p, std::size_t len) {
    std::uint32_t c = ~0u;
    for (std::size_t k = 0; k < len; ++k) c = CRC_TABLE[(c ^ p[k]) & 0xFF] ^ (c >> 8);
    return ~c;
}

unsigned char *put32(unsigned char *o, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) *o++ = static_cast<unsigned char>(v >> shift);
    return o;
}

// Writes a chunk whose `len` data bytes are already in place after its
// 8-byte head at `o`; returns the end of the chunk.
unsigned char *close_chunk(unsigned char *o, const char *type, std::size_t len) {
    put32(o, static_cast<std::uint32_t>(len));
    std::memcpy(o + 4, type, 4);
    return put32(o + 8 + len, crc32(o + 4, len + 4));
}

// Working memory kept by each thread between calls: fresh pages from the
// system cost more than the whole encoding (a 370 x 370 code works in about
// 1.3 MB), while reused ones cost nothing. Blocks above KEEP_LIMIT are given
// back after the call.
constexpr std::size_t KEEP_LIMIT = std::size_t{4} << 20;

class scratch_block {
public:
    scratch_block() = default;
    scratch_block(const scratch_block &) = delete;
    scratch_block &operator=(const scratch_block &) = delete;
    ~scratch_block() { std::free(data_); }

    // At least `size` bytes of unspecified contents, or null.
    unsigned char *reserve(std::size_t size) {
        if (size > size_) {
            std::free(data_);
            data_ = static_cast<unsigned char *>(std::malloc(size));
            size_ = data_ ? size : 0;
        }
        return data_;
    }

    const unsigned char *data() const { return data_; }

    void trim() {
        if (size_ <= KEEP_LIMIT) return;
        std::free(data_);
        data_ = nullptr;
        size_ = 0;
    }

private:
    unsigned char *data_ = nullptr;
    std::size_t size_ = 0;
};

struct encoder_scratch {
    scratch_block filtered;  // filter type byte + filtered row, per row
    scratch_block rows;      // a row of zeros, then one scratch row
    scratch_block tables;    // the compressor's match tables
    scratch_block stream;    // the zlib stream

    void trim() {
        filtered.trim();
        rows.trim();
        stream.trim();
    }
};

thread_local encoder_scratch t_scratch;

bool filter_rows(const unsigned char *rgba, int width, int height, std::size_t stride,
                 unsigned char *out, scratch_block &rows) {
    unsigned char *zeros = rows.reserve(2 * stride);
    if (!zeros) return false;
    std::memset(zeros, 0, stride);
    const int bytes = width * CHANNELS;
    for (int y = 0; y < height; ++y) {
        const unsigned char *row = rgba + stride * std::size_t(y);
        const unsigned char *prev = y ? row - stride : zeros;
        write_best_filter(row, prev, bytes, zeros + stride, out + (stride + 1) * std::size_t(y));
    }
    return true;
}

// The zlib stream of the filtered image in t_scratch.stream; its size, or 0.
std::size_t compress_image(const unsigned char *rgba, int width, int height) {
    const std::size_t stride = std::size_t(width) * CHANNELS;
    const std::size_t raw = (stride + 1) * std::size_t(height);
    if (stride > INT32_MAX || raw > INT32_MAX) return 0;
    const int len = static_cast<int>(raw);
    encoder_scratch &s = t_scratch;
    unsigned char *filtered = s.filtered.reserve(raw);
    void *tables = s.tables.reserve(qr_deflate_table_size());
    unsigned char *stream = s.stream.reserve(qr_deflate_bound(len));
    if (!filtered || !tables || !stream ||
        !filter_rows(rgba, width, height, stride, filtered, s.rows)) {
        return 0;
    }
    return qr_deflate_to(filtered, len, COMPRESSION_QUALITY, tables, stream);
}

}  // namespace

unsigned char *qr_png_encode(const unsigned char *rgba, int width, int height, int *out_len) {
    if (width <= 0 || height <= 0) return nullptr;
    const std::size_t idat = compress_image(rgba, width, height);
    const std::size_t total = sizeof SIGNATURE + 3 * CHUNK_OVERHEAD + IHDR_SIZE + idat;
    auto *out =
        idat > 0 && total <= INT32_MAX ? static_cast<unsigned char *>(std::malloc(total)) : nullptr;
    if (out) {
        unsigned char *o = out;
        std::memcpy(o, SIGNATURE, sizeof SIGNATURE);
        o += sizeof SIGNATURE;
        unsigned char *fields = put32(put32(o + 8, static_cast<std::uint32_t>(width)),
                                      static_cast<std::uint32_t>(height));
        // 8 bits, RGBA, deflate, adaptive filters, no interlace
        const unsigned char format[5] = {8, 6, 0, 0, 0};
        std::memcpy(fields, format, sizeof format);
        o = close_chunk(o, "IHDR", IHDR_SIZE);
        std::memcpy(o + 8, t_scratch.stream.data(), idat);
        o = close_chunk(o, "IDAT", idat);
        close_chunk(o, "IEND", 0);
        *out_len = static_cast<int>(total);
    }
    t_scratch.trim();
    return out;
}
