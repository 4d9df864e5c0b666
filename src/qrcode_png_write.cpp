// PNG framing and the per-row filter choice for 8-bit RGBA images.
//
// Each row gets the filter (None, Sub, Up, Average, Paeth, in that order of
// preference) whose output has the smallest sum of absolute values read as
// signed bytes; the first of equal sums wins. Above the first row there is a
// row of zeros and left of the first pixel a pixel of zeros. The file holds
// exactly IHDR, one IDAT and IEND, so equal pixels always give equal bytes.
//
// Every filter runs sixteen bytes at a time (thirty-two with AVX2; Paeth
// too, in bytes) and adds up its sum as it goes, without storing the row. The previous row's choice
// is tried first and stored as it is summed, as it usually wins again; the
// other filters then stop as soon as their sum shows they cannot win.
#include "qrcode_png_write.h"

#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <cpuid.h>
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

template <int Filter>
int predicted(int left, int up, int up_left) {
    if constexpr (Filter == NONE) return 0;
    if constexpr (Filter == SUB) return left;
    if constexpr (Filter == UP) return up;
    if constexpr (Filter == AVERAGE) return (left + up) >> 1;
    if constexpr (Filter == PAETH) return paeth(left, up, up_left);
}

// Rows are filtered W bytes at a time in vector types the compiler maps
// onto SSE2 (W = 16) or, where the processor has it, AVX2 (W = 32). The
// same code serves both: every function of the filter pass is inlined into
// one entry per width, and the AVX2 entry is compiled for AVX2. (No W = 32
// vector ever crosses a call, so its calling convention does not matter;
// vectors are passed by reference all the same, as GCC reports them.)
#pragma GCC diagnostic ignored "-Wpsabi"
using bytes16 = std::uint8_t __attribute__((vector_size(16)));
using bytes32 = std::uint8_t __attribute__((vector_size(32)));
template <int W>
using bytes = std::conditional_t<W == 32, bytes32, bytes16>;
#define VQR_INLINE [[gnu::always_inline]] inline

