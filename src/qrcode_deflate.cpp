// A greedy, one-block deflate compressor with fixed Huffman codes whose
// output is fully determined by a small set of choices, so PNG files keep
// the exact bytes they have always had:
//
// - every position i < len - 3 hashes its next 3 bytes into one of 16,384
//   buckets; a bucket remembers its 2 x quality newest positions and, when
//   full, forgets its older half before taking the next one;
// - the longest match (3 to 258 bytes, distance below 32,768) among the
//   bucket's positions wins, the newest one among equally long matches;
// - a match is given up for a literal when the bucket of the next byte holds
//   a strictly longer match; positions inside an emitted match are not
//   hashed;
// - when the result is larger than the data stored raw, the stream holds
//   stored blocks of at most 32,767 bytes instead.
//
// Speed comes from scanning a bucket newest first (so the scan ends at the
// first match of the longest possible length), comparing candidates eight
// bytes at a time after a one-byte test that rules out any candidate unable
// to beat the best so far, and giving up on the compressed form as soon as
// it outgrows the stored one. None of these changes a chosen match.
#include "qrcode_png_write.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int HASH_BUCKETS = 16384;
constexpr int WINDOW = 32768;
constexpr int MIN_MATCH = 3;
constexpr int MAX_MATCH = 258;
constexpr int MIN_QUALITY = 5;
constexpr int STORED_BLOCK = 32767;
constexpr std::uint32_t ADLER_MOD = 65521;
constexpr int ADLER_RUN = 5552;  // the most bytes whose sums cannot overflow 32 bits

// ---- Fixed Huffman codes --------------------------------------------------

// A code ready for the bit writer: bits in stream order (LSB first) and count.
struct bit_code {
    std::uint32_t bits;
    std::uint32_t count;
};

constexpr std::uint32_t reverse_bits(std::uint32_t code, std::uint32_t count) {
    std::uint32_t out = 0;
    for (std::uint32_t k = 0; k < count; ++k) out |= ((code >> k) & 1u) << (count - 1 - k);
    return out;
}

// The fixed literal/length alphabet: 0-143 in 8 bits from 0x30, 144-255 in
// 9 bits from 0x190, 256-279 in 7 bits from 0, 280-287 in 8 bits from 0xC0.
constexpr bit_code fixed_symbol(int symbol) {
    const auto s = static_cast<std::uint32_t>(symbol);
    if (s <= 143) return {reverse_bits(0x30 + s, 8), 8};
    if (s <= 255) return {reverse_bits(0x190 + s - 144, 9), 9};
    if (s <= 279) return {reverse_bits(s - 256, 7), 7};
    return {reverse_bits(0xC0 + s - 280, 8), 8};
}

constexpr std::array<int, 30> LENGTH_BASE = {3,  4,  5,  6,   7,   8,   9,   10,  11,  13,
                                             15, 17, 19, 23,  27,  31,  35,  43,  51,  59,
                                             67, 83, 99, 115, 131, 163, 195, 227, 258, 259};
constexpr std::array<int, 29> LENGTH_EXTRA = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                              2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<int, 31> DIST_BASE = {
    1,   2,   3,   4,   5,    7,    9,    13,   17,   25,   33,   49,    65,    97,    129,  193,
    257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 32768};
constexpr std::array<int, 30> DIST_EXTRA = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                            6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

constexpr std::array<bit_code, 256> make_literal_codes() {
    std::array<bit_code, 256> out{};
    for (int b = 0; b < 256; ++b) out[static_cast<std::size_t>(b)] = fixed_symbol(b);
    return out;
}

