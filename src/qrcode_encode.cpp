// Raster pipeline: text -> module matrix -> canvas -> PNG bytes -> file.
//
// The generator's working buffers and the module matrix live in fixed local
// storage sized for version 40; the canvas and the PNG bytes are the only
// heap blocks, and both are released on every path. The output file is
// written only once the PNG bytes exist, and through a temporary file that
// replaces it in one step, so a failing encode or a failing write never
// creates, truncates or damages it.
#include "qrcode_encode.h"

#include <qrcodegen.h>

#include <cstdint>

#include "qrcode_logo.h"
#include "qrcode_platform.h"
#include "qrcode_png.h"
#include "qrcode_render.h"

namespace {

// The logo rule runs first (a set logo raises any level below H to H, so
// negative levels too); the range rule then maps anything outside 0..3 to M.
int level_after_logo_rule(const qr_style &style, int ecc) {
    return (qr_style_has_logo(style) && ecc < 3) ? 3 : ecc;
}

int level_in_range(int ecc) { return ecc >= 0 && ecc <= 3 ? ecc : 1; }

// Computed in 64 bits: module size and quiet zone have no upper bound of
// their own, and the canvas must stay below what the PNG writer can size.
// Each factor is checked against the cap before it is multiplied, so even
// INT_MAX for both cannot overflow the 64-bit products.
bool raster_geometry_for(int n, int module_size, int quiet_zone, qr_geometry *out) {
    const std::int64_t m = qr_module_units(module_size);
    const std::int64_t zone = qr_quiet_modules(quiet_zone);
    if (m > QR_MAX_CANVAS_SIDE || zone > QR_MAX_CANVAS_SIDE) return false;
    const std::int64_t q = zone * m;
    const std::int64_t side = n * m + 2 * q;
    if (side > QR_MAX_CANVAS_SIDE) return false;
    *out = {n, static_cast<int>(m), static_cast<int>(q), static_cast<int>(side)};
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

qr_error qr_encode_matrix(const qr_style &style, const char *text, int ecc, qr_symbol &out) {
    if (!text) return "qr_encode_matrix: NULL argument";
    if (text[0] == '\0') return "qr_encode_matrix: empty text";
    out.ecc = level_after_logo_rule(style, ecc);
    out.n = qr_generate(text, out.ecc, out.modules);
    if (out.n == 0) return "qr_encode: text too long to fit in any QR version (max 40)";
    return QR_OK;
}

qr_error qr_encode_png(const qr_style &style, const qr_encode_args &args, qr_bytes &out) {
    if (!args.text) return "qr_encode: NULL argument";
    if (args.text[0] == '\0') return "qr_encode: empty text";
    qr_symbol symbol;
    if (const qr_error e = qr_encode_matrix(style, args.text, args.ecc, symbol)) return e;

    qr_geometry geo{};
    qr_canvas canvas{};
    const qr_canvas_owner owner(&canvas);
    if (!raster_geometry_for(symbol.n, args.module_size, args.quiet_zone, &geo) ||
        qr_canvas_init(&canvas, geo.side, geo.side) != 0) {
        return QR_ENCODE_NO_MEMORY;
    }
    qr_render_background(style, &canvas);
    qr_render_styled(style, &canvas, symbol.modules, geo);
    if (const qr_error e = qr_logo_composite(style, &canvas, geo.n * geo.module_px)) return e;
    return qr_png_write_mem(canvas, out);
}

qr_error qr_encode_png_file(const qr_style &style, const qr_encode_args &args, const char *path) {
    qr_bytes png;
    if (const qr_error e = qr_encode_png(style, args, png)) return e;
    return qr_write_output(path, png.data.get(), png.len,
                           "qr_encode_to_file: cannot open output path for writing",
                           "qr_encode_to_file: short write");
}

qr_error qr_write_output(const char *path, const void *bytes, std::size_t len, qr_error open_failed,
                         qr_error short_write) {
    switch (qr_replace_file(path, bytes, len)) {
    case qr_write_status::ok: return QR_OK;
    case qr_write_status::cannot_open: return open_failed;
    case qr_write_status::short_write: break;
    }
    return short_write;
}
