// Edits of a style record: the defaults, the setters' clamping rules, the
// logo and the presets.
#pragma once

#include "qrcode_types.h"

// A gradient setter's arguments as the caller gave them.
struct qr_gradient_args {
    int type;  // 1 radial; anything else linear
    float rotation;
    int start_r, start_g, start_b;
    int end_r, end_g, end_b;
};

// Restores the default fields (and only those): black block figures on
// opaque white, no gradients, no logo. Gradient rotations and colours stay.
void qr_style_restore_defaults(qr_style &style);
// A figure number clamped to 0..max_style.
void qr_style_set_figure(int &field, int style, int max_style);
// A solid colour, each channel clamped to 0..255, switches the matching
// gradient off (its other fields stay).
void qr_style_set_solid(int dst[3], qr_gradient &grad, int r, int g, int b);
void qr_style_set_gradient(qr_gradient &grad, const qr_gradient_args &args);
void qr_style_set_background(qr_style &style, int r, int g, int b, int a);
// A background gradient makes the background opaque.
void qr_style_set_background_gradient(qr_style &style, const qr_gradient_args &args);
// No path or a size that is not positive clears the logo; the size is capped
// at 0.5 and the margin at 0 from below.
void qr_style_set_logo(qr_style &style, const char *path, float size, int margin);
// False when no preset has that name (the style is then unchanged).
bool qr_style_apply_preset(qr_style &style, const char *name);
