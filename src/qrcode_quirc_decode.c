/* quirc's decoder (lib/decode.c of quirc 1.2), compiled unchanged apart
 * from its test of whether a module belongs to a function pattern (finder,
 * timing, format, version or alignment), which reading a grid's data asks
 * of every module: quirc walks the version's alignment-pattern positions
 * for each module, a large part of reading the many grids the fallback
 * and the perspective reader sample. qr_quirc_reserved_cell gives the same
 * answers from a table of the positions near each alignment row, made once
 * per version and thread. quirc's own test stays as the reference the
 * tests compare with, under another name: the macro tells its definition
 * (first parameter `int version`) from its calls (`data->version`). */
#include <string.h>

#include "quirc_internal.h"

#define reserved_cell(first, ...) QR_QUIRC_RESERVED_##first, __VA_ARGS__)
#define QR_QUIRC_RESERVED_int qr_quirc_reserved_cell_of_quirc(int
#define QR_QUIRC_RESERVED_data qr_quirc_reserved_cell(data
int qr_quirc_reserved_cell(int version, int i, int j);

#include "decode.c"

#undef reserved_cell

/* For one version: per coordinate, the index of the alignment-pattern
 * position within two modules of it (the last such, as quirc's walk finds
 * it), -1 for none; and how many positions there are. */
struct qr_quirc_alignment_rows {
    int version; /* 0 until first made */
    int count;
    signed char near[QUIRC_MAX_GRID_SIZE];
};

static _Thread_local struct qr_quirc_alignment_rows qr_quirc_rows;

static void qr_quirc_make_rows(struct qr_quirc_alignment_rows *rows, int version) {
    const struct quirc_version_info *ver = &quirc_version_db[version];
    const int size = version * 4 + 17;
    memset(rows->near, -1, sizeof rows->near);
    rows->count = 0;
    for (int a = 0; a < QUIRC_MAX_ALIGNMENT && ver->apat[a]; a++) {
        for (int k = ver->apat[a] - 2; k <= ver->apat[a] + 2; k++) {
            if (k >= 0 && k < size) rows->near[k] = (signed char)a;
        }
        rows->count = a + 1;
    }
    rows->version = version;
}

int qr_quirc_reserved_cell(int version, int i, int j) {
    const int size = version * 4 + 17;
    if (i < 9 && j < 9) return 1;         /* finder and format, top left */
    if (i + 8 >= size && j < 9) return 1; /* bottom left */
    if (i < 9 && j + 8 >= size) return 1; /* top right */
    if (i == 6 || j == 6) return 1;       /* timing patterns */
    if (version >= 7 && ((i < 6 && j + 11 >= size) || (i + 11 >= size && j < 6))) {
        return 1; /* version information */
    }
    struct qr_quirc_alignment_rows *rows = &qr_quirc_rows;
    if (rows->version != version) qr_quirc_make_rows(rows, version);
    const int ai = rows->near[i];
    const int aj = rows->near[j];
    if (ai < 0 || aj < 0) return 0;
    /* A pattern sits at every pair of positions but the three that would
     * overlap a finder: first with first, first with last, last with
     * first. */
    const int last = rows->count - 1;
    return (ai > 0 && ai < last) || (aj > 0 && aj < last) || (ai == last && aj == last);
}

int qr_quirc_reference_reserved_cell(int version, int i, int j) {
    return qr_quirc_reserved_cell_of_quirc(version, i, j);
}
