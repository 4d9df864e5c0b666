// The style record's edits: defaults, the setters' clamping, the logo and
// the presets. Pure functions of the record they are given; the exported
// setters call them on the library's style under its lock.
#include "qrcode_style.h"

#include <algorithm>
#include <string_view>

#include "qrcode_platform.h"
#include "qrcode_shapes.h"

namespace {

int clamp_channel(int v) { return std::clamp(v, 0, 255); }

void set_rgb(int dst[3], int r, int g, int b) {
    dst[0] = clamp_channel(r);
    dst[1] = clamp_channel(g);
    dst[2] = clamp_channel(b);
}

// No logo: path, size and margin together, so no stale size or margin
// outlives its path.
void clear_logo(qr_style &style) {
    style.logo_path[0] = '\0';
    style.logo_size = 0.0f;
    style.logo_margin = 0;
}

// ---- Presets ----

struct rgb {
    int r, g, b;
};

// A preset's paint for modules and rings: a solid colour, or a linear
// gradient when `gradient` is set.
struct preset_gradient {
    bool on;
    float rotation;
    rgb start, end;
};

struct preset {
    std::string_view name;
    int dot_style;
    int ring_style;
    int center_style;
    preset_gradient gradient;  // shared by modules and finder rings
    rgb color;                 // modules and finder rings
    rgb center_color;
    int background[4];
};

// clang-format off
constexpr preset PRESETS[] = {
    {"modern", QR_DOT_PILL, QR_RING_CUSHION, QR_CENTER_DISC, {}, {26, 54, 93}, {26, 54, 93},
     {247, 249, 252, 255}},
    {"dots", QR_DOT_DISC, QR_RING_CIRCLE, QR_CENTER_DISC, {}, {0, 0, 0}, {0, 0, 0},
     {255, 255, 255, 255}},
    {"elegant", QR_DOT_PETAL, QR_RING_PEBBLE, QR_CENTER_DISC,
     {true, 135.0f, {74, 14, 78}, {139, 92, 246}}, {0, 0, 0}, {139, 92, 246},
     {245, 240, 250, 255}},
    {"neon", QR_DOT_FAN, QR_RING_CUSHION, QR_CENTER_DISC,
     {true, 45.0f, {0, 240, 255}, {255, 0, 255}}, {0, 0, 0}, {0, 255, 229},
     {15, 15, 35, 255}},
    {"corporate", QR_DOT_BLOCK, QR_RING_BOX, QR_CENTER_BOX, {}, {30, 58, 95}, {30, 58, 95},
     {255, 255, 255, 255}},
    {"minimal", QR_DOT_PILL, QR_RING_CUSHION, QR_CENTER_CUSHION, {}, {74, 74, 74},
     {74, 74, 74}, {255, 255, 255, 255}},
};
// clang-format on

// Writes the gradient's type and, for a gradient preset, its rotation and
// colours; a solid preset leaves rotation and colours as they were.
void apply_preset_gradient(qr_gradient &grad, const preset_gradient &p) {
    grad.type = p.on ? QR_GRADIENT_LINEAR : QR_GRADIENT_NONE;
    if (!p.on) return;
    grad.rotation = p.rotation;
    grad.start_r = p.start.r;
    grad.start_g = p.start.g;
    grad.start_b = p.start.b;
    grad.end_r = p.end.r;
    grad.end_g = p.end.g;
    grad.end_b = p.end.b;
}

void apply_preset(qr_style &style, const preset &p) {
    style.dot_style = p.dot_style;
    style.corner_square_style = p.ring_style;
    style.corner_dot_style = p.center_style;
    apply_preset_gradient(style.dot_gradient, p.gradient);
    apply_preset_gradient(style.corner_square_gradient, p.gradient);
    style.corner_dot_gradient.type = QR_GRADIENT_NONE;
    style.background_gradient.type = QR_GRADIENT_NONE;
    set_rgb(style.dot_color, p.color.r, p.color.g, p.color.b);
    set_rgb(style.corner_square_color, p.color.r, p.color.g, p.color.b);
    set_rgb(style.corner_dot_color, p.center_color.r, p.center_color.g, p.center_color.b);
    std::copy(std::begin(p.background), std::end(p.background), style.background_color);
    clear_logo(style);
}

}  // namespace

void qr_style_restore_defaults(qr_style &style) {
    style.dot_style = QR_DOT_BLOCK;
    style.corner_square_style = QR_RING_BOX;
    style.corner_dot_style = QR_CENTER_BOX;
    style.dot_gradient.type = QR_GRADIENT_NONE;
    style.corner_square_gradient.type = QR_GRADIENT_NONE;
    style.corner_dot_gradient.type = QR_GRADIENT_NONE;
    style.background_gradient.type = QR_GRADIENT_NONE;
    for (int c = 0; c < 3; ++c) {
        style.dot_color[c] = 0;
        style.corner_square_color[c] = 0;
        style.corner_dot_color[c] = 0;
    }
    for (int &c : style.background_color) c = 255;
    clear_logo(style);
}

void qr_style_set_figure(int &field, int style, int max_style) {
    field = std::clamp(style, 0, max_style);
}

void qr_style_set_solid(int dst[3], qr_gradient &grad, int r, int g, int b) {
    set_rgb(dst, r, g, b);
    grad.type = QR_GRADIENT_NONE;
}

void qr_style_set_gradient(qr_gradient &grad, const qr_gradient_args &args) {
    grad.type = args.type == 1 ? QR_GRADIENT_RADIAL : QR_GRADIENT_LINEAR;
    grad.rotation = args.rotation;
    grad.start_r = clamp_channel(args.start_r);
    grad.start_g = clamp_channel(args.start_g);
    grad.start_b = clamp_channel(args.start_b);
    grad.end_r = clamp_channel(args.end_r);
    grad.end_g = clamp_channel(args.end_g);
    grad.end_b = clamp_channel(args.end_b);
}

void qr_style_set_background(qr_style &style, int r, int g, int b, int a) {
    qr_style_set_solid(style.background_color, style.background_gradient, r, g, b);
    style.background_color[3] = clamp_channel(a);
}

void qr_style_set_background_gradient(qr_style &style, const qr_gradient_args &args) {
    qr_style_set_gradient(style.background_gradient, args);
    style.background_color[3] = 255;
}

void qr_style_set_logo(qr_style &style, const char *path, float size, int margin) {
    // A size that is not a number cannot describe a box: treat it as "no logo".
    if (!path || !(size > 0.0f)) {
        clear_logo(style);
        return;
    }
    qr_snprintf(style.logo_path, sizeof style.logo_path, "%s", path);
    style.logo_margin = std::max(margin, 0);
    style.logo_size = size > 0.5f ? 0.5f : size;
}

bool qr_style_apply_preset(qr_style &style, const char *name) {
    for (const preset &p : PRESETS) {
        if (p.name == name) {
            apply_preset(style, p);
            return true;
        }
    }
    return false;
}
