// Perspective grid reading of a prepared grey image, after quirc's detection
// of that image found finder patterns but no readable grid.
#pragma once

#include <cstdint>

#include "qrcode_decode_sampler.h"

struct quirc;

// Reads a code through quirc's finder patterns of its current pass on `grey`
// (dark at the low levels): 1 with the text in out, else 0. Takes at most
// *samples_left pixel samples and leaves what remains of them there, so
// that readings of the same finder patterns can share one budget.
int qr_perspective_decode(const quirc *q, const std::uint8_t *grey, int width, int height,
                          std::int64_t *samples_left, qr_decoded &out);
