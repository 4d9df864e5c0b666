// Print-quality grade: a plain decode (the four fixed attempts, never the
// second-chance stage, which reads far more than a phone does) gives the
// symbol's grid, and every parameter is measured on that grid in
// reflectance: the linear-light luminance (sRGB decoded, Rec. 709 weights)
// of the image composited over white, averaged over a circular aperture 0.8
// modules across at each module centre.
//
// Invariants: grades are integers 4 (A) .. 0 (F) and the overall grade is
// the lowest; a light-on-dark code is measured with reflectance reversed, so
// "dark" always means the symbol's dark modules. The work is bounded by the
// decode's own budget plus a fixed aperture per module of at most 185 x 185
// (version 40 and four modules of quiet zone).
#include "qrcode_grade.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "qrcode_decode.h"
#include "qrcode_platform.h"
#include "qrcode_png.h"

extern "C" {
#include "quirc_internal.h"
}

namespace {

// ---- Grade scales ------------------------------------------------------------

// Lower bounds of A, B, C and D for parameters where more is better.
struct scale {
    double a, b, c, d;
};
constexpr scale CONTRAST_SCALE = {0.70, 0.55, 0.40, 0.20};
constexpr scale MODULATION_SCALE = {0.50, 0.40, 0.30, 0.20};
constexpr scale UNUSED_EC_SCALE = {0.62, 0.50, 0.37, 0.25};
// Upper bounds of A, B, C and D where less is better.
constexpr scale AXIAL_SCALE = {0.06, 0.08, 0.10, 0.12};
constexpr scale GRID_SCALE = {0.38, 0.50, 0.63, 0.75};

int grade_at_least(double v, const scale &s) {
    if (v >= s.a) return 4;
    if (v >= s.b) return 3;
    if (v >= s.c) return 2;
    if (v >= s.d) return 1;
    return 0;
}

int grade_at_most(double v, const scale &s) {
    if (v <= s.a) return 4;
    if (v <= s.b) return 3;
    if (v <= s.c) return 2;
    if (v <= s.d) return 1;
    return 0;
}

// Fixed-pattern segments: no module read wrong is A, each wrong module costs
// one grade, four or more is F.
int grade_of_errors(int errors) { return std::max(0, 4 - errors); }

// A light-on-dark code decodes, but many readers never try it.
constexpr int LIGHT_ON_DARK_GRADE = 1;

constexpr const char *OTHER_TEXT = "the code reads back as a different text";

// The quiet zone asked for is 4 modules; each missing ring costs one grade.
constexpr int QUIET_ZONE_WANTED = 4;

// ---- Reflectance ---------------------------------------------------------------

constexpr int QZ = QUIET_ZONE_WANTED;  // quiet-zone rings sampled around the symbol

double srgb_to_linear(double c) {
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

struct point {
    double x, y;
};

// Where the image lies on the paper it is printed on: pixels outside
// [x0, x1) x [y0, y1) are the paper margin.
struct print_frame {
    int x0, y0, x1, y1;
    bool inside(point p) const { return p.x >= x0 && p.y >= y0 && p.x < x1 && p.y < y1; }
};

// Reflectance of the print, 0 (black) .. 255 (white) in the red channel of
// the grey image the decode reads (see print_pixels).
struct reflectance_image {
    const unsigned char *grey_rgba;
    int width;  // the print, margin included
    int height;

    float pixel(int x, int y) const {
        const std::size_t i = static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                              static_cast<std::size_t>(x);
        return static_cast<float>(grey_rgba[i * 4]) * (1.0f / 255.0f);
    }

    // Bilinear reflectance at pixel-index coordinates; NaN off the image.
    float at(double x, double y) const {
        if (!(x >= -0.5 && y >= -0.5 && x <= width - 0.5 && y <= height - 0.5)) return NAN;
        const double cx = std::clamp(x, 0.0, width - 1.0);
        const double cy = std::clamp(y, 0.0, height - 1.0);
        const int x0 = std::min(static_cast<int>(cx), width - 2);
        const int y0 = std::min(static_cast<int>(cy), height - 2);
        const float fx = static_cast<float>(cx - x0);
        const float fy = static_cast<float>(cy - y0);
        const float top = pixel(x0, y0) * (1.0f - fx) + pixel(x0 + 1, y0) * fx;
        const float bottom = pixel(x0, y0 + 1) * (1.0f - fx) + pixel(x0 + 1, y0 + 1) * fx;
        return top * (1.0f - fy) + bottom * fy;
    }
};

// Points of a 7 x 7 lattice inside a circle 0.8 modules across, in modules
// from the centre.
struct aperture_points {
    int count = 0;
    float du[49] = {};
    float dv[49] = {};
};
constexpr aperture_points make_aperture() {
    aperture_points p;
    constexpr float STEP = 0.8f / 7.0f;
    for (int i = -3; i <= 3; ++i) {
        for (int j = -3; j <= 3; ++j) {
            if (i * i + j * j > 12) continue;  // beyond 3.5 steps = 0.4 modules
            p.du[p.count] = static_cast<float>(i) * STEP;
            p.dv[p.count] = static_cast<float>(j) * STEP;
            ++p.count;
        }
    }
    return p;
}
constexpr aperture_points APERTURE = make_aperture();

point map_module(const qr_decode_geometry &g, double u, double v) {
    const double w = g.c[6] * u + g.c[7] * v + 1.0;
    return {(g.c[0] * u + g.c[1] * v + g.c[2]) / w, (g.c[3] * u + g.c[4] * v + g.c[5]) / w};
}

double distance(point a, point b) { return std::hypot(a.x - b.x, a.y - b.y); }

// Reflectance of every module of the symbol and of QZ rings around it
// (NaN where the aperture leaves the image), reversed for light-on-dark.
struct module_samples {
    int n;
    int side;  // n + 2 QZ
    std::vector<float> r;

    float at(int x, int y) const {
        return r[static_cast<std::size_t>(y + QZ) * static_cast<std::size_t>(side) +
                 static_cast<std::size_t>(x + QZ)];
    }
};

// The grid around one point: where (u, v) lies on the image and the image
// step of one module along u and along v. An aperture is small enough for
// the grid to be taken as linear across it.
struct local_grid {
    point centre, step_u, step_v;
    point at(double du, double dv) const {
        return {centre.x + du * step_u.x + dv * step_v.x, centre.y + du * step_u.y + dv * step_v.y};
    }
};

local_grid local_at(const qr_decode_geometry &g, double u, double v) {
    const point l = map_module(g, u - 0.5, v);
    const point r = map_module(g, u + 0.5, v);
    const point t = map_module(g, u, v - 0.5);
    const point b = map_module(g, u, v + 0.5);
    return {map_module(g, u, v), {r.x - l.x, r.y - l.y}, {b.x - t.x, b.y - t.y}};
}

module_samples sample_modules(const reflectance_image &img, const qr_decode_geometry &g) {
    module_samples m{g.size, g.size + 2 * QZ, {}};
    m.r.resize(static_cast<std::size_t>(m.side) * static_cast<std::size_t>(m.side));
    for (int y = -QZ; y < m.n + QZ; ++y) {
        for (int x = -QZ; x < m.n + QZ; ++x) {
            const local_grid grid = local_at(g, x + 0.5, y + 0.5);
            float sum = 0.0f;
            for (int k = 0; k < APERTURE.count; ++k) {
                const point p = grid.at(static_cast<double>(APERTURE.du[k]),
                                        static_cast<double>(APERTURE.dv[k]));
                sum += img.at(p.x, p.y);
            }
            float mean = sum / static_cast<float>(APERTURE.count);
            if (g.inverted) mean = 1.0f - mean;
            m.r[static_cast<std::size_t>(y + QZ) * static_cast<std::size_t>(m.side) +
                static_cast<std::size_t>(x + QZ)] = mean;
        }
    }
    return m;
}

// ---- Symbol layout -------------------------------------------------------------

// What each module of the symbol is: a data bit (its index in the codeword
// stream) or a function module, and the module's dark value where that is
// fixed by construction.
enum : std::int8_t { DATA = 0, FUNCTION = 1 };

struct layout {
    int n;
    int version;
    std::vector<std::int8_t> kind;
    std::vector<std::int32_t> bit;  // stream bit of a data module, else -1
    std::vector<int> align;         // alignment pattern centres, x and y pairs

    std::size_t at(int x, int y) const {
        return static_cast<std::size_t>(y) * static_cast<std::size_t>(n) +
               static_cast<std::size_t>(x);
    }
};

void mark_rect(layout &l, int x0, int y0, int w, int h) {
    for (int y = std::max(0, y0); y < std::min(l.n, y0 + h); ++y)
        for (int x = std::max(0, x0); x < std::min(l.n, x0 + w); ++x) l.kind[l.at(x, y)] = FUNCTION;
}

void alignment_centres(layout &l) {
    const int *apat = quirc_version_db[l.version].apat;
    int count = 0;
    while (count < QUIRC_MAX_ALIGNMENT && apat[count] != 0) ++count;
    for (int i = 0; i < count; ++i) {
        for (int j = 0; j < count; ++j) {
            const bool on_finder =
                (i == 0 && j == 0) || (i == 0 && j == count - 1) || (i == count - 1 && j == 0);
            if (on_finder) continue;
            l.align.push_back(apat[i]);
            l.align.push_back(apat[j]);
        }
    }
}

// Data modules are filled in the usual two-column zigzag from the bottom
// right, skipping the vertical timing pattern.
void number_data_bits(layout &l) {
    std::int32_t next = 0;
    for (int right = l.n - 1; right >= 1; right -= 2) {
        if (right == 6) right = 5;
        const bool upward = ((right + 1) & 2) == 0;
        for (int step = 0; step < l.n; ++step) {
            const int y = upward ? l.n - 1 - step : step;
            for (int j = 0; j < 2; ++j) {
                const std::size_t i = l.at(right - j, y);
                if (l.kind[i] == DATA) l.bit[i] = next++;
            }
        }
    }
}

layout make_layout(int n, int version) {
    layout l{n,
             version,
             std::vector<std::int8_t>(static_cast<std::size_t>(n) * n, DATA),
             std::vector<std::int32_t>(static_cast<std::size_t>(n) * n, -1),
             {}};
    mark_rect(l, 0, 0, 9, 9);  // finders with separators and format bits
    mark_rect(l, n - 8, 0, 8, 9);
    mark_rect(l, 0, n - 8, 9, 8);
    mark_rect(l, 6, 0, 1, n);  // timing patterns
    mark_rect(l, 0, 6, n, 1);
    if (version >= 7) {  // version information blocks
        mark_rect(l, n - 11, 0, 3, 6);
        mark_rect(l, 0, n - 11, 6, 3);
    }
    alignment_centres(l);
    for (std::size_t k = 0; k + 1 < l.align.size(); k += 2) {
        mark_rect(l, l.align[k] - 2, l.align[k + 1] - 2, 5, 5);
    }
    number_data_bits(l);
    return l;
}

bool mask_bit(int mask, int x, int y) {
    switch (mask) {
    case 0: return (x + y) % 2 == 0;
    case 1: return y % 2 == 0;
    case 2: return x % 3 == 0;
    case 3: return (x + y) % 3 == 0;
    case 4: return (y / 2 + x / 3) % 2 == 0;
    case 5: return (x * y) % 2 + (x * y) % 3 == 0;
    case 6: return ((x * y) % 2 + (x * y) % 3) % 2 == 0;
    default: return ((x * y) % 3 + (x + y) % 2) % 2 == 0;
    }
}

// ---- Reed-Solomon error count ----------------------------------------------------

struct galois {
    std::array<std::uint8_t, 512> exp{};
    std::array<int, 256> log{};
};
constexpr galois make_galois() {
    galois g;
    int v = 1;
    for (int i = 0; i < 255; ++i) {
        g.exp[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v);
        g.log[static_cast<std::size_t>(v)] = i;
        v <<= 1;
        if (v & 0x100) v ^= 0x11d;
    }
    for (int i = 255; i < 512; ++i)
        g.exp[static_cast<std::size_t>(i)] = g.exp[static_cast<std::size_t>(i - 255)];
    return g;
}
constexpr galois GF = make_galois();

std::uint8_t gf_mul(std::uint8_t a, std::uint8_t b) {
    if (a == 0 || b == 0) return 0;
    return GF.exp[static_cast<std::size_t>(GF.log[a] + GF.log[b])];
}
std::uint8_t gf_div(std::uint8_t a, std::uint8_t b) {
    if (a == 0) return 0;
    return GF.exp[static_cast<std::size_t>(GF.log[a] + 255 - GF.log[b])];
}

constexpr int MAX_EC = 30;  // error-correction codewords of one block, at most

// Marks the codewords of one block (first codeword = highest power) that
// are in error; returns how many, or -1 when the block cannot be corrected.
int block_errors(const std::uint8_t *cw, int len, int ec, bool *wrong) {
    std::uint8_t syn[MAX_EC];
    bool clean = true;
    for (int i = 0; i < ec; ++i) {
        std::uint8_t s = 0;
        for (int k = 0; k < len; ++k) s = gf_mul(s, GF.exp[static_cast<std::size_t>(i)]) ^ cw[k];
        syn[i] = s;
        clean = clean && s == 0;
    }
    std::fill(wrong, wrong + len, false);
    if (clean) return 0;
    // Berlekamp-Massey: the shortest error locator that explains the syndromes.
    std::uint8_t c[MAX_EC + 1] = {1};
    std::uint8_t b[MAX_EC + 1] = {1};
    int errors = 0;
    int shift = 1;
    std::uint8_t last = 1;
    for (int i = 0; i < ec; ++i) {
        std::uint8_t delta = syn[i];
        for (int j = 1; j <= errors; ++j) delta ^= gf_mul(c[j], syn[i - j]);
        if (delta == 0) {
            ++shift;
            continue;
        }
        std::uint8_t t[MAX_EC + 1];
        std::copy_n(c, MAX_EC + 1, t);
        const std::uint8_t f = gf_div(delta, last);
        for (int j = 0; j + shift <= MAX_EC; ++j) c[j + shift] ^= gf_mul(f, b[j]);
        if (2 * errors <= i) {
            errors = i + 1 - errors;
            std::copy_n(t, MAX_EC + 1, b);
            last = delta;
            shift = 1;
        } else {
            ++shift;
        }
    }
    if (2 * errors > ec) return -1;
    // Chien search: codeword k holds the power len - 1 - k.
    int roots = 0;
    for (int k = 0; k < len; ++k) {
        const int inv = (255 - (len - 1 - k) % 255) % 255;
        std::uint8_t sum = 0;
        for (int j = errors; j >= 0; --j)
            sum = gf_mul(sum, GF.exp[static_cast<std::size_t>(inv)]) ^ c[j];
        if (sum == 0) {
            wrong[k] = true;
            ++roots;
        }
    }
    return roots == errors ? errors : -1;
}

// Codewords that only guard against misdecodes in the smallest symbols; they
// cannot correct anything. Index: ecc_level as coded in the format bits.
int misdecode_protection(int version, int ecc_level) {
    constexpr int V1[4] = {2, 3, 1, 1};  // M, L, H, Q
    if (version == 1) return V1[ecc_level & 3];
    if (version == 2 && ecc_level == 1) return 2;
    if (version == 3 && ecc_level == 1) return 1;
    return 0;
}

// ---- Measurement -----------------------------------------------------------------

// The global threshold GT = (Rmax + Rmin) / 2 and symbol contrast, and per
// symbol module the threshold of its neighbourhood, the way the adaptive
// binarizers of phone readers see a module: against the modules around it,
// so a gradient does not put one end on the wrong side of one global
// threshold. Finder patterns (often in their own colours) and the paper
// around the image take no part; a neighbourhood of less than D contrast
// (a logo, a blank area) falls back to the global threshold.
struct thresholds {
    float sc = 0.0f;
    float gt = 0.0f;
    int n = 0;
    std::vector<float> local_gt;  // per symbol module
    std::vector<float> local_sc;  // the modulation's scale there

    bool in_symbol(int x, int y) const { return x >= 0 && y >= 0 && x < n && y < n; }
    std::size_t at(int x, int y) const {
        return static_cast<std::size_t>(y) * static_cast<std::size_t>(n) +
               static_cast<std::size_t>(x);
    }
    float gt_at(int x, int y) const { return in_symbol(x, y) ? local_gt[at(x, y)] : gt; }
    float sc_at(int x, int y) const { return in_symbol(x, y) ? local_sc[at(x, y)] : sc; }
};

constexpr int LOCAL_REACH = 4;  // a 9 x 9 module neighbourhood

bool in_finder_zone(int x, int y, int n) {
    return (x < 8 && y < 8) || (x >= n - 8 && y < 8) || (x < 8 && y >= n - 8);
}

thresholds thresholds_of(const module_samples &m, const qr_decode_geometry &g,
                         const print_frame &frame) {
    const int n = m.n;
    // Modules that set the contrast: the image's own, finder zones aside.
    std::vector<float> r(m.r.size(), NAN);
    float lo = 1.0f;
    float hi = 0.0f;
    for (int y = -QZ; y < n + QZ; ++y) {
        for (int x = -QZ; x < n + QZ; ++x) {
            const float v = m.at(x, y);
            if (std::isnan(v) || in_finder_zone(x, y, n) ||
                !frame.inside(map_module(g, x + 0.5, y + 0.5))) {
                continue;
            }
            r[static_cast<std::size_t>(y + QZ) * static_cast<std::size_t>(m.side) +
              static_cast<std::size_t>(x + QZ)] = v;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    }
    thresholds t;
    t.n = n;
    if (hi >= lo) {
        t.sc = hi - lo;
        t.gt = (hi + lo) * 0.5f;
    }
    const float scale_floor = std::min(t.sc, static_cast<float>(CONTRAST_SCALE.c));
    t.local_gt.assign(static_cast<std::size_t>(n) * n, t.gt);
    t.local_sc.assign(static_cast<std::size_t>(n) * n, t.sc);
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
            float llo = 1.0f;
            float lhi = 0.0f;
            for (int j = std::max(-QZ, y - LOCAL_REACH); j <= std::min(n + QZ - 1, y + LOCAL_REACH);
                 ++j) {
                for (int i = std::max(-QZ, x - LOCAL_REACH);
                     i <= std::min(n + QZ - 1, x + LOCAL_REACH); ++i) {
                    const float v =
                        r[static_cast<std::size_t>(j + QZ) * static_cast<std::size_t>(m.side) +
                          static_cast<std::size_t>(i + QZ)];
                    if (std::isnan(v)) continue;
                    llo = std::min(llo, v);
                    lhi = std::max(lhi, v);
                }
            }
            if (!(lhi - llo >= static_cast<float>(CONTRAST_SCALE.d))) continue;
            t.local_gt[t.at(x, y)] = (lhi + llo) * 0.5f;
            t.local_sc[t.at(x, y)] = std::max(lhi - llo, scale_floor);
        }
    }
    return t;
}

double modulation(float r, const thresholds &t, int x, int y) {
    const float sc = t.sc_at(x, y);
    return sc > 0.0f
               ? 2.0 * static_cast<double>(std::fabs(r - t.gt_at(x, y))) / static_cast<double>(sc)
               : 0.0;
}

// Grade of module (x, y) that should be `dark`: 0 on the wrong side of its
// threshold (or off the image), else its modulation grade.
int module_grade(float r, bool dark, const thresholds &t, int x, int y) {
    if (std::isnan(r) || (r < t.gt_at(x, y)) != dark) return 0;
    return grade_at_least(modulation(r, t, x, y), MODULATION_SCALE);
}

struct block_info {
    int start;  // first codeword of the block in deinterleaved order
    int len;
    int data;
};

std::vector<block_info> blocks_of(int version, int ecc_level, int *total) {
    const quirc_version_info &vi = quirc_version_db[version];
    const quirc_rs_params &sb = vi.ecc[ecc_level & 3];
    const int large = sb.bs > 0 ? (vi.data_bytes - sb.bs * sb.ns) / (sb.bs + 1) : 0;
    std::vector<block_info> out;
    int start = 0;
    for (int b = 0; b < sb.ns + large; ++b) {
        const int extra = b < sb.ns ? 0 : 1;
        out.push_back({start, sb.bs + extra, sb.dw + extra});
        start += sb.bs + extra;
    }
    *total = start;
    return out;
}

// Position in deinterleaved order of each codeword of the stream: data
// codewords go round the blocks, then error-correction codewords.
std::vector<int> deinterleave_order(const std::vector<block_info> &blocks, int total) {
    std::vector<int> order;
    order.reserve(static_cast<std::size_t>(total));
    int max_data = 0;
    for (const block_info &b : blocks) max_data = std::max(max_data, b.data);
    for (int i = 0; i < max_data; ++i)
        for (const block_info &b : blocks)
            if (i < b.data) order.push_back(b.start + i);
    const int ec = blocks.empty() ? 0 : blocks[0].len - blocks[0].data;
    for (int i = 0; i < ec; ++i)
        for (const block_info &b : blocks) order.push_back(b.start + b.data + i);
    return order;
}

// The notional unused error correction of a block when e codewords are
// erased and t are in error.
double unused_ec(int e, int t, int ec, int protection) {
    const int usable = ec - protection;
    if (usable <= 0) return 0.0;
    return std::clamp(1.0 - static_cast<double>(e + 2 * t) / usable, 0.0, 1.0);
}

struct data_measures {
    double uec = 1.0;
    int uec_grade = 4;
    int modulation_grade = 4;
    double weak_share = 0.0;  // codewords whose worst module grades below C
};

// Unused error correction and the codeword-based modulation grade: each
// codeword takes its worst module's grade (0 when in error), and a block
// reaches a modulation level when treating its codewords below that level as
// erasures still leaves that level of unused error correction.
data_measures measure_data(const module_samples &m, const layout &l, const qr_decode_geometry &g,
                           const thresholds &t) {
    int total = 0;
    const std::vector<block_info> blocks = blocks_of(g.version, g.ecc_level, &total);
    const std::vector<int> order = deinterleave_order(blocks, total);
    std::vector<std::uint8_t> cw(static_cast<std::size_t>(total), 0);
    std::vector<int> cw_grade(static_cast<std::size_t>(total), 4);
    for (int y = 0; y < l.n; ++y) {
        for (int x = 0; x < l.n; ++x) {
            const std::int32_t bit = l.bit[l.at(x, y)];
            if (bit < 0 || bit >= total * 8) continue;  // function or remainder bit
            const auto k = static_cast<std::size_t>(order[static_cast<std::size_t>(bit / 8)]);
            const float r = m.at(x, y);
            const bool dark = !std::isnan(r) && r < t.gt_at(x, y);
            if (dark != mask_bit(g.mask, x, y))
                cw[k] |= static_cast<std::uint8_t>(0x80 >> (bit % 8));
            const int grade =
                std::isnan(r) ? 0 : grade_at_least(modulation(r, t, x, y), MODULATION_SCALE);
            cw_grade[k] = std::min(cw_grade[k], grade);
        }
    }
    data_measures out;
    const int protection = misdecode_protection(g.version, g.ecc_level);
    int weak = 0;
    bool wrong[256];
    for (const block_info &b : blocks) {
        const int ec = b.len - b.data;
        const int errors = block_errors(&cw[static_cast<std::size_t>(b.start)], b.len, ec, wrong);
        for (int k = 0; k < b.len; ++k)
            if (wrong[k] || errors < 0) cw_grade[static_cast<std::size_t>(b.start + k)] = 0;
        const double uec = errors < 0 ? 0.0 : unused_ec(0, errors, ec, protection);
        out.uec = std::min(out.uec, uec);
        int block_grade = 0;
        for (int level = 1; level <= 4; ++level) {
            int erased = 0;
            for (int k = 0; k < b.len; ++k)
                if (cw_grade[static_cast<std::size_t>(b.start + k)] < level) ++erased;
            const int reached =
                grade_at_least(unused_ec(erased, 0, ec, protection), UNUSED_EC_SCALE);
            block_grade = std::max(block_grade, std::min(level, reached));
        }
        out.modulation_grade = std::min(out.modulation_grade, block_grade);
        for (int k = 0; k < b.len; ++k)
            if (cw_grade[static_cast<std::size_t>(b.start + k)] < 2) ++weak;
    }
    out.uec_grade = grade_at_least(out.uec, UNUSED_EC_SCALE);
    out.weak_share = total > 0 ? static_cast<double>(weak) / total : 0.0;
    return out;
}

// ---- Fixed patterns ----

struct segment_score {
    std::array<int, 5> modules{};  // modules per grade, 0 = wrong side of the threshold
    int weak() const { return modules[0] + modules[1]; }
};

// Adds one module of a segment that should be `dark`.
void score_module(segment_score &s, const module_samples &m, int x, int y, bool dark,
                  const thresholds &t) {
    ++s.modules[static_cast<std::size_t>(module_grade(m.at(x, y), dark, t, x, y))];
}

// A segment reaches a level when its modules below that level, counted as
// damaged, still leave that level of damage grade, as codewords are graded
// against their block: one weak module costs a grade, not the segment.
int segment_grade(const segment_score &s) {
    int grade = 0;
    int below = 0;
    for (int level = 1; level <= 4; ++level) {
        below += s.modules[static_cast<std::size_t>(level - 1)];
        grade = std::max(grade, std::min(level, grade_of_errors(below)));
    }
    return grade;
}

// A finder is graded on what readers look for: the 1:1:3:1:1 runs along its
// middle row and column, with the separator module beyond the symbol-side
// end. The ring's and the centre's corner modules are left out, so a rounded
// ring or a disc centre, light at its corners, is not condemned for what
// readers do not check.
segment_score score_finder(const module_samples &m, int ox, int oy, const thresholds &t) {
    segment_score s;
    auto finder_dark = [](int i, int j) { return std::max(std::abs(i - 3), std::abs(j - 3)) != 2; };
    for (int k = 0; k < 7; ++k) {
        score_module(s, m, ox + k, oy + 3, finder_dark(k, 3), t);
        if (k != 3) score_module(s, m, ox + 3, oy + k, finder_dark(3, k), t);
    }
    const int sx = ox == 0 ? 7 : -1;
    const int sy = oy == 0 ? 7 : -1;
    score_module(s, m, ox + sx, oy + 3, false, t);
    score_module(s, m, ox + 3, oy + sy, false, t);
    return s;
}

segment_score score_timing(const module_samples &m, int n, bool row, const thresholds &t) {
    segment_score s;
    for (int k = 8; k < n - 8; ++k) {
        score_module(s, m, row ? k : 6, row ? 6 : k, k % 2 == 0, t);
    }
    return s;
}

segment_score score_alignment(const module_samples &m, int cx, int cy, const thresholds &t) {
    segment_score s;
    for (int j = -2; j <= 2; ++j)
        for (int i = -2; i <= 2; ++i)
            score_module(s, m, cx + i, cy + j, std::max(std::abs(i), std::abs(j)) != 1, t);
    return s;
}

void measure_fixed_patterns(const module_samples &m, const layout &l, const thresholds &t,
                            qr_grade_report *out) {
    const int n = l.n;
    int grade = 4;
    int weak = 0;
    auto add = [&](const segment_score &s) {
        grade = std::min(grade, segment_grade(s));
        weak += s.weak();
    };
    add(score_finder(m, 0, 0, t));
    add(score_finder(m, n - 7, 0, t));
    add(score_finder(m, 0, n - 7, t));
    add(score_timing(m, n, true, t));
    add(score_timing(m, n, false, t));
    // Readers look for one alignment pattern, the one nearest the corner
    // opposite the top-left finder; the others (often under a logo) only
    // refine the grid of large symbols and cost no codewords.
    if (!l.align.empty()) add(score_alignment(m, l.align[l.align.size() - 2], l.align.back(), t));
    out->grade[QR_GRADE_FIXED_PATTERNS] = grade;
    out->value[QR_GRADE_FIXED_PATTERNS] = weak;
}

// ---- Geometry ----

// Axial non-uniformity: how much the module pitch along the two axes
// differs, relative to their mean.
double axial_nonuniformity(const qr_decode_geometry &g) {
    const double n = g.size;
    const double h = n * 0.5;
    const double x = distance(map_module(g, 0.0, h), map_module(g, n, h)) / n;
    const double y = distance(map_module(g, h, 0.0), map_module(g, h, n)) / n;
    return x + y > 0.0 ? std::fabs(x - y) / ((x + y) * 0.5) : 0.0;
}

// Grid non-uniformity: the largest distance, in modules, of a module centre
// of the decode's grid from the regular grid through the three finder
// centres.
double grid_nonuniformity(const qr_decode_geometry &g, double module_px) {
    const double n = g.size;
    const point a = map_module(g, 3.5, 3.5);
    const point b = map_module(g, n - 3.5, 3.5);
    const point c = map_module(g, 3.5, n - 3.5);
    const double span = n - 7.0;
    double worst = 0.0;
    for (int y = 0; y < g.size; ++y) {
        for (int x = 0; x < g.size; ++x) {
            const double fu = (x + 0.5 - 3.5) / span;
            const double fv = (y + 0.5 - 3.5) / span;
            const point ideal{a.x + (b.x - a.x) * fu + (c.x - a.x) * fv,
                              a.y + (b.y - a.y) * fu + (c.y - a.y) * fv};
            worst = std::max(worst, distance(ideal, map_module(g, x + 0.5, y + 0.5)));
        }
    }
    return module_px > 0.0 ? worst / module_px : 0.0;
}

// The quiet zone: rings of clear (light) modules around the symbol, counted
// outwards until the first ring with a dark module. `in_image` counts only
// modules the image itself holds, the paper margin not being clear for it.
struct quiet_zone {
    int clear;
    int in_image;
};

// A quiet-zone module is clear when no mark darkens it past the threshold;
// a tinted background is judged by contrast and modulation, not here.
bool is_clear(float r, float threshold) { return !std::isnan(r) && r >= threshold; }

quiet_zone measure_quiet_zone(const module_samples &m, const qr_decode_geometry &g,
                              const print_frame &frame, const thresholds &t) {
    const int n = m.n;
    quiet_zone q{QZ, QZ};
    for (int ring = 1; ring <= QZ && q.clear == QZ; ++ring) {
        const int lo = -ring;
        const int hi = n - 1 + ring;
        for (int k = lo; k <= hi; ++k) {
            const int xs[4] = {k, k, lo, hi};
            const int ys[4] = {lo, hi, k, k};
            for (int e = 0; e < 4; ++e) {
                if (!is_clear(m.at(xs[e], ys[e]), t.gt_at(xs[e], ys[e]))) q.clear = ring - 1;
                const point centre = map_module(g, xs[e] + 0.5, ys[e] + 0.5);
                if (!frame.inside(centre)) q.in_image = std::min(q.in_image, ring - 1);
            }
        }
    }
    q.in_image = std::min(q.in_image, q.clear);
    return q;
}

// Each ring short of 4 that is not clear costs a grade. A narrow margin in
// the image itself, which only the paper around it completes, caps the
// grade at B (none at all at C): the code reads on white paper, but not
// placed next to other marks.
int quiet_zone_grade(const quiet_zone &q) {
    int grade = std::max(0, 4 - (QUIET_ZONE_WANTED - q.clear));
    if (q.in_image < QUIET_ZONE_WANTED) grade = std::min(grade, q.in_image == 0 ? 2 : 3);
    return grade;
}

// The affine grid through the three finder centres the decode found, each
// matched to the finder the decode's grid puts nearest; false when they do
// not match one to one.
bool finder_grid(const qr_decode_geometry &g, qr_decode_geometry *out) {
    const double n = g.size;
    const double targets[3][2] = {{3.5, 3.5}, {n - 3.5, 3.5}, {3.5, n - 3.5}};
    point found[3];
    int used = 0;
    for (int t = 0; t < 3; ++t) {
        const point want = map_module(g, targets[t][0], targets[t][1]);
        int best = 0;
        for (int k = 1; k < 3; ++k) {
            const point a{g.finders[2 * k], g.finders[2 * k + 1]};
            const point b{g.finders[2 * best], g.finders[2 * best + 1]};
            if (distance(a, want) < distance(b, want)) best = k;
        }
        used |= 1 << best;
        found[t] = {g.finders[2 * best], g.finders[2 * best + 1]};
    }
    if (used != 7) return false;
    *out = g;
    const double span = n - 7.0;
    out->c[0] = (found[1].x - found[0].x) / span;
    out->c[1] = (found[2].x - found[0].x) / span;
    out->c[2] = found[0].x - 3.5 * (out->c[0] + out->c[1]);
    out->c[3] = (found[1].y - found[0].y) / span;
    out->c[4] = (found[2].y - found[0].y) / span;
    out->c[5] = found[0].y - 3.5 * (out->c[3] + out->c[4]);
    out->c[6] = 0.0;
    out->c[7] = 0.0;
    return true;
}

// The grid moved by (du, dv) modules.
qr_decode_geometry shifted(const qr_decode_geometry &g, double du, double dv) {
    qr_decode_geometry s = g;
    const double w = 1.0 + g.c[6] * du + g.c[7] * dv;
    s.c[2] = g.c[2] + g.c[0] * du + g.c[1] * dv;
    s.c[5] = g.c[5] + g.c[3] * du + g.c[4] * dv;
    for (double &c : s.c) c /= w;
    return s;
}

// The modules whose colour every symbol fixes: the three finder patterns
// with their separators and the two timing patterns, as (x, y, dark), in
// small groups (a finder, a run of timing modules) that are compared within
// themselves, so a gradient across the symbol does not weigh on the score.
struct known_module {
    int x, y;
    bool dark;
    int group;
};
constexpr int TIMING_RUN = 8;

std::vector<known_module> known_modules(int n, int *groups) {
    std::vector<known_module> out;
    const int origins[3][2] = {{0, 0}, {n - 7, 0}, {0, n - 7}};
    int group = 0;
    for (const auto &o : origins) {
        for (int j = -1; j <= 7; ++j) {
            for (int i = -1; i <= 7; ++i) {
                const int x = o[0] + i;
                const int y = o[1] + j;
                if (x < 0 || y < 0 || x >= n || y >= n) continue;
                const int ring = std::max(std::abs(i - 3), std::abs(j - 3));
                out.push_back({x, y, ring != 2 && ring != 4, group});
            }
        }
        ++group;
    }
    for (int k = 8; k < n - 8; ++k) {
        const int run = group + 2 * ((k - 8) / TIMING_RUN);
        out.push_back({k, 6, k % 2 == 0, run});
        out.push_back({6, k, k % 2 == 0, run + 1});
    }
    *groups = out.back().group + 1;
    return out;
}

// Where the grid search samples a module: 3 x 3 points across the middle
// 0.6 of it, so a grid sitting off-centre is seen before it reaches the
// module's edge.
constexpr float PROBE[3] = {-0.3f, 0.0f, 0.3f};

// Reflectance of module (x, y) as the grid search sees it, reversed for
// light-on-dark; NaN off the image.
float probe(const reflectance_image &img, const qr_decode_geometry &g, int x, int y) {
    const local_grid grid = local_at(g, x + 0.5, y + 0.5);
    float v = 0.0f;
    for (const float du : PROBE)
        for (const float dv : PROBE) {
            const point p = grid.at(static_cast<double>(du), static_cast<double>(dv));
            v += img.at(p.x, p.y) * (1.0f / 9.0f);
        }
    return g.inverted ? 1.0f - v : v;
}

// How clearly a grid separates the symbol's modules into dark and light:
// the mean distance of each module's reflectance from the mid-level,
// relative to half the range. A grid that drifts off the modules somewhere
// in the symbol samples edges there and scores lower.
double sharpness(const reflectance_image &img, const qr_decode_geometry &g) {
    std::vector<float> r;
    r.reserve(static_cast<std::size_t>(g.size) * static_cast<std::size_t>(g.size));
    float lo = 1.0f;
    float hi = 0.0f;
    for (int y = 0; y < g.size; ++y) {
        for (int x = 0; x < g.size; ++x) {
            const float v = probe(img, g, x, y);
            if (std::isnan(v)) return -1.0;
            r.push_back(v);
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    }
    if (!(hi > lo)) return -1.0;
    double sum = 0.0;
    for (const float v : r) sum += static_cast<double>(std::fabs(v - (hi + lo) * 0.5f));
    return sum / (static_cast<double>(r.size()) * static_cast<double>(hi - lo) * 0.5);
}

// How squarely a grid meets the modules: the mean margin, relative to half
// its group's range, by which the reflectance at each fixed module's centre
// lies on its own side of its group's mid-level. A grid off by a fraction
// of a module samples edges and neighbours and scores lower.
double squareness(const reflectance_image &img, const qr_decode_geometry &g,
                  const std::vector<known_module> &known, int groups) {
    std::vector<float> r(known.size());
    std::vector<float> lo(static_cast<std::size_t>(groups), 1.0f);
    std::vector<float> hi(static_cast<std::size_t>(groups), 0.0f);
    for (std::size_t i = 0; i < known.size(); ++i) {
        const float v = probe(img, g, known[i].x, known[i].y);
        if (std::isnan(v)) return -1.0;
        r[i] = v;
        const auto k = static_cast<std::size_t>(known[i].group);
        lo[k] = std::min(lo[k], v);
        hi[k] = std::max(hi[k], v);
    }
    double sum = 0.0;
    for (std::size_t i = 0; i < known.size(); ++i) {
        const auto k = static_cast<std::size_t>(known[i].group);
        if (!(hi[k] > lo[k])) continue;
        const float mid = (hi[k] + lo[k]) * 0.5f;
        const float margin = known[i].dark ? mid - r[i] : r[i] - mid;
        sum += static_cast<double>(margin / ((hi[k] - lo[k]) * 0.5f));
    }
    return sum / static_cast<double>(known.size());
}

// Steps of the grid search, in pixels: the decode places finder centres on
// whole pixels, which is a large part of a small module. At most a quarter
// of a module, so the search cannot walk onto the gaps between figures.
constexpr double SHIFTS_PX[] = {-1.0, -0.5, 0.5, 1.0};
constexpr double MAX_SHIFT = 0.25;
// A shift must gain this much score, so ties keep the decode's own grid.
constexpr double MIN_GAIN = 1e-3;

// The best of `g` moved along one axis, and its score.
qr_decode_geometry best_shift(const reflectance_image &img, const qr_decode_geometry &g,
                              const std::vector<known_module> &known, int groups, bool along_u,
                              double *score) {
    const double module_px =
        distance(map_module(g, 0.0, 0.0),
                 along_u ? map_module(g, g.size, 0.0) : map_module(g, 0.0, g.size)) /
        g.size;
    qr_decode_geometry best = g;
    for (const double px : SHIFTS_PX) {
        const double d = std::clamp(px / module_px, -MAX_SHIFT, MAX_SHIFT);
        const qr_decode_geometry s = along_u ? shifted(g, d, 0.0) : shifted(g, 0.0, d);
        const double v = squareness(img, s, known, groups);
        if (v > *score + MIN_GAIN) {
            *score = v;
            best = s;
        }
    }
    return best;
}

// The grid the grade measures on. The decode's grid is fitted for reading,
// not for measuring: the regular grid through the three finder centres
// often samples a flat image more sharply, and either may sit a fraction
// of a module off the modules' centres. The sharper of both, moved across
// and then down to where it meets the fixed modules most squarely, is
// measured.
qr_decode_geometry measuring_grid(const reflectance_image &img, const qr_decode_geometry &decoded) {
    int groups = 0;
    const std::vector<known_module> known = known_modules(decoded.size, &groups);
    qr_decode_geometry grid = decoded;
    qr_decode_geometry regular;
    if (finder_grid(decoded, &regular) && sharpness(img, regular) > sharpness(img, decoded))
        grid = regular;
    double score = squareness(img, grid, known, groups);
    const qr_decode_geometry across = best_shift(img, grid, known, groups, true, &score);
    return best_shift(img, across, known, groups, false, &score);
}

void measure(const reflectance_image &img, const print_frame &frame, qr_grade_report *out) {
    // The decode's grid is fitted for reading, not for measuring: where the
    // regular grid through the finder centres samples the modules more
    // squarely (a flat image), that one is measured.
    out->geo = measuring_grid(img, out->geo);
    const module_samples m = sample_modules(img, out->geo);
    const qr_decode_geometry &g = out->geo;
    const thresholds t = thresholds_of(m, g, frame);
    out->module_px = distance(map_module(g, 0.0, 0.0), map_module(g, g.size, 0.0)) / g.size;
    out->value[QR_GRADE_CONTRAST] = t.sc;
    out->grade[QR_GRADE_CONTRAST] = grade_at_least(t.sc, CONTRAST_SCALE);
    const layout l = make_layout(g.size, g.version);
    const data_measures d = measure_data(m, l, g, t);
    out->value[QR_GRADE_MODULATION] = d.weak_share;
    out->grade[QR_GRADE_MODULATION] = d.modulation_grade;
    out->value[QR_GRADE_UNUSED_EC] = d.uec;
    out->grade[QR_GRADE_UNUSED_EC] = d.uec_grade;
    measure_fixed_patterns(m, l, t, out);
    out->value[QR_GRADE_AXIAL] = axial_nonuniformity(g);
    out->grade[QR_GRADE_AXIAL] = grade_at_most(out->value[QR_GRADE_AXIAL], AXIAL_SCALE);
    out->value[QR_GRADE_GRID] = grid_nonuniformity(g, out->module_px);
    out->grade[QR_GRADE_GRID] = grade_at_most(out->value[QR_GRADE_GRID], GRID_SCALE);
    const quiet_zone qz = measure_quiet_zone(m, g, frame, t);
    out->value[QR_GRADE_QUIET_ZONE] = qz.in_image;
    out->grade[QR_GRADE_QUIET_ZONE] = quiet_zone_grade(qz);
}

void finish(qr_grade_report *out) {
    out->overall = 4;
    out->weakest = 0;
    for (int p = 0; p < QR_GRADE_PARAMETER_COUNT; ++p) {
        if (out->grade[p] < out->overall) {
            out->overall = out->grade[p];
            out->weakest = p;
        }
    }
}

// The image as printed: centred on white paper with a margin as wide as
// 2 modules of the largest symbol the image could hold, so a code drawn
// without a quiet zone reads as it does on paper. An image already at the
// pixel cap is graded as it stands.
print_frame paper_frame(int width, int height) {
    int margin = (std::min(width, height) * 2 + 20) / 21;
    if ((std::int64_t{width} + 2 * margin) * (std::int64_t{height} + 2 * margin) >
        QR_MAX_IMAGE_PIXELS) {
        margin = 0;
    }
    return {margin, margin, margin + width, margin + height};
}

// Linear light of each 8-bit sRGB level, and one past the end so that
// levels between two codes interpolate.
struct linear_table {
    std::array<float, 257> v{};
    linear_table() {
        for (int i = 0; i < 256; ++i)
            v[static_cast<std::size_t>(i)] = static_cast<float>(srgb_to_linear(i / 255.0));
        v[256] = 1.0f;
    }
    float at(float level) const {
        const auto i = static_cast<std::size_t>(level);
        return v[i] + (v[i + 1] - v[i]) * (level - static_cast<float>(i));
    }
};

// Relative luminance of one pixel composited over white the way a viewer
// shows it (in sRGB), then decoded to linear light.
float pixel_reflectance(const unsigned char *p, const linear_table &lin) {
    constexpr float WEIGHTS[3] = {0.2126f, 0.7152f, 0.0722f};
    float lum = 0.0f;
    if (p[3] == 255) {
        for (int c = 0; c < 3; ++c) lum += WEIGHTS[c] * lin.v[p[c]];
        return lum;
    }
    const float a = p[3] / 255.0f;
    for (int c = 0; c < 3; ++c) {
        const float level = static_cast<float>(p[c]) * a + 255.0f * (1.0f - a);
        lum += WEIGHTS[c] * lin.at(std::clamp(level, 0.0f, 255.0f));
    }
    return lum;
}

// What the decode reads and the grade measures: the print's reflectance as
// opaque grey levels on white paper, the way a camera with a linear
// response sees it. Light colours keep more contrast there than in their
// sRGB codes, dark ones less, as on paper.
void print_pixels(const unsigned char *rgba, int width, int height, const print_frame &frame,
                  std::vector<unsigned char> &out) {
    const int pw = frame.x1 + frame.x0;
    const int ph = frame.y1 + frame.y0;
    out.assign(static_cast<std::size_t>(pw) * static_cast<std::size_t>(ph) * 4, 255);
    static const linear_table lin;
    for (int y = 0; y < height; ++y) {
        const unsigned char *src = rgba + static_cast<std::size_t>(y) * width * 4;
        unsigned char *dst =
            out.data() + (static_cast<std::size_t>(y + frame.y0) * pw + frame.x0) * 4;
        // Renders hold long runs of one colour: convert each run once.
        std::uint32_t last = 0;
        unsigned char level = 255;  // of a transparent pixel, the first `last`
        for (int x = 0; x < width; ++x, src += 4, dst += 4) {
            std::uint32_t colour;
            std::memcpy(&colour, src, 4);
            if (colour != last) {
                last = colour;
                level = static_cast<unsigned char>(pixel_reflectance(src, lin) * 255.0f + 0.5f);
            }
            dst[0] = dst[1] = dst[2] = level;
        }
    }
}

// The print as a phone reader's adaptive binarizer sees it: each pixel
// dark or light against the mean of the blocks around it, so one end of a
// light gradient is not lost to a single threshold for the whole image.
// Blocks are 1/40 of the shorter side and the neighbourhood 5 x 5 blocks,
// about an eighth of the image; a neighbourhood of less contrast than
// MIN_LOCAL_RANGE is paper, so flat areas do not grow spurious marks.
constexpr int BLOCKS_ACROSS = 40;
constexpr int BLOCK_REACH = 2;
constexpr int MIN_LOCAL_RANGE = 24;  // grey levels of 255

// Blocks of 1/40 of the shorter side, but no more than about MAX_BLOCKS of
// them, so a long thin image cannot ask for a record per pixel.
constexpr double MAX_BLOCKS = 65536.0;

int block_size(int width, int height) {
    const double pixels = static_cast<double>(width) * height;
    const int bounded = static_cast<int>(std::ceil(std::sqrt(pixels / MAX_BLOCKS)));
    return std::max({1, std::min(width, height) / BLOCKS_ACROSS, bounded});
}

struct block_stats {
    int bw, bh;
    std::vector<std::uint32_t> sum, count;
    std::vector<std::uint8_t> lo, hi;
};

block_stats block_stats_of(const std::vector<unsigned char> &grey_rgba, int width, int height,
                           int block) {
    block_stats b{(width + block - 1) / block, (height + block - 1) / block, {}, {}, {}, {}};
    const auto blocks = static_cast<std::size_t>(b.bw) * static_cast<std::size_t>(b.bh);
    b.sum.assign(blocks, 0);
    b.count.assign(blocks, 0);
    b.lo.assign(blocks, 255);
    b.hi.assign(blocks, 0);
    for (int y = 0; y < height; ++y) {
        const unsigned char *row = grey_rgba.data() + static_cast<std::size_t>(y) * width * 4;
        for (int x = 0; x < width; ++x) {
            const std::size_t k = static_cast<std::size_t>(y / block) * b.bw + x / block;
            const std::uint8_t v = row[static_cast<std::size_t>(x) * 4];
            b.sum[k] += v;
            ++b.count[k];
            b.lo[k] = std::min(b.lo[k], v);
            b.hi[k] = std::max(b.hi[k], v);
        }
    }
    return b;
}

// Binarizes the grey print in place.
void adaptive_print(std::vector<unsigned char> &grey_rgba, int width, int height) {
    const int block = block_size(width, height);
    const block_stats b = block_stats_of(grey_rgba, width, height, block);
    // Per block: 1 + the threshold of its neighbourhood, 0 for paper.
    std::vector<int> limit(b.sum.size(), 0);
    for (int by = 0; by < b.bh; ++by) {
        for (int bx = 0; bx < b.bw; ++bx) {
            std::uint64_t sum = 0;
            std::uint64_t count = 0;
            int lo = 255;
            int hi = 0;
            for (int j = std::max(0, by - BLOCK_REACH); j <= std::min(b.bh - 1, by + BLOCK_REACH);
                 ++j) {
                for (int i = std::max(0, bx - BLOCK_REACH);
                     i <= std::min(b.bw - 1, bx + BLOCK_REACH); ++i) {
                    const std::size_t k = static_cast<std::size_t>(j) * b.bw + i;
                    sum += b.sum[k];
                    count += b.count[k];
                    lo = std::min<int>(lo, b.lo[k]);
                    hi = std::max<int>(hi, b.hi[k]);
                }
            }
            if (hi - lo >= MIN_LOCAL_RANGE)
                limit[static_cast<std::size_t>(by) * b.bw + bx] = static_cast<int>(sum / count) + 1;
        }
    }
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            unsigned char *p = grey_rgba.data() + (static_cast<std::size_t>(y) * width + x) * 4;
            const int t = limit[static_cast<std::size_t>(y / block) * b.bw + x / block];
            p[0] = p[1] = p[2] = p[0] < t - 1 ? 0 : 255;
        }
    }
}

