// Checks both inflaters against stb_image's on arbitrary zlib streams:
// whenever stb inflates a stream to n bytes, the count must allow a limit
// of n and refuse a limit of n - 1, or a file could slip a bomb past the
// check; whenever the inflater proper completes a stream, stb must inflate
// it to the same bytes. Seed it with zlib streams (fuzz/corpus/decode's PNG
// files hold some).
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "qrcode_inflate.h"

// A private copy of the image loader, only for its inflater.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

namespace {

// Hands the stream out in pieces of 7 bytes, so that codes and stored
// blocks straddle the pieces the way they straddle PNG chunks.
struct pieces {
    const std::uint8_t *data;
    std::size_t left;
};

std::size_t next_piece(void *user, const unsigned char **data) {
    auto *p = static_cast<pieces *>(user);
    const std::size_t n = p->left < 7 ? p->left : 7;
    *data = p->data;
    p->data += n;
    p->left -= n;
    return n;
}

// Room for what the fuzzer's streams can produce, and then some.
constexpr std::size_t INFLATE_ROOM = std::size_t{1} << 24;

qr_inflated_size count(const std::uint8_t *data, std::size_t size, bool header,
                       std::uint64_t limit) {
    pieces p{data, size};
    return qr_inflated_size_within(next_piece, &p, header, limit);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1 || size > 65536) return 0;
    // The first byte chooses a zlib stream or raw deflate (as in CgBI files).
    const bool header = (data[0] & 1) == 0;
    ++data;
    --size;
    int inflated = 0;
    const auto *in = reinterpret_cast<const char *>(data);
    const int len = static_cast<int>(size);
    char *out = header ? stbi_zlib_decode_malloc(in, len, &inflated)
                       : stbi_zlib_decode_noheader_malloc(in, len, &inflated);
    pieces p{data, size};
    static std::vector<unsigned char> mine(INFLATE_ROOM);
    std::size_t produced = 0;
    if (qr_inflate(next_piece, &p, header, mine.data(), mine.size(), &produced) ==
        qr_inflated::complete) {
        if (!out || produced != static_cast<std::size_t>(inflated) ||
            std::memcmp(mine.data(), out, produced) != 0) {
            std::abort();
        }
    }
    if (!out) return 0;
    std::free(out);
    const auto n = static_cast<std::uint64_t>(inflated);
    if (count(data, size, header, n) == qr_inflated_size::above) std::abort();
    if (n > 0 && count(data, size, header, n - 1) != qr_inflated_size::above) std::abort();
    return 0;
}