// Length symbol and its extra bits, for every match length 0..258 (only
// 3..258 are used).
constexpr std::array<bit_code, MAX_MATCH + 1> make_length_codes() {
    std::array<bit_code, MAX_MATCH + 1> out{};
    for (int length = MIN_MATCH; length <= MAX_MATCH; ++length) {
        std::size_t j = 0;
        while (length >= LENGTH_BASE[j + 1]) ++j;
        const bit_code symbol = fixed_symbol(257 + static_cast<int>(j));
        const auto extra = static_cast<std::uint32_t>(length - LENGTH_BASE[j]);
        out[static_cast<std::size_t>(length)] = {
            symbol.bits | extra << symbol.count,
            symbol.count + static_cast<std::uint32_t>(LENGTH_EXTRA[j])};
    }
    return out;
}

// Distance code for distances 1..256 at [d - 1] and, in steps of 128, for
// 257..32768 at [256 + ((d - 1) >> 7)]: every code from 16 up spans whole
// multiples of 128.
constexpr std::array<std::uint8_t, 512> make_distance_symbols() {
    std::array<std::uint8_t, 512> out{};
    for (std::size_t j = 0; j + 1 < DIST_BASE.size(); ++j) {
        for (int d = DIST_BASE[j]; d < DIST_BASE[j + 1]; ++d) {
            const int slot = d <= 256 ? d - 1 : 256 + ((d - 1) >> 7);
            out[static_cast<std::size_t>(slot)] = static_cast<std::uint8_t>(j);
        }
    }
    return out;
}

constexpr auto LITERAL_CODES = make_literal_codes();
constexpr auto LENGTH_CODES = make_length_codes();
constexpr auto DISTANCE_SYMBOLS = make_distance_symbols();

bit_code distance_code(int distance) {
    const int slot = distance <= 256 ? distance - 1 : 256 + ((distance - 1) >> 7);
    const std::size_t j = DISTANCE_SYMBOLS[static_cast<std::size_t>(slot)];
    const auto extra = static_cast<std::uint32_t>(distance - DIST_BASE[j]);
    return {reverse_bits(static_cast<std::uint32_t>(j), 5) | extra << 5,
            5 + static_cast<std::uint32_t>(DIST_EXTRA[j])};
}

// ---- Bit writer -----------------------------------------------------------

// Appends codes LSB first; whole 32-bit words go out as soon as they are
// complete, so the buffer needs 8 bytes of slack past the last full byte.
class bit_writer {
public:
    explicit bit_writer(unsigned char *out) : out_(out) {}

    void put(bit_code code) {
        pending_ |= std::uint64_t{code.bits} << count_;
        count_ += code.count;
        if (count_ >= 32) {
            const auto word = static_cast<std::uint32_t>(pending_);
            std::memcpy(out_, &word, 4);  // little-endian hosts only, like the PNG decoder
            out_ += 4;
            pending_ >>= 32;
            count_ -= 32;
        }
    }

    // Writes the last partial byte, padded with zero bits.
    unsigned char *finish() {
        while (count_ > 0) {
            *out_++ = static_cast<unsigned char>(pending_);
            pending_ >>= 8;
            count_ = count_ > 8 ? count_ - 8 : 0;
        }
        return out_;
    }

    const unsigned char *position() const { return out_; }

private:
    unsigned char *out_;
    std::uint64_t pending_ = 0;
    std::uint32_t count_ = 0;
};

// ---- Match finder ---------------------------------------------------------

std::uint32_t hash3(const unsigned char *p) {
    std::uint32_t h = p[0] + (std::uint32_t{p[1]} << 8) + (std::uint32_t{p[2]} << 16);
    h ^= h << 3;
    h += h >> 5;
    h ^= h << 4;
    h += h >> 17;
    h ^= h << 25;
    h += h >> 6;
    return h & (HASH_BUCKETS - 1);
}

// Length of the common prefix of a and b, at most `limit` bytes.
int common_length(const unsigned char *a, const unsigned char *b, int limit) {
    int k = 0;
    for (; k + 8 <= limit; k += 8) {
        std::uint64_t x = 0;
        std::uint64_t y = 0;
        std::memcpy(&x, a + k, 8);
        std::memcpy(&y, b + k, 8);
        if (x != y) return k + std::countr_zero(x ^ y) / 8;
    }
    while (k < limit && a[k] == b[k]) ++k;
    return k;
}

