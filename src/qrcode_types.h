// The types every area of the library shares: the style record, symbol and
// canvas sizes, the canvas, colour spans, owned heap blocks and the error
// value. A leaf: it includes only the standard library, so any file may
// include it without joining a cycle.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

// ---- Errors ----

// How a failure travels up to the exported function that reports it: one of
// the library's fixed messages (string literals, never freed), or null for
// success. Only the entry point writes it into the caller's error slot.
using qr_error = const char *;
inline constexpr qr_error QR_OK = nullptr;

// ---- Style ----

struct qr_gradient {
    int type;        // 0 none (solid colour applies), 1 linear, 2 radial
    float rotation;  // degrees, stored unchanged; radial gradients ignore it
    int start_r, start_g, start_b;
    int end_r, end_g, end_b;
};

enum : int { QR_GRADIENT_NONE = 0, QR_GRADIENT_LINEAR = 1, QR_GRADIENT_RADIAL = 2 };

inline constexpr std::size_t QR_LOGO_PATH_CAP = 1024;

// Everything a drawing depends on besides the text and the geometry. Plain
// data of about 1 KB, so an encode copies it once and draws from the copy.
struct qr_style {
    int dot_style;
    qr_gradient dot_gradient;
    int dot_color[3];
    int corner_square_style;
    qr_gradient corner_square_gradient;
    int corner_square_color[3];
    int corner_dot_style;
    qr_gradient corner_dot_gradient;
    int corner_dot_color[3];
    qr_gradient background_gradient;
    int background_color[4];
    char logo_path[QR_LOGO_PATH_CAP];
    float logo_size;
    int logo_margin;
};

// A logo is drawn only with both a path and a positive size; a size that is
// not a number counts as none.
inline bool qr_style_has_logo(const qr_style &style) {
    return style.logo_path[0] != '\0' && style.logo_size > 0.0f;
}

// ---- Symbol and canvas sizes ----

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

// Where a symbol of n x n modules lies on a square canvas: module_px pixels
// per module, `margin` pixels of quiet zone on each side, `side` pixels in
// all.
struct qr_geometry {
    int n;
    int module_px;
    int margin;
    int side;
};

// ---- Heap blocks ----

// Owns a block from the C heap (malloc, the image loader, the PNG writer).
struct qr_free_deleter {
    void operator()(void *p) const noexcept { std::free(p); }
};
template <class T>
using qr_heap_ptr = std::unique_ptr<T, qr_free_deleter>;

// Bytes an encoder made: PNG data or a zero-terminated document.
struct qr_bytes {
    qr_heap_ptr<unsigned char> data;
    std::size_t len = 0;
};

// A finished text document (SVG, a JSON report): zero-terminated text of
// `len` bytes.
struct qr_document {
    qr_heap_ptr<char> text;
    std::size_t len = 0;
};

// ---- Canvas and colour spans ----

struct qr_canvas {
    int width;
    int height;
    unsigned char *pixels;  // width * height * 4 bytes RGBA, straight alpha
};

// Offset of the RGBA pixel (x, y) in an image `width` pixels wide.
inline std::size_t qr_pixel_offset(int width, int x, int y) {
    return (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
            static_cast<std::size_t>(x)) *
           4;
}

// Colours of a run of at most QR_SPAN pixels of one row: each pixel's bytes
// in one word as they lie in memory, with channel c (0 red .. 3 alpha) at
// bit qr_channel_shift(c); the alpha byte is 255.
inline constexpr int QR_SPAN = 128;
struct qr_span_rgb {
    std::uint32_t px[QR_SPAN];
};
inline constexpr int qr_channel_shift(int c) {
    return std::endian::native == std::endian::little ? 8 * c : 24 - 8 * c;
}
