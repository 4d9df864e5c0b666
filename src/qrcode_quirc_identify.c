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
 * The finder scan, the flood fill and the grid refinement are replaced by
 * code that finds the same runs, regions and grids faster
 * (qr_quirc_finder_scan, qr_quirc_flood_fill_seed and qr_quirc_jiggle
 * below), and the refinement is left to the decoder, which needs it only
 * for a grid that does not read as it stands.
 *
 * quirc's settings (QUIRC_MAX_REGIONS, QUIRC_FLOAT_TYPE) come from the build
 * and are the same for all of quirc and for the decoder, which reads the
 * detector's records. */
#include <limits.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

/* - Grid refinement: quirc refines each grid's perspective by trying 80
 *   small changes, one coefficient at a time, and keeping each that raises
 *   a score counted over nine points in every timing, finder and alignment
 *   module: on an image that holds a code, most of the detector's time.
 *   The detector records its grids unrefined instead, and the decoder
 *   refines only a grid that does not decode as it stands (the grid of a
 *   sharp photo mostly does). The refinement reads only the grid and which
 *   pixels are dark, which the detector's later flood fills keep, so a
 *   grid refined after detection is the grid quirc records.
 *   qr_quirc_jiggle below keeps quirc's changes and scores with less work
 *   (see there). quirc's own refinement stays as the reference the tests
 *   compare with, under another name: the macro tells its definition
 *   (first parameter `struct quirc *q`) from its call (`q`). */
#define jiggle_perspective(first, index) QR_QUIRC_JIGGLE_##first, index)
#define QR_QUIRC_JIGGLE_q qr_quirc_refine_later(q
#define QR_QUIRC_JIGGLE_struct qr_quirc_jiggle_of_quirc(struct

static void qr_quirc_refine_later(struct quirc *q, int index) {
    (void)q;
    (void)index;
}

/* - Flood fill: quirc labels each region its finder scan meets with a
 *   scanline fill, a large part of a pass on a thresholded photo.
 *   qr_quirc_flood_fill_seed below fills the same lines in the same order
 *   with wider scans (see there); quirc's stays as the tests' reference,
 *   told apart from the calls in the same way. */
#define flood_fill_seed(first, ...) QR_QUIRC_FILL_##first, __VA_ARGS__)
#define QR_QUIRC_FILL_q qr_quirc_flood_fill_seed(q
#define QR_QUIRC_FILL_struct qr_quirc_flood_fill_seed_of_quirc(struct
void qr_quirc_flood_fill_seed(struct quirc *q, int x0, int y0, int from, int to,
                              void (*func)(void *, int, int, int), void *user_data);

#include "identify.c"

#undef jiggle_perspective
#undef flood_fill_seed

/* ---- Flood fill ----
 *
 * quirc's scanline fill: fill a line, then look for an unfilled pixel of
 * the region in the line above, then below, within the line's extent,
 * descending into the first one found; a stack of lines, and the fill
 * gives up when that stack is full. The same lines are filled in the same
 * order here (so a fill gives up where quirc's does, and a span callback
 * sees the same spans), with the scans along a row made eight pixels at a
 * time: the dark areas of a photo under one threshold run for dozens of
 * pixels (on fine texture the runs are short and the gain small). */
#if defined(__SSE2__) && QUIRC_MAX_REGIONS > 254
#define QR_QUIRC_WIDE_SCAN 1
#define QR_QUIRC_LANES 8

/* Which of the eight pixels from p are `value`, two mask bits a pixel. */
static unsigned int qr_quirc_equal_lanes(const quirc_pixel_t *p, __m128i value) {
    const __m128i v = _mm_loadu_si128((const __m128i *)p);
    return (unsigned int)_mm_movemask_epi8(_mm_cmpeq_epi16(v, value));
}
#endif

/* The first x from `x` to `end` whose pixel is `value`, else end + 1. */
static int qr_quirc_find(const quirc_pixel_t *row, int x, int end, int value) {
#ifdef QR_QUIRC_WIDE_SCAN
    const __m128i v = _mm_set1_epi16((short)value);
    for (; x + QR_QUIRC_LANES - 1 <= end; x += QR_QUIRC_LANES) {
        const unsigned int equal = qr_quirc_equal_lanes(row + x, v);
        if (equal) return x + __builtin_ctz(equal) / 2;
    }
#endif
    while (x <= end && row[x] != value) x++;
    return x;
}

