// Counting inflater: decodes a deflate stream's Huffman codes and adds up
// literal and match lengths without producing output. A match only needs
// its length, never the bytes it copies, so no window is kept and the work
// follows the compressed size, not the promised one. The inflater proper
// shares its bit reader and codes and writes into a buffer of fixed size.
//
// The counter checks only what it needs to count. Distances are read but not
// checked, and codes are accepted when incomplete; the real decoder finds
// those faults afterwards. Anything it cannot follow is "malformed" and
// left to that decoder as well.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "qrcode_inflate.h"

namespace {

constexpr int MAX_CODE_BITS = 15;
// Codes up to this many bits are decoded with one table look-up; longer
// ones (rare: deflate gives short codes to frequent symbols) bit by bit.
// A table is rebuilt for every block, so it is no longer than the code's
// longest code needs.
constexpr int FAST_BITS = 10;
constexpr int LITERAL_LENGTH_CODES = 288;
constexpr int DISTANCE_CODES = 32;
constexpr int END_OF_BLOCK = 256;
// Zero bits read past the end of the input before the stream counts as
// broken off.
constexpr int PADDING_READ_AS_ZEROS = 64;

constexpr std::array<std::uint16_t, 29> LENGTH_BASE = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                                       15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                                       67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<std::uint8_t, 29> LENGTH_EXTRA = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                       2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<std::uint16_t, 30> DISTANCE_BASE = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<std::uint8_t, 30> DISTANCE_EXTRA = {0, 0, 0,  0,  1,  1,  2,  2,  3,  3,
                                                         4, 4, 5,  5,  6,  6,  7,  7,  8,  8,
                                                         9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which a dynamic block lists its code-length code's lengths.
constexpr std::array<std::uint8_t, 19> CODE_LENGTH_ORDER = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                            11, 4,  12, 3, 13, 2, 14, 1, 15};

// Little-endian bit reader over the input's spans. Past the end it reads
// zero bytes and counts them, so a stream that breaks off is told apart
// from one that ends.
class bit_reader {
public:
    bit_reader(qr_inflate_input input, void *user) : input_(input), user_(user) {}

    // At least 57 bits in the buffer (padding included).
    void refill() {
        if (end_ - next_ >= 8 && have_ <= 56) {
            // Eight bytes at once, of which the whole ones that fit are kept.
            std::uint64_t word = 0;
            std::memcpy(&word, next_, sizeof word);
            buffer_ |= word << have_;
            next_ += (63 - have_) >> 3;
            have_ |= 56;
            return;
        }
        while (have_ <= 56) {
            if (next_ == end_ && !next_span()) {
                padding_ += 8;
            } else {
                buffer_ |= std::uint64_t{*next_++} << have_;
            }
            have_ += 8;
        }
    }
    std::uint32_t peek(int n) const {
        return static_cast<std::uint32_t>(buffer_ & ((std::uint64_t{1} << n) - 1));
    }
    void drop(int n) {
        buffer_ >>= n;
        have_ -= n;
    }
    std::uint32_t take(int n) {
        refill();
        const std::uint32_t v = peek(n);
        drop(n);
        return v;
    }
    // Drops what is left of the current byte.
    void align() { drop(have_ % 8); }
    // Skips n whole bytes; false when the input ends first.
    bool skip(std::uint32_t n) { return pass_bytes(n, nullptr) && !past_end(); }
    // Copies n whole bytes to `to`; false when the input ends first.
    bool copy(unsigned char *to, std::uint32_t n) { return pass_bytes(n, to); }
    // True once more of the padding has been used than stb's inflater
    // reads as zero bits before it gives up: up to that point a stream
    // that breaks off still inflates there, to what the count says.
    bool past_end() const { return padding_ - have_ > PADDING_READ_AS_ZEROS; }
    // True once any bit past the input has been used.
    bool read_past_input() const { return padding_ - have_ > 0; }

private:
    // Moves past n whole bytes (the reader at a byte boundary), copying them
    // to `to` unless it is null: those already in the buffer, then straight
    // from the input's spans. False when the input ends first.
    bool pass_bytes(std::uint32_t n, unsigned char *to) {
        for (; n > 0 && have_ >= 8; --n) {
            if (to) *to++ = static_cast<unsigned char>(buffer_);
            drop(8);
        }
        if (n > 0) buffer_ = 0;  // bits read ahead from the bytes passed below
        while (n > 0) {
            if (next_ == end_ && !next_span()) return false;
            const auto step = static_cast<std::uint32_t>(
                std::min<std::size_t>(n, static_cast<std::size_t>(end_ - next_)));
            if (to) {
                std::memcpy(to, next_, step);
                to += step;
            }
            next_ += step;
            n -= step;
        }
        return true;
    }

