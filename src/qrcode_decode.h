// Decoding: grey levels, quirc's grids and finder patterns, the grid-sampling
// fallback on a prepared grey image, and the second-chance stage; shared by
// the decode pipeline and the second-chance stage.
#pragma once

#include <cstddef>
#include <cstdint>

struct quirc;
struct quirc_code;

#include "qrcode_types.h"

inline constexpr int QR_RESULT_CAP = 8897;  // 8,896 payload bytes + terminator

// A decoded text, zero-terminated; empty when nothing was read.
struct qr_decoded {
    char text[QR_RESULT_CAP];
};

// Where the host's memory ran out in a decode (the second-chance stage keeps
// its working images in standard containers).
inline constexpr qr_error QR_DECODE_NO_MEMORY = "qr_decode: image too large for quirc";

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
// when mirrored_too; true at the first non-empty payload (in out), whose
// grid goes to geo when it is not null.
bool qr_decode_grids(const quirc *q, bool mirrored_too, qr_decoded &out,
                     qr_decode_geometry *geo = nullptr);
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

// What a run of the second-chance stage read: prepared images and their
// pixels, before any crowding charge.
struct qr_rescue_work {
    int images;
    std::int64_t pixels;
};

// Second-chance stage, run after the four fixed attempts have failed: 1 when
// one of its strategies stored a text in out, else 0 (no message). q is a
// decoder that the stage may resize. What it read goes to work when not null.
int qr_decode_rescue(quirc *q, const unsigned char *rgba, int width, int height, qr_decoded &out,
                     qr_rescue_work *work = nullptr);

// The whole decode of an RGBA image: the four fixed attempts, then the
// second-chance stage.
qr_error qr_decode_rgba(const unsigned char *rgba, int width, int height, qr_decoded &out);
// The same for the image in the file at `path`, or in `len` bytes of memory.
qr_error qr_decode_file(const char *path, qr_decoded &out);
qr_error qr_decode_memory(const unsigned char *data, int len, qr_decoded &out);
