// The exported functions, and the only owner of the library's state: the
// style record, the initialised flag, the lock that guards them, and each
// thread's texts (last error, SVG document, decode result, grade report,
// payload text, batch file name).
//
// Every entry point takes the lock only as long as it must: setters and
// presets change the style under it; an encode copies the style under it
// and draws from the copy without it, so encodes on several threads run
// side by side; decoding and grading need no style and no lock. Everything
// below this layer takes its inputs as arguments and returns its result and
// any failure as values; only this layer writes the error slot, once per
// failing call. An allocation that fails below it ends as the area's
// documented message, never as an exception reaching the host.
//
// All state is constant-initialised, so nothing runs when the library is
// loaded: the style is zero bytes (a transparent background) until qr_init
// or the first setter, and every thread's error slot reads "no error".
#include <cstdlib>
#include <mutex>
#include <type_traits>

#include "qrcode_api.h"
#include "qrcode_batch.h"
#include "qrcode_decode.h"
#include "qrcode_encode.h"
#include "qrcode_grade.h"
#include "qrcode_payload.h"
#include "qrcode_platform.h"
#include "qrcode_shapes.h"
#include "qrcode_style.h"
#include "qrcode_svg.h"
#include "qrcode_types.h"
#include "vantelor_qrcode.h"

namespace {

inline constexpr std::size_t ERROR_CAP = 512;

// Constant-initialised and trivially destructible: no code at load or exit.
constinit std::mutex g_lock;
static_assert(std::is_trivially_destructible_v<std::mutex>);

constinit qr_style g_style{};
constinit bool g_initialized = false;

constinit thread_local char g_last_error[ERROR_CAP] = "no error";
// Freed when the thread ends; the release is registered on first use.
constinit thread_local qr_document g_svg{};
constinit thread_local qr_document g_grade_report{};
constinit thread_local qr_decoded g_decoded{};
constinit thread_local qr_payload g_payload{};
constinit thread_local char g_batch_name[QR_BATCH_NAME_CAP] = {};

// Writes a failure's message into the calling thread's slot; success leaves
// the slot as it was.
bool failed(qr_error error) {
    if (error == QR_OK) return false;
    qr_snprintf(g_last_error, sizeof g_last_error, "%s", error);
    return true;
}

int status_of(qr_error error) { return failed(error) ? -1 : 1; }

// Runs a core call whose working memory may come from standard containers;
// running out of memory there (the only way the core throws: std::bad_alloc,
// or std::length_error for a size no container can hold) ends as
// `no_memory`.
template <class Call>
qr_error guarded(qr_error no_memory, Call call) noexcept {
    try {
        return call();
    } catch (...) {
        return no_memory;
    }
}

// Until qr_init, every setter starts from the defaults, so settings do not
// accumulate in a host that never initialised the library.
template <class Edit>
void edit_style(Edit edit) noexcept {
    const std::lock_guard lock(g_lock);
    if (!g_initialized) qr_style_restore_defaults(g_style);
    edit(g_style);
}

// The style as it is now; the caller draws from this copy without the lock.
qr_style style_now() noexcept {
    const std::lock_guard lock(g_lock);
    return g_style;
}

qr_error encode_file(const qr_encode_args &args, const char *path, qr_error null_path) noexcept {
    if (!path) return null_path;
    const qr_style style = style_now();
    return guarded(QR_ENCODE_NO_MEMORY, [&] { return qr_encode_png_file(style, args, path); });
}

qr_error build_svg(const qr_encode_args &args) noexcept {
    g_svg = {};
    const qr_style style = style_now();
    return guarded(QR_SVG_NO_MEMORY, [&] { return qr_svg_build(style, args, g_svg); });
}

// The payload encoders: the path is checked first, then the text is built
// (its own message stands when it fails), then it is drawn like any text.
template <class Build>
int encode_payload(const char *path, qr_error null_path, int module_size, Build build) noexcept {
    if (!path) return status_of(null_path);
    qr_payload payload;
    if (failed(build(payload))) return -1;
    const qr_encode_args args{payload.text, QR_PAYLOAD_ECC, module_size, QR_PAYLOAD_QUIET_ZONE};
    return status_of(encode_file(args, path, null_path));
}

// The payload text functions hand out the calling thread's last text.
template <class Build>
const char *payload_text(Build build) noexcept {
    g_payload.text[0] = '\0';
    return failed(build(g_payload)) ? nullptr : g_payload.text;
}

const char *decode_into_slot(qr_error error) noexcept {
    if (failed(error)) g_decoded.text[0] = '\0';
    return g_decoded.text;
}

template <class Grade>
const char *grade_into_slot(Grade grade) noexcept {
    g_grade_report = {};
    g_decoded.text[0] = '\0';
    if (failed(guarded(QR_GRADE_NO_MEMORY, grade))) return nullptr;
    return g_grade_report.text.get();
}

}  // namespace