    bool next_span() {
        if (finished_) return false;
        const std::size_t n = input_(user_, &next_);
        if (n == 0 || !next_) {
            finished_ = true;
            next_ = end_ = nullptr;
            return false;
        }
        end_ = next_ + n;
        return true;
    }

    qr_inflate_input input_;
    void *user_;
    const unsigned char *next_ = nullptr;
    const unsigned char *end_ = nullptr;
    std::uint64_t buffer_ = 0;
    int have_ = 0;
    int padding_ = 0;
    bool finished_ = false;
};

// A canonical Huffman code: symbols in code order with the number of codes
// of each length, and a table indexed by the next FAST_BITS bits as they
// arrive (the `bits` that the code's longest code needs, at most
// FAST_BITS). An entry holds the bits it uses (low 4 bits) and either one
// symbol (bits 8 up) or, in a literal/length code, how many literals follow
// one another within those bits (bits 4 to 7): only their number matters
// here, so a run of short literals costs one look-up. 0: no code that short.
struct huffman {
    std::array<std::uint16_t, MAX_CODE_BITS + 1> count{};
    // Filled by build() as far as the code uses them.
    std::array<std::uint16_t, LITERAL_LENGTH_CODES> symbol;
    std::array<std::uint32_t, 1 << FAST_BITS> fast;
    int bits = 1;
    std::uint32_t size() const { return 1u << bits; }
};

constexpr std::uint32_t entry_bits(std::uint32_t e) { return e & 15u; }
constexpr std::uint32_t entry_literals(std::uint32_t e) { return (e >> 4) & 15u; }
constexpr int entry_symbol(std::uint32_t e) { return static_cast<int>(e >> 8); }

std::uint32_t reversed(std::uint32_t code, int bits) {
    std::uint32_t r = 0;
    for (int i = 0; i < bits; ++i) r = (r << 1) | ((code >> i) & 1u);
    return r;
}

// Turns the literal entries of a literal/length table into runs: after each
// literal, the literals whose whole code still lies within the index.
void join_literals(huffman &h) {
    std::array<std::uint32_t, 1 << FAST_BITS> single;
    std::copy_n(h.fast.begin(), h.size(), single.begin());
    for (std::uint32_t j = 0; j < h.size(); ++j) {
        std::uint32_t bits = 0;
        std::uint32_t literals = 0;
        for (;;) {
            const std::uint32_t e = single[j >> bits];
            if (e == 0 || entry_symbol(e) >= END_OF_BLOCK) break;
            if (bits + entry_bits(e) > static_cast<std::uint32_t>(h.bits) || literals == 15) break;
            bits += entry_bits(e);
            ++literals;
        }
        if (literals > 0) h.fast[j] = literals << 4 | bits;
    }
}

// False when the lengths ask for more codes than there are bit patterns.
bool build(huffman &h, const std::uint8_t *lengths, int n, bool literal_runs) {
    h.count.fill(0);
    for (int s = 0; s < n; ++s) ++h.count[lengths[s]];
    h.count[0] = 0;
    h.bits = 1;
    for (int len = 1; len <= FAST_BITS; ++len) {
        if (h.count[static_cast<std::size_t>(len)] != 0) h.bits = len;
    }
    if (h.bits < FAST_BITS && std::any_of(h.count.begin() + FAST_BITS + 1, h.count.end(),
                                          [](std::uint16_t c) { return c != 0; })) {
        h.bits = FAST_BITS;
    }
    std::fill_n(h.fast.begin(), h.size(), 0u);
    int left = 1;
    for (int len = 1; len <= MAX_CODE_BITS; ++len) {
        left = 2 * left - h.count[static_cast<std::size_t>(len)];
        if (left < 0) return false;
    }
    std::array<std::uint16_t, MAX_CODE_BITS + 2> offset{};
    std::array<std::uint32_t, MAX_CODE_BITS + 2> next_code{};
    std::uint32_t code = 0;
    for (int len = 1; len <= MAX_CODE_BITS; ++len) {
        const auto i = static_cast<std::size_t>(len);
        offset[i + 1] = static_cast<std::uint16_t>(offset[i] + h.count[i]);
        code = (code + h.count[i - 1]) << 1;
        next_code[i] = code;
    }
    for (int s = 0; s < n; ++s) {
        const int len = lengths[s];
        if (len == 0) continue;
        const auto i = static_cast<std::size_t>(len);
        h.symbol[offset[i]++] = static_cast<std::uint16_t>(s);
        const std::uint32_t c = next_code[i]++;
        if (len > h.bits) continue;
        const auto entry = static_cast<std::uint32_t>(s) << 8 | static_cast<std::uint32_t>(len);
        for (std::uint32_t j = reversed(c, len); j < h.size(); j += 1u << len) h.fast[j] = entry;
    }
    if (literal_runs) join_literals(h);
    return true;
}

// A code longer than the table reaches, or -1 when no code matches.
// Canonical decoding: codes of each length follow those of the length
// before, so the code read so far is compared with the first of its length.
int decode_long(bit_reader &in, const huffman &h) {
    const std::uint32_t bits = in.peek(MAX_CODE_BITS);
    int code = 0;
    int first = 0;
    int index = 0;
    for (int len = 1; len <= MAX_CODE_BITS; ++len) {
        code |= static_cast<int>((bits >> (len - 1)) & 1u);
        const int count = h.count[static_cast<std::size_t>(len)];
        if (code - count < first) {
            in.drop(len);
            return h.symbol[static_cast<std::size_t>(index + code - first)];
        }
        index += count;
        first = (first + count) << 1;
        code <<= 1;
    }
    return -1;
}

// The next symbol, or -1 when no code matches. Needs 15 bits in the buffer.
inline int decode(bit_reader &in, const huffman &h) {
    const std::uint32_t entry = h.fast[in.peek(h.bits)];
    if (entry == 0) return decode_long(in, h);
    in.drop(static_cast<int>(entry_bits(entry)));
    return entry_symbol(entry);
}

struct fixed_codes {
    huffman literal;
    huffman distance;
    explicit fixed_codes(bool literal_runs) {
        std::array<std::uint8_t, LITERAL_LENGTH_CODES> lengths{};
        for (int s = 0; s < LITERAL_LENGTH_CODES; ++s) {
            lengths[static_cast<std::size_t>(s)] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
        }
        build(literal, lengths.data(), LITERAL_LENGTH_CODES, literal_runs);
        lengths.fill(5);
        build(distance, lengths.data(), DISTANCE_CODES, false);
    }
};

// Reads a dynamic block's code lengths and builds its two codes.
bool read_dynamic_codes(bit_reader &in, huffman &literal, huffman &distance, bool literal_runs) {
    const int literals = static_cast<int>(in.take(5)) + 257;
    const int distances = static_cast<int>(in.take(5)) + 1;
    const int code_lengths = static_cast<int>(in.take(4)) + 4;
    std::array<std::uint8_t, 19> cl{};
    for (int i = 0; i < code_lengths; ++i) {
        cl[CODE_LENGTH_ORDER[static_cast<std::size_t>(i)]] = static_cast<std::uint8_t>(in.take(3));
    }
    huffman lengths_code;
    if (!build(lengths_code, cl.data(), 19, false)) return false;
    std::array<std::uint8_t, LITERAL_LENGTH_CODES + DISTANCE_CODES> lengths{};
    const int total = literals + distances;
    for (int i = 0; i < total;) {
        in.refill();
        const int sym = decode(in, lengths_code);
        if (sym < 0) return false;
        if (sym < 16) {
            lengths[static_cast<std::size_t>(i++)] = static_cast<std::uint8_t>(sym);
            continue;
        }
        if (sym == 16 && i == 0) return false;
        const std::uint8_t value = sym == 16 ? lengths[static_cast<std::size_t>(i - 1)] : 0;
        const int repeat = sym == 16   ? 3 + static_cast<int>(in.take(2))
                           : sym == 17 ? 3 + static_cast<int>(in.take(3))
                                       : 11 + static_cast<int>(in.take(7));
        if (i + repeat > total) return false;
        for (int k = 0; k < repeat; ++k) lengths[static_cast<std::size_t>(i++)] = value;
    }
    if (in.past_end()) return false;
    return build(literal, lengths.data(), literals, literal_runs) &&
           build(distance, lengths.data() + literals, distances, false);
}

// Adds a Huffman block's output to *out; stops early once it passes limit.
qr_inflated_size count_block(bit_reader &in, const huffman &literal, const huffman &distance,
                             std::uint64_t limit, std::uint64_t *out) {
    for (;;) {
        in.refill();  // enough for a length, a distance and their extra bits
        const std::uint32_t run = literal.fast[in.peek(literal.bits)];
        if (entry_literals(run) > 0) {
            in.drop(static_cast<int>(entry_bits(run)));
            *out += entry_literals(run);
            if (in.past_end()) return qr_inflated_size::malformed;
            if (*out > limit) return qr_inflated_size::above;
            continue;
        }
        const int sym = decode(in, literal);
        if (sym < END_OF_BLOCK) {
            if (sym < 0) return qr_inflated_size::malformed;
            ++*out;
        } else if (sym == END_OF_BLOCK) {
            return in.past_end() ? qr_inflated_size::malformed : qr_inflated_size::within;
        } else {
            const auto l = static_cast<std::size_t>(sym - 257);
            if (l >= LENGTH_BASE.size()) return qr_inflated_size::malformed;
            const std::uint32_t length = LENGTH_BASE[l] + in.peek(LENGTH_EXTRA[l]);
            in.drop(LENGTH_EXTRA[l]);
            const int d = decode(in, distance);
            if (d < 0 || d >= static_cast<int>(DISTANCE_EXTRA.size())) {
                return qr_inflated_size::malformed;
            }
            in.drop(DISTANCE_EXTRA[static_cast<std::size_t>(d)]);
            *out += length;
        }
        if (in.past_end()) return qr_inflated_size::malformed;
        if (*out > limit) return qr_inflated_size::above;
    }
}

// The output buffer of the inflater proper.
struct output {
    unsigned char *data;
    std::size_t size;
    std::size_t capacity;
};

// Copies `length` bytes in fixed chunks, which compile to single moves: a
// library call per match costs more than the short matches of an image.
// The last chunk may write past `length`, into output not yet made.
template <std::size_t CHUNK>
void copy_in_chunks(unsigned char *to, const unsigned char *from, std::uint32_t length) {
    for (std::uint32_t k = 0; k < length; k += CHUNK) std::memcpy(to + k, from + k, CHUNK);
}

// Copies a match; `from` lies before `to`, possibly overlapping it, and
// `room` bytes from `to` may be written (at least `length`). A chunk
// reads only bytes before the ones it writes when the distance is at
// least its size. Images repeat their last byte (distance 1), a recent
// pixel (an overlapping copy repeats its first `distance` bytes) or a row.
void copy_match(unsigned char *to, const unsigned char *from, std::uint32_t length,
                std::size_t room) {
    const auto distance = static_cast<std::size_t>(to - from);
    if (distance >= 16 && (length + 15u) / 16u * 16u <= room) {
        copy_in_chunks<16>(to, from, length);
    } else if (distance >= 8 && (length + 7u) / 8u * 8u <= room) {
        copy_in_chunks<8>(to, from, length);
    } else if (distance == 1) {
        std::memset(to, *from, length);
    } else if (distance >= length) {
        std::memcpy(to, from, length);
    } else {
        for (std::uint32_t k = 0; k < length; ++k) to[k] = from[k];
    }
}

// Inflates a Huffman block into out.
qr_inflated inflate_block(bit_reader &in, const huffman &literal, const huffman &distance,
                          output &out) {
    for (;;) {
        // A stream that runs out mid-block would go on decoding zeros.
        if (in.read_past_input()) return qr_inflated::malformed;
        in.refill();  // enough for a length, a distance and their extra bits
        const int sym = decode(in, literal);
        if (sym < END_OF_BLOCK) {
            if (sym < 0) return qr_inflated::malformed;
            if (out.size == out.capacity) return qr_inflated::too_long;
            out.data[out.size++] = static_cast<unsigned char>(sym);
            continue;
        }
        if (sym == END_OF_BLOCK) {
            return in.read_past_input() ? qr_inflated::malformed : qr_inflated::complete;
        }
        const auto l = static_cast<std::size_t>(sym - 257);
        if (l >= LENGTH_BASE.size()) return qr_inflated::malformed;
        const std::uint32_t length = LENGTH_BASE[l] + in.peek(LENGTH_EXTRA[l]);
        in.drop(LENGTH_EXTRA[l]);
        const int d = decode(in, distance);
        if (d < 0 || d >= static_cast<int>(DISTANCE_BASE.size())) return qr_inflated::malformed;
        const auto di = static_cast<std::size_t>(d);
        const std::uint32_t dist = DISTANCE_BASE[di] + in.peek(DISTANCE_EXTRA[di]);
        in.drop(DISTANCE_EXTRA[di]);
        if (dist > out.size) return qr_inflated::malformed;
        if (length > out.capacity - out.size) return qr_inflated::too_long;
        copy_match(out.data + out.size, out.data + out.size - dist, length,
                   out.capacity - out.size);
        out.size += length;
    }
}

// A stored block's bytes, after its header.
qr_inflated copy_stored(bit_reader &in, std::uint32_t length, output &out) {
    if (length > out.capacity - out.size) return qr_inflated::too_long;
    if (!in.copy(out.data + out.size, length)) return qr_inflated::malformed;
    out.size += length;
    return in.read_past_input() ? qr_inflated::malformed : qr_inflated::complete;
}

bool zlib_header_ok(bit_reader &in) {
    const std::uint32_t cmf = in.take(8);
    const std::uint32_t flg = in.take(8);
    const bool deflate = (cmf & 15) == 8;
    const bool preset_dictionary = (flg & 32) != 0;
    return deflate && !preset_dictionary && (cmf * 256 + flg) % 31 == 0;
}

}  // namespace

