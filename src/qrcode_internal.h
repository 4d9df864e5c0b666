// Process-wide state and the types shared between the library's areas.
//
// Everything here has external linkage inside the library but hidden
// visibility: only the functions of the public header leave the shared
// object. All state is constant-initialised, so nothing runs when the
// library is loaded. The style is process-wide and guarded by the one lock
// every exported call holds; the texts handed to the host (last error, SVG
// document, decode result) are per thread, so a pointer one thread holds is
// never rewritten or freed by another thread's call.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "vantelor_qrcode.h"

// ---- Style record --------------------------------------------------------

struct qr_gradient {
    int type;        // 0 none (solid colour applies), 1 linear, 2 radial
    float rotation;  // degrees, stored unchanged; radial gradients ignore it
    int start_r, start_g, start_b;
    int end_r, end_g, end_b;
};

enum : int { QR_GRADIENT_NONE = 0, QR_GRADIENT_LINEAR = 1, QR_GRADIENT_RADIAL = 2 };

inline constexpr std::size_t QR_LOGO_PATH_CAP = 1024;

struct qr_style {
    int dot_style;
    qr_gradient dot_gradient;
    int dot_color[3];
    int corner_square_style;
    qr_gradient corner_square_gradient;
    int corner_square_color[3];
    int corner_dot_style;
    qr_gradient corner_dot_gradient;
    int corner_dot_color[3];
    qr_gradient background_gradient;
    int background_color[4];
    char logo_path[QR_LOGO_PATH_CAP];
    float logo_size;
    int logo_margin;
};

extern qr_style g_style;
extern int g_initialized;

inline constexpr std::size_t QR_ERROR_CAP = 512;
extern constinit thread_local char g_last_error[QR_ERROR_CAP];

// Held for the whole body of every exported function, so calls from several
// threads run one after another; internal functions never take it (it is
// not recursive, and no exported function calls another).
class qr_api_lock {
public:
    qr_api_lock() noexcept;
    ~qr_api_lock();
    qr_api_lock(const qr_api_lock &) = delete;
    qr_api_lock &operator=(const qr_api_lock &) = delete;
};

// Writes one fixed message into the last-error slot (NULL: "unknown error").
void qr_set_error(const char *msg);
// Restores the default style fields (and only those).
void qr_restore_style_defaults();

// ---- Heap ownership ---------------------------------------------------------

// Owns a block from the C heap (malloc, stb_image, stb_image_write).
struct qr_free_deleter {
    void operator()(void *p) const noexcept { std::free(p); }
};
template <class T>
using qr_heap_ptr = std::unique_ptr<T, qr_free_deleter>;

// ---- Text to module matrix, pipeline -------------------------------------

// Side of the largest symbol (version 40) and its matrix size.
inline constexpr int QR_MAX_SIDE = 177;
inline constexpr int QR_MATRIX_CAP = QR_MAX_SIDE * QR_MAX_SIDE;

// Largest canvas side we draw: stb_image_write sizes its buffer in int and
// overflows from a side of 23,171 pixels.
inline constexpr int QR_MAX_CANVAS_SIDE = 16384;

// Module size and quiet zone as both writers read them: a module is at least
// one unit wide and a negative quiet zone is none.
inline std::int64_t qr_module_units(int module_size) { return module_size >= 1 ? module_size : 1; }
inline std::int64_t qr_quiet_modules(int quiet_zone) { return quiet_zone > 0 ? quiet_zone : 0; }

int qr_encode_matrix(const char *text, int ecc, unsigned char *modules, int *out_size,
                     int *out_ecc);
int qr_encode_run(const char *text, int ecc, int module_size, int quiet_zone,
                  unsigned char **out_png, int *out_len);
int qr_encode_file(const char *text, int ecc, int module_size, int quiet_zone, const char *path);
// Replaces the file at `path` with the bytes in one step (the old file
// survives any failure); 1 on success, else -1 with `open_failed` or
// `short_write` as the message.
int qr_write_output(const char *path, const void *bytes, std::size_t len, const char *open_failed,
                    const char *short_write);

// ---- Canvas and image I/O ----------------------------------------------------

struct qr_canvas {
    int width;
    int height;
    unsigned char *pixels;  // width * height * 4 bytes RGBA, straight alpha
};

