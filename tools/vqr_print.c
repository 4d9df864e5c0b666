/* Print-ready output for vqr; see vqr_print.h. */
#include "vqr_print.h"

#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

static const struct {
    const char *name;
    double per_inch;
} UNITS[] = {{"px", 0.0}, {"mm", 25.4}, {"cm", 2.54}, {"in", 1.0}};

int print_length_parse(const char *s, print_length *out) {
    char *end = NULL;
    double v = strtod(s, &end);
    if (end == s || !isfinite(v) || v <= 0.0) return -1;
    for (size_t u = 0; u < sizeof UNITS / sizeof UNITS[0]; u++) {
        if (strcmp(end, UNITS[u].name) == 0) {
            out->value = v;
            out->unit = (print_unit)u;
            return 0;
        }
    }
    return -1;
}

const char *print_unit_name(print_unit unit) { return UNITS[unit].name; }

double print_length_px(const print_length *len, int dpi) {
    if (len->unit == UNIT_PX) return len->value;
    return len->value / UNITS[len->unit].per_inch * dpi;
}

double print_px_in(double px, int dpi, print_unit unit) {
    if (unit == UNIT_PX) return px;
    return px / dpi * UNITS[unit].per_inch;
}

int print_module_px(const print_length *len, int dpi, int across) {
    /* The tolerance keeps 1.2in at 300 dpi (359.99999... in binary) at 360. */
    double m = floor(print_length_px(len, dpi) / across + 1e-9);
    return m > 1e6 ? 1000000 : (int)m;
}

/* ---- PNG ------------------------------------------------------------------ */

static const unsigned char PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
enum { IHDR_END = 8 + 4 + 4 + 13 + 4, PHYS_LEN = 4 + 4 + 9 + 4 };

