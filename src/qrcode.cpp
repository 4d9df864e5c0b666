// Library frame: the style record, the last-error slot, lifecycle, the
// version query, the style setters, the presets and the logo setter.
//
// Invariants: the state is zero bytes at load (a transparent background) and
// "no error" in every thread's slot; nothing runs at load. Before qr_init every setter,
// preset and version query first restores the defaults, so settings only
// accumulate once the host has called qr_init. Setters clamp, never fail and
// never touch the error slot.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string_view>
#include <type_traits>

#include "qrcode_encode.h"
#include "qrcode_frame.h"
#include "qrcode_platform.h"
#include "qrcode_shapes.h"
#include "vantelor_qrcode.h"

constinit qr_style g_style{};
constinit int g_initialized = 0;
constinit thread_local char g_last_error[QR_ERROR_CAP] = "no error";

namespace {

// Constant-initialised and trivially destructible: no code at load or exit.
constinit std::mutex g_api_mutex;
static_assert(std::is_trivially_destructible_v<std::mutex>);

// No logo: path, size and margin together, so no stale size or margin
// outlives its path.
void clear_logo() {
    g_style.logo_path[0] = '\0';
    g_style.logo_size = 0.0f;
    g_style.logo_margin = 0;
}

}  // namespace

qr_api_lock::qr_api_lock() noexcept { g_api_mutex.lock(); }
qr_api_lock::~qr_api_lock() { g_api_mutex.unlock(); }

void qr_set_error(const char *msg) {
    qr_snprintf(g_last_error, sizeof g_last_error, "%s", msg ? msg : "unknown error");
}

void qr_restore_style_defaults() {
    g_style.dot_style = QR_DOT_BLOCK;
    g_style.corner_square_style = QR_RING_BOX;
    g_style.corner_dot_style = QR_CENTER_BOX;
    g_style.dot_gradient.type = QR_GRADIENT_NONE;
    g_style.corner_square_gradient.type = QR_GRADIENT_NONE;
    g_style.corner_dot_gradient.type = QR_GRADIENT_NONE;
    g_style.background_gradient.type = QR_GRADIENT_NONE;
    for (int c = 0; c < 3; ++c) {
        g_style.dot_color[c] = 0;
        g_style.corner_square_color[c] = 0;
        g_style.corner_dot_color[c] = 0;
    }
    for (int &c : g_style.background_color) c = 255;
    clear_logo();
}

