/* quirc's detector (lib/identify.c of quirc 1.2), compiled unchanged apart
 * from two numeric guards that bound what hostile images can do to it, and
 * a size check on every grouping of three finder patterns.
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
#include <string.h>

#include "quirc_internal.h"

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

/* - Grouping: quirc turns every grouping of three finder patterns that look
 *   square to each other into a grid, and for each one spirals outwards in
 *   search of the alignment pattern and refines the grid with 81 fitness
 *   passes along its timing patterns. Noise and texture give about 30
 *   finder-like patterns per image and most of their groupings measure far
 *   outside versions 1 to 40, where that work is largest and wasted:
 *   quirc_decode refuses such a grid by its size. record_qr_grid asks
 *   QUIRC_MAX_GRIDS for the room left before it records a grid; the answer
 *   is "none" for a grouping of impossible size, and for one whose
 *   alignment-pattern search would look for a module more than 64 times
 *   the area of the finder patterns' modules: such a search spirals over up
 *   to 6.5 million pixels and can only find a blob that belongs to no
 *   symbol. Real finder patterns crowded together (a crafted picture of
 *   32 of them gives quirc's full 64 grids, 5 ms each) are bounded by a
 *   budget: the grids of one pass may hold at most QR_QUIRC_PASS_MODULES
 *   modules in all, eight of the largest version and far more than any
 *   number of codes 32 finder patterns can belong to. The finder patterns
 *   are first turned exactly as record_qr_grid turns them, so every later
 *   grouping sees them as before. */
#define QR_QUIRC_GRID_CAPACITY (QUIRC_MAX_CAPSTONES * 2)
#define QR_QUIRC_ALIGNMENT_AREA_RATIO 64.0
#define QR_QUIRC_PASS_MODULES (8 * QUIRC_MAX_GRID_SIZE * QUIRC_MAX_GRID_SIZE)
_Static_assert(QR_QUIRC_GRID_CAPACITY == QUIRC_MAX_GRIDS, "quirc's grid capacity differs");
#undef QUIRC_MAX_GRIDS
#define QUIRC_MAX_GRIDS qr_quirc_grid_room(q, a, b, c)

static int qr_quirc_grid_room(struct quirc *q, int a, int b, int c);

#define rint(v) qr_quirc_clamped_rint(v)
#define abs(v) qr_quirc_capped_abs((long long)(v))

#include "identify.c"

/* Area of one module at the alignment pattern as find_alignment_pattern
 * estimates it from the finder patterns a and c (turned for the grid). */
static double qr_quirc_alignment_module_area(struct quirc *q, int a, int c) {
    const struct quirc_capstone *c0 = &q->capstones[a];
    const struct quirc_capstone *c2 = &q->capstones[c];
    struct quirc_point pa, pb, pc;
    quirc_float_t u, v;
    if (!line_intersect(&c0->corners[0], &c0->corners[1], &c2->corners[0], &c2->corners[3], &pb)) {
        return 0.0;
    }
    perspective_unmap(c0->c, &pb, &u, &v);
    perspective_map(c0->c, u, v + 1.0, &pa);
    perspective_unmap(c2->c, &pb, &u, &v);
    perspective_map(c2->c, u + 1.0, v, &pc);
    return abs((pa.x - pb.x) * -(pc.y - pb.y) + (pa.y - pb.y) * (pc.x - pb.x));
}

/* Area of one module of the three finder patterns, from their rings (24
 * modules each). */
static double qr_quirc_finder_module_area(const struct quirc *q, const int caps[3]) {
    double sum = 0.0;
    for (int i = 0; i < 3; i++) sum += q->regions[q->capstones[caps[i]].ring].count;
    return sum / (3.0 * 24.0);
}

/* Modules in the grids recorded so far in this pass. */
static int qr_quirc_recorded_modules(const struct quirc *q) {
    int sum = 0;
    for (int i = 0; i < q->num_grids; i++) sum += q->grids[i].grid_size * q->grids[i].grid_size;
    return sum;
}

/* The slot the grid would take is borrowed to measure its size with quirc's
 * own measurement; record_qr_grid clears the slot when it takes it. */