static uint32_t read_be32(const unsigned char *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

static void write_be32(unsigned char *p, uint32_t v) {
    p[0] = (unsigned char)(v >> 24);
    p[1] = (unsigned char)(v >> 16);
    p[2] = (unsigned char)(v >> 8);
    p[3] = (unsigned char)v;
}

static int is_png(const unsigned char *png, size_t len) {
    return len >= IHDR_END && memcmp(png, PNG_SIGNATURE, 8) == 0 && read_be32(png + 8) == 13 &&
           memcmp(png + 12, "IHDR", 4) == 0;
}

long png_width(const unsigned char *png, size_t len) {
    return is_png(png, len) ? (long)read_be32(png + 16) : -1;
}

static uint32_t crc32_of(const unsigned char *p, size_t n) {
    uint32_t crc = 0xffffffffu;
    for (size_t i = 0; i < n; i++) {
        crc ^= p[i];
        for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xffffffffu;
}

unsigned char *png_with_dpi(const unsigned char *png, size_t len, int dpi, size_t *out_len) {
    if (!is_png(png, len) || dpi <= 0) return NULL;
    unsigned char *out = malloc(len + PHYS_LEN);
    if (!out) return NULL;
    memcpy(out, png, IHDR_END);
    unsigned char *chunk = out + IHDR_END;
    const uint32_t per_metre = (uint32_t)lround(dpi / 0.0254);
    write_be32(chunk, 9);
    memcpy(chunk + 4, "pHYs", 4);
    write_be32(chunk + 8, per_metre);
    write_be32(chunk + 12, per_metre);
    chunk[16] = 1; /* unit: the metre */
    write_be32(chunk + 17, crc32_of(chunk + 4, 4 + 9));
    memcpy(out + IHDR_END + PHYS_LEN, png + IHDR_END, len - IHDR_END);
    *out_len = len + PHYS_LEN;
    return out;
}

/* ---- SVG ------------------------------------------------------------------ */

/* "%.Nf" without trailing zeros: 27.94, 3, 1.2. */
static void format_length(char *buf, size_t cap, double v, print_unit unit) {
    snprintf(buf, cap, "%.*f", unit == UNIT_MM ? 2 : unit == UNIT_CM ? 3 : 4, v);
    char *end = buf + strlen(buf);
    while (end > buf && end[-1] == '0') *--end = 0;
    if (end > buf && end[-1] == '.') *--end = 0;
    strncat(buf, print_unit_name(unit), cap - strlen(buf) - 1);
}

char *svg_with_size(const char *doc, double side, print_unit unit) {
    const char *root = strstr(doc, "<svg ");
    const char *from = root ? strstr(root, " width=\"") : NULL;
    const char *to = from ? strstr(from, " viewBox=\"") : NULL;
    if (!to) return NULL;
    char length[64], attrs[160];
    format_length(length, sizeof length, side, unit);
    int n = snprintf(attrs, sizeof attrs, " width=\"%s\" height=\"%s\"", length, length);
    size_t head = (size_t)(from - doc), tail = strlen(to);
    char *out = malloc(head + (size_t)n + tail + 1);
    if (!out) return NULL;
    memcpy(out, doc, head);
    memcpy(out + head, attrs, (size_t)n);
    memcpy(out + head + (size_t)n, to, tail + 1);
    return out;
}

/* ---- Terminal ----------------------------------------------------------- */

/* The symbol's modules, and the quiet zone around them (always light). */
typedef struct {
    int n, quiet;
    unsigned char *dark; /* n x n */
} grid;

static void mark(grid *g, int x, int y) {
    if (x >= 0 && y >= 0 && x < g->n && y < g->n) g->dark[y * g->n + x] = 1;
}

/* Whether the cell at (x, y) of the whole code, quiet zone included, is dark. */
static int is_dark(const grid *g, int x, int y) {
    x -= g->quiet;
    y -= g->quiet;
    return x >= 0 && y >= 0 && x < g->n && y < g->n && g->dark[y * g->n + x];
}

/* The finder pattern with its top-left module at (x, y): a 7 x 7 ring and a
 * 3 x 3 centre. */
static void mark_finder(grid *g, int x, int y) {
    for (int dy = 0; dy < 7; dy++)
        for (int dx = 0; dx < 7; dx++) {
            int ring = abs(dx - 3) > abs(dy - 3) ? abs(dx - 3) : abs(dy - 3);
            if (ring != 2) mark(g, x + dx, y + dy);
        }
}

/* The module element of the default look at module size 1: translated by
 * the quiet zone, one "M col row ..." subpath per dark module outside the
 * finder patterns, which are separate elements at fixed places. */
static int read_modules(const char *doc, grid *g) {
    int side = 0, quiet = 0;
    const char *box = strstr(doc, "viewBox=\"0 0 ");
    const char *path = strstr(doc, "<path fill=\"#000000\" transform=\"translate(");
    if (!box || !path || sscanf(box, "viewBox=\"0 0 %d", &side) != 1 ||
        sscanf(path, "<path fill=\"#000000\" transform=\"translate(%d", &quiet) != 1)
        return -1;
    const int n = side - 2 * quiet;
    if (quiet < 0 || n < 21 || n > 177) return -1;
    g->n = n;
    g->quiet = quiet;
    g->dark = calloc((size_t)n * (size_t)n, 1);
    if (!g->dark) return -1;
    const char *d = strstr(path, " d=\"");
    const char *end = d ? strchr(d + 4, '"') : NULL;
    for (const char *p = d ? strstr(d, "M ") : NULL; p && p < end; p = strstr(p + 1, "M ")) {
        int col = 0, row = 0;
        if (sscanf(p, "M %d %d", &col, &row) == 2) mark(g, col, row);
    }
    mark_finder(g, 0, 0);
    mark_finder(g, n - 7, 0);
    mark_finder(g, 0, n - 7);
    return 0;
}

int terminal_draw(FILE *out, const char *doc, int invert) {
    /* Indexed by (upper drawn) | (lower drawn) << 1. */
    static const char *const HALVES[4] = {" ", "\u2580", "\u2584", "\u2588"};
    grid g = {0, 0, NULL};
    if (read_modules(doc, &g) != 0) {
        free(g.dark);
        return -1;
    }
    const int side = g.n + 2 * g.quiet;
    for (int y = 0; y < side; y += 2) {
        for (int x = 0; x < side; x++) {
            int upper = is_dark(&g, x, y) != invert;
            int lower = y + 1 < side && is_dark(&g, x, y + 1) != invert;
            fputs(HALVES[upper | lower << 1], out);
        }
        fputc('\n', out);
    }
    free(g.dark);
    return 0;
}