// ---- Internal views for the tools and tests ----

qr_style qr_style_snapshot() noexcept { return style_now(); }

const qr_document &qr_svg_thread_document() noexcept { return g_svg; }

bool qr_style_initialized() noexcept {
    const std::lock_guard lock(g_lock);
    return g_initialized;
}

// ---- Lifecycle, errors, version ----

extern "C" QR_EXPORT int qr_init(void) noexcept {
    {
        const std::lock_guard lock(g_lock);
        qr_style_restore_defaults(g_style);
        g_initialized = true;
    }
    g_last_error[0] = '\0';
    return 1;
}

extern "C" QR_EXPORT void qr_cleanup(void) noexcept {
    const std::lock_guard lock(g_lock);
    qr_style_restore_defaults(g_style);
    g_initialized = false;
}

extern "C" QR_EXPORT const char *qr_last_error(void) noexcept { return g_last_error; }

extern "C" QR_EXPORT int qr_get_version(const char *text, int ecc) noexcept {
    edit_style([](qr_style &) {});
    if (!text) return 0;
    const int n = qr_generate(text, ecc, nullptr);
    return n > 0 ? (n - 17) / 4 : 0;
}

// ---- Style setters ----

extern "C" QR_EXPORT void qr_set_dot_style(int style) noexcept {
    edit_style([&](qr_style &s) { qr_style_set_figure(s.dot_style, style, QR_DOT_FAN); });
}

extern "C" QR_EXPORT void qr_set_dot_color(int r, int g, int b) noexcept {
    edit_style([&](qr_style &s) { qr_style_set_solid(s.dot_color, s.dot_gradient, r, g, b); });
}

extern "C" QR_EXPORT void qr_set_dot_gradient(int type, float rotation, int start_r, int start_g,
                                              int start_b, int end_r, int end_g,
                                              int end_b) noexcept {
    const qr_gradient_args args{type, rotation, start_r, start_g, start_b, end_r, end_g, end_b};
    edit_style([&](qr_style &s) { qr_style_set_gradient(s.dot_gradient, args); });
}

extern "C" QR_EXPORT void qr_set_corner_square_style(int style) noexcept {
    edit_style(
        [&](qr_style &s) { qr_style_set_figure(s.corner_square_style, style, QR_RING_TUBE); });
}

extern "C" QR_EXPORT void qr_set_corner_square_color(int r, int g, int b) noexcept {
    edit_style([&](qr_style &s) {
        qr_style_set_solid(s.corner_square_color, s.corner_square_gradient, r, g, b);
    });
}

extern "C" QR_EXPORT void qr_set_corner_square_gradient(int type, float rotation, int start_r,
                                                        int start_g, int start_b, int end_r,
                                                        int end_g, int end_b) noexcept {
    const qr_gradient_args args{type, rotation, start_r, start_g, start_b, end_r, end_g, end_b};
    edit_style([&](qr_style &s) { qr_style_set_gradient(s.corner_square_gradient, args); });
}

extern "C" QR_EXPORT void qr_set_corner_dot_style(int style) noexcept {
    edit_style(
        [&](qr_style &s) { qr_style_set_figure(s.corner_dot_style, style, QR_CENTER_CUSHION); });
}

extern "C" QR_EXPORT void qr_set_corner_dot_color(int r, int g, int b) noexcept {
    edit_style([&](qr_style &s) {
        qr_style_set_solid(s.corner_dot_color, s.corner_dot_gradient, r, g, b);
    });
}

extern "C" QR_EXPORT void qr_set_corner_dot_gradient(int type, float rotation, int start_r,
                                                     int start_g, int start_b, int end_r, int end_g,
                                                     int end_b) noexcept {
    const qr_gradient_args args{type, rotation, start_r, start_g, start_b, end_r, end_g, end_b};
    edit_style([&](qr_style &s) { qr_style_set_gradient(s.corner_dot_gradient, args); });
}