// What a thread's grades reuse: the designer and --verify grade one image
// after another, and fresh buffers of this size cost more in page faults
// than the grade itself. Kept only up to KEEP_PIXELS, so one huge image
// does not stay resident.
struct grade_workspace {
    qr_quirc_ptr decoder;
    std::vector<unsigned char> print;

    // quirc sized to the print, or why it cannot be.
    qr_error sized_quirc(int width, int height, quirc **out) {
        if (!decoder) decoder.reset(qr_quirc_new());
        if (!decoder) return "qr_decode: quirc_new failed";
        if ((decoder->w != width || decoder->h != height) &&
            qr_quirc_resize(decoder.get(), width, height) != 0) {
            decoder.reset();
            return QR_DECODE_NO_MEMORY;
        }
        *out = decoder.get();
        return QR_OK;
    }

    void trim(std::int64_t pixels) {
        if (pixels <= KEEP_PIXELS) return;
        decoder.reset();
        std::vector<unsigned char>().swap(print);
    }

    static constexpr std::int64_t KEEP_PIXELS = std::int64_t{1} << 21;
};

thread_local grade_workspace g_workspace;

// Gives a large image's buffers back when a grade ends, however it ends.
struct workspace_trim {
    grade_workspace &w;
    std::int64_t pixels;
    ~workspace_trim() { w.trim(pixels); }
};

