// PNG writing: the filter pass, the zlib stream and the file framing behind
// every PNG the library makes. The bytes are exactly those stb_image_write
// 1.16 writes at its defaults (compression level 8, filter chosen per row),
// which the tests check against stb itself; only the speed differs.
#pragma once

#include <cstddef>

// Size of the match tables qr_deflate_to works in (their contents on entry
// do not matter).
std::size_t qr_deflate_table_size();
// The most bytes qr_deflate_to writes for `len` input bytes (len >= 0).
std::size_t qr_deflate_bound(int len);
// Compresses `len` bytes into a zlib stream at `out`: one block of fixed
// Huffman codes, or stored blocks when that would be larger, with matches
// chosen the way stb_image_write chooses them at `quality`. Returns the
// stream's size.
std::size_t qr_deflate_to(const unsigned char *data, int len, int quality, void *tables,
                          unsigned char *out);

// Encodes width x height RGBA pixels (rows of width * 4 bytes, top first) as
// an 8-bit RGBA PNG. Returns a malloc'd buffer and its size in *out_len, or
// null when memory runs out or the image is too large for one stream.
unsigned char *qr_png_encode(const unsigned char *rgba, int width, int height, int *out_len);

// Whether the filter pass may use AVX2 where the processor has it (the
// default); tests turn it off to check the SSE2 path gives the same bytes.
void qr_png_allow_avx2(bool allow);