extern "C" QR_EXPORT void qr_set_background_color(int r, int g, int b, int a) noexcept {
    edit_style([&](qr_style &s) { qr_style_set_background(s, r, g, b, a); });
}

extern "C" QR_EXPORT void qr_set_background_gradient(int type, float rotation, int start_r,
                                                     int start_g, int start_b, int end_r, int end_g,
                                                     int end_b) noexcept {
    const qr_gradient_args args{type, rotation, start_r, start_g, start_b, end_r, end_g, end_b};
    edit_style([&](qr_style &s) { qr_style_set_background_gradient(s, args); });
}

extern "C" QR_EXPORT void qr_reset_style(void) noexcept {
    const std::lock_guard lock(g_lock);
    qr_style_restore_defaults(g_style);
}

extern "C" QR_EXPORT void qr_set_logo(const char *path, float size, int margin) noexcept {
    edit_style([&](qr_style &s) { qr_style_set_logo(s, path, size, margin); });
}

extern "C" QR_EXPORT int qr_apply_preset(const char *preset_name) noexcept {
    bool known = false;
    edit_style([&](qr_style &s) { known = preset_name && qr_style_apply_preset(s, preset_name); });
    if (!preset_name) return status_of("qr_apply_preset: NULL preset_name");
    if (!known) {
        return status_of(
            "qr_apply_preset: unknown preset (modern/dots/elegant/neon/corporate/minimal)");
    }
    return 1;
}

// ---- Raster and SVG encoders ----

extern "C" QR_EXPORT int qr_encode_to_file(const char *text, const char *path, int ecc,
                                           int module_size, int quiet_zone) noexcept {
    return status_of(encode_file({text, ecc, module_size, quiet_zone}, path,
                                 "qr_encode_to_file: NULL output path"));
}

extern "C" QR_EXPORT unsigned char *qr_encode_to_memory(const char *text, int ecc, int module_size,
                                                        int quiet_zone, int *out_len) noexcept {
    const qr_style style = style_now();
    qr_bytes png;
    const qr_encode_args args{text, ecc, module_size, quiet_zone};
    if (failed(guarded(QR_ENCODE_NO_MEMORY, [&] { return qr_encode_png(style, args, png); }))) {
        return nullptr;
    }
    if (out_len) *out_len = static_cast<int>(png.len);
    return png.data.release();
}

extern "C" QR_EXPORT void qr_free_buffer(void *buf) noexcept { std::free(buf); }

extern "C" QR_EXPORT const char *qr_encode_to_svg_string(const char *text, int ecc, int module_size,
                                                         int quiet_zone) noexcept {
    return failed(build_svg({text, ecc, module_size, quiet_zone})) ? nullptr : g_svg.text.get();
}

extern "C" QR_EXPORT int qr_encode_to_svg_file(const char *text, const char *path, int ecc,
                                               int module_size, int quiet_zone) noexcept {
    if (!path) return status_of("qr_encode_to_svg_file: NULL output path");
    if (failed(build_svg({text, ecc, module_size, quiet_zone}))) return -1;
    return status_of(guarded(QR_SVG_NO_MEMORY, [&] { return qr_svg_save(g_svg, path); }));
}

// ---- Payload encoders ----

extern "C" QR_EXPORT int qr_encode_wifi(const char *ssid, const char *password,
                                        const char *security, const char *path,
                                        int module_size) noexcept {
    return encode_payload(
        path, "qr_encode_wifi: NULL output path", module_size,
        [&](qr_payload &p) { return qr_payload_wifi(ssid, password, security, p); });
}

extern "C" QR_EXPORT int qr_encode_vcard(const char *name, const char *phone, const char *email,
                                         const char *path, int module_size) noexcept {
    return encode_payload(path, "qr_encode_vcard: NULL output path", module_size,
                          [&](qr_payload &p) { return qr_payload_vcard(name, phone, email, p); });
}

extern "C" QR_EXPORT int qr_encode_email(const char *to, const char *subject, const char *body,
                                         const char *path, int module_size) noexcept {
    return encode_payload(path, "qr_encode_email: NULL output path", module_size,
                          [&](qr_payload &p) { return qr_payload_email(to, subject, body, p); });
}

