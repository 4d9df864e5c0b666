// Perspective grid reading of a prepared grey image, after quirc's detection
// of that image found finder patterns but no readable grid.
#pragma once

#include <cstdint>

#include "qrcode_decode_sampler.h"

struct quirc;

// Reads a code through quirc's finder patterns of its current pass on `grey`
// (dark at the low levels): 1 with the text in out, else 0. Stops after
// max_samples pixel samples.
int qr_perspective_decode(const quirc *q, const std::uint8_t *grey, int width, int height,
                          std::int64_t max_samples, qr_decoded &out);