// A geometry whose version, level, mask and grid agree and lie in range;
// the decode vouches for them, this guards the tables they index.
bool usable(const qr_decode_geometry &g) {
    return g.version >= 1 && g.version <= 40 && g.size == 4 * g.version + 17 && g.ecc_level >= 0 &&
           g.ecc_level <= 3 && g.mask >= 0 && g.mask <= 7;
}

// The plain decode of the print: the four attempts on the reflectance
// image, then, where a single threshold loses part of the code, on its
// adaptive binarization. *decoded is 1 when one of them read the code.
qr_error decode_print(grade_workspace &w, const unsigned char *rgba, int width, int height,
                      const print_frame &frame, qr_decoded &text, qr_decode_geometry *geo,
                      int *decoded) {
    const int pw = frame.x1 + frame.x0;
    const int ph = frame.y1 + frame.y0;
    print_pixels(rgba, width, height, frame, w.print);
    quirc *q = nullptr;
    if (const qr_error e = w.sized_quirc(pw, ph, &q)) return e;
    *decoded = qr_decode_attempts(q, w.print.data(), pw, ph, text, geo) == 1;
    if (*decoded) return QR_OK;
    adaptive_print(w.print, pw, ph);
    *decoded = qr_decode_attempts(q, w.print.data(), pw, ph, text, geo) == 1;
    // The grade measures reflectance, not the binarized print.
    if (*decoded) print_pixels(rgba, width, height, frame, w.print);
    return QR_OK;
}

}  // namespace