/* The last x of the run of `value` that starts at x (the row is w long). */
static int qr_quirc_run_right(const quirc_pixel_t *row, int x, int w, int value) {
    x++;
#ifdef QR_QUIRC_WIDE_SCAN
    const __m128i v = _mm_set1_epi16((short)value);
    for (; x + QR_QUIRC_LANES <= w; x += QR_QUIRC_LANES) {
        const unsigned int other = ~qr_quirc_equal_lanes(row + x, v) & 0xFFFFu;
        if (other) return x + __builtin_ctz(other) / 2 - 1;
    }
#endif
    while (x < w && row[x] == value) x++;
    return x - 1;
}

/* The first x of the run of `value` that ends at x. */
static int qr_quirc_run_left(const quirc_pixel_t *row, int x, int value) {
#ifdef QR_QUIRC_WIDE_SCAN
    const __m128i v = _mm_set1_epi16((short)value);
    for (; x >= QR_QUIRC_LANES; x -= QR_QUIRC_LANES) {
        const unsigned int other = ~qr_quirc_equal_lanes(row + x - QR_QUIRC_LANES, v) & 0xFFFFu;
        if (other) return x - QR_QUIRC_LANES + (31 - __builtin_clz(other)) / 2 + 1;
    }
#endif
    while (x > 0 && row[x - 1] == value) x--;
    return x;
}

/* row[left..right] = value. */
static void qr_quirc_paint(quirc_pixel_t *row, int left, int right, int value) {
    int x = left;
#ifdef QR_QUIRC_WIDE_SCAN
    const __m128i v = _mm_set1_epi16((short)value);
    for (; x + QR_QUIRC_LANES - 1 <= right; x += QR_QUIRC_LANES) {
        _mm_storeu_si128((__m128i *)(row + x), v);
    }
#endif
    for (; x <= right; x++) row[x] = (quirc_pixel_t)value;
}

/* flood_fill_line: fills the run of `from` through (x, y) with `to` and
 * records it as line `vars`. */
static void qr_quirc_fill_line(struct quirc *q, int x, int y, int from, int to,
                               void (*func)(void *, int, int, int), void *user_data,
                               struct quirc_flood_fill_vars *vars) {
    quirc_pixel_t *row = q->pixels + (size_t)y * (size_t)q->w;
    const int left = qr_quirc_run_left(row, x, from);
    const int right = qr_quirc_run_right(row, x, q->w, from);
    qr_quirc_paint(row, left, right, to);
    vars->y = y;
    vars->right = right;
    vars->left_up = left;
    vars->left_down = left;
    if (func) func(user_data, y, left, right);
}

/* flood_fill_call_next: the next line to fill in the row above (direction
 * -1) or below (+1) line `vars`, filled and pushed; NULL when none is
 * left. quirc resumes the row's scan where it found that line, which is
 * filled by then (a fill never paints `from`): the scan resumes past the
 * line's end instead and finds the same next line without reading the
 * filled one again. */
static struct quirc_flood_fill_vars *qr_quirc_fill_next(struct quirc *q, int from, int to,
                                                        void (*func)(void *, int, int, int),
                                                        void *user_data,
                                                        struct quirc_flood_fill_vars *vars,
                                                        int direction) {
    int *const scanned = direction < 0 ? &vars->left_up : &vars->left_down;
    const int y = vars->y + direction;
    const quirc_pixel_t *row = q->pixels + (size_t)y * (size_t)q->w;
    *scanned = qr_quirc_find(row, *scanned, vars->right, from);
    if (*scanned > vars->right) return NULL;
    qr_quirc_fill_line(q, *scanned, y, from, to, func, user_data, vars + 1);
    *scanned = vars[1].right + 1;
    return vars + 1;
}

void qr_quirc_flood_fill_seed(struct quirc *q, int x0, int y0, int from, int to,
                              void (*func)(void *, int, int, int), void *user_data) {
    struct quirc_flood_fill_vars *const stack = q->flood_fill_vars;
    const struct quirc_flood_fill_vars *const last = &stack[q->num_flood_fill_vars - 1];
    struct quirc_flood_fill_vars *vars = stack;
    qr_quirc_fill_line(q, x0, y0, from, to, func, user_data, vars);
    while (vars != last) {
        struct quirc_flood_fill_vars *next = NULL;
        if (vars->y > 0) next = qr_quirc_fill_next(q, from, to, func, user_data, vars, -1);
        if (!next && vars->y < q->h - 1) {
            next = qr_quirc_fill_next(q, from, to, func, user_data, vars, 1);
        }
        if (next) {
            vars = next;
        } else if (vars > stack) {
            vars--;
        } else {
            break;
        }
    }
}

