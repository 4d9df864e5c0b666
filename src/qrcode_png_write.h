// PNG writing: the filter pass, the zlib stream and the file framing behind
// every PNG the library makes. The bytes are exactly those stb_image_write
// 1.16 writes at its defaults (compression level 8, filter chosen per row),
// which the tests check against stb itself; only the speed differs.
#pragma once

// Compresses `len` bytes into a zlib stream: one block of fixed Huffman
// codes, or stored blocks when that would be larger, with matches chosen the
// way stb_image_write chooses them at `quality`. Returns a malloc'd buffer
// and its size in *out_len, or null when memory runs out.
unsigned char *qr_deflate(const unsigned char *data, int len, int *out_len, int quality);

// Encodes width x height RGBA pixels (rows of width * 4 bytes, top first) as
// an 8-bit RGBA PNG. Returns a malloc'd buffer and its size in *out_len, or
// null when memory runs out or the image is too large for one stream.
unsigned char *qr_png_encode(const unsigned char *rgba, int width, int height, int *out_len);