qr_error qr_grade_rgba(const unsigned char *rgba, int width, int height, const char *expected,
                       qr_grade_report *out, qr_decoded &text) {
    *out = qr_grade_report{};
    out->message = "";
    text.text[0] = '\0';
    if (!rgba || width < QR_MIN_DECODE_SIDE || height < QR_MIN_DECODE_SIDE) {
        out->message = "qr_decode: invalid image (need RGBA, >= 21x21)";
        finish(out);
        return QR_OK;
    }
    if (std::int64_t{width} * height > QR_MAX_IMAGE_PIXELS) return QR_DECODE_NO_MEMORY;
    const print_frame frame = paper_frame(width, height);
    const int pw = frame.x1 + frame.x0;
    const int ph = frame.y1 + frame.y0;
    const workspace_trim trim{g_workspace, std::int64_t{pw} * ph};
    int decoded = 0;
    if (const qr_error e =
            decode_print(g_workspace, rgba, width, height, frame, text, &out->geo, &decoded))
        return e;
    out->decoded = decoded == 1 && usable(out->geo);
    if (!out->decoded) {
        text.text[0] = '\0';
        out->message = "qr_decode: no QR code found in image";
    } else if (expected && std::strcmp(expected, text.text) != 0) {
        out->decoded = false;
        out->message = OTHER_TEXT;
    }
    if (out->decoded) {
        // Two of the three common reader families (ZBar, zxing-cpp as
        // configured by default) do not try reversed codes.
        out->grade[QR_GRADE_DECODE] = out->geo.inverted ? LIGHT_ON_DARK_GRADE : 4;
        out->value[QR_GRADE_DECODE] = 1.0;
        measure(reflectance_image{g_workspace.print.data(), pw, ph}, frame, out);
    }
    finish(out);
    return QR_OK;
}

