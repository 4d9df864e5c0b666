// The decode pipeline: image to grey levels for quirc, the four fixed
// attempts, then the second-chance stage.
//
// Invariants: every decode starts by emptying its result and leaves in it
// either one decoded text or the empty text; the attempts run in a fixed
// order (quirc, fallback, inverted quirc, inverted fallback) and the first
// non-empty payload wins. The quirc object lives for one run and is
// destroyed on every path.
#include "qrcode_decode.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "qrcode_decode_rescue.h"
#include "qrcode_png.h"

extern "C" {
#include "quirc_internal.h"
}

namespace {

constexpr qr_error INVALID_IMAGE = "qr_decode: invalid image (need RGBA, >= 21x21)";
constexpr qr_error TOO_LARGE = QR_DECODE_NO_MEMORY;

// quirc thresholds its grey image into a separate label plane and leaves
// the grey levels as they were, so the inverted pass flips them in place
// instead of converting the RGBA image a second time, and takes its
// threshold from the first pass's histogram reversed instead of counting
// the pixels again.
static_assert(sizeof(quirc_pixel_t) > 1, "quirc must keep its grey image apart from its labels");

using histogram = std::array<unsigned int, 256>;

void detect(quirc *q, const unsigned char *rgba, std::size_t pixels, bool inverted,
            histogram &levels) {
    std::uint8_t *grey = quirc_begin(q, nullptr, nullptr);
    if (inverted) {
        for (std::size_t i = 0; i < pixels; ++i) grey[i] ^= 255;
        std::reverse(levels.begin(), levels.end());
    } else {
        qr_grey_levels(rgba, grey, pixels, 0);
        qr_quirc_histogram(q, levels.data());
    }
    qr_quirc_end_at(q, qr_quirc_threshold(levels.data(), static_cast<unsigned int>(pixels)));
}

}  // namespace

int try_decode_centers(quirc *q, const unsigned char *rgba, int width, int height, int inverted,
                       qr_decoded &out, qr_decode_geometry *geo) {
    qr_finder finders[QR_MAX_FINDERS];
    const int count = qr_read_finders(q, finders);
    return qr_fallback_decode(finders, count, rgba, width, height, inverted, out, geo);
}

// ---- Decode run and entry points -------------------------------------------------

int qr_decode_attempts(quirc *q, const unsigned char *rgba, int width, int height, qr_decoded &out,
                       qr_decode_geometry *geo, qr_finder_patterns *upright) {
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    histogram levels;
    for (const bool inverted : {false, true}) {
        if (geo) geo->inverted = inverted ? 1 : 0;
        detect(q, rgba, pixels, inverted, levels);
        if (qr_decode_grids(q, out, geo)) return 1;
        if (q->num_capstones > 2 &&
            try_decode_centers(q, rgba, width, height, inverted ? 1 : 0, out, geo)) {
            return 1;
        }
        if (!inverted && upright) *upright = qr_finder_patterns_of(q);
    }
    return 0;
}

namespace {

qr_error decode_run(const unsigned char *rgba, int width, int height, qr_decoded &out) {
    if (width < QR_MIN_DECODE_SIDE || height < QR_MIN_DECODE_SIDE || !rgba) return INVALID_IMAGE;
    const qr_thread_quirc q;
    if (!q.get()) return "qr_decode: quirc_new failed";
    // quirc multiplies width by height in int: refuse what the image readers
    // would refuse before it can overflow.
    const std::int64_t pixels = std::int64_t{width} * height;
    if (pixels > QR_MAX_IMAGE_PIXELS || qr_quirc_resize(q.get(), width, height) != 0) {
        return TOO_LARGE;
    }
    qr_attempts_left left;
    if (qr_decode_attempts(q.get(), rgba, width, height, out, nullptr, &left.upright)) return QR_OK;
    left.inverted_luma = q.get()->image;
    if (qr_decode_rescue(q.get(), rgba, width, height, out, nullptr, &left)) return QR_OK;
    return "qr_decode: no QR code found in image";
}

}  // namespace

qr_error qr_decode_rgba(const unsigned char *rgba, int width, int height, qr_decoded &out) {
    out.text[0] = '\0';
    const qr_error error = decode_run(rgba, width, height, out);
    if (error != QR_OK) out.text[0] = '\0';
    return error;
}

qr_error qr_decode_file(const char *path, qr_decoded &out) {
    out.text[0] = '\0';
    if (!path) return "qr_decode_from_file: NULL path";
    unsigned char *pixels = nullptr;
    int width = 0;
    int height = 0;
    // The size is checked on the header, before an image too small to hold
    // a code is decoded.
    const int read = qr_png_read_file(path, &pixels, &width, &height, QR_MIN_DECODE_SIDE);
    const qr_heap_ptr<unsigned char> owner(pixels);
    if (read == QR_IMAGE_TOO_SMALL) return INVALID_IMAGE;
    if (read != 0) return QR_PNG_READ_FAILED;
    return qr_decode_rgba(pixels, width, height, out);
}

qr_error qr_decode_memory(const unsigned char *data, int len, qr_decoded &out) {
    out.text[0] = '\0';
    if (!data || len <= 7) return "qr_decode_from_memory: data too small";
    unsigned char *pixels = nullptr;
    int width = 0;
    int height = 0;
    const int read = qr_image_read_memory(data, len, &pixels, &width, &height, QR_MIN_DECODE_SIDE);
    const qr_heap_ptr<unsigned char> owner(pixels);
    if (read == QR_IMAGE_TOO_SMALL) return INVALID_IMAGE;
    if (read != 0) return "qr_decode_from_memory: stbi_load_from failed (not a valid image?)";
    return qr_decode_rgba(pixels, width, height, out);
}