template <int W>
VQR_INLINE bytes<W> load(const unsigned char *p) {
    bytes<W> v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class V>
VQR_INLINE V distance(const V &a, const V &b) {
    return (a < b ? b : a) - (a < b ? a : b);
}

// Paeth in bytes, without widening: with a = left, b = up, c = up-left,
// the distances are |b - c|, |a - c| and |(b - c) + (a - c)|. The last is
// the sum of the first two when b - c and a - c have the same sign, and
// then never smaller than either, so only the first two decide (stood in
// for by 255); otherwise it is their difference.
template <class V>
VQR_INLINE V paeth_bytes(const V &left, const V &up, const V &up_left) {
    const V to_left = distance(up, up_left);
    const V to_up = distance(left, up_left);
    const V same_sign = V((up >= up_left) == (left >= up_left));
    const V to_up_left = distance(to_left, to_up) | same_sign;
    const V up_or_up_left = to_up <= to_up_left ? up : up_left;
    return ((to_left <= to_up) & (to_left <= to_up_left)) ? left : up_or_up_left;
}

// Predictions for bytes i to i + W - 1 of a row (i >= CHANNELS).
template <int W, int Filter>
VQR_INLINE bytes<W> predicted_bytes(const unsigned char *row, const unsigned char *prev, int i) {
    if constexpr (Filter == NONE) return bytes<W>{};
    if constexpr (Filter == SUB) return load<W>(row + i - CHANNELS);
    if constexpr (Filter == UP) return load<W>(prev + i);
    if constexpr (Filter == AVERAGE) {
        const bytes<W> left = load<W>(row + i - CHANNELS);
        const bytes<W> up = load<W>(prev + i);
        return (left & up) + ((left ^ up) >> 1);  // the mean rounded down, without overflow
    }
    if constexpr (Filter == PAETH) {
        return paeth_bytes(load<W>(row + i - CHANNELS), load<W>(prev + i),
                           load<W>(prev + i - CHANNELS));
    }
}

// Hands the filtered row to `vector(i, bytes i..i+W-1)` and `byte(i, byte
// i)`, in order; stops early when `vector` returns false.
template <int W, int Filter, class Vector, class Byte>
VQR_INLINE void filter_each(const unsigned char *row, const unsigned char *prev, int bytes,
                            Vector vector, Byte byte) {
    for (int i = 0; i < CHANNELS; ++i) byte(i, row[i] - predicted<Filter>(0, prev[i], 0));
    int i = CHANNELS;
    for (; i + W <= bytes; i += W) {
        if (!vector(i, load<W>(row + i) - predicted_bytes<W, Filter>(row, prev, i))) return;
    }
    for (; i < bytes; ++i) {
        byte(i, row[i] - predicted<Filter>(row[i - CHANNELS], prev[i], prev[i - CHANNELS]));
    }
}

// Adds up the magnitudes of bytes read as signed bytes. With SSE2, sixteen
// at a time: the magnitude of a signed byte is the smaller of it and its
// negation read unsigned (-128 gives 128), and psadbw adds them up.
class magnitude_sum {
public:
    template <class V>
    VQR_INLINE void add(const V &v) {
        const V negated = -v;
        const V magnitude = v < negated ? v : negated;
#if defined(__SSE2__)
        __m128i parts[sizeof v / 16];
        std::memcpy(parts, &magnitude, sizeof v);
        for (const __m128i part : parts) {
            wide_ = _mm_add_epi64(wide_, _mm_sad_epu8(part, _mm_setzero_si128()));
        }
#else
        for (std::size_t k = 0; k < sizeof v; ++k) sum_ += magnitude[k];
#endif
    }

    VQR_INLINE void add(int byte) { sum_ += std::abs(static_cast<signed char>(byte)); }

    VQR_INLINE std::int64_t total() const {
#if defined(__SSE2__)
        return sum_ + _mm_cvtsi128_si64(wide_) +
               _mm_cvtsi128_si64(_mm_unpackhi_epi64(wide_, wide_));
#else
        return sum_;
#endif
    }

private:
    std::int64_t sum_ = 0;
#if defined(__SSE2__)
    __m128i wide_ = _mm_setzero_si128();
#endif
};

// The filter's estimate for the row, the sum of its bytes' magnitudes read
// as signed bytes; with Store, also the filtered row in `out`. Once the
// sum reaches `stop` (checked every 64 bytes) the filter cannot win, and the
// sum so far, at least `stop`, comes back.
template <int W, int Filter, bool Store>
VQR_INLINE std::int64_t filter_and_sum(const unsigned char *row, const unsigned char *prev,
                                       int bytes, std::int64_t stop, unsigned char *out) {
    magnitude_sum sum;
    filter_each<W, Filter>(
        row, prev, bytes,
        [&](int i, const auto &v) __attribute__((always_inline)) {
            if constexpr (Store) std::memcpy(out + i, &v, sizeof v);
            sum.add(v);
            return (i & 63) != 4 || sum.total() < stop;
        },
        [&](int i, int b) __attribute__((always_inline)) {
            if constexpr (Store) out[i] = static_cast<unsigned char>(b);
            sum.add(b);
        });
    return sum.total();
}

template <int W, bool Store>
VQR_INLINE std::int64_t filter_and_sum(int filter, const unsigned char *row,
                                       const unsigned char *prev, int bytes, std::int64_t stop,
                                       unsigned char *out) {
    switch (filter) {
    case NONE: return filter_and_sum<W, NONE, Store>(row, prev, bytes, stop, out);
    case SUB: return filter_and_sum<W, SUB, Store>(row, prev, bytes, stop, out);
    case UP: return filter_and_sum<W, UP, Store>(row, prev, bytes, stop, out);
    case AVERAGE: return filter_and_sum<W, AVERAGE, Store>(row, prev, bytes, stop, out);
    default: return filter_and_sum<W, PAETH, Store>(row, prev, bytes, stop, out);
    }
}

// Writes the type byte and the row filtered with the first filter of the
// smallest estimate to `out`, trying first `likely` (the previous row's
// choice, written while its sum is taken), then the others, each stopped as
// soon as it cannot win. Returns the filter chosen.
template <int W>
VQR_INLINE int write_best_filter(const unsigned char *row, const unsigned char *prev, int bytes,
                                 int likely, unsigned char *out) {
    int best = likely;
    std::int64_t best_sum = filter_and_sum<W, true>(likely, row, prev, bytes, INT64_MAX, out + 1);
    for (int f = NONE; f < FILTER_COUNT; ++f) {
        // An earlier filter wins ties.
        const std::int64_t stop = f < best ? best_sum + 1 : best_sum;
        if (f == likely || stop == 0) continue;
        const std::int64_t sum = filter_and_sum<W, false>(f, row, prev, bytes, stop, nullptr);
        if (sum < stop) {
            best_sum = sum;
            best = f;
        }
    }
    out[0] = static_cast<unsigned char>(best);
    if (best != likely) filter_and_sum<W, true>(best, row, prev, bytes, INT64_MAX, out + 1);
    return best;
}

// Filters every row into `out` (type byte, then the row); `zeros` is a row
// of zeros.
template <int W>
VQR_INLINE void filter_image(const unsigned char *rgba, int width, int height, std::size_t stride,
                             const unsigned char *zeros, unsigned char *out) {
    const int bytes = width * CHANNELS;
    int likely = NONE;
    for (int y = 0; y < height; ++y) {
        const unsigned char *row = rgba + stride * std::size_t(y);
        const unsigned char *prev = y ? row - stride : zeros;
        likely =
            write_best_filter<W>(row, prev, bytes, likely, out + (stride + 1) * std::size_t(y));
    }
}

void filter_image_sse2(const unsigned char *rgba, int width, int height, std::size_t stride,
                       const unsigned char *zeros, unsigned char *out) {
    filter_image<16>(rgba, width, height, stride, zeros, out);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void filter_image_avx2(const unsigned char *rgba, int width,
                                                       int height, std::size_t stride,
                                                       const unsigned char *zeros,
                                                       unsigned char *out) {
    filter_image<32>(rgba, width, height, stride, zeros, out);
}
#endif
#undef VQR_INLINE

std::atomic<bool> g_allow_avx2{true};

#if defined(__x86_64__)
// Whether the processor has AVX2 and the system saves its registers (CPUID
// and XCR0, read directly: the compiler's own check would add a function run
// when the library loads).
bool has_avx2() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE) || !(c & bit_AVX)) return false;
    unsigned xcr0 = 0, high = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(high) : "c"(0));
    constexpr unsigned SSE_AND_AVX_STATE = 0x6;
    if ((xcr0 & SSE_AND_AVX_STATE) != SSE_AND_AVX_STATE) return false;
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX2);
}
#endif