// ---- Report ------------------------------------------------------------------------

namespace {

constexpr const char *PARAMETER_NAMES[QR_GRADE_PARAMETER_COUNT] = {"decode",
                                                                   "symbol contrast",
                                                                   "modulation",
                                                                   "fixed patterns",
                                                                   "axial non-uniformity",
                                                                   "grid non-uniformity",
                                                                   "unused error correction",
                                                                   "quiet zone"};

constexpr char LETTERS[] = "FDCBA";

void append_escaped(std::string &s, const char *text) {
    static constexpr char HEX[] = "0123456789abcdef";
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    while (*p) {
        const unsigned char c = *p;
        int len = 1;
        if (c >= 0x80) {  // a complete, shortest UTF-8 sequence passes, anything else is U+FFFD
            len = c >= 0xc2 && c <= 0xdf   ? 2
                  : c >= 0xe0 && c <= 0xef ? 3
                  : c >= 0xf0 && c <= 0xf4 ? 4
                                           : 0;
            for (int k = 1; k < len; ++k)
                if ((p[k] & 0xc0) != 0x80) len = 0;
            const bool overlong =
                (c == 0xe0 && len == 3 && p[1] < 0xa0) || (c == 0xf0 && len == 4 && p[1] < 0x90) ||
                (c == 0xf4 && len == 4 && p[1] > 0x8f) || (c == 0xed && len == 3 && p[1] > 0x9f);
            if (len == 0 || overlong) {
                s += "\\ufffd";
                ++p;
                continue;
            }
            s.append(reinterpret_cast<const char *>(p), static_cast<std::size_t>(len));
            p += len;
            continue;
        }
        if (c == '"' || c == '\\') {
            s += '\\';
            s += static_cast<char>(c);
        } else if (c < 0x20) {
            s += "\\u00";
            s += HEX[c >> 4];
            s += HEX[c & 15];
        } else {
            s += static_cast<char>(c);
        }
        ++p;
    }
}

void append_string(std::string &s, const char *key, const char *value) {
    s += '"';
    s += key;
    s += "\":\"";
    append_escaped(s, value);
    s += '"';
}

// Three decimals for measures, one for scores.
void append_number(std::string &s, const char *key, double value, bool score = false) {
    char buf[64];
    if (score)
        qr_snprintf(buf, sizeof buf, "%.1f", value);
    else
        qr_snprintf(buf, sizeof buf, "%.3f", value);
    s += '"';
    s += key;
    s += "\":";
    s += buf;
}

int percent(double v) { return static_cast<int>(std::lround(v * 100.0)); }

// One plain sentence: what was measured and, when it costs grade, what to
// change in the look.
std::string hint_of(const qr_grade_report &r, int p) {
    char buf[256];
    const double v = r.value[p];
    const bool good = r.grade[p] >= 3;
    switch (p) {
    case QR_GRADE_DECODE:
        if (r.decoded && r.geo.inverted)
            return "light modules on a dark background: many readers only read dark modules on "
                   "a light background";
        if (r.decoded) return "a plain reader decodes the code";
        if (r.message == OTHER_TEXT) return OTHER_TEXT;
        qr_snprintf(buf, sizeof buf,
                    "a plain reader cannot read the code (%s): raise the contrast, use solid "
                    "finder figures and keep the quiet zone clear",
                    r.message);
        break;
    case QR_GRADE_CONTRAST:
        qr_snprintf(buf, sizeof buf, "contrast %d %%: %s", percent(v),
                    good ? "dark and light modules are far apart"
                         : "make the modules darker or the background lighter");
        break;
    case QR_GRADE_MODULATION:
        qr_snprintf(buf, sizeof buf, "%d %% of codewords have weak or wrong modules: %s",
                    percent(v),
                    good ? "modules are evenly dark and light"
                         : "keep every module clearly dark (avoid light gradient ends and "
                           "light module colours)");
        break;
    case QR_GRADE_FIXED_PATTERNS:
        qr_snprintf(buf, sizeof buf, "%d finder, timing or alignment modules weak or wrong: %s",
                    static_cast<int>(v),
                    good ? "the patterns readers search for are intact"
                         : "use solid finder figures in a dark colour and keep the logo off "
                           "the corners");
        break;
    case QR_GRADE_AXIAL:
        qr_snprintf(buf, sizeof buf, "modules %d %% wider one way than the other: %s", percent(v),
                    good ? "the code is square" : "keep the code's width and height equal");
        break;
    case QR_GRADE_GRID:
        qr_snprintf(buf, sizeof buf, "module centres up to %.2f modules off a regular grid: %s", v,
                    good ? "the grid is regular" : "print and photograph the code flat");
        break;
    case QR_GRADE_UNUSED_EC:
        qr_snprintf(buf, sizeof buf, "%d %% of the error correction left: %s", percent(v),
                    good ? "damage can still be corrected"
                         : "make the logo smaller or raise the error-correction level");
        break;
    default:
        qr_snprintf(buf, sizeof buf, "quiet zone %d module%s in the image: %s", static_cast<int>(v),
                    v == 1.0 ? "" : "s",
                    v >= QUIET_ZONE_WANTED ? "enough clear margin"
                    : good ? "print it with 4 modules of clear paper around the code"
                           : "leave 4 modules of clear background around the code");
        break;
    }
    return buf;
}

void append_parameter(std::string &s, const qr_grade_report &r, int p) {
    s += '{';
    append_string(s, "name", PARAMETER_NAMES[p]);
    s += ',';
    append_number(s, "value", r.value[p]);
    s += ',';
    const char letter[2] = {LETTERS[r.grade[p]], '\0'};
    append_string(s, "grade", letter);
    s += ',';
    append_number(s, "score", r.grade[p], true);
    s += ',';
    append_string(s, "hint", hint_of(r, p).c_str());
    s += '}';
}

}  // namespace

