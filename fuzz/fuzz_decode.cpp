// Hands arbitrary bytes to the memory decoder: image parsing, grey
// conversion, both quirc passes and the grid-sampling fallback.
#include <climits>
#include <cstddef>
#include <cstdint>

#include "vantelor_qrcode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > static_cast<std::size_t>(INT_MAX)) return 0;
    qr_decode_from_memory(data, static_cast<int>(size));
    return 0;
}
