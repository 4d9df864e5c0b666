// Image I/O: the one translation unit that compiles stb_image, with every
// stb symbol static so none leaves the library.
//
// Every image read checks the declared size first and refuses anything above
// QR_MAX_IMAGE_PIXELS before a pixel buffer is allocated. PNG files are
// written by our own encoder (qrcode_png_write.cpp), byte for byte what
// stb_image_write writes at its defaults, several times faster.
#include <cstdio>

#include "qrcode_internal.h"
#include "qrcode_png_write.h"

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

namespace {

bool acceptable_size(int width, int height) {
    return width > 0 && height > 0 &&
           std::int64_t{width} * std::int64_t{height} <= QR_MAX_IMAGE_PIXELS;
}

// Closes a stream opened for reading when it leaves scope.
struct file_closer {
    void operator()(std::FILE *f) const noexcept { std::fclose(f); }
};

unsigned char *load_file(const char *path, int *width, int *height) {
    const std::unique_ptr<std::FILE, file_closer> f(std::fopen(path, "rb"));
    if (!f) return nullptr;
    int channels = 0;
    if (!stbi_info_from_file(f.get(), width, height, &channels) ||
        !acceptable_size(*width, *height)) {
        return nullptr;
    }
    return stbi_load_from_file(f.get(), width, height, &channels, 4);
}

// Encodes the canvas and writes the file; a file that could not be written
// completely is removed.
bool write_png_file(const qr_canvas *canvas, const char *path) {
    int len = 0;
    const std::unique_ptr<unsigned char, decltype(&std::free)> png(
        qr_png_encode(canvas->pixels, canvas->width, canvas->height, &len), &std::free);
    if (!png) return false;
    std::FILE *f = std::fopen(path, "wb");
    if (!f) return false;
    const bool written = std::fwrite(png.get(), 1, static_cast<std::size_t>(len), f) ==
                         static_cast<std::size_t>(len);
    if (std::fclose(f) == 0 && written) return true;
    std::remove(path);
    return false;
}

}  // namespace

int qr_png_write_mem(const qr_canvas *canvas, unsigned char **out, int *out_len) {
    if (!canvas || !canvas->pixels || !out || !out_len) {
        qr_set_error("qr_png_write_mem: bad args");
        return -1;
    }
    int len = 0;
    unsigned char *png = qr_png_encode(canvas->pixels, canvas->width, canvas->height, &len);
    if (!png) {
        qr_set_error("qr_png_write_mem: stbi_write_png_to_mem failed");
        return -1;
    }
    *out = png;
    *out_len = len;
    return 0;
}

int qr_png_write_file(const qr_canvas *canvas, const char *path) {
    if (!canvas || !path || !canvas->pixels) {
        qr_set_error("qr_png_write_file: bad args");
        return -1;
    }
    if (!write_png_file(canvas, path)) {
        qr_set_error("qr_png_write_file: stbi_write_png failed");
        return -1;
    }
    return 0;
}

int qr_png_read_file(const char *path, unsigned char **out_pixels, int *out_width,
                     int *out_height) {
    if (!path || !out_pixels || !out_width || !out_height) {
        qr_set_error("qr_png_read_file: bad args");
        return -1;
    }
    int width = 0;
    int height = 0;
    unsigned char *pixels = load_file(path, &width, &height);
    if (!pixels) {
        qr_set_error("qr_png_read_file: stbi_load failed (not a valid PNG?)");
        return -1;
    }
    *out_pixels = pixels;
    *out_width = width;
    *out_height = height;
    return 0;
}

int qr_image_read_memory(const unsigned char *data, int len, unsigned char **out_pixels,
                         int *out_width, int *out_height) {
    if (!data || len <= 0 || !out_pixels || !out_width || !out_height) return -1;
    int width = 0;
    int height = 0;
    int channels = 0;
    if (!stbi_info_from_memory(data, len, &width, &height, &channels) ||
        !acceptable_size(width, height)) {
        return -1;
    }
    unsigned char *pixels = stbi_load_from_memory(data, len, &width, &height, &channels, 4);
    if (!pixels) return -1;
    *out_pixels = pixels;
    *out_width = width;
    *out_height = height;
    return 0;
}
