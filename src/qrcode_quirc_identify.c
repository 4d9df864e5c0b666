/* quirc's detector (lib/identify.c of quirc 1.2), compiled unchanged apart
 * from two numeric guards that bound what hostile images can do to it.
 *
 * - Coordinates: a finder pattern with degenerate corners gives a perspective
 *   transform with a near-zero denominator, and mapping through it yields
 *   NaN or values far outside the int range, which the detector converts to
 *   int (undefined behaviour). Every mapped coordinate is clamped to
 *   +-QR_QUIRC_COORD_LIMIT first; with that limit the detector's products
 *   of coordinate differences stay inside int.
 * - The alignment-pattern search spirals outwards over about 100 times the
 *   estimated pattern area, an absolute value computed from those
 *   coordinates. A degenerate estimate made the spiral run for minutes.
 *   Absolute values are capped at QR_QUIRC_ABS_LIMIT (a module of 256
 *   pixels squared), which bounds the spiral to 6.6 million steps per grid
 *   and leaves every real code alone. The detector's only other use of abs
 *   (distances between finder corners) stays far below the cap.
 *
 * quirc's settings (QUIRC_MAX_REGIONS, QUIRC_FLOAT_TYPE) come from the build
 * and are the same for all of quirc and for the decoder, which reads the
 * detector's records. */
#include <limits.h>
#include <math.h>
#include <stdlib.h>

#define QR_QUIRC_COORD_LIMIT 16383.0
#define QR_QUIRC_ABS_LIMIT 65536

static double qr_quirc_clamped_rint(double v) {
    if (!(v >= -QR_QUIRC_COORD_LIMIT)) return -QR_QUIRC_COORD_LIMIT; /* NaN included */
    if (v > QR_QUIRC_COORD_LIMIT) return QR_QUIRC_COORD_LIMIT;
    return rint(v);
}

static int qr_quirc_capped_abs(long long v) {
    if (v < 0) v = -v;
    return v > QR_QUIRC_ABS_LIMIT ? QR_QUIRC_ABS_LIMIT : (int)v;
}

#define rint(v) qr_quirc_clamped_rint(v)
#define abs(v) qr_quirc_capped_abs((long long)(v))

#include "identify.c"