extern "C" QR_EXPORT int qr_encode_sms(const char *phone, const char *message, const char *path,
                                       int module_size) noexcept {
    return encode_payload(path, "qr_encode_sms: NULL output path", module_size,
                          [&](qr_payload &p) { return qr_payload_sms(phone, message, p); });
}

extern "C" QR_EXPORT int qr_encode_geo(double lat, double lon, const char *path,
                                       int module_size) noexcept {
    return encode_payload(path, "qr_encode_geo: NULL output path", module_size,
                          [&](qr_payload &p) { return qr_payload_geo(lat, lon, p); });
}

extern "C" QR_EXPORT int qr_encode_event(const char *title, const char *start, const char *end,
                                         const char *location, const char *path,
                                         int module_size) noexcept {
    return encode_payload(
        path, "qr_encode_event: NULL output path", module_size,
        [&](qr_payload &p) { return qr_payload_event(title, start, end, location, p); });
}

extern "C" QR_EXPORT int qr_encode_batch(const char *json, const char *out_dir, int ecc,
                                         int module_size, int quiet_zone) noexcept {
    const qr_style style = style_now();
    int count = 0;
    const qr_error error = guarded(QR_BATCH_ITEM_FAILED, [&] {
        return qr_batch_encode(style, json, out_dir, {nullptr, ecc, module_size, quiet_zone},
                               &count);
    });
    return failed(error) ? -1 : count;
}

// ---- Decoders ----

extern "C" QR_EXPORT const char *qr_decode_from_file(const char *path) noexcept {
    g_decoded.text[0] = '\0';
    return decode_into_slot(
        guarded(QR_DECODE_NO_MEMORY, [&] { return qr_decode_file(path, g_decoded); }));
}

extern "C" QR_EXPORT const char *qr_decode_from_memory(const unsigned char *data,
                                                       int len) noexcept {
    g_decoded.text[0] = '\0';
    return decode_into_slot(
        guarded(QR_DECODE_NO_MEMORY, [&] { return qr_decode_memory(data, len, g_decoded); }));
}

// ---- Print-quality grade ----

extern "C" QR_EXPORT const char *qr_grade_from_file(const char *path,
                                                    const char *expected_text) noexcept {
    return grade_into_slot(
        [&] { return qr_grade_file(path, expected_text, g_decoded, g_grade_report); });
}

extern "C" QR_EXPORT const char *qr_grade_from_memory(const unsigned char *data, int len,
                                                      const char *expected_text) noexcept {
    return grade_into_slot(
        [&] { return qr_grade_memory(data, len, expected_text, g_decoded, g_grade_report); });
}

// ---- Payload texts and batch file names ----

extern "C" QR_EXPORT const char *qr_text_wifi(const char *ssid, const char *password,
                                              const char *security) noexcept {
    return payload_text(
        [&](qr_payload &p) { return qr_payload_wifi(ssid, password, security, p); });
}

extern "C" QR_EXPORT const char *qr_text_vcard(const char *name, const char *phone,
                                               const char *email) noexcept {
    return payload_text([&](qr_payload &p) { return qr_payload_vcard(name, phone, email, p); });
}

extern "C" QR_EXPORT const char *qr_text_email(const char *to, const char *subject,
                                               const char *body) noexcept {
    return payload_text([&](qr_payload &p) { return qr_payload_email(to, subject, body, p); });
}

extern "C" QR_EXPORT const char *qr_text_sms(const char *phone, const char *message) noexcept {
    return payload_text([&](qr_payload &p) { return qr_payload_sms(phone, message, p); });
}

extern "C" QR_EXPORT const char *qr_text_geo(double lat, double lon) noexcept {
    return payload_text([&](qr_payload &p) { return qr_payload_geo(lat, lon, p); });
}

extern "C" QR_EXPORT const char *qr_text_event(const char *title, const char *start,
                                               const char *end, const char *location) noexcept {
    return payload_text(
        [&](qr_payload &p) { return qr_payload_event(title, start, end, location, p); });
}

extern "C" QR_EXPORT const char *qr_batch_file_name(const char *filename) noexcept {
    qr_batch_item_file_name(filename, g_batch_name);
    return g_batch_name;
}
