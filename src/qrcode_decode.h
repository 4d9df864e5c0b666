// The decode pipeline: the four fixed attempts (quirc, fallback, inverted
// quirc, inverted fallback), then the second-chance stage.
#pragma once

#include "qrcode_decode_grid.h"
#include "qrcode_decode_sampler.h"
#include "qrcode_types.h"

struct quirc;

// Where the host's memory ran out in a decode (the second-chance stage keeps
// its working images in standard containers).
inline constexpr qr_error QR_DECODE_NO_MEMORY = "qr_decode: image too large for quirc";

// The four fixed attempts (quirc, fallback, inverted quirc, inverted
// fallback) with q already sized to the image: 1 when one stored a text,
// whose grid goes to geo when it is not null. When all four fail, quirc's
// buffer holds the image's luma, inverted, and the upright pass's finder
// patterns are in `upright` when it is not null.
int qr_decode_attempts(quirc *q, const unsigned char *rgba, int width, int height, qr_decoded &out,
                       qr_decode_geometry *geo = nullptr, qr_finder_patterns *upright = nullptr);
// Reads the finder list of quirc's current pass and runs the search.
int try_decode_centers(quirc *q, const unsigned char *rgba, int width, int height, int inverted,
                       qr_decoded &out, qr_decode_geometry *geo = nullptr);

// The whole decode of an RGBA image: the four fixed attempts, then the
// second-chance stage.
qr_error qr_decode_rgba(const unsigned char *rgba, int width, int height, qr_decoded &out);
// The same for the image in the file at `path`, or in `len` bytes of memory.
qr_error qr_decode_file(const char *path, qr_decoded &out);
qr_error qr_decode_memory(const unsigned char *data, int len, qr_decoded &out);