// A bucket is the chain of its positions, newest first, through `older`
// (indexed by position modulo the window: a position's slot is reused only
// by a position a whole window later, after it has left every search).
// `live` is how many of the chain's positions the bucket still remembers.
struct bucket {
    std::uint32_t newest;  // position + 1; 0 while empty
    std::uint32_t live;
};

struct match_tables {
    bucket buckets[HASH_BUCKETS];
    std::uint32_t older[WINDOW];
};

struct match {
    int length;  // 0 when there is none
    int distance;
};

class match_finder {
public:
    match_finder(match_tables &tables, const unsigned char *data, int len, int quality)
        : t_(tables), data_(data), len_(len), keep_(quality), full_(2 * std::int64_t{quality}) {
        std::memset(t_.buckets, 0, sizeof t_.buckets);
    }

    // Longest match for position i among the positions its bucket
    // remembers, newest first, then records i in that bucket.
    match longest_and_insert(int i) {
        bucket &b = t_.buckets[hash3(data_ + i)];
        const int limit = std::min(MAX_MATCH, len_ - i);
        int best = MIN_MATCH - 1;
        int best_pos = -1;
        walk(b, i - WINDOW, [&](int pos) {
            // A longer match must agree at byte `best` too.
            if (data_[pos + best] != data_[i + best]) return true;
            const int d = common_length(data_ + pos, data_ + i, limit);
            if (d > best) {
                best = d;
                best_pos = pos;
            }
            return best < limit;
        });
        insert(b, i);
        return best_pos < 0 ? match{0, 0} : match{best, i - best_pos};
    }

    // Whether the bucket of position i holds a match for it longer than
    // `length` within a window one byte shorter (the caller is at i - 1).
    bool has_longer(int i, int length) {
        const int limit = std::min(MAX_MATCH, len_ - i);
        if (length >= limit) return false;
        bool found = false;
        walk(t_.buckets[hash3(data_ + i)], i - WINDOW, [&](int pos) {
            if (data_[pos + length] != data_[i + length]) return true;
            found = common_length(data_ + pos, data_ + i, limit) > length;
            return !found;
        });
        return found;
    }

private:
    // Visits the remembered positions newer than `oldest_excluded`, newest
    // first, while `visit` returns true. Chains only get older, so the walk
    // ends at the first position out of the window.
    template <class Visit>
    void walk(const bucket &b, int oldest_excluded, Visit visit) const {
        std::uint32_t pos = b.newest - 1;
        for (std::uint32_t n = b.live; n > 0; --n) {
            if (static_cast<int>(pos) <= oldest_excluded) return;
            if (!visit(static_cast<int>(pos))) return;
            pos = t_.older[pos % WINDOW];
        }
    }

    void insert(bucket &b, int i) {
        b.live = b.live == full_ ? static_cast<std::uint32_t>(keep_) + 1 : b.live + 1;
        t_.older[static_cast<std::uint32_t>(i) % WINDOW] = b.newest - 1;
        b.newest = static_cast<std::uint32_t>(i) + 1;
    }

    match_tables &t_;
    const unsigned char *data_;
    int len_;
    int keep_;
    std::int64_t full_;
};

// ---- Stream ---------------------------------------------------------------