int qr_canvas_init(qr_canvas *canvas, int width, int height);
void qr_canvas_free(qr_canvas *canvas);

// Frees a canvas when it leaves scope.
class qr_canvas_owner {
public:
    explicit qr_canvas_owner(qr_canvas &c) noexcept : c_(c) {}
    ~qr_canvas_owner() { qr_canvas_free(&c_); }
    qr_canvas_owner(const qr_canvas_owner &) = delete;
    qr_canvas_owner &operator=(const qr_canvas_owner &) = delete;

private:
    qr_canvas &c_;
};

// Largest decoded image accepted, in pixels (256 MiB of RGBA), and the most
// working memory the image loader may need for one image, both checked on
// the declared size before any decoding: a small hostile file cannot make
// the host allocate gigabytes. The working memory counts the loader's
// buffers at their own depth (8-bit, 16-bit, float) and layout (a
// progressive JPEG's coefficients, a GIF's background and history).
inline constexpr std::int64_t QR_MAX_IMAGE_PIXELS = std::int64_t{1} << 26;
inline constexpr std::int64_t QR_MAX_IMAGE_WORK_BYTES = std::int64_t{512} << 20;
// Smallest side the decoder can use (a version 1 symbol at one pixel per module).
inline constexpr int QR_MIN_DECODE_SIDE = 21;
// Result of an image read whose declared width or height is below its
// `min_side`; the image is not decoded and no message is written.
inline constexpr int QR_IMAGE_TOO_SMALL = -2;

// An encoded image as its loader would see it: declared size and the
// loader's working memory in bytes.
struct qr_declared_image {
    int width;
    int height;
    std::int64_t work_bytes;
};

int qr_png_write_mem(const qr_canvas *canvas, unsigned char **out, int *out_len);
int qr_png_write_file(const qr_canvas *canvas, const char *path);
int qr_png_read_file(const char *path, unsigned char **out_pixels, int *out_width, int *out_height,
                     int min_side = 1);
// Decodes an image held in memory to RGBA under the same caps; writes no
// message (the caller names its own failure). 0 on success, -1 on failure.
int qr_image_read_memory(const unsigned char *data, int len, unsigned char **out_pixels,
                         int *out_width, int *out_height, int min_side = 1);
// Reads the header of an encoded image in memory; false when no loader
// recognises it.
bool qr_image_declared(const unsigned char *data, int len, qr_declared_image *out);

// Straight-alpha source-over compositing of one pixel; `a` is 1..255.
void qr_blend_px(unsigned char *dst, int r, int g, int b, int a);

// Offset of the RGBA pixel (x, y) in an image `width` pixels wide.
inline std::size_t qr_pixel_offset(int width, int x, int y) {
    return (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
            static_cast<std::size_t>(x)) *
           4;
}

// ---- Rendering -------------------------------------------------------------

enum : int { QR_NB_LEFT = 1, QR_NB_TOP = 2, QR_NB_RIGHT = 4, QR_NB_BOTTOM = 8 };

// Non-zero when the module at (column + dx, row + dy) of the module being
// sampled is dark; 0 when light or outside the symbol.
using qr_neighbor_fn = unsigned char (*)(int dx, int dy);

struct qr_shape_paint {
    int style;
    const qr_gradient *gradient;  // inside g_style; may be NULL
    int color[3];
};

// Colours of a run of at most QR_SPAN pixels of one row: each pixel's bytes
// in one word as they lie in memory, with channel c (0 red .. 3 alpha) at
// bit qr_channel_shift(c); the alpha byte is 255.
inline constexpr int QR_SPAN = 128;
struct qr_span_rgb {
    std::uint32_t px[QR_SPAN];
};
inline constexpr int qr_channel_shift(int c) {
    return std::endian::native == std::endian::little ? 8 * c : 24 - 8 * c;
}

void qr_render_background(qr_canvas *canvas);
// The background paint's colours of `count` (at most QR_SPAN) pixels from
// (x, y) rightwards on a w x h canvas.
void qr_background_span(const qr_style &style, int x, int y, int count, int w, int h,
                        qr_span_rgb *out);
