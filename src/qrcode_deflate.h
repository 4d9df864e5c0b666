// The zlib stream behind every PNG the library writes.
#pragma once

// Compresses `len` bytes into a zlib stream that is byte for byte the one
// stb_image_write's built-in compressor makes at the same `quality` (one
// block of fixed Huffman codes; stored blocks when that would be larger),
// only faster. Returns a malloc'd buffer and its size in *out_len, or null
// when memory runs out. Plugged into stb_image_write as its compressor.
unsigned char *qr_deflate(const unsigned char *data, int len, int *out_len, int quality);
