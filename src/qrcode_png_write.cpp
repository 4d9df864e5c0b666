// PNG framing and the per-row filter choice for 8-bit RGBA images.
//
// Each row gets the filter (None, Sub, Up, Average, Paeth, tried in that
// order) whose output has the smallest sum of absolute values read as signed
// bytes; the first of equal sums wins. Above the first row there is a row of
// zeros and left of the first pixel a pixel of zeros. The file holds exactly
// IHDR, one IDAT and IEND, so equal pixels always give equal bytes.
//
// The sums are computed without storing the filtered rows, in loops the
// compiler vectorises, and the search for a row stops at a filter whose sum
// is 0, which no later filter can beat.
#include "qrcode_png_write.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

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

// Calls emit(i, filtered byte) for every byte of the row.
template <int Filter, class Emit>
void filter_row(const unsigned char *row, const unsigned char *prev, int bytes, Emit emit) {
    for (int i = 0; i < CHANNELS; ++i) {
        emit(i, static_cast<unsigned char>(row[i] - predicted<Filter>(0, prev[i], 0)));
    }
    for (int i = CHANNELS; i < bytes; ++i) {
        emit(i, static_cast<unsigned char>(
                    row[i] - predicted<Filter>(row[i - CHANNELS], prev[i], prev[i - CHANNELS])));
    }
}

template <int Filter>
int estimate(const unsigned char *row, const unsigned char *prev, int bytes) {
    int sum = 0;
    filter_row<Filter>(row, prev, bytes,
                       [&sum](int, unsigned char v) { sum += std::abs(static_cast<signed char>(v)); });
    return sum;
}

template <int Filter>
void write_filtered(const unsigned char *row, const unsigned char *prev, int bytes,
                    unsigned char *out) {
    filter_row<Filter>(row, prev, bytes, [out](int i, unsigned char v) { out[i] = v; });
}

using estimate_fn = int (*)(const unsigned char *, const unsigned char *, int);
using write_fn = void (*)(const unsigned char *, const unsigned char *, int, unsigned char *);
constexpr estimate_fn ESTIMATES[FILTER_COUNT] = {estimate<NONE>, estimate<SUB>, estimate<UP>,
                                                 estimate<AVERAGE>, estimate<PAETH>};
constexpr write_fn WRITERS[FILTER_COUNT] = {write_filtered<NONE>, write_filtered<SUB>,
                                            write_filtered<UP>, write_filtered<AVERAGE>,
                                            write_filtered<PAETH>};

int best_filter(const unsigned char *row, const unsigned char *prev, int bytes) {
    int best = NONE;
    int best_sum = ESTIMATES[NONE](row, prev, bytes);
    for (int f = SUB; f < FILTER_COUNT && best_sum > 0; ++f) {
        const int sum = ESTIMATES[f](row, prev, bytes);
        if (sum < best_sum) {
            best_sum = sum;
            best = f;
        }
    }
    return best;
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

struct free_deleter {
    void operator()(void *p) const noexcept { std::free(p); }
};
using malloc_ptr = std::unique_ptr<unsigned char, free_deleter>;

malloc_ptr filtered_rows(const unsigned char *rgba, int width, int height, std::size_t stride) {
    malloc_ptr out(static_cast<unsigned char *>(std::malloc((stride + 1) * std::size_t(height))));
    malloc_ptr zeros(static_cast<unsigned char *>(std::calloc(stride, 1)));
    if (!out || !zeros) return nullptr;
    const int bytes = width * CHANNELS;
    for (int y = 0; y < height; ++y) {
        const unsigned char *row = rgba + stride * std::size_t(y);
        const unsigned char *prev = y ? row - stride : zeros.get();
        unsigned char *o = out.get() + (stride + 1) * std::size_t(y);
        const int f = best_filter(row, prev, bytes);
        o[0] = static_cast<unsigned char>(f);
        WRITERS[f](row, prev, bytes, o + 1);
    }
    return out;
}

}  // namespace

unsigned char *qr_png_encode(const unsigned char *rgba, int width, int height, int *out_len) {
    if (width <= 0 || height <= 0) return nullptr;
    const std::size_t stride = std::size_t(width) * CHANNELS;
    const std::size_t raw = (stride + 1) * std::size_t(height);
    if (stride > INT32_MAX || raw > INT32_MAX) return nullptr;
    int zlen = 0;
    malloc_ptr zlib;
    {
        const malloc_ptr filtered = filtered_rows(rgba, width, height, stride);
        if (!filtered) return nullptr;
        zlib.reset(qr_deflate(filtered.get(), static_cast<int>(raw), &zlen, COMPRESSION_QUALITY));
    }
    if (!zlib) return nullptr;
    const std::size_t idat = static_cast<std::size_t>(zlen);
    const std::size_t total = sizeof SIGNATURE + 3 * CHUNK_OVERHEAD + IHDR_SIZE + idat;
    if (total > INT32_MAX) return nullptr;
    auto *out = static_cast<unsigned char *>(std::malloc(total));
    if (!out) return nullptr;

    unsigned char *o = out;
    std::memcpy(o, SIGNATURE, sizeof SIGNATURE);
    o += sizeof SIGNATURE;
    unsigned char *ihdr = put32(put32(o + 8, static_cast<std::uint32_t>(width)),
                                static_cast<std::uint32_t>(height));
    const unsigned char fields[5] = {8, 6, 0, 0, 0};  // 8 bits, RGBA, deflate, adaptive, no interlace
    std::memcpy(ihdr, fields, sizeof fields);
    o = close_chunk(o, "IHDR", IHDR_SIZE);
    std::memcpy(o + 8, zlib.get(), idat);
    o = close_chunk(o, "IDAT", idat);
    close_chunk(o, "IEND", 0);
    *out_len = static_cast<int>(total);
    return out;
}
