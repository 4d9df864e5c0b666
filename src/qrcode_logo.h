// The centre logo: its fit inside the symbol, shared by the raster and SVG
// paths so both place it identically, and its compositing onto a canvas.
#pragma once

struct qr_canvas;
struct qr_style;

// How a lw x lh logo is fitted into the box of a symbol `symbol_width` wide.
struct qr_logo_fit {
    int box;      // side of the cleared box
    float scale;  // logo pixels -> drawn pixels, at least 0.05
    int dw, dh;   // drawn size, each at least 1
};
qr_logo_fit qr_logo_geometry(int symbol_width, float logo_size, int logo_margin, int lw, int lh);
int qr_logo_composite(qr_canvas *canvas, const qr_style *style, int symbol_width);
