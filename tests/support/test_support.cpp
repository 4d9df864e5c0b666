#include "test_support.h"

#define ZX_USE_UTF8 1
#include <ZXing/ReadBarcode.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>

#include "qrcode_api.h"
#include "qrcode_encode.h"

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

namespace vqr_test {

std::optional<image> decode_image(const std::vector<unsigned char> &bytes) {
    int w = 0, h = 0, channels = 0;
    unsigned char *px =
        stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()), &w, &h, &channels, 4);
    if (!px) return std::nullopt;
    image img;
    img.width = w;
    img.height = h;
    img.rgba.assign(px, px + static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4);
    stbi_image_free(px);
    return img;
}

std::vector<unsigned char> read_bytes(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_bytes(const std::filesystem::path &path, const std::vector<unsigned char> &bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::optional<image> read_image(const std::filesystem::path &path) {
    return decode_image(read_bytes(path));
}

image encode_image(const char *text, int ecc, int module_size, int quiet_zone) {
    int len = 0;
    unsigned char *png = qr_encode_to_memory(text, ecc, module_size, quiet_zone, &len);
    EXPECT_NE(png, nullptr) << qr_last_error();
    if (!png) return {};
    std::vector<unsigned char> bytes(png, png + len);
    qr_free_buffer(png);
    auto img = decode_image(bytes);
    EXPECT_TRUE(img.has_value());
    return img.value_or(image{});
}

std::optional<std::string> zxing_read(const image &img) {
    std::vector<unsigned char> grey(static_cast<std::size_t>(img.width) *
                                    static_cast<std::size_t>(img.height));
    for (std::size_t i = 0; i < grey.size(); ++i) {
        const unsigned char *p = &img.rgba[i * 4];
        const int a = p[3];
        int rgb[3];
        for (int c = 0; c < 3; ++c) rgb[c] = (p[c] * a + 255 * (255 - a)) / 255;
        grey[i] = static_cast<unsigned char>((rgb[0] * 299 + rgb[1] * 587 + rgb[2] * 114) / 1000);
    }
    ZXing::DecodeHints hints;
    hints.setFormats(ZXing::BarcodeFormat::QRCode);
    hints.setTryHarder(true);
    hints.setTryRotate(true);
    const ZXing::ImageView view(grey.data(), img.width, img.height, ZXing::ImageFormat::Lum);
    const ZXing::Result result = ZXing::ReadBarcode(view, hints);
    if (!result.isValid()) return std::nullopt;
    return result.text();
}

std::vector<unsigned char> matrix_of(const char *text, int ecc, int *n) {
    const auto symbol = std::make_unique<qr_symbol>();
    const qr_error error = qr_encode_matrix(qr_style_snapshot(), text, ecc, *symbol);
    EXPECT_EQ(error, QR_OK) << error;
    *n = symbol->n;
    return {symbol->modules, symbol->modules + static_cast<std::size_t>(*n) * symbol->n};
}

temp_dir::temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vqr-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace vqr_test
