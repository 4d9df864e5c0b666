// The decoder's steps one at a time, for tests, fuzzers, benchmarks and
// measuring tools; the library itself reaches them only through the decode
// entry points.
#pragma once

#include <cstdint>
#include <memory>

#include "qrcode_decode.h"
#include "qrcode_encode.h"

// quirc_new with a placeholder image, so that the first quirc_resize copies
// from a valid pointer; release with quirc_destroy. NULL when out of memory.
quirc *qr_quirc_new();
struct qr_quirc_deleter {
    void operator()(quirc *q) const noexcept;
};
using qr_quirc_ptr = std::unique_ptr<quirc, qr_quirc_deleter>;

// The four fixed attempts (quirc, fallback, inverted quirc, inverted
// fallback) with q already sized to the image: 1 when one stored a text,
// whose grid goes to geo when it is not null.
int qr_decode_attempts(quirc *q, const unsigned char *rgba, int width, int height, qr_decoded &out,
                       qr_decode_geometry *geo = nullptr);
// Reads the finder list of quirc's current pass and runs the search.
int try_decode_centers(quirc *q, const unsigned char *rgba, int width, int height, int inverted,
                       qr_decoded &out, qr_decode_geometry *geo = nullptr);

// ---- Grid-sampling fallback ----

inline constexpr int QR_BITMAP_CAP = (QR_MATRIX_CAP + 7) / 8;

// 1 when (a, b, c) may be the top-left, top-right and bottom-left finder
// patterns of one upright or rotated (not mirrored) symbol.
int qr_fallback_triple_passes(const qr_finder *a, const qr_finder *b, const qr_finder *c);
// Calls visit(user, a, b, c) for every ordered triple that passes, lowest a,
// then b, then c first; stops at the first non-zero result and returns it.
int qr_fallback_enumerate(const qr_finder *finders, int count,
                          int (*visit)(void *user, int a, int b, int c), void *user);
// Module size in pixels from the area of a finder's inner block.
float qr_fallback_module_size(int area);
// Version guess 1..40 from the two arm lengths and the module size.
int qr_fallback_version_estimate(float lb, float lc, float module);
// The versions tried for an estimate, in order; returns how many (3..5).
int qr_fallback_candidates(int estimate, int out[5]);
// 1 when a sample of grey level `grey` counts as a dark module.
int qr_fallback_is_dark(int grey, int inverted);
// Samples an n x n affine grid through the three centres into an LSB-first
// bitmap of QR_BITMAP_CAP bytes (cleared first).
void qr_fallback_sample(const unsigned char *rgba, int width, int height, int inverted,
                        const qr_finder *a, const qr_finder *b, const qr_finder *c, int n,
                        unsigned char *bitmap);
// The whole search over `finders`; 1 when a text was stored in out (its
// grid in geo when not null).
int qr_fallback_decode(const qr_finder *finders, int count, const unsigned char *rgba, int width,
                       int height, int inverted, qr_decoded &out,
                       qr_decode_geometry *geo = nullptr);

// ---- Second-chance stage ----

// For measurements: the stage's strategies one at a time, without the budget.
int qr_rescue_strategy_count();
const char *qr_rescue_strategy_name(int index);
int qr_rescue_try_strategy(quirc *q, const unsigned char *rgba, int width, int height, int index,
                           qr_decoded &out);
