// SVG document writer: the same module matrix, figures, paints and logo as
// the raster path, written as SVG 1.1 markup into one growable text buffer.
//
// Numbers are written with qr_snprintf or std::to_chars, so the text never
// depends on the host's locale. Geometry is computed in 64 bits and refused when a written
// coordinate would not fit in an int. The document under construction is
// private to the build and released on every failure; only a finished
// document reaches the caller.
//
// All data modules are one <path>, one clockwise subpath per module figure:
// neighbouring figures then share their edges inside one shape and are
// anti-aliased together, where separate elements would each blend their
// edge over the background and leave a faint seam at non-integer scales.
// Every figure is wound the same way, so the default nonzero rule fills the
// union and no overlap cancels.
//
// Solid paints are drawn in module units and placed with translate + scale
// (the modules once for the symbol, each finder ring and centre on its own).
// Gradient paints are written in document coordinates without a transform
// instead: a renderer evaluates a userSpaceOnUse gradient in the referencing
// element's user space, so under a scale the gradient would shrink with it
// rather than run across the symbol.
#include <charconv>
#include <concepts>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "qrcode_encode.h"
#include "qrcode_gradient.h"
#include "qrcode_logo.h"
#include "qrcode_platform.h"
#include "qrcode_png.h"
#include "qrcode_render.h"
#include "qrcode_shapes.h"
#include "qrcode_svg.h"

namespace {

constexpr std::size_t DOUBLING_LIMIT = 16777216;
constexpr int MIN_DOC_SIZE = 21;
constexpr std::int64_t MAX_COORD = 2147483647;

constexpr std::size_t FILL_CAP = 64;  // a fill attribute text

constexpr const char *BUILD_FAILED = "qr_svg: failed while building SVG document";

constexpr char B64TABLE[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The three painted parts, in gradient-id order (the background comes last).
enum part : int { PART_MODULE = 0, PART_RING = 1, PART_CENTER = 2, PART_COUNT = 3 };

struct svg_geometry {
    int m;     // user units per module
    int qz;    // quiet zone in user units
    int sym;   // symbol width
    int size;  // document side
};

struct svg_doc {
    const qr_style &style;
    strbuf sb;
    svg_geometry geo;
    int bg_id;                        // background gradient id, -1 without
    bool gradient[PART_COUNT];        // part painted with a gradient
    char fill[PART_COUNT][FILL_CAP];  // fill attribute text, starting with a blank
};

// Frees the text of a buffer under construction when it leaves scope; a
// finished document is taken out of the buffer first.
struct strbuf_releaser {
    void operator()(strbuf *sb) const noexcept { std::free(sb->data); }
};
using strbuf_owner = std::unique_ptr<strbuf, strbuf_releaser>;

// ---- Geometry ----

bool geometry_for(int n, int module_size, int quiet_zone, svg_geometry *out) {
    const std::int64_t m = qr_module_units(module_size);
    const std::int64_t q = qr_quiet_modules(quiet_zone);
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

// ---- Text lines ----

// Builds one line from texts and numbers. Numbers are written with
// std::to_chars or qr_snprintf, which never consult the locale; solid
// elements need only integers, keeping their per-module work free of
// formatted printing.
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
    void integer(int v) { chars(std::to_chars(buf_ + len_, buf_ + sizeof buf_ - 1, v)); }
    // The shortest form that reads back as v: "0", "0.5", "1.5".
    void shortest(float v) { chars(std::to_chars(buf_ + len_, buf_ + sizeof buf_ - 1, v)); }
    void two_decimals(double v) {
        char piece[32];
        const int n = qr_snprintf(piece, sizeof piece, "%.2f", v);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof piece) {
            ok_ = false;
            return;
        }
        text(piece);
    }
    const char *finish() {
        buf_[len_] = '\0';
        return ok_ ? buf_ : nullptr;
    }

private:
    void chars(std::to_chars_result res) {
        if (res.ec != std::errc()) {
            ok_ = false;
            return;
        }
        len_ = static_cast<std::size_t>(res.ptr - buf_);
    }

    char buf_[QR_SVG_PIECE_CAP];
    std::size_t len_ = 0;
    bool ok_ = true;
};

// ---- Figure paths ----

// A number of a figure in module units, and whether its local text has two
// decimals ("0.50") or the shortest form ("0", "0.5").
struct path_num {
    float value = 0.0f;
    bool fixed = false;
    path_num() = default;
    template <std::same_as<int> T>
    constexpr path_num(T v) : value(static_cast<float>(v)), fixed(false) {}
    constexpr path_num(float v, bool two_decimals) : value(v), fixed(two_decimals) {}
};
constexpr path_num fx(float v) { return {v, true}; }
constexpr path_num pl(float v) { return {v, false}; }

// How a number changes when its figure is written in document units: a
// coordinate is scaled and moved to the element's origin, a length scaled,
// an arc's rotation and flags kept.
enum num_role : unsigned char { ROLE_X, ROLE_Y, ROLE_LENGTH, ROLE_KEEP };

struct path_token {
    char command;  // 0 for a number
    num_role role;
    path_num num;
};

// Enough for the longest figure, a ring of two rounded squares (88 tokens).
constexpr std::size_t PATH_TOKENS = 96;

// A figure outline as absolute commands, kept as numbers so that it can be
// written in module units or in document units. All arcs are circular with
// rotation 0.
class figure_path {
public:
    figure_path &move_to(path_num x, path_num y) { return op('M').point(x, y); }
    figure_path &line_to(path_num x, path_num y) { return op('L').point(x, y); }
    figure_path &horizontal_to(path_num x) { return op('H').num(ROLE_X, x); }
    figure_path &vertical_to(path_num y) { return op('V').num(ROLE_Y, y); }
    figure_path &arc_to(path_num r, int large, int sweep, path_num x, path_num y) {
        op('A').num(ROLE_LENGTH, r).num(ROLE_LENGTH, r).num(ROLE_KEEP, 0);
        return num(ROLE_KEEP, large).num(ROLE_KEEP, sweep).point(x, y);
    }
    figure_path &close() { return op('Z'); }

