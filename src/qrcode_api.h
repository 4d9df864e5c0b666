// What the exported layer shows of its state to the library's own tools and
// tests, beside the public functions. No file below that layer includes it.
#pragma once

#include "qrcode_types.h"

// A copy of the style an encode started now would draw with.
qr_style qr_style_snapshot() noexcept;
// Whether qr_init has been called since the last qr_cleanup.
bool qr_style_initialized() noexcept;
// The calling thread's last SVG document (empty after a failed build).
const qr_document &qr_svg_thread_document() noexcept;
