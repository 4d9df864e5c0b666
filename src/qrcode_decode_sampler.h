// Reading grids: grey levels, quirc's grids and finder patterns, and the
// grid-sampling fallback; shared by the decode pipeline, the second-chance
// stage and the grader, none of which calls another through this.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "qrcode_types.h"

struct quirc;
struct quirc_code;

inline constexpr int QR_RESULT_CAP = 8897;  // 8,896 payload bytes + terminator

// A decoded text, zero-terminated; empty when nothing was read.
struct qr_decoded {
    char text[QR_RESULT_CAP];
};

// Smallest side the decoder can use (a version 1 symbol at one pixel per module).
inline constexpr int QR_MIN_DECODE_SIDE = 21;

// std::round for the samplers' hottest lines, without the library call it
// compiles to on baseline x86-64: halves away from zero, NaN and whole
// numbers as they are. Below 2^23 the fraction a - whole is exact.
inline float qr_round_half_away(float v) {
    const float a = std::fabs(v);
    if (!(a < 8388608.0f)) return v;
    float whole = static_cast<float>(static_cast<std::int32_t>(a));
    if (a - whole >= 0.5f) whole += 1.0f;
    return std::copysign(whole, v);
}

// Rounds v half away from zero, as qr_round_half_away does, and reports
// whether the result is a pixel index below `limit`; NaN and far-off values
// are outside. Every module sample goes through here, so the usual case
// (-0.5 < v < 2^23) stays in integers: there the truncation and the fraction
// v - trunc(v) are exact, and -0.5 < v < 0 rounds to 0 (-0 is a valid index).
inline bool qr_pixel_index(float v, int limit, int *out) {
    if (v > -0.5f && v < 8388608.0f) {
        int i = static_cast<int>(v);
        if (v - static_cast<float>(i) >= 0.5f) ++i;
        if (i >= limit) return false;
        *out = i;
        return true;
    }
    // From 2^23 up every float is whole.
    if (!(v >= 8388608.0f && v < static_cast<float>(limit))) return false;
    *out = static_cast<int>(v);
    return true;
}

// Grey level 0..255 of one RGBA pixel composited over white (integer maths;
// a fully transparent pixel gives 254).
int rgba_gray_white(const unsigned char *px);

// rgba_gray_white of every pixel into grey, XORed with flip (0, or 255 for
// the inverse).
void qr_grey_levels(const unsigned char *rgba, std::uint8_t *grey, std::size_t pixels, int flip);

// Where a decode found its symbol: the map from module coordinates (u, v;
// a module's centre at +0.5) to pixel indices, x = (c0 u + c1 v + c2) / w,
// y = (c3 u + c4 v + c5) / w with w = c6 u + c7 v + 1, the grid's size, what
// the format bits said (ecc_level as coded there: 0 M, 1 L, 2 H, 3 Q), and
// whether the image was read inverted. finders holds the centres (x, y) of
// the three finder patterns the grid was built on, in no particular order.
struct qr_decode_geometry {
    double c[8];
    double finders[6];
    int size;
    int version;
    int ecc_level;
    int mask;
    int inverted;
};

// Decodes quirc's grids of the current pass in order; true at the first
// non-empty payload (in out), whose grid goes to geo when it is not null.
// The detector leaves its grids unrefined: each is read as it stands first,
// and refined (in q) and read again when that fails; geo always gets the
// refined grid.
bool qr_decode_grids(quirc *q, qr_decoded &out, qr_decode_geometry *geo = nullptr);
// The same in two steps, each grid also read mirrored (a code photographed
// through glass or printed on film shows its back): every grid as the
// detector recorded it, and every grid refined (in q). Refining is the
// expensive part, so a caller can try cheaper readers in between.
bool qr_decode_grids_as_they_stand(quirc *q, qr_decoded &out);
bool qr_decode_refined_grids(quirc *q, qr_decoded &out);
// Decodes one sampled grid; true when it held a non-empty payload (in out).
// The format fields go to geo when it is not null.
bool qr_decode_grid(const quirc_code &code, qr_decoded &out, qr_decode_geometry *geo = nullptr);

// The grid-sampling fallback works on the detector's finder patterns: centre
// in pixels and the area of the inner 3 x 3 block, in the detector's order
// (at most QR_MAX_FINDERS).
inline constexpr int QR_MAX_FINDERS = 32;

struct qr_finder {
    int x;
    int y;
    int area;
};

