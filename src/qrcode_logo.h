// The centre logo: its fit inside the symbol, shared by the raster and SVG
// paths so both place it identically, and its compositing onto a canvas.
#pragma once

#include "qrcode_types.h"

// How a lw x lh logo is fitted into the box of a symbol `symbol_width` wide.
struct qr_logo_fit {
    int box;      // side of the cleared box
    float scale;  // logo pixels -> drawn pixels, at least 0.05
    int dw, dh;   // drawn size, each at least 1
};
qr_logo_fit qr_logo_geometry(int symbol_width, float logo_size, int logo_margin, int lw, int lh);
// Clears the logo's box in the background paint and draws the logo of
// `style` (if any) centred on the canvas; the reader's message when the logo
// cannot be read.
qr_error qr_logo_composite(const qr_style &style, qr_canvas *canvas, int symbol_width);
