// Decoding: grey levels, quirc's grids and finder patterns, the grid-sampling
// fallback on a prepared grey image, and the second-chance stage; shared by
// the decode pipeline and the second-chance stage.
#pragma once

#include <cstddef>
#include <cstdint>

struct quirc;
struct quirc_code;

inline constexpr int QR_RESULT_CAP = 8897;  // 8,896 payload bytes + terminator
extern constinit thread_local char g_result[QR_RESULT_CAP];

// Smallest side the decoder can use (a version 1 symbol at one pixel per module).
inline constexpr int QR_MIN_DECODE_SIDE = 21;

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

// Decodes quirc's grids of the current pass in order, each also mirrored
// when mirrored_too; true at the first non-empty payload (in g_result), whose
// grid goes to geo when it is not null.
bool qr_decode_grids(const quirc *q, bool mirrored_too, qr_decode_geometry *geo = nullptr);
// Decodes one sampled grid; true when it held a non-empty payload (in
// g_result). The format fields go to geo when it is not null.
bool qr_decode_grid(const quirc_code &code, qr_decode_geometry *geo = nullptr);

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
                            int width, int height, std::int64_t max_samples);

// Second-chance stage, run after the four fixed attempts have failed: 1 when
// one of its strategies stored a text in g_result, else 0 (no message). q is
// a decoder that the stage may resize.
int qr_decode_rescue(quirc *q, const unsigned char *rgba, int width, int height);
