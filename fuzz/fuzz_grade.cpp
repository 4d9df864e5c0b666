// Grades hostile images two ways: arbitrary bytes through the memory entry
// point (image parsing and the decode), and a readable code whose pixels the
// input overwrites, so that the measurements run on polarities and damage
// no test draws.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "qrcode_grade.h"
#include "qrcode_png.h"
#include "vantelor_qrcode.h"

namespace {

struct rgba_image {
    std::vector<unsigned char> px;
    int width = 0;
    int height = 0;
};

// The default look of a fixed text (version 2, 4 px per module), drawn once.
const rgba_image &clean_code() {
    static const rgba_image img = [] {
        rgba_image out;
        int len = 0;
        unsigned char *png = qr_encode_to_memory("https://example.org/fuzz", 1, 4, 4, &len);
        unsigned char *pixels = nullptr;
        if (png && qr_image_read_memory(png, len, &pixels, &out.width, &out.height) == 0) {
            out.px.assign(pixels, pixels + static_cast<std::size_t>(out.width) * out.height * 4);
        }
        std::free(pixels);
        qr_free_buffer(png);
        return out;
    }();
    return img;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1 || size > static_cast<std::size_t>(INT_MAX)) return 0;
    if ((data[0] & 1) == 0) {
        qr_grade_from_memory(data + 1, static_cast<int>(size - 1), nullptr);
        return 0;
    }
    rgba_image img = clean_code();
    if (img.px.empty()) return 0;
    const std::size_t pixels = img.px.size() / 4;
    // Each 5 bytes paint one pixel: a 16-bit index, then grey, alpha and
    // how many following pixels of the row get the same paint.
    for (std::size_t i = 1; i + 5 <= size; i += 5) {
        std::size_t at = (static_cast<std::size_t>(data[i]) << 8 | data[i + 1]) * 7 % pixels;
        for (int run = 0; run <= data[i + 4] % 16 && at < pixels; ++run, ++at) {
            unsigned char *p = &img.px[at * 4];
            p[0] = p[1] = p[2] = data[i + 2];
            p[3] = data[i + 3];
        }
    }
    if (data[0] & 2) {
        for (unsigned char &c : img.px) c = static_cast<unsigned char>(255 - c);
    }
    qr_grade_report r;
    qr_decoded text;
    if (qr_grade_rgba(img.px.data(), img.width, img.height, nullptr, &r, text) == QR_OK) {
        (void)qr_grade_json(r, text);
    }
    return 0;
}
