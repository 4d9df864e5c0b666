// Hands the perspective grid reader arbitrary finder patterns (centres and
// ring corners anywhere, coincident, far outside the picture) over an
// arbitrary grey picture: degenerate geometry must end in "no code", within
// the reader's sample budget. Random pictures rarely give quirc three finder
// patterns, so the patterns come from the input rather than from detection.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "qrcode_decode.h"
#include "qrcode_decode_grid.h"
#include "qrcode_decode_rescue.h"

extern "C" {
#include "quirc_internal.h"
}

namespace {
constexpr std::size_t HEADER = 3;
constexpr std::size_t FINDER_BYTES = 20;  // centre and four corners, 16 bits each
constexpr int MAX_SIDE = 256;

int coordinate(const std::uint8_t *p) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < HEADER + 3 * FINDER_BYTES + 1) return 0;
    const int width = QR_MIN_DECODE_SIDE + data[0] % (MAX_SIDE - QR_MIN_DECODE_SIDE);
    const int height = QR_MIN_DECODE_SIDE + data[1] % (MAX_SIDE - QR_MIN_DECODE_SIDE);
    const int finders = std::min<int>(3 + data[2] % (QR_MAX_FINDERS - 2),
                                      static_cast<int>((size - HEADER - 1) / FINDER_BYTES));
    const std::size_t pixels_at = HEADER + static_cast<std::size_t>(finders) * FINDER_BYTES;
    std::vector<std::uint8_t> grey(static_cast<std::size_t>(width) *
                                   static_cast<std::size_t>(height));
    for (std::size_t i = 0; i < grey.size(); ++i) {
        grey[i] = data[pixels_at + i % (size - pixels_at)];
    }
    const qr_quirc_ptr q(qr_quirc_new());
    if (!q || quirc_resize(q.get(), width, height) != 0) return 0;
    std::memcpy(quirc_begin(q.get(), nullptr, nullptr), grey.data(), grey.size());
    quirc_end(q.get());
    q->num_capstones = finders;
    for (int i = 0; i < finders; ++i) {
        const std::uint8_t *p = data + HEADER + static_cast<std::size_t>(i) * FINDER_BYTES;
        quirc_capstone &cap = q->capstones[i];
        cap.stone = 0;
        cap.center = {coordinate(p), coordinate(p + 2)};
        for (int k = 0; k < 4; ++k)
            cap.corners[k] = {coordinate(p + 4 + 4 * k), coordinate(p + 6 + 4 * k)};
    }
    qr_decoded out;
    std::int64_t samples = std::int64_t{1} << 20;
    qr_perspective_decode(q.get(), grey.data(), width, height, &samples, out);
    if (samples < 0 || samples > std::int64_t{1} << 20) __builtin_trap();
    return 0;
}