std::string qr_grade_json(const qr_grade_report &r, const qr_decoded &text) {
    static constexpr const char *LEVELS[4] = {"M", "L", "H", "Q"};
    std::string s = "{";
    const char letter[2] = {LETTERS[r.overall], '\0'};
    append_string(s, "grade", letter);
    s += ',';
    append_number(s, "score", r.overall, true);
    s += ',';
    append_string(s, "weakest", PARAMETER_NAMES[r.weakest]);
    s += ',';
    append_string(s, "hint", hint_of(r, r.weakest).c_str());
    s += ",\"decoded\":";
    s += r.decoded ? "true" : "false";
    s += ',';
    append_string(s, "message", r.message);
    s += ',';
    append_string(s, "text", r.decoded ? text.text : "");
    if (r.decoded) {
        s += ",\"version\":" + std::to_string(r.geo.version);
        s += ',';
        append_string(s, "level", LEVELS[r.geo.ecc_level & 3]);
        s += ",\"mask\":" + std::to_string(r.geo.mask);
        s += r.geo.inverted ? ",\"light_on_dark\":true," : ",\"light_on_dark\":false,";
        append_number(s, "module_px", r.module_px);
    }
    s += ",\"parameters\":[";
    const int count = r.decoded ? QR_GRADE_PARAMETER_COUNT : 1;
    for (int p = 0; p < count; ++p) {
        if (p > 0) s += ',';
        append_parameter(s, r, p);
    }
    s += "]}";
    return s;
}

