// The SVG document writer: its growable text buffer and the calling thread's
// last document.
#pragma once

#include <cstddef>

// Length of the calling thread's last document (0 when there is none).
extern constinit thread_local std::size_t g_svg_len;

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

int qr_svg_build(const char *text, int ecc, int module_size, int quiet_zone);
// The calling thread's last document; freed when the thread ends.
const char *qr_svg_buffer();
