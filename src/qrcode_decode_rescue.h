// The second-chance stage: prepared images (local thresholds, colour
// channels, scales, margins) read after the four fixed attempts have failed.
#pragma once

#include <cstdint>

#include "qrcode_decode_grid.h"
#include "qrcode_decode_sampler.h"

struct quirc;

// What a run of the second-chance stage read: prepared images and their
// pixels, before any crowding charge.
struct qr_rescue_work {
    int images;
    std::int64_t pixels;
};

// What the four fixed attempts leave when all of them fail: the image's luma
// inverted (quirc's buffer after the inverted pass) and the finder patterns
// of the upright pass.
struct qr_attempts_left {
    const std::uint8_t *inverted_luma = nullptr;
    qr_finder_patterns upright;
};

// Second-chance stage, run after the four fixed attempts have failed: 1 when
// it stored a text in out, else 0 (no message). q is a decoder that the stage
// may resize. What it read goes to work when not null. With what the
// attempts left, the stage first reads the upright pass's finder patterns
// again, and need not convert the RGBA pixels to luma again.
int qr_decode_rescue(quirc *q, const unsigned char *rgba, int width, int height, qr_decoded &out,
                     qr_rescue_work *work = nullptr, const qr_attempts_left *left = nullptr);

// For measurements: the stage's strategies one at a time, without the budget.
int qr_rescue_strategy_count();
const char *qr_rescue_strategy_name(int index);
int qr_rescue_try_strategy(quirc *q, const unsigned char *rgba, int width, int height, int index,
                           qr_decoded &out);