// Sums 32 bytes at a time: s2 gains 32 x s1 plus the bytes weighted by how
// many sums they enter, which the compiler vectorises; the result is the
// same integer as adding byte by byte.
std::uint32_t adler32(const unsigned char *data, std::size_t len) {
    constexpr std::size_t CHUNK = 32;
    std::uint32_t s1 = 1;
    std::uint32_t s2 = 0;
    while (len > 0) {
        std::size_t run = std::min<std::size_t>(len, ADLER_RUN);
        len -= run;
        for (; run >= CHUNK; run -= CHUNK, data += CHUNK) {
            std::uint32_t sum = 0;
            std::uint32_t weighted = 0;
            for (std::size_t k = 0; k < CHUNK; ++k) {
                sum += data[k];
                weighted += static_cast<std::uint32_t>(CHUNK - k) * data[k];
            }
            s2 += static_cast<std::uint32_t>(CHUNK) * s1 + weighted;
            s1 += sum;
        }
        for (; run > 0; --run) {
            s1 += *data++;
            s2 += s1;
        }
        s1 %= ADLER_MOD;
        s2 %= ADLER_MOD;
    }
    return s2 << 16 | s1;
}

std::size_t stored_size(int len) {
    const std::size_t blocks = (static_cast<std::size_t>(len) + STORED_BLOCK - 1) / STORED_BLOCK;
    return static_cast<std::size_t>(len) + 5 * blocks;
}

// Writes the fixed-code block after the 2-byte header; returns its end, or
// null as soon as it is larger than `give_up_after` bytes.
unsigned char *write_fixed_block(const unsigned char *data, int len, int quality,
                                 match_tables &tables, unsigned char *out,
                                 const unsigned char *give_up_after) {
    bit_writer w(out);
    w.put({0b011, 3});  // final block, fixed codes
    match_finder finder(tables, data, len, quality);
    int i = 0;
    while (i < len - 3) {
        if (w.position() > give_up_after) return nullptr;
        const match m = finder.longest_and_insert(i);
        if (m.length == 0 || finder.has_longer(i + 1, m.length)) {
            w.put(LITERAL_CODES[data[i]]);
            ++i;
            continue;
        }
        w.put(LENGTH_CODES[static_cast<std::size_t>(m.length)]);
        w.put(distance_code(m.distance));
        i += m.length;
    }
    for (; i < len; ++i) w.put(LITERAL_CODES[data[i]]);
    w.put(fixed_symbol(256));
    return w.finish();
}

unsigned char *write_stored_blocks(const unsigned char *data, int len, unsigned char *out) {
    for (int done = 0; done < len;) {
        const int block = std::min(len - done, STORED_BLOCK);
        *out++ = done + block == len ? 1 : 0;
        out[0] = static_cast<unsigned char>(block);
        out[1] = static_cast<unsigned char>(block >> 8);
        out[2] = static_cast<unsigned char>(~block);
        out[3] = static_cast<unsigned char>(~block >> 8);
        std::memcpy(out + 4, data + done, static_cast<std::size_t>(block));
        out += 4 + block;
        done += block;
    }
    return out;
}

}  // namespace

std::size_t qr_deflate_table_size() { return sizeof(match_tables); }

// The fixed-code block is abandoned once it passes the stored size; by then
// at most two codes and the closing literals and end code (well under 32
// bytes) have gone past it.
std::size_t qr_deflate_bound(int len) { return 2 + stored_size(len) + 32 + 4; }

std::size_t qr_deflate_to(const unsigned char *data, int len, int quality, void *tables,
                          unsigned char *out) {
    quality = std::max(quality, MIN_QUALITY);
    out[0] = 0x78;  // deflate, 32 KiB window
    out[1] = 0x5E;  // compression level flag 1
    const unsigned char *stored_end = out + 2 + stored_size(len);
    unsigned char *end = write_fixed_block(data, len, quality, *static_cast<match_tables *>(tables),
                                           out + 2, stored_end);
    if (!end || end > stored_end) end = write_stored_blocks(data, len, out + 2);
    const std::uint32_t adler = adler32(data, static_cast<std::size_t>(len));
    for (int shift = 24; shift >= 0; shift -= 8) {
        *end++ = static_cast<unsigned char>(adler >> shift);
    }
    return static_cast<std::size_t>(end - out);
}