int qr_render_styled(qr_canvas *canvas, const unsigned char *modules, int n, int margin);

void qr_shape_sample(const qr_shape_paint *paint, qr_neighbor_fn nb, float u, float v, int px,
                     int py, int x0, int y0, int frame_w, int frame_h, float aa_scale,
                     unsigned char rgba_out[4]);
void qr_corner_sample(int is_center, const qr_shape_paint *paint, float u, float v, int px, int py,
                      int x0, int y0, int frame_w, int frame_h, float aa_scale,
                      unsigned char rgba_out[4]);

// ---- Module and finder figures ---------------------------------------------

enum : int {
    QR_DOT_BLOCK = 0,
    QR_DOT_PILL = 1,
    QR_DOT_DISC = 2,
    QR_DOT_LEAF = 3,
    QR_DOT_PETAL = 4,
    QR_DOT_FAN = 5,
};

enum : int {
    QR_RING_BOX = 0,
    QR_RING_CIRCLE = 1,
    QR_RING_CUSHION = 2,
    QR_RING_PEBBLE = 3,
    QR_RING_TILE = 4,
    QR_RING_TUBE = 5,
};

enum : int { QR_CENTER_BOX = 0, QR_CENTER_DISC = 1, QR_CENTER_CUSHION = 2 };

enum : int {
    QR_FIG_FULL = 0,
    QR_FIG_DISC = 1,
    QR_FIG_ROUND_CORNER = 2,
    QR_FIG_HALF_ROUND = 3,
    QR_FIG_QUARTER_DISC = 4,
};

enum : int {
    QR_SIDE_TOP = 0,
    QR_SIDE_RIGHT = 1,
    QR_SIDE_BOTTOM = 2,
    QR_SIDE_LEFT = 3,
    QR_SIDE_LEAF = 100,
};

struct qr_dot_figure {
    int kind;
    float radius;
    int corner_x;
    int corner_y;
    int side;
};

qr_dot_figure select_dot_figure(int style, int mask);
// The QR_NB_* mask of the dark neighbours of module (col, row) in an n x n
// matrix; outside the symbol counts as light.
int qr_module_neighbors(const unsigned char *modules, int n, int col, int row);
// The alphas the samplers give along one row of a figure: sample positions
// u[0..count) at v, module size aa_scale.
void qr_figure_alpha_row(const qr_dot_figure &fig, const float *u, int count, float v,
                         float aa_scale, unsigned char *alpha_out);
void qr_finder_alpha_row(int is_center, int style, const float *u, int count, float v,
                         float aa_scale, unsigned char *alpha_out);

// The finder patterns: a ring in a 7 x 7 box at each origin, a centre in the
// 3 x 3 box two modules inside it. Data modules inside a box are not drawn.
inline constexpr int QR_FINDER_SIDE = 7;
inline constexpr int QR_CENTER_INSET = 2;
inline constexpr int QR_CENTER_SIDE = 3;

struct qr_cell {
    int col;
    int row;
};
// Top-left modules of the three finder boxes of an n x n symbol, in drawing order.
std::array<qr_cell, 3> qr_finder_origins(int n);
bool qr_in_finder_area(int col, int row, int n);

// Outline and hole kinds of a finder figure.
enum : int {
    QR_OUTLINE_NONE = 0,
    QR_OUTLINE_SQUARE = 1,
    QR_OUTLINE_CIRCLE = 2,
    QR_OUTLINE_ROUNDED = 3
};

// A ring or centre figure in its own box, in module units. The outline and
// the hole are centred on the box, whose half side is `radius`; squares
// measure radii as half sides, rounded squares round their corners to
// `corner` and `hole_corner`.
struct qr_finder_shape {
    int outline;
    float radius;
    float corner;
    int hole;
    float hole_radius;
    float hole_corner;
};
// The figure of a ring or centre style; an unknown style gets the square one.
const qr_finder_shape &qr_ring_shape(int style);
const qr_finder_shape &qr_center_shape(int style);

// ---- Gradients -----------------------------------------------------------

