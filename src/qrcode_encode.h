// The raster pipeline: text -> module matrix -> canvas -> PNG bytes -> file,
// and the symbol sizes both writers share.
#pragma once

#include <cstddef>
#include <cstdint>

// Side of the largest symbol (version 40) and its matrix size.
inline constexpr int QR_MAX_SIDE = 177;
inline constexpr int QR_MATRIX_CAP = QR_MAX_SIDE * QR_MAX_SIDE;

// Largest canvas side we draw: stb_image_write sizes its buffer in int and
// overflows from a side of 23,171 pixels.
inline constexpr int QR_MAX_CANVAS_SIDE = 16384;

// Module size and quiet zone as both writers read them: a module is at least
// one unit wide and a negative quiet zone is none.
inline std::int64_t qr_module_units(int module_size) { return module_size >= 1 ? module_size : 1; }
inline std::int64_t qr_quiet_modules(int quiet_zone) { return quiet_zone > 0 ? quiet_zone : 0; }

// The generator's symbol for `text` at error-correction level `ecc` (outside
// 0..3: M), versions 1 to 40, automatic mask, no boosting. Returns its side
// n, or 0 when the text fits no version; writes the n x n module matrix
// (1 dark) to `modules` (QR_MATRIX_CAP bytes) unless that is null.
int qr_generate(const char *text, int ecc, unsigned char *modules);
int qr_encode_matrix(const char *text, int ecc, unsigned char *modules, int *out_size,
                     int *out_ecc);
int qr_encode_run(const char *text, int ecc, int module_size, int quiet_zone,
                  unsigned char **out_png, int *out_len);
int qr_encode_file(const char *text, int ecc, int module_size, int quiet_zone, const char *path);
// Replaces the file at `path` with the bytes in one step (the old file
// survives any failure); 1 on success, else -1 with `open_failed` or
// `short_write` as the message.
int qr_write_output(const char *path, const void *bytes, std::size_t len, const char *open_failed,
                    const char *short_write);
