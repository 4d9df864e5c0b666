// Raster pipeline: text -> module matrix -> canvas -> PNG bytes -> file.
//
// The generator's working buffers and the module matrix live in fixed local
// storage sized for version 40; the canvas and the PNG bytes are the only
// heap blocks, and both are released on every path. The output file is
// written only once the PNG bytes exist, and through a temporary file that
// replaces it in one step, so a failing encode or a failing write never
// creates, truncates or damages it.
#include <qrcodegen.h>

#include <cstdint>
#include <cstdlib>

#include "qrcode_encode.h"
#include "qrcode_frame.h"
#include "qrcode_logo.h"
#include "qrcode_platform.h"
#include "qrcode_png.h"
#include "qrcode_render.h"
#include "vantelor_qrcode.h"

namespace {

// The logo rule runs first (a set logo raises any level below H to H, so
// negative levels too); the range rule then maps anything outside 0..3 to M.
int level_after_logo_rule(int ecc) { return (g_style.logo_path[0] != '\0' && ecc < 3) ? 3 : ecc; }

int level_in_range(int ecc) { return ecc >= 0 && ecc <= 3 ? ecc : 1; }

struct raster_geometry {
    int module_px;  // m
    int margin;     // quiet-zone pixels q
    int side;       // canvas side
};

// Computed in 64 bits: module size and quiet zone have no upper bound of
// their own, and the canvas must stay below what the PNG writer can size.
// Each factor is checked against the cap before it is multiplied, so even
// INT_MAX for both cannot overflow the 64-bit products.
bool raster_geometry_for(int n, int module_size, int quiet_zone, raster_geometry *out) {
    const std::int64_t m = qr_module_units(module_size);
    const std::int64_t zone = qr_quiet_modules(quiet_zone);
    if (m > QR_MAX_CANVAS_SIDE || zone > QR_MAX_CANVAS_SIDE) return false;
    const std::int64_t q = zone * m;
    const std::int64_t side = n * m + 2 * q;
    if (side > QR_MAX_CANVAS_SIDE) return false;
    *out = {static_cast<int>(m), static_cast<int>(q), static_cast<int>(side)};
    return true;
}

}  // namespace

int qr_generate(const char *text, int ecc, unsigned char *modules) {
    std::uint8_t temp[qrcodegen_BUFFER_LEN_MAX];
    std::uint8_t qr[qrcodegen_BUFFER_LEN_MAX];
    const auto level = static_cast<qrcodegen_Ecc>(level_in_range(ecc));
    if (!qrcodegen_encodeText(text, temp, qr, level, qrcodegen_VERSION_MIN, qrcodegen_VERSION_MAX,
                              qrcodegen_Mask_AUTO, false)) {
        return 0;
    }
    const int n = qrcodegen_getSize(qr);
    if (!modules) return n;
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
            modules[y * n + x] = qrcodegen_getModule(qr, x, y) ? 1 : 0;
        }
    }
    return n;
}

int qr_encode_matrix(const char *text, int ecc, unsigned char *modules, int *out_size,
                     int *out_ecc) {
    if (!text || !modules || !out_size || !out_ecc) {
        qr_set_error("qr_encode_matrix: NULL argument");
        return -1;
    }
    if (text[0] == '\0') {
        qr_set_error("qr_encode_matrix: empty text");
        return -1;
    }
    const int raised = level_after_logo_rule(ecc);
    const int n = qr_generate(text, raised, modules);
    if (n == 0) {
        qr_set_error("qr_encode: text too long to fit in any QR version (max 40)");
        return -1;
    }
    *out_size = n;
    *out_ecc = raised;
    return 1;
}

int qr_encode_run(const char *text, int ecc, int module_size, int quiet_zone,
                  unsigned char **out_png, int *out_len) {
    if (!out_png || !out_len || !text) {
        qr_set_error("qr_encode: NULL argument");
        return -1;
    }
    if (text[0] == '\0') {
        qr_set_error("qr_encode: empty text");
        return -1;
    }
    unsigned char modules[QR_MATRIX_CAP];
    int n = 0;
    int level_used = 0;
    if (qr_encode_matrix(text, ecc, modules, &n, &level_used) != 1) return -1;

    raster_geometry geo{};
    qr_canvas canvas{};
    const qr_canvas_owner owner(&canvas);
    if (!raster_geometry_for(n, module_size, quiet_zone, &geo) ||
        qr_canvas_init(&canvas, geo.side, geo.side) != 0) {
        qr_set_error("qr_encode: canvas allocation failed");
        return -1;
    }
    qr_render_background(&canvas);
    if (qr_render_styled(&canvas, modules, n, geo.margin) != 0) return -1;
    if (g_style.logo_path[0] != '\0' &&
        qr_logo_composite(&canvas, &g_style, n * geo.module_px) != 0) {
        return -1;
    }
    return qr_png_write_mem(&canvas, out_png, out_len) == 0 ? 1 : -1;
}

int qr_encode_file(const char *text, int ecc, int module_size, int quiet_zone, const char *path) {
    unsigned char *png = nullptr;
    int len = 0;
    const int encoded = qr_encode_run(text, ecc, module_size, quiet_zone, &png, &len);
    const qr_heap_ptr<unsigned char> owned(png);
    if (encoded != 1) return -1;
    return qr_write_output(path, png, static_cast<std::size_t>(len),
                           "qr_encode_to_file: cannot open output path for writing",
                           "qr_encode_to_file: short write");
}

int qr_write_output(const char *path, const void *bytes, std::size_t len, const char *open_failed,
                    const char *short_write) {
    switch (qr_replace_file(path, bytes, len)) {
    case qr_write_status::ok: return 1;
    case qr_write_status::cannot_open: qr_set_error(open_failed); return -1;
    case qr_write_status::short_write: break;
    }
    qr_set_error(short_write);
    return -1;
}

extern "C" QR_EXPORT int qr_encode_to_file(const char *text, const char *path, int ecc,
                                           int module_size, int quiet_zone) noexcept {
    const qr_api_lock lock;
    if (!path) {
        qr_set_error("qr_encode_to_file: NULL output path");
        return -1;
    }
    return qr_encode_file(text, ecc, module_size, quiet_zone, path);
}

extern "C" QR_EXPORT unsigned char *qr_encode_to_memory(const char *text, int ecc, int module_size,
                                                        int quiet_zone, int *out_len) noexcept {
    const qr_api_lock lock;
    unsigned char *png = nullptr;
    int len = 0;
    if (qr_encode_run(text, ecc, module_size, quiet_zone, &png, &len) != 1) return nullptr;
    if (out_len) *out_len = len;
    return png;
}

extern "C" QR_EXPORT void qr_free_buffer(void *buf) noexcept {
    const qr_api_lock lock;
    std::free(buf);
}
