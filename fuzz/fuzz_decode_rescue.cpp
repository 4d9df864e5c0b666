// Hands arbitrary bytes, once the image loader has turned them into pixels,
// straight to the decoder's second-chance stage: most fuzzed images never
// get past the four fixed attempts' cheap failures to reach it otherwise.
// Seed it with fuzz/corpus/decode.
#include <climits>
#include <cstddef>
#include <cstdint>

#include "qrcode_internal.h"

namespace {
// Larger pictures only slow the search down; the stage's own reduction to
// its working size is exercised by the tests.
constexpr std::int64_t MAX_PIXELS = std::int64_t{1} << 20;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 8 || size > static_cast<std::size_t>(INT_MAX)) return 0;
    unsigned char *pixels = nullptr;
    int width = 0;
    int height = 0;
    if (qr_image_read_memory(data, static_cast<int>(size), &pixels, &width, &height) != 0) {
        return 0;
    }
    const qr_heap_ptr<unsigned char> owner(pixels);
    if (width <= 20 || height <= 20 || std::int64_t{width} * height > MAX_PIXELS) return 0;
    const qr_quirc_ptr q(qr_quirc_new());
    if (!q) return 0;
    qr_decode_rescue(q.get(), pixels, width, height);
    return 0;
}