void qr_quirc_reference_flood_fill_seed(struct quirc *q, int x0, int y0, int from, int to,
                                        void (*func)(void *, int, int, int), void *user_data) {
    qr_quirc_flood_fill_seed_of_quirc(q, x0, y0, from, to, func, user_data);
}

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
uint8_t qr_quirc_threshold(const unsigned int histogram[UINT8_MAX + 1], unsigned int pixels) {
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

void qr_quirc_histogram(const struct quirc *q, unsigned int histogram[UINT8_MAX + 1]) {
    const unsigned int pixels = (unsigned int)q->w * (unsigned int)q->h;
    unsigned int partial[QR_QUIRC_PARTIAL_HISTOGRAMS][UINT8_MAX + 1];
    memset(partial, 0, sizeof(partial));
    const uint8_t *p = q->image;
    unsigned int n = 0;
    for (; n + QR_QUIRC_PARTIAL_HISTOGRAMS <= pixels; n += QR_QUIRC_PARTIAL_HISTOGRAMS) {
        for (int k = 0; k < QR_QUIRC_PARTIAL_HISTOGRAMS; k++) partial[k][p[n + k]]++;
    }
    for (; n < pixels; n++) partial[0][p[n]]++;

    for (int i = 0; i <= UINT8_MAX; i++) {
        histogram[i] = 0;
        for (int k = 0; k < QR_QUIRC_PARTIAL_HISTOGRAMS; k++) histogram[i] += partial[k][i];
    }
}

/* The finder scan, row by row as quirc's finder_scan and with the same
 * calls, but stepping from one change of colour to the next instead of
 * testing every pixel: the prepared images are thresholded photos, whose
 * rows change colour every few pixels at places no branch predictor can
 * guess. A row's colours are packed 64 to a word and the changes found with
 * bit operations. Flood fills relabel dark pixels only and never turn one
 * light, so the colours packed before a fill stay valid after it. */
#define QR_QUIRC_SCAN_BITS 64

/* Bit k: pixel k of the n (at most 64) pixels is dark (not white). */
static uint64_t qr_quirc_dark_bits(const quirc_pixel_t *p, unsigned int n) {
    uint64_t bits = 0;
    unsigned int k = 0;
#if defined(__SSE2__)
    if (sizeof(quirc_pixel_t) == 2) {
        const __m128i zero = _mm_setzero_si128();
        for (; k + 16 <= n; k += 16) {
            const __m128i lo = _mm_loadu_si128((const __m128i *)(p + k));
            const __m128i hi = _mm_loadu_si128((const __m128i *)(p + k + 8));
            const __m128i white =
                _mm_packs_epi16(_mm_cmpeq_epi16(lo, zero), _mm_cmpeq_epi16(hi, zero));
            bits |= (uint64_t)(~(unsigned int)_mm_movemask_epi8(white) & 0xFFFFu) << k;
        }
    }
#endif
    for (; k < n; k++) bits |= (uint64_t)(p[k] != QUIRC_PIXEL_WHITE) << k;
    return bits;
}

/* quirc's test of the last five runs (light, dark, light, dark, light ends
 * at a change to light) against the 1:1:3:1:1 finder ratio, 75 % slack. */
static int qr_quirc_finder_ratio(const unsigned int pb[5]) {
    const unsigned int scale = 16;
    static const unsigned int check[5] = {1, 1, 3, 1, 1};
    const unsigned int avg = (pb[0] + pb[1] + pb[3] + pb[4]) * scale / 4;
    const unsigned int err = avg * 3 / 4;
    for (int i = 0; i < 5; i++) {
        if (pb[i] * scale < check[i] * avg - err || pb[i] * scale > check[i] * avg + err) return 0;
    }
    return 1;
}

static void qr_quirc_finder_scan(struct quirc *q, unsigned int y) {
    const unsigned int w = (unsigned int)q->w;
    const quirc_pixel_t *row = q->pixels + (size_t)y * w;
    unsigned int pb[5] = {0, 0, 0, 0, 0};
    unsigned int run_start = 0;
    unsigned int run_count = 0;
    /* The colour before each word; the row's first pixel starts a run. */
    uint64_t before = row[0] != QUIRC_PIXEL_WHITE;
    for (unsigned int base = 0; base < w; base += QR_QUIRC_SCAN_BITS) {
        const unsigned int n = w - base < QR_QUIRC_SCAN_BITS ? w - base : QR_QUIRC_SCAN_BITS;
        const uint64_t dark = qr_quirc_dark_bits(row + base, n);
        uint64_t changes = dark ^ ((dark << 1) | before);
        if (n < QR_QUIRC_SCAN_BITS) changes &= ((uint64_t)1 << n) - 1;
        before = (dark >> (n - 1)) & 1;
        while (changes) {
            const unsigned int k = (unsigned int)__builtin_ctzll(changes);
            const unsigned int x = base + k;
            changes &= changes - 1;
            memmove(pb, pb + 1, sizeof(pb[0]) * 4);
            pb[4] = x - run_start;
            run_start = x;
            run_count++;
            if (!((dark >> k) & 1) && run_count >= 5 && qr_quirc_finder_ratio(pb)) {
                test_capstone(q, x, y, pb);
            }
        }
    }
}

void qr_quirc_end_at(struct quirc *q, uint8_t threshold) {
    pixels_setup(q, threshold);
    for (int i = 0; i < q->h; i++) qr_quirc_finder_scan(q, (unsigned int)i);
    for (int i = 0; i < q->num_capstones; i++) test_grouping(q, i);
}

void qr_quirc_end(struct quirc *q) {
    unsigned int histogram[UINT8_MAX + 1];
    qr_quirc_histogram(q, histogram);
    qr_quirc_end_at(q, qr_quirc_threshold(histogram, (unsigned int)q->w * (unsigned int)q->h));
}

/* ---- Grid refinement ----
 *
 * quirc's refinement maps every point through the whole perspective for
 * each of its 81 scores. Here the points are listed once, and each point's
 * denominator and rounded coordinates are kept for the perspective as it
 * stands: a change to one of the first three coefficients moves only x,
 * one of the next three only y, so only that coordinate is mapped again,
 * with the operations perspective_map uses in its order (the same bits).
 * A trial also stops as soon as the points left could not lift its score
 * above the best (each point counts -1, 0 or +1): quirc keeps a change
 * only when its score is higher. */

/* A point where the score looks: module coordinates, and +1 or -1 for
 * whether it should be dark. */
struct qr_quirc_point {
    quirc_float_t u, v;
    int sign;
};

/* A point under a perspective. */
struct qr_quirc_mapped {
    quirc_float_t den;
    quirc_float_t inverse; /* 1 / den */
    int x, y;
};

/* The points of fitness_cell, fitness_ring and their callers. */
static int qr_quirc_cell_points(struct qr_quirc_point *p, int n, int x, int y, int sign) {
    static const quirc_float_t offsets[3] = {0.3, 0.5, 0.7};
    for (int v = 0; v < 3; v++) {
        for (int u = 0; u < 3; u++) {
            p[n].u = x + offsets[u];
            p[n].v = y + offsets[v];
            p[n].sign = sign;
            n++;
        }
    }
    return n;
}

static int qr_quirc_ring_points(struct qr_quirc_point *p, int n, int cx, int cy, int r, int sign) {
    for (int i = 0; i < r * 2; i++) {
        n = qr_quirc_cell_points(p, n, cx - r + i, cy - r, sign);
        n = qr_quirc_cell_points(p, n, cx - r, cy + r - i, sign);
        n = qr_quirc_cell_points(p, n, cx + r, cy - r + i, sign);
        n = qr_quirc_cell_points(p, n, cx + r - i, cy + r, sign);
    }
    return n;
}

static int qr_quirc_alignment_points(struct qr_quirc_point *p, int n, int cx, int cy) {
    n = qr_quirc_cell_points(p, n, cx, cy, 1);
    n = qr_quirc_ring_points(p, n, cx, cy, 1, -1);
    return qr_quirc_ring_points(p, n, cx, cy, 2, 1);
}

static int qr_quirc_finder_points(struct qr_quirc_point *p, int n, int x, int y) {
    n = qr_quirc_cell_points(p, n, x + 3, y + 3, 1);
    n = qr_quirc_ring_points(p, n, x + 3, y + 3, 1, 1);
    n = qr_quirc_ring_points(p, n, x + 3, y + 3, 2, -1);
    return qr_quirc_ring_points(p, n, x + 3, y + 3, 3, 1);
}

/* Room for the points of any grid: both timing patterns, three finder
 * patterns (49 modules each) and the most alignment patterns (25 each). */
static int qr_quirc_points_room(int grid_size) {
    const int timing = grid_size > 14 ? 2 * (grid_size - 14) : 0;
    const int alignment =
        2 * (QUIRC_MAX_ALIGNMENT - 2) + (QUIRC_MAX_ALIGNMENT - 1) * (QUIRC_MAX_ALIGNMENT - 1);
    return 9 * (timing + 3 * 49 + 25 * alignment);
}

/* fitness_all's points, in its order. */
static int qr_quirc_refinement_points(const struct quirc_grid *qr, struct qr_quirc_point *p) {
    int n = 0;
    for (int i = 0; i < qr->grid_size - 14; i++) {
        const int expect = (i & 1) ? 1 : -1;
        n = qr_quirc_cell_points(p, n, i + 7, 6, expect);
        n = qr_quirc_cell_points(p, n, 6, i + 7, expect);
    }
    n = qr_quirc_finder_points(p, n, 0, 0);
    n = qr_quirc_finder_points(p, n, qr->grid_size - 7, 0);
    n = qr_quirc_finder_points(p, n, 0, qr->grid_size - 7);
    const int version = (qr->grid_size - 17) / 4;
    if (version < 0 || version > QUIRC_MAX_VERSION) return n;
    const struct quirc_version_info *info = &quirc_version_db[version];
    int ap_count = 0;
    while (ap_count < QUIRC_MAX_ALIGNMENT && info->apat[ap_count]) ap_count++;
    for (int i = 1; i + 1 < ap_count; i++) {
        n = qr_quirc_alignment_points(p, n, 6, info->apat[i]);
        n = qr_quirc_alignment_points(p, n, info->apat[i], 6);
    }
    for (int i = 1; i < ap_count; i++) {
        for (int j = 1; j < ap_count; j++) {
            n = qr_quirc_alignment_points(p, n, info->apat[i], info->apat[j]);
        }
    }
    return n;
}

/* perspective_map, split: the denominator, then one coordinate (k = 0 for
 * x, 3 for y) rounded as perspective_map rounds it. */
static quirc_float_t qr_quirc_den(const quirc_float_t *c, const struct qr_quirc_point *p) {
    return c[6] * p->u + c[7] * p->v + 1.0;
}

/* A trial maps thousands of points, and a division costs several
 * multiplications: a coordinate is rounded from its numerator times the
 * denominator's inverse. That product and perspective_map's quotient both
 * lie within a few units in the last place of the exact ratio (some 1e-11
 * at 16,000), so they round alike unless the product comes within
 * QR_QUIRC_TIE_MARGIN of a rounding boundary or reaches towards the clamp;
 * then the quotient is computed. */
#define QR_QUIRC_TIE_MARGIN 1e-9
#define QR_QUIRC_PRODUCT_LIMIT 16000.0

static int qr_quirc_coordinate(const quirc_float_t *c, int k, const struct qr_quirc_point *p,
                               const struct qr_quirc_mapped *m) {
    const quirc_float_t numerator = c[k] * p->u + c[k + 1] * p->v + c[k + 2];
    const double product = numerator * m->inverse;
    /* The nearest whole number, ties to even as rint, for |product| below 2^51. */
    const double shift = 6755399441055744.0; /* 2^52 + 2^51 */
    const double nearest = (product + shift) - shift;
    if (fabs(product) < QR_QUIRC_PRODUCT_LIMIT &&
        fabs(product - nearest) < 0.5 - QR_QUIRC_TIE_MARGIN) {
        return (int)nearest;
    }
    return (int)rint(numerator / m->den);
}

/* Point p mapped through c from scratch. */
static struct qr_quirc_mapped qr_quirc_map(const quirc_float_t *c, const struct qr_quirc_point *p) {
    struct qr_quirc_mapped m;
    m.den = qr_quirc_den(c, p);
    m.inverse = 1.0 / m.den;
    m.x = qr_quirc_coordinate(c, 0, p, &m);
    m.y = qr_quirc_coordinate(c, 3, p, &m);
    return m;
}

/* What fitness_cell counts for the point: nothing outside the image. The
 * pixel's side is folded in with arithmetic, not a branch: over a grid that
 * does not fit, dark and light points come in no pattern a branch predictor
 * could follow. */
static int qr_quirc_point_score(const struct quirc *q, const struct qr_quirc_mapped *m, int sign) {
    if (m->y < 0 || m->y >= q->h || m->x < 0 || m->x >= q->w) return 0;
    const int dark = q->pixels[m->y * q->w + m->x] != 0;
    return (2 * dark - 1) * sign;
}

/* Maps the points through the perspective with coefficient `changed`
 * (0-7, or -1 for all) new; `now` holds them under the perspective before
 * the change. Returns 1 with the score in *score and the points in `out`
 * when the score beats `best`, else 0 (possibly before mapping them all). */
static int qr_quirc_trial(const struct quirc *q, const quirc_float_t *c, int changed,
                          const struct qr_quirc_point *p, int n, const struct qr_quirc_mapped *now,
                          struct qr_quirc_mapped *out, int best, int *score) {
    int sum = 0;
    for (int i = 0; i < n; i++) {
        struct qr_quirc_mapped m;
        if (changed >= 0 && changed < 3) {
            m = now[i];
            m.x = qr_quirc_coordinate(c, 0, &p[i], &m);
        } else if (changed >= 3 && changed < 6) {
            m = now[i];
            m.y = qr_quirc_coordinate(c, 3, &p[i], &m);
        } else {
            m = qr_quirc_map(c, &p[i]);
        }
        out[i] = m;
        sum += qr_quirc_point_score(q, &m, p[i].sign);
        if (sum + (n - 1 - i) <= best) return 0;
    }
    *score = sum;
    return 1;
}

/* Moves the points that do not yet score +1 to the front. A score is a
 * sum, so the order changes no trial's outcome; but a trial that makes
 * the fit worse mostly keeps the points that miss and loses a few more,
 * and with those misses counted first it stops at the first point it
 * loses. */
static void qr_quirc_misfits_first(const struct quirc *q, struct qr_quirc_point *p,
                                   struct qr_quirc_mapped *m, int n) {
    int front = 0;
    for (int i = 0; i < n; i++) {
        if (qr_quirc_point_score(q, &m[i], p[i].sign) > 0) continue;
        const struct qr_quirc_point point = p[i];
        const struct qr_quirc_mapped mapped = m[i];
        p[i] = p[front];
        m[i] = m[front];
        p[front] = point;
        m[front] = mapped;
        front++;
    }
}

/* jiggle_perspective, with the same trials in the same order. Without
 * memory for the points, quirc's own. */
void qr_quirc_jiggle(struct quirc *q, int index) {
    struct quirc_grid *qr = &q->grids[index];
    const size_t room = (size_t)qr_quirc_points_room(qr->grid_size);
    struct qr_quirc_point *points = malloc(room * sizeof *points);
    struct qr_quirc_mapped *now = malloc(room * sizeof *now);
    struct qr_quirc_mapped *trial = malloc(room * sizeof *trial);
    if (!points || !now || !trial) {
        free(points);
        free(now);
        free(trial);
        qr_quirc_jiggle_of_quirc(q, index);
        return;
    }
    const int n = qr_quirc_refinement_points(qr, points);
    int best = 0;
    qr_quirc_trial(q, qr->c, -1, points, n, NULL, now, -n - 1, &best);
    qr_quirc_misfits_first(q, points, now, n);

    quirc_float_t adjustments[8];
    for (int i = 0; i < 8; i++) adjustments[i] = qr->c[i] * 0.02;
    for (int pass = 0; pass < 5; pass++) {
        for (int i = 0; i < 16; i++) {
            const int j = i >> 1;
            const quirc_float_t old = qr->c[j];
            const quirc_float_t step = adjustments[j];
            qr->c[j] = (i & 1) ? old + step : old - step;
            int score = 0;
            if (qr_quirc_trial(q, qr->c, j, points, n, now, trial, best, &score)) {
                struct qr_quirc_mapped *kept = now;
                now = trial;
                trial = kept;
                best = score;
            } else {
                qr->c[j] = old;
            }
        }
        for (int i = 0; i < 8; i++) adjustments[i] *= 0.5;
    }
    free(points);
    free(now);
    free(trial);
}

void qr_quirc_reference_jiggle(struct quirc *q, int index) { qr_quirc_jiggle_of_quirc(q, index); }