// The finder patterns of quirc's current pass, in the detector's order;
// returns how many (at most QR_MAX_FINDERS).
int qr_read_finders(const quirc *q, qr_finder *finders);
// The fallback search on a grey image already in the polarity it is read in
// (dark at 127 and below), stopping after max_samples module samples.
int qr_fallback_decode_grey(const qr_finder *finders, int count, const std::uint8_t *grey,
                            int width, int height, std::int64_t max_samples, qr_decoded &out);

// quirc_new with a placeholder image, so that the first quirc_resize copies
// from a valid pointer; release with quirc_destroy. NULL when out of memory.
quirc *qr_quirc_new();
// quirc_end, the same records, with a faster histogram for its threshold
// and a faster finder scan.
extern "C" void qr_quirc_end(quirc *q);
// The same with the threshold given (levels below it are dark): an image of
// the levels 0 and 255 alone is split by any threshold from 1 to 255 as by
// quirc's own choice, so prepared two-level images skip the histogram.
extern "C" void qr_quirc_end_at(quirc *q, std::uint8_t threshold);
// The two halves of qr_quirc_end's threshold: the histogram of quirc's grey
// image, and quirc's choice of threshold from a histogram of `pixels`
// levels. A caller that knows an image's histogram (the inverse of one
// already counted is the same histogram reversed) need not count again.
extern "C" void qr_quirc_histogram(const quirc *q, unsigned int histogram[256]);
extern "C" std::uint8_t qr_quirc_threshold(const unsigned int histogram[256], unsigned int pixels);
// Refines grid `index`'s perspective as quirc's detector does, with less
// work: qr_quirc_jiggle is what the decoder runs, qr_quirc_reference_jiggle
// quirc's own code, kept for comparison.
extern "C" void qr_quirc_jiggle(quirc *q, int index);
extern "C" void qr_quirc_reference_jiggle(quirc *q, int index);
// Fills the region of label `from` through (x0, y0) with `to` as quirc's
// detector does (func, when not null, sees each line filled), with wider
// scans: qr_quirc_flood_fill_seed is what the detector runs,
// qr_quirc_reference_flood_fill_seed quirc's own code, kept for comparison.
extern "C" void qr_quirc_flood_fill_seed(quirc *q, int x0, int y0, int from, int to,
                                         void (*func)(void *, int, int, int), void *user_data);
extern "C" void qr_quirc_reference_flood_fill_seed(quirc *q, int x0, int y0, int from, int to,
                                                   void (*func)(void *, int, int, int),
                                                   void *user_data);
// A grid's data bits (into raw, QUIRC_MAX_PAYLOAD bytes, zeroed) under one
// of the eight masks, in quirc's reading order; returns how many.
// qr_quirc_data_bits reads them as the decoder does,
// qr_quirc_reference_data_bits with quirc's own code, kept for comparison.
extern "C" int qr_quirc_data_bits(const quirc_code *code, int mask, std::uint8_t *raw);
extern "C" int qr_quirc_reference_data_bits(const quirc_code *code, int mask, std::uint8_t *raw);
// quirc_resize, with its image and label planes offered huge pages; a size
// that fits the planes q already has keeps them (their contents are stale:
// write the whole image before quirc_end).
int qr_quirc_resize(quirc *q, int width, int height);
struct qr_quirc_deleter {
    void operator()(quirc *q) const noexcept;
};
using qr_quirc_ptr = std::unique_ptr<quirc, qr_quirc_deleter>;

// A quirc detector for one decode, kept on the calling thread afterwards
// while its planes hold at most 2^21 pixels: the next decode on that thread
// reuses its planes and region table instead of faulting fresh pages in.
// get() is null when out of memory.
class qr_thread_quirc {
public:
    qr_thread_quirc();
    ~qr_thread_quirc();
    qr_thread_quirc(const qr_thread_quirc &) = delete;
    qr_thread_quirc &operator=(const qr_thread_quirc &) = delete;
    quirc *get() const noexcept { return q_.get(); }

private:
    qr_quirc_ptr q_;
};

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
// Samples an n x n affine grid (n at most QR_MAX_SIDE) through the three
// centres into an LSB-first bitmap of QR_BITMAP_CAP bytes (cleared first).
void qr_fallback_sample(const unsigned char *rgba, int width, int height, int inverted,
                        const qr_finder *a, const qr_finder *b, const qr_finder *c, int n,
                        unsigned char *bitmap);
// The whole search over `finders`; 1 when a text was stored in out (its
// grid in geo when not null).
int qr_fallback_decode(const qr_finder *finders, int count, const unsigned char *rgba, int width,
                       int height, int inverted, qr_decoded &out,
                       qr_decode_geometry *geo = nullptr);