float qr_linear_t(const qr_gradient *grad, int x, int y, int w, int h);
float qr_radial_t(const qr_gradient *grad, int x, int y, int w, int h);
void qr_gradient_sample(const qr_gradient *grad, float t, int *r, int *g, int *b);
// The colour of a gradient whose type is not 0 at (x, y) within a w x h
// frame: radial for type 2, linear for any other type.
void qr_gradient_color(const qr_gradient *grad, int x, int y, int w, int h, int rgb[3]);
// A gradient prepared for a w x h frame, its rotation's cosine and sine
// taken once, and qr_gradient_color of `count` (at most QR_SPAN) pixels from
// (x, y) rightwards in it.
struct qr_gradient_frame {
    const qr_gradient *grad;
    float c, s;
    int w, h;
};
qr_gradient_frame qr_gradient_frame_of(const qr_gradient *grad, int w, int h);
void qr_gradient_span(const qr_gradient_frame &frame, int x, int y, int count, qr_span_rgb *out);
// cos and sin of the gradient's rotation; a rotation that is not finite counts as 0.
void qr_gradient_axis(const qr_gradient *grad, float *c, float *s);

// ---- Logo ------------------------------------------------------------------

// How a lw x lh logo is fitted into the box of a symbol `symbol_width` wide;
// shared by the raster and SVG paths so both place it identically.
struct qr_logo_fit {
    int box;      // side of the cleared box
    float scale;  // logo pixels -> drawn pixels, at least 0.05
    int dw, dh;   // drawn size, each at least 1
};
qr_logo_fit qr_logo_geometry(int symbol_width, float logo_size, int logo_margin, int lw, int lh);
int qr_logo_composite(qr_canvas *canvas, const qr_style *style, int symbol_width);

// ---- SVG -----------------------------------------------------------------------

// The calling thread's last document; freed when the thread ends.
extern constinit thread_local char *g_svg_buf;
extern constinit thread_local std::size_t g_svg_len;

// Growable text buffer of the SVG writer: starts at 64 KiB, doubles, jumps
// to the 32 MiB ceiling from above 16 MiB; `data` is zero-terminated after
// every successful append. The sb_* functions return 0, or -1 without
// changing the buffer.
struct strbuf {
    char *data;
    std::size_t len;
    std::size_t cap;
};

inline constexpr std::size_t QR_SVG_START_CAP = 65536;
inline constexpr std::size_t QR_SVG_MAX_CAP = 33554432;
inline constexpr std::size_t QR_SVG_PIECE_CAP = 4096;  // sb_addf: at most 4,095 characters

int sb_reserve(strbuf *sb, std::size_t add);
int sb_add(strbuf *sb, const char *text);
int sb_addf(strbuf *sb, const char *format, ...) __attribute__((format(printf, 2, 3)));

int qr_svg_build(const char *text, int ecc, int module_size, int quiet_zone);
const char *qr_svg_buffer();

// ---- Payload builders ------------------------------------------------------

void escape_field(const char *src, char *out, int cap, int *pos);
void pct_encode(const char *src, const char *keep, char *out, int cap, int *pos);
int qr_build_wifi(const char *ssid, const char *password, const char *security, char *out, int cap);
int qr_build_vcard(const char *name, const char *phone, const char *email, char *out, int cap);
int qr_build_email(const char *to, const char *subject, const char *body, char *out, int cap);
int qr_build_sms(const char *phone, const char *message, char *out, int cap);
int qr_build_geo(double lat, double lon, char *out, int cap);
int ical_stamp(const char *src, char *stamp);
int qr_build_event(const char *title, const char *start, const char *end, const char *location,
                   char *out, int cap);

// ---- Decoding ----------------------------------------------------------------

inline constexpr int QR_RESULT_CAP = 8897;  // 8,896 payload bytes + terminator
extern constinit thread_local char g_result[QR_RESULT_CAP];

int qr_decode_run_rgba(const unsigned char *rgba, int width, int height);
const char *qr_decode_result();

// Grey level 0..255 of one RGBA pixel composited over white (integer maths;
// a fully transparent pixel gives 254).
int rgba_gray_white(const unsigned char *px);

// rgba_gray_white of every pixel into grey, XORed with flip (0, or 255 for
// the inverse).
void qr_grey_levels(const unsigned char *rgba, std::uint8_t *grey, std::size_t pixels, int flip);

