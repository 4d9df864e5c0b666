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
// first match of the longest possible length), comparing candidates sixteen
// bytes at a time after a 16-byte test that rules out most candidates unable
// to beat the best so far, taking the match the lazy check finds at the next
// byte as that byte's search result, and giving up on the compressed form as
// soon as it outgrows the stored one. None of these changes a chosen match.
#include "qrcode_png_write.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The 5-bit code of each distance symbol, with its extra-bit count added.
constexpr std::array<bit_code, 30> make_distance_codes() {
    std::array<bit_code, 30> out{};
    for (std::uint32_t j = 0; j < out.size(); ++j) {
        out[j] = {reverse_bits(j, 5), 5 + static_cast<std::uint32_t>(DIST_EXTRA[j])};
    }
    return out;
}
constexpr auto DISTANCE_CODES = make_distance_codes();

bit_code distance_code(int distance) {
    const int slot = distance <= 256 ? distance - 1 : 256 + ((distance - 1) >> 7);
    const std::size_t j = DISTANCE_SYMBOLS[static_cast<std::size_t>(slot)];
    const auto extra = static_cast<std::uint32_t>(distance - DIST_BASE[j]);
    return {DISTANCE_CODES[j].bits | extra << 5, DISTANCE_CODES[j].count};
}

// ---- Bit writer -----------------------------------------------------------

// Appends codes LSB first. Each code stores the pending bits as a whole
// 8-byte word and moves on by the bytes completed, which costs no branch
// (codes are at most 18 bits and fewer than 8 bits wait between codes), so
// the buffer needs 8 bytes of slack past the last full byte.
class bit_writer {
public:
    explicit bit_writer(unsigned char *out) : out_(out) {}

    void put(bit_code code) {
        pending_ |= std::uint64_t{code.bits} << count_;
        count_ += code.count;
        std::memcpy(out_, &pending_, 8);  // little-endian hosts only, like the PNG decoder
        const std::uint32_t whole = count_ / 8;
        out_ += whole;
        pending_ >>= 8 * whole;
        count_ -= 8 * whole;
    }

    // Writes the last partial byte, padded with zero bits.
    unsigned char *finish() {
        if (count_ > 0) *out_++ = static_cast<unsigned char>(pending_);
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

// Bit k set when a[k] == b[k], for k < 16.
unsigned equal_bytes16(const unsigned char *a, const unsigned char *b) {
#if defined(__SSE2__)
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)));
#else
    unsigned mask = 0;
    for (unsigned k = 0; k < 16; ++k) mask |= unsigned{a[k] == b[k]} << k;
    return mask;
#endif
}

// Length of the common prefix of a and b, at most `limit` bytes.
int common_length(const unsigned char *a, const unsigned char *b, int limit) {
    int k = 0;
    for (; k + 16 <= limit; k += 16) {
        const unsigned equal = equal_bytes16(a + k, b + k);
        if (equal != 0xFFFF) return k + std::countr_one(equal);
    }
    while (k < limit && a[k] == b[k]) ++k;
    return k;
}

// Rules out, with one 16-byte comparison, most candidates whose match
// cannot be longer than `best`: a longer one agrees on bytes 0 to best, and
// the test compares the last sixteen of them (all of them when best < 15).
// It reads sixteen bytes from the start when best < 15, and up to byte best
// otherwise.
class prefix_test {
public:
    explicit prefix_test(int best)
        : from_(std::max(best - 15, 0)), needed_(best >= 15 ? 0xFFFF : (2u << best) - 1) {}

    bool rules_out(const unsigned char *candidate, const unsigned char *here) const {
        return (equal_bytes16(candidate + from_, here + from_) & needed_) != needed_;
    }

private:
    int from_;
    unsigned needed_;  // the bits of equal_bytes16 that must be set
};

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
    // remembers, then records i in that bucket.
    match longest_and_insert(int i) {
        if (found_at_ == i) {
            insert(*found_bucket_, i);
            return found_;
        }
        bucket &b = t_.buckets[hash3(data_ + i)];
        const match m = longest(b, i, MIN_MATCH - 1);
        insert(b, i);
        return m;
    }

    // Whether the bucket of position i holds a match for it longer than
    // `length` within a window one byte shorter (the caller is at i - 1).
    // When it does, that match is the longest at i (nothing is inserted
    // between the two calls), so it is kept for longest_and_insert(i).
    bool has_longer(int i, int length) {
        bucket &b = t_.buckets[hash3(data_ + i)];
        const match m = longest(b, i, length);
        if (m.length == 0) return false;
        found_ = m;
        found_at_ = i;
        found_bucket_ = &b;
        return true;
    }

