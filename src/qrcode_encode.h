// The raster pipeline: text -> module matrix -> canvas -> PNG bytes -> file.
#pragma once

#include <cstddef>

#include "qrcode_types.h"

// What an encode draws: the text, its error-correction level (0..3 L, M, Q,
// H; anything else M), pixels (or SVG units) per module and quiet-zone
// modules, both clamped as qr_module_units and qr_quiet_modules say.
struct qr_encode_args {
    const char *text;
    int ecc;
    int module_size;
    int quiet_zone;
};

// A symbol's module matrix (1 dark), its side n and the level it was made at.
struct qr_symbol {
    int n;
    int ecc;
    unsigned char modules[QR_MATRIX_CAP];
};

inline constexpr qr_error QR_ENCODE_NO_MEMORY = "qr_encode: canvas allocation failed";

// The generator's symbol for `text` at error-correction level `ecc` (outside
// 0..3: M), versions 1 to 40, automatic mask, no boosting. Returns its side
// n, or 0 when the text fits no version; writes the n x n module matrix
// (1 dark) to `modules` (QR_MATRIX_CAP bytes) unless that is null.
int qr_generate(const char *text, int ecc, unsigned char *modules);
// The symbol an encode in `style` draws: a set logo raises the level to H.
qr_error qr_encode_matrix(const qr_style &style, const char *text, int ecc, qr_symbol &out);
// The PNG bytes of the code, drawn in `style`.
qr_error qr_encode_png(const qr_style &style, const qr_encode_args &args, qr_bytes &out);
// The same bytes written to `path` (replaced in one step).
qr_error qr_encode_png_file(const qr_style &style, const qr_encode_args &args, const char *path);
// Replaces the file at `path` with the bytes in one step (the old file
// survives any failure); `open_failed` or `short_write` when it fails.
qr_error qr_write_output(const char *path, const void *bytes, std::size_t len, qr_error open_failed,
                         qr_error short_write);