static int qr_quirc_grid_room(struct quirc *q, int a, int b, int c) {
    if (q->num_grids >= QR_QUIRC_GRID_CAPACITY) return QR_QUIRC_GRID_CAPACITY;
    struct quirc_point h0 = q->capstones[a].center;
    struct quirc_point hd = {q->capstones[c].center.x - h0.x, q->capstones[c].center.y - h0.y};
    if ((q->capstones[b].center.x - h0.x) * -hd.y + (q->capstones[b].center.y - h0.y) * hd.x > 0) {
        const int swap = a;
        a = c;
        c = swap;
        hd.x = -hd.x;
        hd.y = -hd.y;
    }
    struct quirc_grid *qr = &q->grids[q->num_grids];
    qr->caps[0] = a;
    qr->caps[1] = b;
    qr->caps[2] = c;
    for (int i = 0; i < 3; i++) rotate_capstone(&q->capstones[qr->caps[i]], &h0, &hd);
    measure_grid_size(q, q->num_grids);
    if (qr->grid_size < 21 || qr->grid_size > QUIRC_MAX_GRID_SIZE) return 0;
    if (qr->grid_size > 21 &&
        qr_quirc_alignment_module_area(q, a, c) >
            QR_QUIRC_ALIGNMENT_AREA_RATIO * qr_quirc_finder_module_area(q, qr->caps)) {
        return 0;
    }
    if (qr_quirc_recorded_modules(q) + qr->grid_size * qr->grid_size > QR_QUIRC_PASS_MODULES)
        return 0;
    return QR_QUIRC_GRID_CAPACITY;
}

/* quirc_end, with the grey levels' histogram counted into eight partial
 * histograms: the strategies hand quirc images of two levels, where
 * counting into one array stalls on every pixel, each increment waiting
 * for the one before it to the same counter. The threshold is then chosen
 * by quirc's own rule, so every pass binarises exactly as quirc_end does. */
#define QR_QUIRC_PARTIAL_HISTOGRAMS 8

/* quirc's threshold rule, step for step in its float type: the level that
 * best separates the histogram's two classes (largest between-class
 * variance), the last of equals. */
static uint8_t qr_quirc_otsu_threshold(const unsigned int histogram[UINT8_MAX + 1],
                                       unsigned int pixels) {
    quirc_float_t sum = 0;
    for (unsigned int i = 0; i <= UINT8_MAX; ++i) sum += i * histogram[i];
    quirc_float_t sum_b = 0;
    unsigned int q1 = 0;
    quirc_float_t max = 0;
    uint8_t threshold = 0;
    for (unsigned int i = 0; i <= UINT8_MAX; ++i) {
        q1 += histogram[i];
        if (q1 == 0) continue;
        const unsigned int q2 = pixels - q1;
        if (q2 == 0) break;
        sum_b += i * histogram[i];
        const quirc_float_t m1 = sum_b / q1;
        const quirc_float_t m2 = (sum - sum_b) / q2;
        const quirc_float_t m1m2 = m1 - m2;
        const quirc_float_t variance = m1m2 * m1m2 * q1 * q2;
        if (variance >= max) {
            threshold = (uint8_t)i;
            max = variance;
        }
    }
    return threshold;
}

static uint8_t qr_quirc_otsu(const struct quirc *q) {
    const unsigned int pixels = (unsigned int)q->w * (unsigned int)q->h;
    unsigned int partial[QR_QUIRC_PARTIAL_HISTOGRAMS][UINT8_MAX + 1];
    memset(partial, 0, sizeof(partial));
    const uint8_t *p = q->image;
    unsigned int n = 0;
    for (; n + QR_QUIRC_PARTIAL_HISTOGRAMS <= pixels; n += QR_QUIRC_PARTIAL_HISTOGRAMS) {
        for (int k = 0; k < QR_QUIRC_PARTIAL_HISTOGRAMS; k++) partial[k][p[n + k]]++;
    }
    for (; n < pixels; n++) partial[0][p[n]]++;

    unsigned int histogram[UINT8_MAX + 1];
    for (int i = 0; i <= UINT8_MAX; i++) {
        histogram[i] = 0;
        for (int k = 0; k < QR_QUIRC_PARTIAL_HISTOGRAMS; k++) histogram[i] += partial[k][i];
    }
    return qr_quirc_otsu_threshold(histogram, pixels);
}

void qr_quirc_end(struct quirc *q) {
    pixels_setup(q, qr_quirc_otsu(q));
    for (int i = 0; i < q->h; i++) finder_scan(q, i);
    for (int i = 0; i < q->num_capstones; i++) test_grouping(q, i);
}
