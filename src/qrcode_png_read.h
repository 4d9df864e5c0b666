// Reading the PNG files most pictures of codes come as, without stb_image:
// one pass over the chunks, one inflate into a buffer of the image's size,
// the filters undone row by row into 8-bit RGBA.
#pragma once

#include <cstddef>
#include <cstdint>

// The 32-bit big-endian number at p, as PNG stores lengths and sizes.
inline std::uint32_t qr_png_be32(const unsigned char *p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
           std::uint32_t{p[3]};
}

// A chunk's type as the 32-bit big-endian number its name spells.
constexpr std::uint32_t qr_png_chunk_type(const char (&name)[5]) {
    return std::uint32_t{static_cast<unsigned char>(name[0])} << 24 |
           std::uint32_t{static_cast<unsigned char>(name[1])} << 16 |
           std::uint32_t{static_cast<unsigned char>(name[2])} << 8 |
           std::uint32_t{static_cast<unsigned char>(name[3])};
}

// Decodes a whole PNG file held in memory when it is a plain one (not
// interlaced; 8-bit grey, grey with alpha, RGB or RGBA, or a palette or
// grey image of 1 to 8 bits; transparency only through the palette; no
// Apple CgBI) and well formed the way stb_image checks it, with exactly
// the pixels stb_image gives, in a buffer for std::free. False, with
// nothing allocated, for every other file: stb_image then reads it (and
// reports its faults) as before. Palette indices past the palette read as
// opaque black.
bool qr_png_decode_plain(const unsigned char *data, std::size_t len, unsigned char **pixels,
                         int *width, int *height);
