// The SVG document writer and its growable text buffer.
#pragma once

#include <cstddef>

#include "qrcode_encode.h"
#include "qrcode_types.h"

inline constexpr qr_error QR_SVG_NO_MEMORY = "qr_svg: buffer alloc failed";

// Growable text buffer of the SVG writer: starts at 64 KiB, doubles, jumps
// to the 32 MiB ceiling from above 16 MiB; `data` is zero-terminated after
// every successful append. The sb_* functions return 0, or -1 without
// changing the buffer.
struct strbuf {
    char *data;
    std::size_t len;
    std::size_t cap;
};

inline constexpr std::size_t QR_SVG_START_CAP = 65536;
inline constexpr std::size_t QR_SVG_MAX_CAP = 33554432;
inline constexpr std::size_t QR_SVG_PIECE_CAP = 4096;  // sb_addf: at most 4,095 characters

int sb_reserve(strbuf *sb, std::size_t add);
int sb_add(strbuf *sb, const char *text);
int sb_addf(strbuf *sb, const char *format, ...) __attribute__((format(printf, 2, 3)));

// The SVG document of the code, drawn in `style`.
qr_error qr_svg_build(const qr_style &style, const qr_encode_args &args, qr_document &out);
// Writes a document to `path` (replaced in one step).
qr_error qr_svg_save(const qr_document &doc, const char *path);
