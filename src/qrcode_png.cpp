// Image I/O: the one translation unit that compiles stb_image and
// stb_image_write, with every stb symbol static so none leaves the library.
//
// Every image read checks the declared size first and refuses anything above
// QR_MAX_IMAGE_PIXELS before a pixel buffer is allocated. PNG writing uses
// stb_image_write's defaults (compression level 8, filter chosen per row),
// with our own compressor in place of stb's: same bytes, several times faster.
#include <cstdio>

#include "qrcode_deflate.h"
#include "qrcode_internal.h"

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBIW_ZLIB_COMPRESS qr_deflate
#include <stb_image.h>
#include <stb_image_write.h>

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

}  // namespace

int qr_png_write_mem(const qr_canvas *canvas, unsigned char **out, int *out_len) {
    if (!canvas || !canvas->pixels || !out || !out_len) {
        qr_set_error("qr_png_write_mem: bad args");
        return -1;
    }
    int len = 0;
    unsigned char *png = stbi_write_png_to_mem(canvas->pixels, canvas->width * 4,
                                               canvas->width, canvas->height, 4, &len);
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
    if (!stbi_write_png(path, canvas->width, canvas->height, 4, canvas->pixels,
                        canvas->width * 4)) {
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
