// SVG document writer: the same module matrix, figures, paints and logo as
// the raster path, written as SVG 1.1 markup into one growable text buffer.
//
// Numbers are written with qr_snprintf or std::to_chars, so the text never
// depends on the host's locale. Geometry is computed in 64 bits and refused when a written
// coordinate would not fit in an int. The document under construction is
// private to the build and released on every failure; only a finished
// document reaches g_svg_buf.
//
// Solid-paint elements are drawn in their own module-unit coordinates and
// placed with translate + scale. An element whose paint is a gradient is
// written in document coordinates without a transform instead: a renderer
// evaluates a userSpaceOnUse gradient in the referencing element's user
// space, so under a per-element scale the gradient would collapse into each
// module's own small square rather than run across the symbol.
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "qrcode_internal.h"
#include "qrcode_platform.h"

constinit thread_local char *g_svg_buf = nullptr;
constinit thread_local std::size_t g_svg_len = 0;

namespace {

// Frees the thread's document when the thread ends. Its destructor is
// registered on the thread's first publish, not at load.
struct document_reaper {
    ~document_reaper() { std::free(g_svg_buf); }
};
thread_local document_reaper t_reaper;

constexpr std::size_t DOUBLING_LIMIT = 16777216;
constexpr float DEG_TO_RAD = 0.017453292f;
constexpr int MIN_DOC_SIZE = 21;
constexpr std::int64_t MAX_COORD = 2147483647;

constexpr const char *BUILD_FAILED = "qr_svg: failed while building SVG document";

constexpr char B64TABLE[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Scratch sizes. Local figure texts stay far below their bounds (the
// longest, a two-subpath ring, is about 310 characters); a path rewritten in
// document units carries up to 13 characters per number.
constexpr std::size_t FILL_CAP = 64;
constexpr std::size_t PATH_CAP = 256;
constexpr std::size_t RING_CAP = 512;
constexpr std::size_t DOC_PATH_CAP = 2048;

constexpr const char *FULL_CELL = "M 0 0 H 1 V 1 H 0 Z";
constexpr const char *LEAF_PATH =
    "M 0.5 0 H 1 V 0.5 A 0.5 0.5 0 0 1 0.5 1 H 0 V 0.5 A 0.5 0.5 0 0 1 0.5 0 Z";
constexpr const char *BOX_RING = "M 0 0 H 7 V 7 H 0 Z M 1 1 H 6 V 6 H 1 Z";
constexpr const char *BOX_CENTER = "M 0 0 H 3 V 3 H 0 Z";
constexpr const char *EVEN_ODD = " fill-rule=\"evenodd\"";

// The three painted parts, in gradient-id order (the background comes last).
enum part : int { PART_MODULE = 0, PART_RING = 1, PART_CENTER = 2, PART_COUNT = 3 };

struct svg_geometry {
    int m;     // user units per module
    int qz;    // quiet zone in user units
    int sym;   // symbol width
    int size;  // document side
};

struct svg_doc {
    strbuf sb;
    svg_geometry geo;
    int bg_id;                        // background gradient id, -1 without
    bool gradient[PART_COUNT];        // part painted with a gradient
    char fill[PART_COUNT][FILL_CAP];  // fill attribute text, starting with a blank
};

// Releases the buffer under construction unless the build hands it over.
class strbuf_owner {
public:
    explicit strbuf_owner(strbuf &sb) noexcept : sb_(sb) {}
    ~strbuf_owner() { std::free(sb_.data); }
    char *release() noexcept {
        char *data = sb_.data;
        sb_.data = nullptr;
        return data;
    }
    strbuf_owner(const strbuf_owner &) = delete;
    strbuf_owner &operator=(const strbuf_owner &) = delete;

private:
    strbuf &sb_;
};

void release_document() {
    std::free(g_svg_buf);
    g_svg_buf = nullptr;
    g_svg_len = 0;
}

// A rotation that is not finite counts as 0, as on the raster path.
float finite_rotation(float rotation) { return std::isfinite(rotation) ? rotation : 0.0f; }

// ---- Geometry ----

bool geometry_for(int n, int module_size, int quiet_zone, svg_geometry *out) {
    const std::int64_t m = module_size > 0 ? module_size : 1;
    const std::int64_t q = quiet_zone > 0 ? quiet_zone : 0;
    const std::int64_t sym = n * m;
    const std::int64_t qz = q * m;
    if (sym > MAX_COORD || qz > MAX_COORD) return false;
    std::int64_t size = sym + 2 * qz;
    if (size < MIN_DOC_SIZE) size = MIN_DOC_SIZE;
    if (size > MAX_COORD) return false;
    *out = {static_cast<int>(m), static_cast<int>(qz), static_cast<int>(sym),
            static_cast<int>(size)};
    return true;
}

// ---- Paths in document units ----

// Reads a non-negative or negative decimal written by the figure formats
// ("0", "0.50", "-1"). Hand-rolled: strtod follows the host's locale.
bool parse_number(const char *&p, double *out) {
    bool negative = false;
    if (*p == '-') {
        negative = true;
        ++p;
    }
    if (*p < '0' || *p > '9') return false;
    double value = 0.0;
    while (*p >= '0' && *p <= '9') value = value * 10.0 + (*p++ - '0');
    if (*p == '.') {
        ++p;
        // One division of exact integers, so "0.75" reads as exactly 0.75.
        double digits = 0.0;
        double scale = 1.0;
        while (*p >= '0' && *p <= '9') {
            digits = digits * 10.0 + (*p++ - '0');
            scale *= 10.0;
        }
        value += digits / scale;
    }
    *out = negative ? -value : value;
    return true;
}

// Rewrites a path of absolute M, L, H, V, A and Z commands from the element's
// module units into document units: a point (x, y) becomes
// (X + x * m, Y + y * m), arc radii are multiplied by m, and an arc's
// rotation and flags are copied unchanged.
bool path_to_document(const char *d, double X, double Y, double m, char *out,
                      std::size_t cap) {
    std::size_t pos = 0;
    char command = 0;
    int arg = 0;
    const char *p = d;
    while (*p) {
        if (*p == ' ') {
            ++p;
            continue;
        }
        char piece[32];
        int n = 0;
        if (std::strchr("MLHVAZ", *p)) {
            command = *p++;
            arg = 0;
            n = qr_snprintf(piece, sizeof piece, "%c", command);
        } else {
            const char *start = p;
            double v = 0.0;
            if (!parse_number(p, &v)) return false;
            int role = 0;  // 0 copy, 1 x, 2 y, 3 length
            switch (command) {
            case 'M':
            case 'L': role = arg % 2 == 0 ? 1 : 2; break;
            case 'H': role = 1; break;
            case 'V': role = 2; break;
            case 'A': {
                const int k = arg % 7;
                role = k < 2 ? 3 : k == 5 ? 1 : k == 6 ? 2 : 0;
                break;
            }
            default: return false;
            }
            ++arg;
            if (role == 0) {
                n = qr_snprintf(piece, sizeof piece, "%.*s", static_cast<int>(p - start), start);
            } else {
                const double w = role == 1 ? X + v * m : role == 2 ? Y + v * m : v * m;
                n = qr_snprintf(piece, sizeof piece, "%.2f", w);
            }
        }
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof piece) return false;
        const std::size_t k = static_cast<std::size_t>(n);
        if (pos + (pos ? 1 : 0) + k + 1 > cap) return false;
        if (pos) out[pos++] = ' ';
        std::memcpy(out + pos, piece, k);
        pos += k;
    }
    if (pos == 0 || cap == 0) return false;
    out[pos] = '\0';
    return true;
}

// ---- Figures ----

// Outline of a rounded rectangle as one closed clockwise subpath, starting
// just right of the top-left corner.
void rr_subpath(char out[PATH_CAP], float x, float y, float w, float h, float r) {
    float k = r > 0.0f ? r : 0.0f;
    const float half = (w < h ? w : h) / 2.0f;
    if (k > half) k = half;
    qr_snprintf(out, PATH_CAP,
                "M %.2f %.2f H %.2f A %.2f %.2f 0 0 1 %.2f %.2f V %.2f A %.2f %.2f 0 0 1 %.2f "
                "%.2f H %.2f A %.2f %.2f 0 0 1 %.2f %.2f V %.2f A %.2f %.2f 0 0 1 %.2f %.2f Z",
                double(x + k), double(y), double(x + w - k), double(k), double(k), double(x + w),
                double(y + k), double(y + h - k), double(k), double(k), double(x + w - k),
                double(y + h), double(x + k), double(k), double(k), double(x), double(y + h - k),
                double(y + k), double(k), double(k), double(x + k), double(y));
}

// The local path of a module figure; false when the figure is a disc of
// radius *disc_r instead.
bool module_path(const qr_dot_figure &f, char d[PATH_CAP], float *disc_r) {
    const auto r = double(f.radius);
    const double rest = 1.0 - r;
    if (f.side == QR_SIDE_LEAF) {
        qr_snprintf(d, PATH_CAP, "%s", LEAF_PATH);
        return true;
    }
    switch (f.kind) {
    case QR_FIG_DISC: *disc_r = f.radius; return false;
    case QR_FIG_ROUND_CORNER:
        if (f.corner_x == 0 && f.corner_y == 0) {
            qr_snprintf(d, PATH_CAP, "M %.2f 0 H 1 V 1 H 0 V %.2f A %.2f %.2f 0 0 1 %.2f 0 Z", r,
                        r, r, r, r);
        } else if (f.corner_y == 0) {
            qr_snprintf(d, PATH_CAP, "M 0 0 H %.2f A %.2f %.2f 0 0 1 1 %.2f V 1 H 0 Z", rest, r,
                        r, r);
        } else if (f.corner_x == 0) {
            qr_snprintf(d, PATH_CAP, "M 0 0 H 1 V 1 H %.2f A %.2f %.2f 0 0 1 0 %.2f Z", r, r, r,
                        rest);
        } else {
            qr_snprintf(d, PATH_CAP, "M 0 0 H 1 V %.2f A %.2f %.2f 0 0 1 %.2f 1 H 0 Z", rest, r,
                        r, rest);
        }
        return true;
    case QR_FIG_HALF_ROUND:
        switch (f.side) {
        case QR_SIDE_TOP:
            qr_snprintf(d, PATH_CAP, "M 0 0 H 1 V %.2f A %.2f %.2f 0 0 1 0 %.2f Z", 0.5, r, r,
                        0.5);
            break;
        case QR_SIDE_BOTTOM:
            qr_snprintf(d, PATH_CAP, "M 0 1 V %.2f A %.2f %.2f 0 0 1 1 %.2f V 1 Z", 0.5, r, r,
                        0.5);
            break;
        case QR_SIDE_LEFT:
            qr_snprintf(d, PATH_CAP, "M 0 0 H %.2f A %.2f %.2f 0 0 1 %.2f 1 H 0 Z", 0.5, r, r,
                        0.5);
            break;
        default:  // QR_SIDE_RIGHT: the left-side figure mirrored about x = 0.5
            qr_snprintf(d, PATH_CAP, "M 1 0 V 1 H %.2f A %.2f %.2f 0 0 1 %.2f 0 Z", 0.5, r, r,
                        0.5);
            break;
        }
        return true;
    case QR_FIG_QUARTER_DISC:
        if (f.corner_x == 0 && f.corner_y == 0) {
            qr_snprintf(d, PATH_CAP, "M 0 0 L %.2f 0 A %.2f %.2f 0 0 1 0 %.2f Z", r, r, r, r);
        } else if (f.corner_y == 0) {
            qr_snprintf(d, PATH_CAP, "M %.2f 0 V %.2f A %.2f %.2f 0 0 1 0 0 Z", r, r, r, r);
        } else if (f.corner_x == 0) {
            qr_snprintf(d, PATH_CAP, "M 0 %.2f V 0 A %.2f %.2f 0 0 1 %.2f %.2f Z", r, r, r, r, r);
        } else {
            qr_snprintf(d, PATH_CAP, "M %.2f %.2f H 0 A %.2f %.2f 0 0 1 %.2f 0 Z", r, r, r, r, r);
        }
        return true;
    default: qr_snprintf(d, PATH_CAP, "%s", FULL_CELL); return true;
    }
}

void ring_path(int style, char out[RING_CAP]) {
    char a[PATH_CAP];
    char b[PATH_CAP];
    switch (style) {
    case QR_RING_CIRCLE: {
        constexpr const char *CIRCLE =
            "M %.2f %.2f A %.2f %.2f 0 1 0 %.2f %.2f A %.2f %.2f 0 1 0 %.2f %.2f Z";
        qr_snprintf(a, sizeof a, CIRCLE, 0.0, 3.5, 3.5, 3.5, 7.0, 3.5, 3.5, 3.5, 0.0, 3.5);
        qr_snprintf(b, sizeof b, CIRCLE, 1.0, 3.5, 2.5, 2.5, 6.0, 3.5, 2.5, 2.5, 1.0, 3.5);
        qr_snprintf(out, RING_CAP, "%s %s", a, b);
        return;
    }
    case QR_RING_CUSHION:
    case QR_RING_TILE:
        rr_subpath(a, 0.0f, 0.0f, 7.0f, 7.0f, style == QR_RING_CUSHION ? 1.0f : 0.5f);
        qr_snprintf(out, RING_CAP, "%s M 1 1 H 6 V 6 H 1 Z", a);
        return;
    case QR_RING_PEBBLE:
    case QR_RING_TUBE:
        rr_subpath(a, 0.0f, 0.0f, 7.0f, 7.0f, style == QR_RING_PEBBLE ? 2.5f : 1.0f);
        rr_subpath(b, 1.0f, 1.0f, 5.0f, 5.0f, style == QR_RING_PEBBLE ? 1.5f : 0.5f);
        qr_snprintf(out, RING_CAP, "%s %s", a, b);
        return;
    default: qr_snprintf(out, RING_CAP, "%s", BOX_RING); return;
    }
}

// ---- Elements ----

// A figure ready to be placed: its local markup after the placement
// attributes, and what a document-unit copy needs.
struct figure_text {
    bool circle;
    double centre;  // circle: centre on both axes, in local units
    double radius;  // circle: radius, in local units
    const char *extra;  // attributes between the paint and the geometry
    char d[RING_CAP];  // path: local geometry
    char tail[RING_CAP + 32];  // local markup after the placement text
};

void make_path_figure(figure_text *f, const char *extra) {
    f->circle = false;
    f->extra = extra;
    qr_snprintf(f->tail, sizeof f->tail, "%s d=\"%s\"/>", extra, f->d);
}

void make_circle_figure(figure_text *f, double centre, double radius, const char *local) {
    f->circle = true;
    f->centre = centre;
    f->radius = radius;
    f->extra = "";
    qr_snprintf(f->tail, sizeof f->tail, "%s", local);
}

// Builds one short line from texts and integers. Integers are written with
// std::to_chars, which never consults the locale; this keeps the per-module
// work of solid elements free of formatted printing.
class line_builder {
public:
    void text(const char *s) {
        const std::size_t k = std::strlen(s);
        if (len_ + k >= sizeof buf_) {
            ok_ = false;
            return;
        }
        std::memcpy(buf_ + len_, s, k);
        len_ += k;
    }
    void integer(int v) {
        const auto res = std::to_chars(buf_ + len_, buf_ + sizeof buf_ - 1, v);
        if (res.ec != std::errc()) {
            ok_ = false;
            return;
        }
        len_ = static_cast<std::size_t>(res.ptr - buf_);
    }
    const char *finish() {
        buf_[len_] = '\0';
        return ok_ ? buf_ : nullptr;
    }

private:
    char buf_[QR_SVG_PIECE_CAP];
    std::size_t len_ = 0;
    bool ok_ = true;
};

// Appends one element with its local origin at document point (X, Y): with a
// solid paint the local markup under translate + scale, with a gradient the
// same geometry in document units and no transform.
int add_element(svg_doc &doc, int which, int X, int Y, const figure_text &f) {
    const char *fill = doc.fill[which];
    if (!doc.gradient[which]) {
        line_builder line;
        line.text(f.circle ? "<circle" : "<path");
        line.text(fill);
        line.text(" transform=\"translate(");
        line.integer(X);
        line.text(" ");
        line.integer(Y);
        line.text(") scale(");
        line.integer(doc.geo.m);
        line.text(")\"");
        line.text(f.tail);
        const char *text = line.finish();
        return text ? sb_add(&doc.sb, text) : -1;
    }
    const double m = doc.geo.m;
    if (f.circle) {
        return sb_addf(&doc.sb, "<circle%s cx=\"%.2f\" cy=\"%.2f\" r=\"%.2f\"/>", fill,
                       X + f.centre * m, Y + f.centre * m, f.radius * m);
    }
    char moved[DOC_PATH_CAP];
    if (!path_to_document(f.d, X, Y, m, moved, sizeof moved)) return -1;
    return sb_addf(&doc.sb, "<path%s%s d=\"%s\"/>", fill, f.extra, moved);
}

// One rectangle in the background paint; nothing for a transparent solid
// background.
int bg_rect(strbuf *sb, int x, int y, int w, int h, int id) {
    if (g_style.background_gradient.type != QR_GRADIENT_NONE) {
        return sb_addf(sb, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"url(#g%d)\"/>",
                       x, y, w, h, id);
    }
    const int *c = g_style.background_color;
    const int a = c[3];
    if (a <= 0) return 0;
    if (a <= 254) {
        return sb_addf(sb,
                       "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" "
                       "fill=\"#%02x%02x%02x\" fill-opacity=\"%.4f\"/>",
                       x, y, w, h, c[0], c[1], c[2],
                       double(static_cast<float>(a) / 255.0f));
    }
    return sb_addf(sb, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"#%02x%02x%02x\"/>",
                   x, y, w, h, c[0], c[1], c[2]);
}

// One gradient definition over the frame (x0, y0, w, h), in user units of
// the document.
int grad_def(strbuf *sb, const qr_gradient *grad, int id, float x0, float y0, float w, float h) {
    const float cx = (w - 1.0f) * 0.5f + x0;
    const float cy = (h - 1.0f) * 0.5f + y0;
    if (grad->type == QR_GRADIENT_LINEAR) {
        const float angle = finite_rotation(grad->rotation) * DEG_TO_RAD;
        const float c = std::cos(angle);
        const float s = std::sin(angle);
        const float half = w * 0.5f;
        return sb_addf(sb,
                       "<linearGradient id=\"g%d\" gradientUnits=\"userSpaceOnUse\" x1=\"%.2f\" "
                       "y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\"><stop offset=\"0\" "
                       "stop-color=\"#%02x%02x%02x\"/><stop offset=\"1\" "
                       "stop-color=\"#%02x%02x%02x\"/></linearGradient>",
                       id, double(cx - c * half), double(cy - s * half), double(cx + c * half),
                       double(cy + s * half), grad->start_r, grad->start_g, grad->start_b,
                       grad->end_r, grad->end_g, grad->end_b);
    }
    if (grad->type == QR_GRADIENT_RADIAL) {
        return sb_addf(sb,
                       "<radialGradient id=\"g%d\" gradientUnits=\"userSpaceOnUse\" cx=\"%.2f\" "
                       "cy=\"%.2f\" r=\"%.2f\"><stop offset=\"0\" "
                       "stop-color=\"#%02x%02x%02x\"/><stop offset=\"1\" "
                       "stop-color=\"#%02x%02x%02x\"/></radialGradient>",
                       id, double(cx), double(cy), double(w * 0.5f), grad->start_r,
                       grad->start_g, grad->start_b, grad->end_r, grad->end_g, grad->end_b);
    }
    return 0;
}

// ---- Document sections ----

const qr_gradient *part_gradient(int which) {
    switch (which) {
    case PART_MODULE: return &g_style.dot_gradient;
    case PART_RING: return &g_style.corner_square_gradient;
    default: return &g_style.corner_dot_gradient;
    }
}

const int *part_color(int which) {
    switch (which) {
    case PART_MODULE: return g_style.dot_color;
    case PART_RING: return g_style.corner_square_color;
    default: return g_style.corner_dot_color;
    }
}

// Gradient ids in the order module, ring, centre, background, counting only
// the gradients present; the fill attribute text of each part.
void assign_paints(svg_doc &doc, int ids[PART_COUNT]) {
    int next = 0;
    for (int which = 0; which < PART_COUNT; ++which) {
        doc.gradient[which] = part_gradient(which)->type != QR_GRADIENT_NONE;
        ids[which] = doc.gradient[which] ? next++ : -1;
    }
    doc.bg_id = g_style.background_gradient.type != QR_GRADIENT_NONE ? next : -1;
    for (int which = 0; which < PART_COUNT; ++which) {
        if (doc.gradient[which]) {
            qr_snprintf(doc.fill[which], FILL_CAP, " fill=\"url(#g%d)\"", ids[which]);
        } else {
            const int *c = part_color(which);
            qr_snprintf(doc.fill[which], FILL_CAP, " fill=\"#%02x%02x%02x\"", c[0], c[1], c[2]);
        }
    }
}

int add_defs(svg_doc &doc, const int ids[PART_COUNT]) {
    if (sb_add(&doc.sb, "<defs>") != 0) return -1;
    const auto sym_x = static_cast<float>(doc.geo.qz);
    const auto sym_w = static_cast<float>(doc.geo.sym);
    int rc = 0;
    for (int which = 0; which < PART_COUNT && rc == 0; ++which) {
        if (ids[which] < 0) continue;
        rc = grad_def(&doc.sb, part_gradient(which), ids[which], sym_x, sym_x, sym_w, sym_w);
    }
    if (rc == 0 && doc.bg_id >= 0) {
        const auto side = static_cast<float>(doc.geo.size);
        rc = grad_def(&doc.sb, &g_style.background_gradient, doc.bg_id, 0.0f, 0.0f, side, side);
    }
    const int closed = sb_add(&doc.sb, "</defs>");
    return rc == 0 && closed == 0 ? 0 : -1;
}

bool in_finder(int c, int r, int n) {
    return (r <= 6 && c <= 6) || (r <= 6 && c >= n - 7) || (r >= n - 7 && c <= 6);
}

// The figure of a module depends only on the style and its neighbour mask,
// so the 16 possible texts are prepared once per document.
void prepare_module_figures(figure_text figs[16]) {
    for (int mask = 0; mask < 16; ++mask) {
        figure_text &f = figs[mask];
        float disc_r = 0.0f;
        if (module_path(select_dot_figure(g_style.dot_style, mask), f.d, &disc_r)) {
            make_path_figure(&f, "");
        } else {
            char local[96];
            qr_snprintf(local, sizeof local, " cx=\"0.5\" cy=\"0.5\" r=\"%.2f\"/>",
                        double(disc_r));
            make_circle_figure(&f, 0.5, double(disc_r), local);
        }
    }
}

int add_modules(svg_doc &doc, const unsigned char *modules, int n) {
    static_assert((QR_NB_LEFT | QR_NB_TOP | QR_NB_RIGHT | QR_NB_BOTTOM) == 15);
    figure_text figs[16];
    prepare_module_figures(figs);
    const auto dark = [modules, n](int c, int r) { return modules[r * n + c] != 0; };
    const int m = doc.geo.m;
    for (int r = 0; r < n; ++r) {
        for (int c = 0; c < n; ++c) {
            if (!dark(c, r) || in_finder(c, r, n)) continue;
            int mask = 0;
            if (c > 0 && dark(c - 1, r)) mask |= QR_NB_LEFT;
            if (r > 0 && dark(c, r - 1)) mask |= QR_NB_TOP;
            if (c < n - 1 && dark(c + 1, r)) mask |= QR_NB_RIGHT;
            if (r < n - 1 && dark(c, r + 1)) mask |= QR_NB_BOTTOM;
            if (add_element(doc, PART_MODULE, doc.geo.qz + c * m, doc.geo.qz + r * m,
                            figs[mask]) != 0) {
                return -1;
            }
        }
    }
    return 0;
}

int add_finders(svg_doc &doc, int n) {
    figure_text ring;
    ring_path(g_style.corner_square_style, ring.d);
    make_path_figure(&ring, EVEN_ODD);
    figure_text centre;
    switch (g_style.corner_dot_style) {
    case QR_CENTER_DISC:
        make_circle_figure(&centre, 1.5, 1.5, " cx=\"1.5\" cy=\"1.5\" r=\"1.5\"/>");
        break;
    case QR_CENTER_CUSHION:
        rr_subpath(centre.d, 0.0f, 0.0f, 3.0f, 3.0f, 0.75f);
        make_path_figure(&centre, "");
        break;
    default:
        qr_snprintf(centre.d, sizeof centre.d, "%s", BOX_CENTER);
        make_path_figure(&centre, "");
        break;
    }
    const int origins[3][2] = {{0, 0}, {n - 7, 0}, {0, n - 7}};
    const int m = doc.geo.m;
    for (const auto &o : origins) {
        const int X = doc.geo.qz + o[0] * m;
        const int Y = doc.geo.qz + o[1] * m;
        if (add_element(doc, PART_RING, X, Y, ring) != 0 ||
            add_element(doc, PART_CENTER, X + 2 * m, Y + 2 * m, centre) != 0) {
            return -1;
        }
    }
    return 0;
}

// Appends base64 (RFC 4648, padded) four characters at a time.
int add_base64(strbuf *sb, const unsigned char *bytes, std::size_t len) {
    char quad[5] = {};
    for (std::size_t i = 0; i < len; i += 3) {
        const std::size_t left = len - i;
        const unsigned v = (unsigned{bytes[i]} << 16) |
                           (left > 1 ? unsigned{bytes[i + 1]} << 8 : 0u) |
                           (left > 2 ? unsigned{bytes[i + 2]} : 0u);
        quad[0] = B64TABLE[(v >> 18) & 63u];
        quad[1] = B64TABLE[(v >> 12) & 63u];
        quad[2] = left > 1 ? B64TABLE[(v >> 6) & 63u] : '=';
        quad[3] = left > 2 ? B64TABLE[v & 63u] : '=';
        if (sb_add(sb, quad) != 0) return -1;
    }
    return 0;
}

// The logo box in the background paint and the logo embedded as PNG, placed
// by the same fit as the raster path.
int add_logo(svg_doc &doc) {
    unsigned char *raw = nullptr;
    int lw = 0;
    int lh = 0;
    if (qr_png_read_file(g_style.logo_path, &raw, &lw, &lh) != 0) return -1;
    const qr_heap_ptr<unsigned char> pixels(raw);
    const qr_canvas image{lw, lh, raw};
    unsigned char *png_raw = nullptr;
    int png_len = 0;
    if (qr_png_write_mem(&image, &png_raw, &png_len) != 0 || png_len < 0) {
        std::free(png_raw);
        return -1;
    }
    const qr_heap_ptr<unsigned char> png(png_raw);

    const qr_logo_fit fit =
        qr_logo_geometry(doc.geo.sym, g_style.logo_size, g_style.logo_margin, lw, lh);
    const int size = doc.geo.size;
    int b = (size - fit.box) / 2;
    if (b < 0) b = 0;
    if (bg_rect(&doc.sb, b, b, fit.box, fit.box, doc.bg_id) != 0) return -1;
    const int ix = (size - fit.dw) / 2;
    const int iy = (size - fit.dh) / 2;
    if (sb_addf(&doc.sb,
                "<image x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" "
                "preserveAspectRatio=\"xMidYMid meet\"",
                ix, iy, fit.dw, fit.dh) != 0 ||
        sb_add(&doc.sb, " xlink:href=\"data:image/png;base64,") != 0 ||
        add_base64(&doc.sb, png.get(), static_cast<std::size_t>(png_len)) != 0 ||
        sb_add(&doc.sb, "\"/>") != 0) {
        return -1;
    }
    return 0;
}

int build_document(const char *text, int ecc, int module_size, int quiet_zone) {
    unsigned char modules[QR_MATRIX_CAP];
    int n = 0;
    int level_used = 0;
    if (qr_encode_matrix(text, ecc, modules, &n, &level_used) != 1) return -1;

    svg_doc doc{};
    doc.sb.data = static_cast<char *>(std::malloc(QR_SVG_START_CAP));
    if (!doc.sb.data) {
        qr_set_error("qr_svg: buffer alloc failed");
        return -1;
    }
    doc.sb.cap = QR_SVG_START_CAP;
    doc.sb.data[0] = '\0';
    strbuf_owner owner(doc.sb);

    int ids[PART_COUNT];
    const bool fits = geometry_for(n, module_size, quiet_zone, &doc.geo);
    if (fits) assign_paints(doc, ids);
    const int size = doc.geo.size;
    const bool ok =
        fits &&
        sb_addf(&doc.sb,
                "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg "
                "xmlns=\"http://www.w3.org/2000/svg\" "
                "xmlns:xlink=\"http://www.w3.org/1999/xlink\" width=\"%d\" height=\"%d\" "
                "viewBox=\"0 0 %d %d\">",
                size, size, size, size) == 0 &&
        add_defs(doc, ids) == 0 && bg_rect(&doc.sb, 0, 0, size, size, doc.bg_id) == 0 &&
        add_modules(doc, modules, n) == 0 && add_finders(doc, n) == 0 &&
        (g_style.logo_path[0] == '\0' || !(g_style.logo_size > 0.0f) || add_logo(doc) == 0) &&
        sb_add(&doc.sb, "</svg>") == 0;
    if (!ok) {
        qr_set_error(BUILD_FAILED);
        return -1;
    }
    release_document();
    static_cast<void>(&t_reaper);  // registers the thread-exit release
    g_svg_len = doc.sb.len;
    g_svg_buf = owner.release();
    return 1;
}

}  // namespace

// ---- Text buffer ----

int sb_reserve(strbuf *sb, std::size_t add) {
    if (add > QR_SVG_MAX_CAP) return -1;
    const std::size_t need = sb->len + add + 1;
    if (sb->cap >= need) return 0;
    if (need > QR_SVG_MAX_CAP) return -1;
    std::size_t c = QR_SVG_START_CAP;
    if (sb->cap != 0 || need > QR_SVG_START_CAP) {
        c = sb->cap != 0 ? sb->cap : QR_SVG_START_CAP;
        for (;;) {
            if (c > DOUBLING_LIMIT) {
                c = QR_SVG_MAX_CAP;
                break;
            }
            c *= 2;
            if (c >= need) break;
        }
    }
    void *grown = std::realloc(sb->data, c);
    if (!grown) return -1;
    sb->data = static_cast<char *>(grown);
    sb->cap = c;
    return 0;
}

int sb_add(strbuf *sb, const char *text) {
    const std::size_t k = std::strlen(text);
    if (sb_reserve(sb, k) != 0) return -1;
    std::memcpy(sb->data + sb->len, text, k);
    sb->len += k;
    sb->data[sb->len] = '\0';
    return 0;
}

int sb_addf(strbuf *sb, const char *format, ...) {
    char piece[QR_SVG_PIECE_CAP];
    std::va_list args;
    va_start(args, format);
    const int n = qr_vsnprintf(piece, sizeof piece, format, args);
    va_end(args);
    if (n < 0 || static_cast<std::size_t>(n) > QR_SVG_PIECE_CAP - 1) return -1;
    return sb_add(sb, piece);
}

// ---- Entry points ----

int qr_svg_build(const char *text, int ecc, int module_size, int quiet_zone) {
    release_document();
    if (!text || text[0] == '\0') {
        qr_set_error("qr_svg: empty text");
        return -1;
    }
    return build_document(text, ecc, module_size, quiet_zone);
}

const char *qr_svg_buffer() { return g_svg_buf; }

extern "C" QR_EXPORT const char *qr_encode_to_svg_string(const char *text, int ecc,
                                                         int module_size,
                                                         int quiet_zone) noexcept {
    const qr_api_lock lock;
    return qr_svg_build(text, ecc, module_size, quiet_zone) == 1 ? g_svg_buf : nullptr;
}

extern "C" QR_EXPORT int qr_encode_to_svg_file(const char *text, const char *path, int ecc,
                                               int module_size, int quiet_zone) noexcept {
    const qr_api_lock lock;
    if (!path) {
        qr_set_error("qr_encode_to_svg_file: NULL output path");
        return -1;
    }
    if (qr_svg_build(text, ecc, module_size, quiet_zone) != 1) return -1;
    return qr_write_output(path, g_svg_buf, g_svg_len,
                           "qr_encode_to_svg_file: cannot open output path for writing",
                           "qr_encode_to_svg_file: short write");
}
