// vqr_zxing_read: the independent reader of the gallery and the usage tests.
//
//   vqr_zxing_read [--crop X,Y,W,H] [--save-crop OUT.png] IMAGE
//
// Prints the text of the QR code that zxing-cpp finds in IMAGE (any format
// stb_image reads) and exits 0, or exits 1 when it finds none. The image is
// composited over white; when the plain image yields nothing, its inverse is
// tried as well, as phone readers do for light-on-dark codes. --crop reads
// only that rectangle (clamped to the image), and --save-crop writes it as a
// PNG so that another reader can be run on exactly the same pixels.
#define ZX_USE_UTF8 1  // Result::text() as UTF-8
#include <ZXing/ReadBarcode.h>
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct rect {
    int x = 0, y = 0, w = -1, h = -1;
};

bool read_with_zxing(const std::vector<unsigned char> &grey, int w, int h, std::string &out) {
    ZXing::DecodeHints hints;
    hints.setFormats(ZXing::BarcodeFormat::QRCode);
    hints.setTryHarder(true);
    hints.setTryRotate(true);
    const ZXing::ImageView view(grey.data(), w, h, ZXing::ImageFormat::Lum);
    const ZXing::Result result = ZXing::ReadBarcode(view, hints);
    if (!result.isValid()) return false;
    out = result.text();
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    rect crop;
    const char *save = nullptr, *path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--crop") == 0 && i + 1 < argc) {
            if (std::sscanf(argv[++i], "%d,%d,%d,%d", &crop.x, &crop.y, &crop.w, &crop.h) != 4) {
                std::fprintf(stderr, "vqr_zxing_read: bad --crop value\n");
                return 2;
            }
        } else if (std::strcmp(argv[i], "--save-crop") == 0 && i + 1 < argc) {
            save = argv[++i];
        } else {
            path = argv[i];
        }
    }
    if (!path) {
        std::fprintf(stderr,
                     "usage: vqr_zxing_read [--crop X,Y,W,H] [--save-crop OUT.png] IMAGE\n");
        return 2;
    }
    int iw = 0, ih = 0, channels = 0;
    unsigned char *rgba = stbi_load(path, &iw, &ih, &channels, 4);
    if (!rgba) {
        std::fprintf(stderr, "vqr_zxing_read: cannot read %s\n", path);
        return 2;
    }
    if (crop.w < 0) crop = {0, 0, iw, ih};
    const int x0 = std::clamp(crop.x, 0, iw), y0 = std::clamp(crop.y, 0, ih);
    const int w = std::clamp(crop.x + crop.w, 0, iw) - x0,
              h = std::clamp(crop.y + crop.h, 0, ih) - y0;
    if (w <= 0 || h <= 0) {
        stbi_image_free(rgba);
        std::fprintf(stderr, "vqr_zxing_read: crop outside the image\n");
        return 2;
    }
    std::vector<unsigned char> part(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4);
    for (int y = 0; y < h; ++y)
        std::memcpy(&part[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) * 4],
                    rgba + (static_cast<std::size_t>(y0 + y) * static_cast<std::size_t>(iw) +
                            static_cast<std::size_t>(x0)) *
                               4,
                    static_cast<std::size_t>(w) * 4);
    stbi_image_free(rgba);
    if (save && !stbi_write_png(save, w, h, 4, part.data(), w * 4)) {
        std::fprintf(stderr, "vqr_zxing_read: cannot write %s\n", save);
        return 2;
    }

    std::vector<unsigned char> grey(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    for (std::size_t i = 0; i < grey.size(); ++i) {
        const unsigned char *p = &part[i * 4];
        const int a = p[3];
        int c[3];
        for (int k = 0; k < 3; ++k) c[k] = (p[k] * a + 255 * (255 - a)) / 255;
        grey[i] = static_cast<unsigned char>((c[0] * 299 + c[1] * 587 + c[2] * 114) / 1000);
    }
    std::string text;
    bool found = read_with_zxing(grey, w, h, text);
    if (!found) {
        for (unsigned char &g : grey) g = static_cast<unsigned char>(255 - g);
        found = read_with_zxing(grey, w, h, text);
    }
    if (!found) return 1;
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}