    const path_token *begin() const { return tokens_; }
    const path_token *end() const { return tokens_ + count_; }
    bool complete() const { return ok_; }

private:
    figure_path &add(path_token t) {
        if (count_ == PATH_TOKENS) {
            ok_ = false;
        } else {
            tokens_[count_++] = t;
        }
        return *this;
    }
    figure_path &op(char command) { return add({command, ROLE_KEEP, {}}); }
    figure_path &num(num_role role, path_num n) { return add({0, role, n}); }
    figure_path &point(path_num x, path_num y) { return num(ROLE_X, x).num(ROLE_Y, y); }

    path_token tokens_[PATH_TOKENS];
    std::size_t count_ = 0;
    bool ok_ = true;
};

// Where a figure's module units land: origin (x, y) and scale m. Document
// units write every placed number with two decimals; module units keep each
// number's own form ("10.5", "8.50").
struct placement {
    double x, y, m;
    bool two_decimals;
};

void write_number(line_builder &line, num_role role, path_num n, const placement *at) {
    double v = n.value;
    if (at && role == ROLE_X) v = at->x + v * at->m;
    if (at && role == ROLE_Y) v = at->y + v * at->m;
    if (at && role == ROLE_LENGTH) v *= at->m;
    if (n.fixed || (at && role != ROLE_KEEP && at->two_decimals)) {
        line.two_decimals(v);
    } else {
        line.shortest(static_cast<float>(v));
    }
}

// Writes the path in module units, or in document units when `at` is given.
void write_path(line_builder &line, const figure_path &path, const placement *at) {
    bool first = true;
    for (const path_token &t : path) {
        if (!first) line.text(" ");
        first = false;
        if (t.command) {
            const char letter[2] = {t.command, '\0'};
            line.text(letter);
        } else {
            write_number(line, t.role, t.num, at);
        }
    }
}

// The outline of a square of half side `half` centred at (c, c), with the
// corners at whole modules.
void square_path(figure_path &p, float c, float half) {
    const path_num lo = pl(c - half);
    const path_num hi = pl(c + half);
    p.move_to(lo, lo).horizontal_to(hi).vertical_to(hi).horizontal_to(lo).close();
}

// A rounded rectangle as one closed clockwise subpath, starting just right
// of the top-left corner.
void rounded_rect_path(figure_path &p, float x, float y, float w, float h, float r) {
    const path_num k = fx(r);
    p.move_to(fx(x + r), fx(y))
        .horizontal_to(fx(x + w - r))
        .arc_to(k, 0, 1, fx(x + w), fx(y + r))
        .vertical_to(fx(y + h - r))
        .arc_to(k, 0, 1, fx(x + w - r), fx(y + h))
        .horizontal_to(fx(x + r))
        .arc_to(k, 0, 1, fx(x), fx(y + h - r))
        .vertical_to(fx(y + r))
        .arc_to(k, 0, 1, fx(x + r), fx(y))
        .close();
}

// A circle of radius r centred at (c, c) as two half-circle arcs.
void circle_path(figure_path &p, float c, float r) {
    const path_num left = fx(c - r);
    const path_num right = fx(c + r);
    p.move_to(left, fx(c)).arc_to(fx(r), 1, 0, right, fx(c)).arc_to(fx(r), 1, 0, left, fx(c));
    p.close();
}

// A disc of radius r centred at (c, c), drawn clockwise like every other
// module figure.
void disc_path(figure_path &p, float c, float r) {
    const path_num left = fx(c - r);
    const path_num right = fx(c + r);
    p.move_to(left, pl(c)).arc_to(fx(r), 1, 1, right, pl(c)).arc_to(fx(r), 1, 1, left, pl(c));
    p.close();
}

void outline_path(figure_path &p, int kind, float c, float half, float corner) {
    switch (kind) {
    case QR_OUTLINE_SQUARE: square_path(p, c, half); break;
    case QR_OUTLINE_CIRCLE: circle_path(p, c, half); break;
    case QR_OUTLINE_ROUNDED:
        rounded_rect_path(p, c - half, c - half, half + half, half + half, corner);
        break;
    default: break;
    }
}

// ---- Figures ----

constexpr const char *EVEN_ODD = " fill-rule=\"evenodd\"";
constexpr std::size_t LOCAL_CAP = 512;

// A finder ring or centre ready to be placed: a path or a circle, and its
// markup in module units after the placement attributes.
struct figure {
    bool circle = false;
    path_num centre;         // circle: centre on both axes
    path_num radius;         // circle: radius
    const char *extra = "";  // path: attributes between the paint and the geometry
    figure_path path;
    char local[LOCAL_CAP];
};

// The geometry attributes and the end of the element.
void write_geometry(line_builder &line, const figure &f, const placement *at) {
    if (f.circle) {
        line.text(" cx=\"");
        write_number(line, ROLE_X, f.centre, at);
        line.text("\" cy=\"");
        write_number(line, ROLE_Y, f.centre, at);
        line.text("\" r=\"");
        write_number(line, ROLE_LENGTH, f.radius, at);
    } else {
        line.text(f.extra);
        line.text(" d=\"");
        write_path(line, f.path, at);
    }
    line.text("\"/>");
}

// Writes the local markup; false when the figure does not fit.
bool finish_figure(figure &f) {
    line_builder line;
    write_geometry(line, f, nullptr);
    const char *text = line.finish();
    if (!f.path.complete() || !text || std::strlen(text) >= sizeof f.local) return false;
    std::memcpy(f.local, text, std::strlen(text) + 1);
    return true;
}

void make_circle(figure &f, path_num centre, path_num radius) {
    f.circle = true;
    f.centre = centre;
    f.radius = radius;
}

void round_corner_path(figure_path &p, const qr_dot_figure &f) {
    const path_num r = fx(f.radius);
    const path_num rest = fx(1.0f - f.radius);
    if (f.corner_x == 0 && f.corner_y == 0) {
        p.move_to(r, 0).horizontal_to(1).vertical_to(1).horizontal_to(0).vertical_to(r);
        p.arc_to(r, 0, 1, r, 0);
    } else if (f.corner_y == 0) {
        p.move_to(0, 0).horizontal_to(rest).arc_to(r, 0, 1, 1, r).vertical_to(1).horizontal_to(0);
    } else if (f.corner_x == 0) {
        p.move_to(0, 0).horizontal_to(1).vertical_to(1).horizontal_to(r).arc_to(r, 0, 1, 0, rest);
    } else {
        p.move_to(0, 0).horizontal_to(1).vertical_to(rest).arc_to(r, 0, 1, rest, 1);
        p.horizontal_to(0);
    }
    p.close();
}

void half_round_path(figure_path &p, const qr_dot_figure &f) {
    const path_num r = fx(f.radius);
    const path_num mid = fx(0.5f);
    switch (f.side) {
    case QR_SIDE_TOP:
        p.move_to(0, 0).horizontal_to(1).vertical_to(mid).arc_to(r, 0, 1, 0, mid);
        break;
    case QR_SIDE_BOTTOM:
        p.move_to(0, 1).vertical_to(mid).arc_to(r, 0, 1, 1, mid).vertical_to(1);
        break;
    case QR_SIDE_LEFT:
        p.move_to(0, 0).horizontal_to(mid).arc_to(r, 0, 1, mid, 1).horizontal_to(0);
        break;
    default:  // QR_SIDE_RIGHT: the left-side figure mirrored about x = 0.5
        p.move_to(1, 0).vertical_to(1).horizontal_to(mid).arc_to(r, 0, 1, mid, 0);
        break;
    }
    p.close();
}

void quarter_disc_path(figure_path &p, const qr_dot_figure &f) {
    const path_num r = fx(f.radius);
    if (f.corner_x == 0 && f.corner_y == 0) {
        p.move_to(0, 0).line_to(r, 0).arc_to(r, 0, 1, 0, r);
    } else if (f.corner_y == 0) {
        p.move_to(r, 0).vertical_to(r).arc_to(r, 0, 1, 0, 0);
    } else if (f.corner_x == 0) {
        p.move_to(0, r).vertical_to(0).arc_to(r, 0, 1, r, r);
    } else {
        p.move_to(r, r).horizontal_to(0).arc_to(r, 0, 1, r, 0);
    }
    p.close();
}

// A cell with its top-left and bottom-right corners rounded to half a module.
void leaf_path(figure_path &p) {
    const path_num mid = pl(0.5f);
    p.move_to(mid, 0).horizontal_to(1).vertical_to(mid).arc_to(mid, 0, 1, mid, 1);
    p.horizontal_to(0).vertical_to(mid).arc_to(mid, 0, 1, mid, 0).close();
}

void module_figure(const qr_dot_figure &fig, figure_path &p) {
    if (fig.side == QR_SIDE_LEAF) {
        leaf_path(p);
        return;
    }
    switch (fig.kind) {
    case QR_FIG_DISC: disc_path(p, 0.5f, fig.radius); break;
    case QR_FIG_ROUND_CORNER: round_corner_path(p, fig); break;
    case QR_FIG_HALF_ROUND: half_round_path(p, fig); break;
    case QR_FIG_QUARTER_DISC: quarter_disc_path(p, fig); break;
    default: square_path(p, 0.5f, 0.5f); break;
    }
}

// A ring or centre: a disc without a hole is a circle element, anything else
// one path whose hole, when present, is cut by the even-odd rule.
void finder_figure(const qr_finder_shape &shape, figure &f) {
    if (shape.outline == QR_OUTLINE_CIRCLE && shape.hole == QR_OUTLINE_NONE) {
        make_circle(f, pl(shape.radius), pl(shape.radius));
        return;
    }
    outline_path(f.path, shape.outline, shape.radius, shape.radius, shape.corner);
    if (shape.hole != QR_OUTLINE_NONE) {
        outline_path(f.path, shape.hole, shape.radius, shape.hole_radius, shape.hole_corner);
        f.extra = EVEN_ODD;
    }
}

// ---- Elements ----

// The placement of module units at document point (X, Y), m units each.
void write_transform(line_builder &line, int X, int Y, int m) {
    line.text(" transform=\"translate(");
    line.integer(X);
    line.text(" ");
    line.integer(Y);
    line.text(") scale(");
    line.integer(m);
    line.text(")\"");
}

// Appends one element with its local origin at document point (X, Y): with a
// solid paint the local markup under translate + scale, with a gradient the
// same geometry in document units and no transform.
int add_element(svg_doc &doc, int which, int X, int Y, const figure &f) {
    line_builder line;
    line.text(f.circle ? "<circle" : "<path");
    line.text(doc.fill[which]);
    if (doc.gradient[which]) {
        const placement at{double(X), double(Y), double(doc.geo.m), true};
        write_geometry(line, f, &at);
    } else {
        write_transform(line, X, Y, doc.geo.m);
        line.text(f.local);
    }
    const char *text = line.finish();
    return text ? sb_add(&doc.sb, text) : -1;
}

// One rectangle in the background paint; nothing for a transparent solid
// background.
int bg_rect(const qr_style &style, strbuf *sb, int x, int y, int w, int h, int id) {
    if (style.background_gradient.type != QR_GRADIENT_NONE) {
        return sb_addf(sb,
                       "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"url(#g%d)\"/>", x,
                       y, w, h, id);
    }
    const int *c = style.background_color;
    const int a = c[3];
    if (a <= 0) return 0;
    if (a <= 254) {
        return sb_addf(sb,
                       "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" "
                       "fill=\"#%02x%02x%02x\" fill-opacity=\"%.4f\"/>",
                       x, y, w, h, c[0], c[1], c[2], double(static_cast<float>(a) / 255.0f));
    }
    return sb_addf(sb,
                   "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"#%02x%02x%02x\"/>", x,
                   y, w, h, c[0], c[1], c[2]);
}

// One gradient definition over the frame (x0, y0, w, h), in user units of
// the document.
int grad_def(strbuf *sb, const qr_gradient *grad, int id, float x0, float y0, float w, float h) {
    const float cx = (w - 1.0f) * 0.5f + x0;
    const float cy = (h - 1.0f) * 0.5f + y0;
    if (grad->type == QR_GRADIENT_LINEAR) {
        float c = 1.0f;
        float s = 0.0f;
        qr_gradient_axis(grad, &c, &s);
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
                       id, double(cx), double(cy), double(w * 0.5f), grad->start_r, grad->start_g,
                       grad->start_b, grad->end_r, grad->end_g, grad->end_b);
    }
    return 0;
}

// ---- Document sections ----

const qr_gradient *part_gradient(const qr_style &style, int which) {
    switch (which) {
    case PART_MODULE: return &style.dot_gradient;
    case PART_RING: return &style.corner_square_gradient;
    default: return &style.corner_dot_gradient;
    }
}

const int *part_color(const qr_style &style, int which) {
    switch (which) {
    case PART_MODULE: return style.dot_color;
    case PART_RING: return style.corner_square_color;
    default: return style.corner_dot_color;
    }
}

// Gradient ids in the order module, ring, centre, background, counting only
// the gradients present; the fill attribute text of each part.
void assign_paints(svg_doc &doc, int ids[PART_COUNT]) {
    int next = 0;
    for (int which = 0; which < PART_COUNT; ++which) {
        doc.gradient[which] = part_gradient(doc.style, which)->type != QR_GRADIENT_NONE;
        ids[which] = doc.gradient[which] ? next++ : -1;
    }
    doc.bg_id = doc.style.background_gradient.type != QR_GRADIENT_NONE ? next : -1;
    for (int which = 0; which < PART_COUNT; ++which) {
        if (doc.gradient[which]) {
            qr_snprintf(doc.fill[which], FILL_CAP, " fill=\"url(#g%d)\"", ids[which]);
        } else {
            const int *c = part_color(doc.style, which);
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
        rc = grad_def(&doc.sb, part_gradient(doc.style, which), ids[which], sym_x, sym_x, sym_w,
                      sym_w);
    }
    if (rc == 0 && doc.bg_id >= 0) {
        const auto side = static_cast<float>(doc.geo.size);
        rc = grad_def(&doc.sb, &doc.style.background_gradient, doc.bg_id, 0.0f, 0.0f, side, side);
    }
    const int closed = sb_add(&doc.sb, "</defs>");
    return rc == 0 && closed == 0 ? 0 : -1;
}

// The opening of the one module element, up to its path data: a solid
// paint places the whole symbol in module units.
int open_module_path(svg_doc &doc) {
    line_builder line;
    line.text("<path");
    line.text(doc.fill[PART_MODULE]);
    if (!doc.gradient[PART_MODULE]) write_transform(line, doc.geo.qz, doc.geo.qz, doc.geo.m);
    line.text(" d=\"");
    const char *text = line.finish();
    return text ? sb_add(&doc.sb, text) : -1;
}

// One module's figure as a subpath of the module element, in module units
// (solid paint) or document units (gradient).
int add_module_subpath(svg_doc &doc, const figure_path &path, int c, int r, bool first) {
    const int m = doc.geo.m;
    const placement at = doc.gradient[PART_MODULE]
                             ? placement{double(doc.geo.qz) + double(c) * m,
                                         double(doc.geo.qz) + double(r) * m, double(m), true}
                             : placement{double(c), double(r), 1.0, false};
    line_builder line;
    if (!first) line.text(" ");
    write_path(line, path, &at);
    const char *text = line.finish();
    return text ? sb_add(&doc.sb, text) : -1;
}

// The figure of a module depends only on the style and its neighbour mask,
// so the 16 possible figures are prepared once per document. A symbol
// without dark data modules writes no module element.
int add_modules(svg_doc &doc, const unsigned char *modules, int n) {
    static_assert((QR_NB_LEFT | QR_NB_TOP | QR_NB_RIGHT | QR_NB_BOTTOM) == 15);
    figure_path figs[16];
    for (int mask = 0; mask < 16; ++mask) {
        module_figure(select_dot_figure(doc.style.dot_style, mask), figs[mask]);
        if (!figs[mask].complete()) return -1;
    }
    bool first = true;
    for (int r = 0; r < n; ++r) {
        for (int c = 0; c < n; ++c) {
            if (!modules[r * n + c] || qr_in_finder_area(c, r, n)) continue;
            if ((first && open_module_path(doc) != 0) ||
                add_module_subpath(doc, figs[qr_module_neighbors(modules, n, c, r)], c, r, first) !=
                    0) {
                return -1;
            }
            first = false;
        }
    }
    return first ? 0 : sb_add(&doc.sb, "\"/>");
}

int add_finders(svg_doc &doc, int n) {
    figure ring;
    figure centre;
    finder_figure(qr_ring_shape(doc.style.corner_square_style), ring);
    finder_figure(qr_center_shape(doc.style.corner_dot_style), centre);
    if (!finish_figure(ring) || !finish_figure(centre)) return -1;
    const int m = doc.geo.m;
    const int inset = QR_CENTER_INSET * m;
    for (const qr_cell origin : qr_finder_origins(n)) {
        const int X = doc.geo.qz + origin.col * m;
        const int Y = doc.geo.qz + origin.row * m;
        if (add_element(doc, PART_RING, X, Y, ring) != 0 ||
            add_element(doc, PART_CENTER, X + inset, Y + inset, centre) != 0) {
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
    const int read = qr_png_read_file(doc.style.logo_path, &raw, &lw, &lh);
    const qr_heap_ptr<unsigned char> pixels(raw);
    if (read != 0) return -1;
    const qr_canvas image{lw, lh, raw};
    qr_bytes png;
    if (qr_png_write_mem(image, png) != QR_OK) return -1;

    const qr_logo_fit fit =
        qr_logo_geometry(doc.geo.sym, doc.style.logo_size, doc.style.logo_margin, lw, lh);
    const int size = doc.geo.size;
    int b = (size - fit.box) / 2;
    if (b < 0) b = 0;
    if (bg_rect(doc.style, &doc.sb, b, b, fit.box, fit.box, doc.bg_id) != 0) return -1;
    const int ix = (size - fit.dw) / 2;
    const int iy = (size - fit.dh) / 2;
    if (sb_addf(&doc.sb,
                "<image x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" "
                "preserveAspectRatio=\"xMidYMid meet\"",
                ix, iy, fit.dw, fit.dh) != 0 ||
        sb_add(&doc.sb, " xlink:href=\"data:image/png;base64,") != 0 ||
        add_base64(&doc.sb, png.data.get(), png.len) != 0 || sb_add(&doc.sb, "\"/>") != 0) {
        return -1;
    }
    return 0;
}

qr_error build_document(const qr_style &style, const qr_encode_args &args, qr_document &out) {
    qr_symbol symbol;
    if (const qr_error e = qr_encode_matrix(style, args.text, args.ecc, symbol)) return e;

    svg_doc doc{style, {}, {}, -1, {}, {}};
    const strbuf_owner owner(&doc.sb);
    doc.sb.data = static_cast<char *>(std::malloc(QR_SVG_START_CAP));
    if (!doc.sb.data) return QR_SVG_NO_MEMORY;
    doc.sb.cap = QR_SVG_START_CAP;
    doc.sb.data[0] = '\0';

    int ids[PART_COUNT];
    const bool fits = geometry_for(symbol.n, args.module_size, args.quiet_zone, &doc.geo);
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
        add_defs(doc, ids) == 0 && bg_rect(style, &doc.sb, 0, 0, size, size, doc.bg_id) == 0 &&
        add_modules(doc, symbol.modules, symbol.n) == 0 && add_finders(doc, symbol.n) == 0 &&
        (!qr_style_has_logo(style) || add_logo(doc) == 0) && sb_add(&doc.sb, "</svg>") == 0;
    if (!ok) return BUILD_FAILED;
    out.len = doc.sb.len;
    out.text.reset(std::exchange(doc.sb.data, nullptr));
    return QR_OK;
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

// ---- Documents ----

qr_error qr_svg_build(const qr_style &style, const qr_encode_args &args, qr_document &out) {
    if (!args.text || args.text[0] == '\0') return "qr_svg: empty text";
    return build_document(style, args, out);
}

qr_error qr_svg_save(const qr_document &doc, const char *path) {
    return qr_write_output(path, doc.text.get(), doc.len,
                           "qr_encode_to_svg_file: cannot open output path for writing",
                           "qr_encode_to_svg_file: short write");
}
