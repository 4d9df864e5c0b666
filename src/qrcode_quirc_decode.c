/* quirc's decoder (lib/decode.c of quirc 1.2), compiled unchanged apart
 * from how it reads a grid's data modules. quirc walks the grid in its
 * zig-zag order and, for every module, walks the version's alignment
 * positions to see whether the module belongs to a function pattern
 * (finder, timing, format, version or alignment), then computes its mask
 * bit: a large part of reading the many grids that the fallback and the
 * perspective reader sample, most of which do not decode.
 * qr_quirc_read_data reads the same bits in the same order from a list of
 * the version's data modules, each with its bit in every mask, made once
 * per version and process. quirc's own reading stays as the reference the
 * tests compare with, under another name: the macro tells its definition
 * (first parameter `const struct quirc_code *code`) from its call (`code`). */
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>

#include "quirc_internal.h"

struct datastream;
static void qr_quirc_read_data(const struct quirc_code *code, struct quirc_data *data,
                               struct datastream *ds);

#define read_data(first, ...) QR_QUIRC_READ_DATA_##first, __VA_ARGS__)
#define QR_QUIRC_READ_DATA_const qr_quirc_read_data_of_quirc(const
#define QR_QUIRC_READ_DATA_code qr_quirc_read_data(code

#include "decode.c"

#undef read_data

/* One version's data modules in reading order: each module's index
 * (row * size + column) in the grid's bitmap, and the bits of the eight
 * masks there (bit m set when mask m flips the module). */
struct qr_quirc_data_modules {
    int count;
    uint16_t *index;
    uint8_t *masks;
};

static _Atomic(struct qr_quirc_data_modules *) qr_quirc_modules[QUIRC_MAX_VERSION + 1];

static struct qr_quirc_data_modules *qr_quirc_list_modules(int version) {
    const int size = version * 4 + 17;
    /* One block: the header, then the indices, then the mask bits. */
    const size_t most = (size_t)size * (size_t)size;
    struct qr_quirc_data_modules *list =
        malloc(sizeof *list + most * (sizeof *list->index + sizeof *list->masks));
    if (!list) return NULL;
    list->index = (uint16_t *)(list + 1);
    list->masks = (uint8_t *)(list->index + most);
    list->count = 0;
    /* read_data's walk: column pairs from the right, up and down in turn,
     * the vertical timing column skipped. */
    int y = size - 1;
    int x = size - 1;
    int dir = -1;
    while (x > 0) {
        if (x == 6) x--;
        for (int column = x; column >= x - 1; column--) {
            if (reserved_cell(version, y, column)) continue;
            uint8_t masks = 0;
            for (int m = 0; m < 8; m++) masks |= (uint8_t)(mask_bit(m, y, column) << m);
            list->index[list->count] = (uint16_t)(y * size + column);
            list->masks[list->count] = masks;
            list->count++;
        }
        y += dir;
        if (y < 0 || y >= size) {
            dir = -dir;
            x -= 2;
            y += dir;
        }
    }
    return list;
}

/* The version's list, made by the first thread that asks. Two threads may
 * both make it; one list is kept and the other freed. Lists live as long as
 * the process. */
static const struct qr_quirc_data_modules *qr_quirc_modules_of(int version) {
    struct qr_quirc_data_modules *list =
        atomic_load_explicit(&qr_quirc_modules[version], memory_order_acquire);
    if (list) return list;
    struct qr_quirc_data_modules *made = qr_quirc_list_modules(version);
    if (!made) return NULL;
    if (atomic_compare_exchange_strong_explicit(&qr_quirc_modules[version], &list, made,
                                                memory_order_acq_rel, memory_order_acquire)) {
        return made;
    }
    free(made);
    return list;
}

static void qr_quirc_read_data(const struct quirc_code *code, struct quirc_data *data,
                               struct datastream *ds) {
    const struct qr_quirc_data_modules *list = qr_quirc_modules_of(data->version);
    if (!list) {
        qr_quirc_read_data_of_quirc(code, data, ds);
        return;
    }
    const int mask = data->mask;
    int bits = ds->data_bits;
    for (int k = 0; k < list->count; k++, bits++) {
        const int i = list->index[k];
        const int v = ((code->cell_bitmap[i >> 3] >> (i & 7)) ^ (list->masks[k] >> mask)) & 1;
        if (v) ds->raw[bits >> 3] |= (uint8_t)(0x80 >> (bits & 7));
    }
    ds->data_bits = bits;
}

/* A grid's data bits read as the decoder reads them, or as quirc does;
 * for the tests. `raw` must hold QUIRC_MAX_PAYLOAD bytes and start zeroed.
 * Returns the number of bits. */
static int qr_quirc_data_bits_with(void (*read)(const struct quirc_code *, struct quirc_data *,
                                                struct datastream *),
                                   const struct quirc_code *code, int mask, uint8_t *raw) {
    struct quirc_data data;
    struct datastream ds;
    memset(&data, 0, sizeof data);
    memset(&ds, 0, sizeof ds);
    data.version = (code->size - 17) / 4;
    data.mask = mask;
    ds.raw = raw;
    read(code, &data, &ds);
    return ds.data_bits;
}

int qr_quirc_data_bits(const struct quirc_code *code, int mask, uint8_t *raw) {
    return qr_quirc_data_bits_with(qr_quirc_read_data, code, mask, raw);
}

int qr_quirc_reference_data_bits(const struct quirc_code *code, int mask, uint8_t *raw) {
    return qr_quirc_data_bits_with(qr_quirc_read_data_of_quirc, code, mask, raw);
}