private:
    // Longest match at i longer than `shorter` (at least 2) among b's
    // positions, the newest of equally long ones; length 0 when none.
    match longest(const bucket &b, int i, int shorter) const {
        const int limit = std::min(MAX_MATCH, len_ - i);
        if (shorter >= limit) return {0, 0};
        // The last few positions have too few bytes left for the test.
        return limit >= 16 ? longest_over<true>(b, i, shorter, limit)
                           : longest_over<false>(b, i, shorter, limit);
    }

    template <bool Tested>
    match longest_over(const bucket &b, int i, int shorter, int limit) const {
        int best = shorter;
        int best_pos = -1;
        prefix_test test(best);
        walk(b, i - WINDOW, [&](int pos) {
            if (Tested && test.rules_out(data_ + pos, data_ + i)) return true;
            const int d = common_length(data_ + pos, data_ + i, limit);
            if (d > best) {
                best = d;
                best_pos = pos;
                test = prefix_test(best);
            }
            return best < limit;
        });
        return best_pos < 0 ? match{0, 0} : match{best, i - best_pos};
    }

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
    match found_{};  // the match has_longer found at found_at_
    int found_at_ = -1;
    bucket *found_bucket_ = nullptr;
};

// ---- Stream ---------------------------------------------------------------

#if defined(__SSE2__)
// Adler sums of whole 32-byte chunks starting from s1 = s2 = 0, returned as
// {s1, s2}. Each chunk adds 32 x (the chunks' byte sum so far) to s2, plus
// its bytes weighted 32 down to 1 (pmaddwd on 16-bit lanes); psadbw adds up
// the bytes. `chunks` must keep every lane within 32 bits (ADLER_RUN does).
std::array<std::uint32_t, 2> adler_chunks(const unsigned char *data, std::size_t chunks) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i weights[4] = {_mm_setr_epi16(32, 31, 30, 29, 28, 27, 26, 25),
                                _mm_setr_epi16(24, 23, 22, 21, 20, 19, 18, 17),
                                _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9),
                                _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1)};
    __m128i sum = zero;         // byte sum so far
    __m128i sum_before = zero;  // sum of `sum` at the start of each chunk
    __m128i weighted = zero;
    for (; chunks > 0; --chunks, data += 32) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + 16));
        sum_before = _mm_add_epi32(sum_before, sum);
        sum = _mm_add_epi32(sum, _mm_add_epi32(_mm_sad_epu8(a, zero), _mm_sad_epu8(b, zero)));
        const __m128i wa = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi8(a, zero), weights[0]),
                                         _mm_madd_epi16(_mm_unpackhi_epi8(a, zero), weights[1]));
        const __m128i wb = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi8(b, zero), weights[2]),
                                         _mm_madd_epi16(_mm_unpackhi_epi8(b, zero), weights[3]));
        weighted = _mm_add_epi32(weighted, _mm_add_epi32(wa, wb));
    }
    const auto total = [](__m128i v) {
        alignas(16) std::uint32_t lanes[4];
        _mm_store_si128(reinterpret_cast<__m128i *>(lanes), v);
        return lanes[0] + lanes[1] + lanes[2] + lanes[3];
    };
    return {total(sum), 32 * total(sum_before) + total(weighted)};
}
#endif

std::uint32_t adler32(const unsigned char *data, std::size_t len) {
    std::uint32_t s1 = 1;
    std::uint32_t s2 = 0;
    while (len > 0) {
        std::size_t run = std::min<std::size_t>(len, ADLER_RUN);
        len -= run;
#if defined(__SSE2__)
        const std::size_t chunks = run / 32;
        const auto [sum, weighted] = adler_chunks(data, chunks);
        s2 += static_cast<std::uint32_t>(32 * chunks) * s1 + weighted;
        s1 += sum;
        data += 32 * chunks;
        run -= 32 * chunks;
#endif
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
// at most two codes, the closing literals and end code and the bit writer's
// 8-byte stores (well under 32 bytes) have gone past it.
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
