// Perspective grid reading of a prepared grey image, after quirc's detection
// of that image found finder patterns but no readable grid.
#pragma once

#include <cstdint>

#include "qrcode_decode_sampler.h"

struct quirc;

// Finder patterns as this reader reads them (centres, stone areas, module
// sizes from their outlines), copied out of a quirc pass so that they can be
// read again after quirc has gone on to another image.
struct qr_finder_patterns {
    int count = 0;
    qr_finder finders[QR_MAX_FINDERS];
    float module[QR_MAX_FINDERS];
};

qr_finder_patterns qr_finder_patterns_of(const quirc *q);

// Reads a code through the finder patterns on `grey` (dark at the low
// levels), an image of the size they were found in: 1 with the text in out,
// else 0. Takes at most *samples_left pixel samples and leaves what remains
// of them there, so that readings of the same finder patterns can share one
// budget.
int qr_perspective_decode(const qr_finder_patterns &patterns, const std::uint8_t *grey, int width,
                          int height, std::int64_t *samples_left, qr_decoded &out);
// The same through quirc's finder patterns of its current pass.
int qr_perspective_decode(const quirc *q, const std::uint8_t *grey, int width, int height,
                          std::int64_t *samples_left, qr_decoded &out);