qr_inflated_size qr_inflated_size_within(qr_inflate_input input, void *user, bool zlib_header,
                                         std::uint64_t limit) {
    static const fixed_codes fixed(true);
    bit_reader in(input, user);
    if (zlib_header && !zlib_header_ok(in)) return qr_inflated_size::malformed;
    std::uint64_t out = 0;
    huffman literal;
    huffman distance;
    for (bool last = false; !last;) {
        last = in.take(1) != 0;
        const std::uint32_t type = in.take(2);
        qr_inflated_size r = qr_inflated_size::malformed;
        if (type == 0) {
            in.align();
            const std::uint32_t length = in.take(16);
            if ((length ^ in.take(16)) != 0xFFFF) return qr_inflated_size::malformed;
            out += length;
            if (out > limit) return qr_inflated_size::above;
            if (!in.skip(length)) return qr_inflated_size::malformed;
            continue;
        }
        if (type == 1) {
            r = count_block(in, fixed.literal, fixed.distance, limit, &out);
        } else if (type == 2) {
            if (!read_dynamic_codes(in, literal, distance, true))
                return qr_inflated_size::malformed;
            r = count_block(in, literal, distance, limit, &out);
        }
        if (r != qr_inflated_size::within) return r;
    }
    return qr_inflated_size::within;
}

qr_inflated qr_inflate(qr_inflate_input input, void *user, bool zlib_header, unsigned char *out,
                       std::size_t capacity, std::size_t *produced) {
    static const fixed_codes fixed(false);
    bit_reader in(input, user);
    output o{out, 0, capacity};
    *produced = 0;
    if (zlib_header && !zlib_header_ok(in)) return qr_inflated::malformed;
    huffman literal;
    huffman distance;
    for (bool last = false; !last;) {
        last = in.take(1) != 0;
        const std::uint32_t type = in.take(2);
        qr_inflated r = qr_inflated::malformed;
        if (type == 0) {
            in.align();
            const std::uint32_t length = in.take(16);
            if ((length ^ in.take(16)) != 0xFFFF) return qr_inflated::malformed;
            r = copy_stored(in, length, o);
        } else if (type == 1) {
            r = inflate_block(in, fixed.literal, fixed.distance, o);
        } else if (type == 2) {
            if (!read_dynamic_codes(in, literal, distance, false)) return qr_inflated::malformed;
            r = inflate_block(in, literal, distance, o);
        }
        *produced = o.size;
        if (r != qr_inflated::complete) return r;
    }
    return qr_inflated::complete;
}