// ---- Reports of encoded images ----

namespace {

qr_error grade_pixels(const unsigned char *rgba, int width, int height, const char *expected,
                      qr_decoded &text, qr_document &report) {
    qr_grade_report r;
    if (const qr_error e = qr_grade_rgba(rgba, width, height, expected, &r, text)) return e;
    const std::string json = qr_grade_json(r, text);
    report.text.reset(static_cast<char *>(std::malloc(json.size() + 1)));
    if (!report.text) return QR_GRADE_NO_MEMORY;
    std::memcpy(report.text.get(), json.c_str(), json.size() + 1);
    report.len = json.size();
    return QR_OK;
}

}  // namespace

qr_error qr_grade_file(const char *path, const char *expected, qr_decoded &text,
                       qr_document &report) {
    if (!path) return "qr_grade_from_file: NULL path";
    unsigned char *pixels = nullptr;
    int width = 0;
    int height = 0;
    const int read = qr_png_read_file(path, &pixels, &width, &height, QR_MIN_DECODE_SIDE);
    const qr_heap_ptr<unsigned char> owner(pixels);
    if (read != 0 && read != QR_IMAGE_TOO_SMALL) return QR_PNG_READ_FAILED;
    return grade_pixels(pixels, width, height, expected, text, report);
}

qr_error qr_grade_memory(const unsigned char *data, int len, const char *expected, qr_decoded &text,
                         qr_document &report) {
    if (!data || len <= 7) return "qr_grade_from_memory: data too small";
    unsigned char *pixels = nullptr;
    int width = 0;
    int height = 0;
    const int read = qr_image_read_memory(data, len, &pixels, &width, &height, QR_MIN_DECODE_SIDE);
    const qr_heap_ptr<unsigned char> owner(pixels);
    if (read != 0 && read != QR_IMAGE_TOO_SMALL) {
        return "qr_grade_from_memory: stbi_load_from failed (not a valid image?)";
    }
    return grade_pixels(pixels, width, height, expected, text, report);
}