namespace {

void apply_lazy_defaults() {
    if (!g_initialized) qr_restore_style_defaults();
}

int clamp_channel(int v) { return std::clamp(v, 0, 255); }

void set_rgb(int dst[3], int r, int g, int b) {
    dst[0] = clamp_channel(r);
    dst[1] = clamp_channel(g);
    dst[2] = clamp_channel(b);
}

void set_figure(int &field, int style, int max_style) {
    apply_lazy_defaults();
    field = std::clamp(style, 0, max_style);
}

// A solid colour switches the matching gradient off (its other fields stay).
void set_solid(int dst[3], qr_gradient &grad, int r, int g, int b) {
    apply_lazy_defaults();
    set_rgb(dst, r, g, b);
    grad.type = QR_GRADIENT_NONE;
}

// Public gradient types: 1 is radial; anything else (0 and 2 included) linear.
void set_gradient(qr_gradient &grad, int type, float rotation, int start_r, int start_g,
                  int start_b, int end_r, int end_g, int end_b) {
    apply_lazy_defaults();
    grad.type = type == 1 ? QR_GRADIENT_RADIAL : QR_GRADIENT_LINEAR;
    grad.rotation = rotation;
    grad.start_r = clamp_channel(start_r);
    grad.start_g = clamp_channel(start_g);
    grad.start_b = clamp_channel(start_b);
    grad.end_r = clamp_channel(end_r);
    grad.end_g = clamp_channel(end_g);
    grad.end_b = clamp_channel(end_b);
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

void apply_preset(const preset &p) {
    g_style.dot_style = p.dot_style;
    g_style.corner_square_style = p.ring_style;
    g_style.corner_dot_style = p.center_style;
    apply_preset_gradient(g_style.dot_gradient, p.gradient);
    apply_preset_gradient(g_style.corner_square_gradient, p.gradient);
    g_style.corner_dot_gradient.type = QR_GRADIENT_NONE;
    g_style.background_gradient.type = QR_GRADIENT_NONE;
    set_rgb(g_style.dot_color, p.color.r, p.color.g, p.color.b);
    set_rgb(g_style.corner_square_color, p.color.r, p.color.g, p.color.b);
    set_rgb(g_style.corner_dot_color, p.center_color.r, p.center_color.g, p.center_color.b);
    std::copy(std::begin(p.background), std::end(p.background), g_style.background_color);
    clear_logo();
}

}  // namespace

// ---- Lifecycle, errors, version ----

extern "C" QR_EXPORT int qr_init(void) noexcept {
    const qr_api_lock lock;
    qr_restore_style_defaults();
    g_initialized = 1;
    g_last_error[0] = '\0';
    return 1;
}

extern "C" QR_EXPORT void qr_cleanup(void) noexcept {
    const qr_api_lock lock;
    qr_restore_style_defaults();
    g_initialized = 0;
}

extern "C" QR_EXPORT const char *qr_last_error(void) noexcept {
    const qr_api_lock lock;
    return g_last_error;
}

extern "C" QR_EXPORT int qr_get_version(const char *text, int ecc) noexcept {
    const qr_api_lock lock;
    apply_lazy_defaults();
    if (!text) return 0;
    const int n = qr_generate(text, ecc, nullptr);
    return n > 0 ? (n - 17) / 4 : 0;
}

// ---- Style setters ----

extern "C" QR_EXPORT void qr_set_dot_style(int style) noexcept {
    const qr_api_lock lock;
    set_figure(g_style.dot_style, style, 5);
}

extern "C" QR_EXPORT void qr_set_dot_color(int r, int g, int b) noexcept {
    const qr_api_lock lock;
    set_solid(g_style.dot_color, g_style.dot_gradient, r, g, b);
}

extern "C" QR_EXPORT void qr_set_dot_gradient(int type, float rotation, int start_r, int start_g,
                                              int start_b, int end_r, int end_g,
                                              int end_b) noexcept {
    const qr_api_lock lock;
    set_gradient(g_style.dot_gradient, type, rotation, start_r, start_g, start_b, end_r, end_g,
                 end_b);
}

extern "C" QR_EXPORT void qr_set_corner_square_style(int style) noexcept {
    const qr_api_lock lock;
    set_figure(g_style.corner_square_style, style, 5);
}

extern "C" QR_EXPORT void qr_set_corner_square_color(int r, int g, int b) noexcept {
    const qr_api_lock lock;
    set_solid(g_style.corner_square_color, g_style.corner_square_gradient, r, g, b);
}

extern "C" QR_EXPORT void qr_set_corner_square_gradient(int type, float rotation, int start_r,
                                                        int start_g, int start_b, int end_r,
                                                        int end_g, int end_b) noexcept {
    const qr_api_lock lock;
    set_gradient(g_style.corner_square_gradient, type, rotation, start_r, start_g, start_b, end_r,
                 end_g, end_b);
}

extern "C" QR_EXPORT void qr_set_corner_dot_style(int style) noexcept {
    const qr_api_lock lock;
    set_figure(g_style.corner_dot_style, style, 2);
}

extern "C" QR_EXPORT void qr_set_corner_dot_color(int r, int g, int b) noexcept {
    const qr_api_lock lock;
    set_solid(g_style.corner_dot_color, g_style.corner_dot_gradient, r, g, b);
}

extern "C" QR_EXPORT void qr_set_corner_dot_gradient(int type, float rotation, int start_r,
                                                     int start_g, int start_b, int end_r, int end_g,
                                                     int end_b) noexcept {
    const qr_api_lock lock;
    set_gradient(g_style.corner_dot_gradient, type, rotation, start_r, start_g, start_b, end_r,
                 end_g, end_b);
}

extern "C" QR_EXPORT void qr_set_background_color(int r, int g, int b, int a) noexcept {
    const qr_api_lock lock;
    set_solid(g_style.background_color, g_style.background_gradient, r, g, b);
    g_style.background_color[3] = clamp_channel(a);
}

extern "C" QR_EXPORT void qr_set_background_gradient(int type, float rotation, int start_r,
                                                     int start_g, int start_b, int end_r, int end_g,
                                                     int end_b) noexcept {
    const qr_api_lock lock;
    set_gradient(g_style.background_gradient, type, rotation, start_r, start_g, start_b, end_r,
                 end_g, end_b);
    g_style.background_color[3] = 255;
}

extern "C" QR_EXPORT void qr_reset_style(void) noexcept {
    const qr_api_lock lock;
    qr_restore_style_defaults();
}

// ---- Logo setter ----

extern "C" QR_EXPORT void qr_set_logo(const char *path, float size, int margin) noexcept {
    const qr_api_lock lock;
    apply_lazy_defaults();
    // A size that is not a number cannot describe a box: treat it as "no logo".
    if (!path || !(size > 0.0f)) {
        clear_logo();
        return;
    }
    qr_snprintf(g_style.logo_path, sizeof g_style.logo_path, "%s", path);
    g_style.logo_margin = std::max(margin, 0);
    g_style.logo_size = size > 0.5f ? 0.5f : size;
}

// ---- Presets ----

extern "C" QR_EXPORT int qr_apply_preset(const char *preset_name) noexcept {
    const qr_api_lock lock;
    apply_lazy_defaults();
    if (!preset_name) {
        qr_set_error("qr_apply_preset: NULL preset_name");
        return -1;
    }
    for (const preset &p : PRESETS) {
        if (p.name == preset_name) {
            apply_preset(p);
            return 1;
        }
    }
    qr_set_error("qr_apply_preset: unknown preset (modern/dots/elegant/neon/corporate/minimal)");
    return -1;
}