// The grid-sampling fallback. It works on the detector's finder patterns:
// centre in pixels and the area of the inner 3 x 3 block, in the detector's
// order (at most QR_MAX_FINDERS).
struct quirc;
inline constexpr int QR_MAX_FINDERS = 32;
inline constexpr int QR_BITMAP_CAP = (QR_MATRIX_CAP + 7) / 8;
// Most module samples one fallback call takes (about 535 grids of the
// largest size): bounds a call on an image crowded with finder patterns.
inline constexpr std::int64_t QR_FALLBACK_MAX_SAMPLES = std::int64_t{1} << 24;

struct qr_finder {
    int x;
    int y;
    int area;
};

// 1 when (a, b, c) may be the top-left, top-right and bottom-left finder
// patterns of one upright or rotated (not mirrored) symbol.
int qr_fallback_triple_passes(const qr_finder *a, const qr_finder *b, const qr_finder *c);
// Calls visit(user, a, b, c) for every ordered triple that passes, lowest a,
// then b, then c first; stops at the first non-zero result and returns it.
int qr_fallback_enumerate(const qr_finder *finders, int count,
                          int (*visit)(void *user, int a, int b, int c), void *user);
// Module size in pixels from the area of a finder's inner block.
float qr_fallback_module_size(int area);
// Version guess 1..40 from the two arm lengths and the module size.
int qr_fallback_version_estimate(float lb, float lc, float module);
// The versions tried for an estimate, in order; returns how many (3..5).
int qr_fallback_candidates(int estimate, int out[5]);
// 1 when a sample of grey level `grey` counts as a dark module.
int qr_fallback_is_dark(int grey, int inverted);
// Samples an n x n affine grid through the three centres into an LSB-first
// bitmap of QR_BITMAP_CAP bytes (cleared first).
void qr_fallback_sample(const unsigned char *rgba, int width, int height, int inverted,
                        const qr_finder *a, const qr_finder *b, const qr_finder *c, int n,
                        unsigned char *bitmap);
// The whole search over `finders`; 1 when a text was stored in g_result.
int qr_fallback_decode(const qr_finder *finders, int count, const unsigned char *rgba, int width,
                       int height, int inverted);
// quirc_new with a placeholder image, so that the first quirc_resize copies
// from a valid pointer; release with quirc_destroy. NULL when out of memory.
quirc *qr_quirc_new();
// Reads the finder list of quirc's current pass and runs the search.
int try_decode_centers(quirc *q, const unsigned char *rgba, int width, int height, int inverted);
struct qr_quirc_deleter {
    void operator()(quirc *q) const noexcept;
};
using qr_quirc_ptr = std::unique_ptr<quirc, qr_quirc_deleter>;
// The finder patterns of quirc's current pass, in the detector's order;
// returns how many (at most QR_MAX_FINDERS).
int qr_read_finders(const quirc *q, qr_finder *finders);
// The fallback search on a grey image already in the polarity it is read in
// (dark at 127 and below), stopping after max_samples module samples.
int qr_fallback_decode_grey(const qr_finder *finders, int count, const std::uint8_t *grey,
                            int width, int height, std::int64_t max_samples);
struct quirc_code;
// Decodes one extracted grid; true when it held a non-empty payload, which is
// then stored in g_result.
bool qr_decode_grid(const quirc_code &code);
// Decodes quirc's grids of the current pass in order, each also mirrored
// when mirrored_too; true at the first non-empty payload (in g_result).
bool qr_decode_grids(const quirc *q, bool mirrored_too);

// The four fixed attempts (quirc, fallback, inverted quirc, inverted
// fallback) with q already sized to the image: 1 when one stored a text.
int qr_decode_attempts(quirc *q, const unsigned char *rgba, int width, int height);
// Second-chance stage, run after the four fixed attempts have failed: 1 when
// one of its strategies stored a text in g_result, else 0 (no message). q is
// a decoder that the stage may resize.
int qr_decode_rescue(quirc *q, const unsigned char *rgba, int width, int height);
// For measurements: the stage's strategies one at a time, without the budget.
int qr_rescue_strategy_count();
const char *qr_rescue_strategy_name(int index);
int qr_rescue_try_strategy(quirc *q, const unsigned char *rgba, int width, int height, int index);
