// Hands arbitrary bytes, once the image loader has turned them into pixels,
// straight to the decoder's second-chance stage: most fuzzed images never
// get past the four fixed attempts' cheap failures to reach it otherwise.
// Seed it with fuzz/corpus/decode.
#include <climits>
#include <cstddef>
#include <cstdint>

#include "qrcode_decode.h"
#include "qrcode_decode_rescue.h"
#include "qrcode_png.h"

// A private copy of the image loader, only to read the header's size.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

namespace {
// Larger pictures (a few hundred bytes of RLE or deflate can claim tens of
// millions of pixels) only slow the search down: they are skipped before
// loading. The stage's reduction of big pictures is exercised by the tests.
constexpr std::int64_t MAX_PIXELS = std::int64_t{1} << 20;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 8 || size > static_cast<std::size_t>(INT_MAX)) return 0;
    const int len = static_cast<int>(size);
    int width = 0;
    int height = 0;
    int channels = 0;
    if (!stbi_info_from_memory(data, len, &width, &height, &channels) ||
        std::int64_t{width} * height > MAX_PIXELS) {
        return 0;
    }
    unsigned char *pixels = nullptr;
    if (qr_image_read_memory(data, len, &pixels, &width, &height) != 0) {
        return 0;
    }
    const qr_heap_ptr<unsigned char> owner(pixels);
    if (width <= 20 || height <= 20) return 0;
    const qr_quirc_ptr q(qr_quirc_new());
    if (!q) return 0;
    qr_decoded out;
    qr_decode_rescue(q.get(), pixels, width, height, out);
    return 0;
}