using filter_image_fn = void (*)(const unsigned char *, int, int, std::size_t,
                                 const unsigned char *, unsigned char *);

filter_image_fn image_filter() {
#if defined(__x86_64__)
    static const bool avx2 = has_avx2();
    if (avx2 && g_allow_avx2.load(std::memory_order_relaxed)) return filter_image_avx2;
#endif
    return filter_image_sse2;
}

// ---- Framing --------------------------------------------------------------

// CRC tables for eight bytes at a time: TABLES[0] is the byte-wise table,
// and TABLES[k][n] is the CRC of byte n followed by k zero bytes.
constexpr std::array<std::array<std::uint32_t, 256>, 8> make_crc_tables() {
    std::array<std::array<std::uint32_t, 256>, 8> tables{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        tables[0][n] = c;
    }
    for (std::size_t k = 1; k < 8; ++k) {
        for (std::size_t n = 0; n < 256; ++n) {
            const std::uint32_t c = tables[k - 1][n];
            tables[k][n] = tables[0][c & 0xFF] ^ (c >> 8);
        }
    }
    return tables;
}
constexpr auto CRC_TABLES = make_crc_tables();

std::uint32_t crc32(const unsigned char *p, std::size_t len) {
    std::uint32_t c = ~0u;
    for (; len >= 8; len -= 8, p += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, p, sizeof word);  // little-endian hosts only
        word ^= c;
        c = 0;
        for (std::size_t k = 0; k < 8; ++k) c ^= CRC_TABLES[7 - k][(word >> (8 * k)) & 0xFF];
    }
    for (; len > 0; --len) c = CRC_TABLES[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
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
    scratch_block zeros;     // the row of zeros above the first row
    scratch_block tables;    // the compressor's match tables
    scratch_block stream;    // the zlib stream

    void trim() {
        filtered.trim();
        zeros.trim();
        stream.trim();
    }
};

thread_local encoder_scratch t_scratch;

bool filter_rows(const unsigned char *rgba, int width, int height, std::size_t stride,
                 unsigned char *out, scratch_block &zero_row) {
    unsigned char *zeros = zero_row.reserve(stride);
    if (!zeros) return false;
    std::memset(zeros, 0, stride);
    image_filter()(rgba, width, height, stride, zeros, out);
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
        !filter_rows(rgba, width, height, stride, filtered, s.zeros)) {
        return 0;
    }
    return qr_deflate_to(filtered, len, COMPRESSION_QUALITY, tables, stream);
}

}  // namespace

void qr_png_allow_avx2(bool allow) { g_allow_avx2.store(allow, std::memory_order_relaxed); }

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
