/* Print-ready output for vqr: lengths on paper, PNG resolution, an SVG's
 * physical size and the code drawn in a terminal.
 *
 * Plain C over byte buffers and the documents the library writes; nothing
 * here calls the library.
 */
#ifndef VQR_PRINT_H
#define VQR_PRINT_H

#include <stddef.h>
#include <stdio.h>

typedef enum { UNIT_PX, UNIT_MM, UNIT_CM, UNIT_IN } print_unit;

/* "30mm", "3cm", "1.2in", "400px": a positive number and its unit. */
typedef struct {
    double value; /* 0: not given */
    print_unit unit;
} print_length;

/* Resolution assumed for mm, cm and in when none is given. */
enum { DEFAULT_DPI = 300 };

/* 0, or -1 when `s` is not a positive number followed by a known unit. */
int print_length_parse(const char *s, print_length *out);
const char *print_unit_name(print_unit unit);
/* The length in pixels at `dpi`. */
double print_length_px(const print_length *len, int dpi);
/* `px` pixels at `dpi` in `unit`. */
double print_px_in(double px, int dpi, print_unit unit);
/* The largest whole number of pixels per module that puts `across` modules
 * within `len` at `dpi`; 0 when not even one pixel fits. */
int print_module_px(const print_length *len, int dpi, int across);

/* The width in pixels from a PNG's header, or -1 when it is not a PNG. */
long png_width(const unsigned char *png, size_t len);
/* The PNG with a pHYs chunk giving `dpi` in both directions, right after
 * its header chunk; malloc'ed, NULL when `png` is not a PNG or on no memory. */
unsigned char *png_with_dpi(const unsigned char *png, size_t len, int dpi, size_t *out_len);

/* The SVG document with its width and height set to `side` in `unit`
 * (the viewBox stays); malloc'ed, NULL when the header is not found. */
char *svg_with_size(const char *doc, double side, print_unit unit);

/* Draws a document of qr_encode_to_svg_string in the default look at module
 * size 1 with Unicode half blocks, quiet zone included: dark modules as
 * blocks, or the light ones with `invert` (light text on a dark terminal).
 * 0, or -1 when the document is not such a code or on no memory. */
int terminal_draw(FILE *out, const char *doc, int invert);

#endif
