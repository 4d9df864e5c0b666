// Image I/O: any image the loader reads to 8-bit RGBA under fixed caps, and a
// canvas to PNG bytes or a file; the C heap blocks these hand out are owned
// through qr_heap_ptr.
#pragma once

#include <cstdint>

#include "qrcode_types.h"

// Largest decoded image accepted, in pixels (256 MiB of RGBA), and the most
// working memory the image loader may need for one image, both checked on
// the declared size before any decoding: a small hostile file cannot make
// the host allocate gigabytes. The working memory counts the loader's
// buffers at their own depth (8-bit, 16-bit, float) and layout (a
// progressive JPEG's coefficients, a GIF's background and history).
inline constexpr std::int64_t QR_MAX_IMAGE_PIXELS = std::int64_t{1} << 26;
inline constexpr std::int64_t QR_MAX_IMAGE_WORK_BYTES = std::int64_t{512} << 20;
// Result of an image read whose declared width or height is below its
// `min_side`; the image is not decoded and no message is written.
inline constexpr int QR_IMAGE_TOO_SMALL = -2;

// An encoded image as its loader would see it: declared size and the
// loader's working memory in bytes.
struct qr_declared_image {
    int width;
    int height;
    std::int64_t work_bytes;
};

// What a failed image read reports, whatever the format or the cause. The
// names are older than our own PNG writer and reader; callers compare them,
// so they stay as they are.
inline constexpr qr_error QR_PNG_READ_FAILED =
    "qr_png_read_file: stbi_load failed (not a valid PNG?)";

qr_error qr_png_write_mem(const qr_canvas &canvas, qr_bytes &out);
qr_error qr_png_write_file(const qr_canvas &canvas, const char *path);
// Reads the image at `path` to RGBA under the caps: 0, QR_IMAGE_TOO_SMALL,
// or -1 (the caller reports QR_PNG_READ_FAILED).
int qr_png_read_file(const char *path, unsigned char **out_pixels, int *out_width, int *out_height,
                     int min_side = 1);
// Decodes an image held in memory to RGBA under the same caps; writes no
// message (the caller names its own failure). 0 on success, -1 on failure.
int qr_image_read_memory(const unsigned char *data, int len, unsigned char **out_pixels,
                         int *out_width, int *out_height, int min_side = 1);
// Reads the header of an encoded image in memory; false when no loader
// recognises it.
bool qr_image_declared(const unsigned char *data, int len, qr_declared_image *out);
