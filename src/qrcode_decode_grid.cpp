// Perspective grid reading. In photographed codes quirc often finds all three
// finder patterns but builds no grid from them, or samples its grid badly: a
// tilted print is not a parallelogram, and one pixel per module of a blurred,
// noisy picture is often on the wrong side of the threshold. This reader takes
// quirc's finder patterns of a prepared grey image, estimates the module size
// from each pattern's outline, finds the alignment pattern near where the
// three centres put it, fits a perspective transform through the four points,
// and decides every module from the mean of five samples around its centre
// against a threshold taken from the finder patterns themselves.
//
// Work is bounded: at most MAX_TRIPLES finder triples per image, three
// versions each, and a cap on the module samples taken.
#include "qrcode_decode_grid.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "qrcode_decode_sampler.h"

extern "C" {
#include "quirc_internal.h"
}

namespace {

// Finder triples tried per image: a real code gives one or two that pass the
// geometric test; crafted pictures with many finder-like shapes give thousands.
constexpr int MAX_TRIPLES = 8;
// Where a module is sampled around its centre, in module units: the centre and
// four points towards the corners, far enough in to miss the neighbours' blur.
constexpr float TAP = 0.12f;
constexpr int TAPS = 5;
constexpr std::array<float, TAPS> TAP_DX = {0.0f, -TAP, TAP, -TAP, TAP};
constexpr std::array<float, TAPS> TAP_DY = {0.0f, -TAP, -TAP, TAP, TAP};
// The alignment pattern is searched within this many modules of where an
// affine grid puts it; perspective moves it by a few modules at most.
constexpr float ALIGN_SEARCH_MODULES = 4.0f;
// Once the grid is refined, the pattern is looked for again this close.
constexpr float ALIGN_RECHECK_MODULES = 1.5f;
// The grid through the re-found pattern is kept unless its timing patterns
// lose more than this share of their contrast.
constexpr float ALIGN_KEEP_SHARE = 0.9f;
// Pixels between the coarse search's positions.
constexpr int ALIGN_STRIDE = 2;
// No search window wider than this many pixels each way (huge modules).
constexpr int MAX_ALIGN_RADIUS = 64;
// Finder patterns whose dark and light parts differ by fewer grey levels than
// this are not where the grid puts them.
constexpr float MIN_FINDER_CONTRAST = 24.0f;
// An alignment pattern candidate must show at least this share of the finder
// patterns' contrast.
constexpr float MIN_ALIGN_CONTRAST = 0.4f;
// Versions tried on either side of the estimate, and how many of them are
// decoded.
constexpr int VERSION_REACH = 1;
// Modules each way whose mean splits a module in the local split.
constexpr int LOCAL_SPLIT_REACH = 2;
constexpr int DECODES_PER_TRIPLE = 2;
// The estimate comes out about a third of a version low on photographed
// codes (blur widens the finder patterns' dark rings, so their modules look
// larger); the versions are tried from the corrected estimate outwards.
constexpr float VERSION_BIAS = 0.35f;
// A grid whose timing patterns alternate this clearly is decoded as soon as
// it is fitted, before the other versions' grids are fitted at all; the
// right version's grid nearly always does, a wrong one's seldom.
constexpr float CLEAR_TIMING_SCORE = 0.8f;
// A grid whose timing patterns alternate in fewer of their modules than this
// is the wrong size or off the code.
constexpr float MIN_TIMING_SCORE = 0.3f;
// Scored against their own levels, timing patterns must still alternate by
// this share of the finder patterns' contrast.
constexpr float OWN_TIMING_MIN_SHARE = 0.05f;
// The fourth point of the grid moves in steps from this many modules down to
// this many while the timing patterns show more contrast.
constexpr float REFINE_START = 1.0f;
constexpr float REFINE_END = 0.25f;

struct point {
    float x;
    float y;
};

struct image {
    const std::uint8_t *grey;
    int width;
    int height;

    // Grey level nearest to p; outside the picture counts as light.
    float at(point p) const {
        int x = 0;
        int y = 0;
        if (!qr_pixel_index(p.x, width, &x) || !qr_pixel_index(p.y, height, &y)) return 255.0f;
        return grey[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                    static_cast<std::size_t>(x)];
    }

    // The grey level of pixel (x, y), light outside the picture.
    int level(int x, int y) const {
        if (x < 0 || y < 0 || x >= width || y >= height) return 255;
        return grey[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                    static_cast<std::size_t>(x)];
    }
};

// x = (a u + b v + c) / (g u + h v + 1), y = (d u + e v + f) / (g u + h v + 1):
// grid coordinates (u, v) in modules to picture coordinates.
struct homography {
    std::array<double, 8> k{};

    point map(float uf, float vf) const {
        const auto u = static_cast<double>(uf);
        const auto v = static_cast<double>(vf);
        const double w = k[6] * u + k[7] * v + 1.0;
        return {static_cast<float>((k[0] * u + k[1] * v + k[2]) / w),
                static_cast<float>((k[3] * u + k[4] * v + k[5]) / w)};
    }

    // The picture point of (u, v) and how it moves per module along u and
    // along v there.
    struct local {
        point at;
        point du;
        point dv;
    };
    local around(float uf, float vf) const {
        const auto u = static_cast<double>(uf);
        const auto v = static_cast<double>(vf);
        const double w = 1.0 / (k[6] * u + k[7] * v + 1.0);
        const double x = (k[0] * u + k[1] * v + k[2]) * w;
        const double y = (k[3] * u + k[4] * v + k[5]) * w;
        return {
            {static_cast<float>(x), static_cast<float>(y)},
            {static_cast<float>((k[0] - x * k[6]) * w), static_cast<float>((k[3] - y * k[6]) * w)},
            {static_cast<float>((k[1] - x * k[7]) * w), static_cast<float>((k[4] - y * k[7]) * w)}};
    }
};

// Solves for the homography taking the four grid points to the four picture
// points; false when they are degenerate (three in a line).
bool fit_homography(const std::array<point, 4> &grid, const std::array<point, 4> &pic,
                    homography *out) {
    double m[8][9] = {};
    for (int i = 0; i < 4; ++i) {
        const auto u = static_cast<double>(grid[static_cast<std::size_t>(i)].x);
        const auto v = static_cast<double>(grid[static_cast<std::size_t>(i)].y);
        const auto x = static_cast<double>(pic[static_cast<std::size_t>(i)].x);
        const auto y = static_cast<double>(pic[static_cast<std::size_t>(i)].y);
        double *rx = m[2 * i];
        double *ry = m[2 * i + 1];
        rx[0] = u, rx[1] = v, rx[2] = 1, rx[6] = -u * x, rx[7] = -v * x, rx[8] = x;
        ry[3] = u, ry[4] = v, ry[5] = 1, ry[6] = -u * y, ry[7] = -v * y, ry[8] = y;
    }
    for (int col = 0; col < 8; ++col) {
        int pivot = col;
        for (int r = col + 1; r < 8; ++r) {
            if (std::fabs(m[r][col]) > std::fabs(m[pivot][col])) pivot = r;
        }
        if (!(std::fabs(m[pivot][col]) > 1e-9)) return false;
        std::swap(m[pivot], m[col]);
        for (int r = 0; r < 8; ++r) {
            if (r == col) continue;
            const double f = m[r][col] / m[col][col];
            for (int c = col; c < 9; ++c) m[r][c] -= f * m[col][c];
        }
    }
    for (int i = 0; i < 8; ++i) out->k[static_cast<std::size_t>(i)] = m[i][8] / m[i][i];
    return std::all_of(out->k.begin(), out->k.end(), [](double v) { return std::isfinite(v); });
}

float distance(point a, point b) { return std::hypot(a.x - b.x, a.y - b.y); }

// Module size of a finder pattern: its outer ring is 7 modules a side, and
// quirc records the ring's four corners.
float finder_module(const quirc_capstone &cap) {
    float sides = 0.0f;
    for (int i = 0; i < 4; ++i) {
        const quirc_point &p = cap.corners[i];
        const quirc_point &n = cap.corners[(i + 1) % 4];
        sides += distance({static_cast<float>(p.x), static_cast<float>(p.y)},
                          {static_cast<float>(n.x), static_cast<float>(n.y)});
    }
    return sides / 28.0f;
}

// The mean of the module's samples. They are placed through the grid's
// derivative at the module's centre: a tenth of a module away, the
// perspective differs from it by far less than a pixel, and one division
// serves all five.
float module_level(const image &img, const homography &h, float u, float v) {
    const homography::local m = h.around(u, v);
    float sum = 0.0f;
    for (int t = 0; t < TAPS; ++t) {
        const float du = TAP_DX[static_cast<std::size_t>(t)];
        const float dv = TAP_DY[static_cast<std::size_t>(t)];
        sum += img.at({m.at.x + du * m.du.x + dv * m.dv.x, m.at.y + du * m.du.y + dv * m.dv.y});
    }
    return sum / TAPS;
}

// Mean levels of a finder pattern's dark centre block and of its light ring,
// for the pattern whose top-left module is (u0, v0).
void finder_levels(const image &img, const homography &h, float u0, float v0, float *dark,
                   float *light) {
    for (int y = 1; y < 6; ++y) {
        for (int x = 1; x < 6; ++x) {
            const float level = module_level(img, h, u0 + static_cast<float>(x) + 0.5f,
                                             v0 + static_cast<float>(y) + 0.5f);
            const bool centre = x >= 2 && x <= 4 && y >= 2 && y <= 4;
            *(centre ? dark : light) += level;
        }
    }
}

// How a grid splits dark from light: halfway between the three finder
// patterns' dark and light parts. A grid whose finder patterns show too
// little contrast is not on them (valid() false).
struct split {
    float threshold;
    float contrast;
    bool valid() const { return contrast >= MIN_FINDER_CONTRAST; }
};

split grid_split(const image &img, const homography &h, int n) {
    float dark = 0.0f;
    float light = 0.0f;
    const float far = static_cast<float>(n - 7);
    finder_levels(img, h, 0.0f, 0.0f, &dark, &light);
    finder_levels(img, h, far, 0.0f, &dark, &light);
    finder_levels(img, h, 0.0f, far, &dark, &light);
    dark /= 27.0f;   // 3 patterns x 9 modules
    light /= 48.0f;  // 3 patterns x 16 modules
    return {(dark + light) * 0.5f, light - dark};
}

// How a grid's timing patterns are scored: against the finder patterns'
// midpoint, or against their own mean level (see timing_score).
enum class timing { finder_split, own_levels };

struct reader {
    image img;
    std::int64_t samples_left;
    int triples_left;
    qr_decoded *out;  // the text read
    timing scoring = timing::finder_split;
};

struct finder_triple {
    point a;  // top left
    point b;  // top right
    point c;  // bottom left
    float module;
};

// An alignment pattern's samples, one per module of its 5 x 5, as whole
// pixel offsets from a centre on a whole pixel: a search tries hundreds of
// centres with the same module vectors.
struct pattern_taps {
    std::array<int, 25> dx{};
    std::array<int, 25> dy{};
    int reach = 0;  // the largest offset either way
};

pattern_taps alignment_taps(point ux, point uy) {
    pattern_taps t;
    std::size_t k = 0;
    for (int j = -2; j <= 2; ++j) {
        for (int i = -2; i <= 2; ++i, ++k) {
            const auto fi = static_cast<float>(i);
            const auto fj = static_cast<float>(j);
            t.dx[k] = static_cast<int>(qr_round_half_away(ux.x * fi + uy.x * fj));
            t.dy[k] = static_cast<int>(qr_round_half_away(ux.y * fi + uy.y * fj));
            t.reach = std::max({t.reach, std::abs(t.dx[k]), std::abs(t.dy[k])});
        }
    }
    return t;
}

// How strongly the picture shows an alignment pattern (dark centre, light
// ring, dark ring, each one module) centred at pixel (x, y): light ring mean
// minus dark parts' mean.
float alignment_contrast(const image &img, int x, int y, const pattern_taps &t) {
    const bool inside =
        x >= t.reach && y >= t.reach && x + t.reach < img.width && y + t.reach < img.height;
    int dark = 0;
    int light = 0;
    std::size_t k = 0;
    for (int j = -2; j <= 2; ++j) {
        for (int i = -2; i <= 2; ++i, ++k) {
            const int px = x + t.dx[k];
            const int py = y + t.dy[k];
            const int level =
                inside
                    ? img.grey[static_cast<std::size_t>(py) * static_cast<std::size_t>(img.width) +
                               static_cast<std::size_t>(px)]
                    : img.level(px, py);
            const bool ring = std::max(std::abs(i), std::abs(j)) == 1;
            *(ring ? &light : &dark) += level;
        }
    }
    return static_cast<float>(light) / 8.0f - static_cast<float>(dark) / 17.0f;
}

// A guess this far outside any picture cannot lead to a pattern inside it.
constexpr float FARTHEST_GUESS = 1.0e6f;

// The alignment pattern nearest the lower right corner of a grid, searched
// pixel by pixel within `reach` modules of `guess`, with the grid's module
// vectors ux and uy there. False when nothing there looks like one.
bool find_alignment(reader &r, point guess, point ux, point uy, float reach, float contrast,
                    point *out) {
    const float module = std::sqrt(std::hypot(ux.x, ux.y) * std::hypot(uy.x, uy.y));
    const int radius = static_cast<int>(std::ceil(reach * module));
    if (!(radius >= 1 && radius <= MAX_ALIGN_RADIUS)) return false;
    // A module vector longer than the widest search belongs to a grid far
    // off any code (their geometric mean, `module`, can still be small).
    if (!(std::fabs(guess.x) < FARTHEST_GUESS && std::fabs(guess.y) < FARTHEST_GUESS &&
          std::hypot(ux.x, ux.y) <= MAX_ALIGN_RADIUS &&
          std::hypot(uy.x, uy.y) <= MAX_ALIGN_RADIUS)) {
        return false;
    }
    // A coarse pass every ALIGN_STRIDE pixels (the pattern's centre module is
    // wider than that), then every pixel around the best coarse position.
    const int coarse = 2 * (radius / ALIGN_STRIDE) + 1;
    r.samples_left -= (std::int64_t{coarse} * coarse + 25) * 25;
    if (r.samples_left < 0) return false;
    const pattern_taps taps = alignment_taps(ux, uy);
    float best = MIN_ALIGN_CONTRAST * contrast;
    int cx = static_cast<int>(std::round(guess.x));
    int cy = static_cast<int>(std::round(guess.y));
    bool found = false;
    const auto search = [&](int around_x, int around_y, int reach_px, int stride) {
        for (int dy = -reach_px; dy <= reach_px; dy += stride) {
            for (int dx = -reach_px; dx <= reach_px; dx += stride) {
                const float score = alignment_contrast(r.img, around_x + dx, around_y + dy, taps);
                if (score > best) {
                    best = score;
                    cx = around_x + dx;
                    cy = around_y + dy;
                    found = true;
                }
            }
        }
    };
    search(cx, cy, radius / ALIGN_STRIDE * ALIGN_STRIDE, ALIGN_STRIDE);
    search(cx, cy, ALIGN_STRIDE, 1);
    *out = {static_cast<float>(cx), static_cast<float>(cy)};
    return found;
}

// The same through a grid: where it puts the pattern, with its local module
// vectors.
bool find_alignment(reader &r, const homography &h, int n, float reach, float contrast,
                    point *out) {
    const float at = static_cast<float>(n) - 6.5f;
    const point guess = h.map(at, at);
    const point right = h.map(at + 1.0f, at);
    const point down = h.map(at, at + 1.0f);
    return find_alignment(r, guess, {right.x - guess.x, right.y - guess.y},
                          {down.x - guess.x, down.y - guess.y}, reach, contrast, out);
}

// Whether module (x, y) of an n-module grid belongs to a finder pattern or
// its separator.
bool in_finder(int x, int y, int n) {
    const bool left = x < 8;
    const bool right = x >= n - 8;
    const bool top = y < 8;
    const bool bottom = y >= n - 8;
    return (top && (left || right)) || (bottom && left);
}

// The level that best splits the data modules' levels into two groups (the
// largest between-group variance): dark figures that cover only part of
// their module (dots, blurred thin strokes) come out lighter than the
// finder patterns' solid centres, and this follows them. The finder
// patterns and their separators are left out: a code whose modules are a
// light colour beside dark finder patterns would otherwise be split
// between the finder patterns and everything else.
float split_level(const std::vector<std::uint8_t> &levels, int n) {
    std::array<std::int64_t, 256> hist{};
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
            if (!in_finder(x, y, n)) ++hist[levels[static_cast<std::size_t>(y * n + x)]];
        }
    }
    double total = 0.0;
    double sum_all = 0.0;
    for (int v = 0; v < 256; ++v) {
        const auto count = static_cast<double>(hist[static_cast<std::size_t>(v)]);
        total += count;
        sum_all += static_cast<double>(v) * count;
    }
    double below = 0.0;
    double sum_below = 0.0;
    double best = -1.0;
    int level = 128;
    for (int v = 0; v < 255; ++v) {
        const auto count = static_cast<double>(hist[static_cast<std::size_t>(v)]);
        below += count;
        sum_below += static_cast<double>(v) * count;
        const double above = total - below;
        if (below == 0.0 || above == 0.0) continue;
        const double diff = sum_below / below - (sum_all - sum_below) / above;
        const double between = below * above * diff * diff;
        if (between > best) {
            best = between;
            level = v;
        }
    }
    return static_cast<float>(level) + 0.5f;
}

// Decodes the n-module grid whose module i is dark where dark(i) says so.
template <class Dark>
bool decode_cells(int n, Dark dark, qr_decoded &out) {
    quirc_code code;
    std::memset(&code, 0, sizeof code);
    code.size = n;
    for (int i = 0; i < n * n; ++i) {
        code.cell_bitmap[i >> 3] =
            static_cast<std::uint8_t>(code.cell_bitmap[i >> 3] | ((dark(i) ? 1 : 0) << (i & 7)));
    }
    return qr_decode_grid(code, out);
}

bool below(int level, float threshold) { return static_cast<float>(level) < threshold; }

bool decode_levels(const std::vector<std::uint8_t> &levels, int n, float threshold,
                   qr_decoded &out) {
    return decode_cells(
        n, [&](int i) { return below(levels[static_cast<std::size_t>(i)], threshold); }, out);
}

// Each module split at the mean level of the data modules around it, up to
// LOCAL_SPLIT_REACH modules each way (the finder patterns and separators
// left out, as above): under uneven light or glare a light-coloured code's
// modules in the bright part can come out lighter than the paper in the
// shade, which no single level separates. A module with no data module
// around it takes `fallback`.
bool decode_levels_locally(const std::vector<std::uint8_t> &levels, int n, float fallback,
                           qr_decoded &out) {
    const auto side = static_cast<std::size_t>(n) + 1;
    // At (x, y): the sum of the data modules' levels over [0, x) x [0, y),
    // and how many there are.
    std::vector<std::int32_t> sums(side * side, 0);
    std::vector<std::int32_t> counts(side * side, 0);
    const auto at = [side](int x, int y) {
        return static_cast<std::size_t>(y) * side + static_cast<std::size_t>(x);
    };
    const auto area = [&](const std::vector<std::int32_t> &table, int x0, int y0, int x1, int y1) {
        return table[at(x1, y1)] - table[at(x0, y1)] - table[at(x1, y0)] + table[at(x0, y0)];
    };
    const auto add = [&](std::vector<std::int32_t> &table, int x, int y, int value) {
        table[at(x + 1, y + 1)] =
            value + table[at(x, y + 1)] + table[at(x + 1, y)] - table[at(x, y)];
    };
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
            const bool data = !in_finder(x, y, n);
            add(sums, x, y, data ? levels[static_cast<std::size_t>(y * n + x)] : 0);
            add(counts, x, y, data ? 1 : 0);
        }
    }
    return decode_cells(
        n,
        [&](int i) {
            const int x = i % n;
            const int y = i / n;
            const int x0 = std::max(x - LOCAL_SPLIT_REACH, 0);
            const int y0 = std::max(y - LOCAL_SPLIT_REACH, 0);
            const int x1 = std::min(x + LOCAL_SPLIT_REACH + 1, n);
            const int y1 = std::min(y + LOCAL_SPLIT_REACH + 1, n);
            const std::int32_t count = area(counts, x0, y0, x1, y1);
            const int level = levels[static_cast<std::size_t>(i)];
            return count == 0 ? below(level, fallback) : level * count < area(sums, x0, y0, x1, y1);
        },
        out);
}

// Samples an n-module grid through h and decodes it, split at the level that
// separates its modules best, then at the finder patterns' own threshold,
// then module by module against its neighbours; true with the text in r.out.
bool read_grid(reader &r, const homography &h, int n, float threshold) {
    r.samples_left -= std::int64_t{n} * n * TAPS;
    if (r.samples_left < 0) return false;
    std::vector<std::uint8_t> levels(static_cast<std::size_t>(n) * static_cast<std::size_t>(n));
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
            levels[static_cast<std::size_t>(y * n + x)] =
                static_cast<std::uint8_t>(qr_round_half_away(module_level(
                    r.img, h, static_cast<float>(x) + 0.5f, static_cast<float>(y) + 0.5f)));
        }
    }
    const float best_split = split_level(levels, n);
    return decode_levels(levels, n, best_split, *r.out) ||
           (std::fabs(best_split - threshold) >= 2.0f &&
            decode_levels(levels, n, threshold, *r.out)) ||
           decode_levels_locally(levels, n, best_split, *r.out);
}

// A grid through the three finder centres and a fourth point, `fourth` in
// the picture at `(at, at)` in modules.
struct anchors {
    int n;
    point fourth;
    float at;
};

bool fit_grid(const finder_triple &t, const anchors &g, homography *h) {
    const float near = 3.5f;
    const float far = static_cast<float>(g.n) - 3.5f;
    return fit_homography(
        {point{near, near}, point{far, near}, point{near, far}, point{g.at, g.at}},
        {t.a, t.b, t.c, g.fourth}, h);
}

// How clearly the timing patterns (row and column 6 between the finder
// patterns) alternate on a grid: near 1 on the right grid; a grid of the
// wrong size or perspective drifts out of step with them. Against the
// finder patterns' midpoint the score is the alternation as a share of
// their contrast. A code whose modules are much lighter than its finder
// patterns (pale grey or pink dots with navy rings) alternates entirely
// above that midpoint; against the timing patterns' own mean the score is
// the correlation of their levels with the alternation, provided that it
// is at least OWN_TIMING_MIN_SHARE of the finder patterns' contrast.
float timing_score(reader &r, const homography &h, int n, const split &s) {
    const int last = n - 9;
    const int count = last - 7;
    r.samples_left -= std::int64_t{2} * count * TAPS;
    float alternation = 0.0f;  // sum of sign x (midpoint - level) over both patterns
    float sum = 0.0f;
    float squares = 0.0f;
    float signs = 0.0f;
    for (int i = 8; i <= last; ++i) {
        const float sign = i % 2 == 0 ? 1.0f : -1.0f;
        const float m = static_cast<float>(i) + 0.5f;
        const float across = module_level(r.img, h, m, 6.5f);
        const float down = module_level(r.img, h, 6.5f, m);
        alternation += sign * (2.0f * s.threshold - across - down);
        sum += across + down;
        squares += across * across + down * down;
        signs += 2.0f * sign;
    }
    if (r.scoring == timing::finder_split) {
        return alternation / (static_cast<float>(count) * s.contrast);
    }
    // The same sum about the patterns' own mean instead of the midpoint.
    const float levels = 2.0f * static_cast<float>(count);
    const float mean = sum / levels;
    const float own = alternation + signs * (mean - s.threshold);
    const float spread = squares - levels * mean * mean;
    if (!(spread > 0.0f) || own < OWN_TIMING_MIN_SHARE * levels * s.contrast) return 0.0f;
    return own / std::sqrt(levels * spread);
}

// Moves the grid's fourth point in shrinking steps while the timing patterns
// alternate more clearly.
void refine_fourth(reader &r, const finder_triple &t, const split &s, anchors *g, homography *h,
                   float *score) {
    for (float step = REFINE_START * t.module; step >= REFINE_END * t.module; step *= 0.5f) {
        for (bool moved = true; moved && r.samples_left >= 0;) {
            moved = false;
            for (const point d :
                 {point{step, 0}, point{-step, 0}, point{0, step}, point{0, -step}}) {
                anchors trial = *g;
                trial.fourth = {g->fourth.x + d.x, g->fourth.y + d.y};
                homography th;
                if (!fit_grid(t, trial, &th)) continue;
                const float ts = timing_score(r, th, g->n, s);
                if (ts > *score) {
                    *score = ts;
                    *h = th;
                    *g = trial;
                    moved = true;
                }
            }
        }
    }
}

// The grid of one candidate size: its fourth point starts at the alignment
// pattern when one is found, else at the fourth corner of the parallelogram
// of the finder centres, and then moves to where the timing patterns
// alternate most clearly. False when the grid does not sit on finder patterns.
bool grid_for(reader &r, const finder_triple &t, int n, homography *h, split *s, float *score) {
    anchors g{n, {t.b.x + t.c.x - t.a.x, t.b.y + t.c.y - t.a.y}, static_cast<float>(n) - 3.5f};
    if (!fit_grid(t, g, h)) return false;
    *s = grid_split(r.img, *h, n);
    if (!s->valid()) return false;
    point align;
    if (n >= 25 && find_alignment(r, *h, n, ALIGN_SEARCH_MODULES, s->contrast, &align)) {
        g.fourth = align;
        g.at = static_cast<float>(n) - 6.5f;
        if (!fit_grid(t, g, h)) return false;
    }
    *score = timing_score(r, *h, n, *s);
    refine_fourth(r, t, *s, &g, h, score);
    // The refined grid puts the alignment pattern more precisely; through the
    // pattern itself the grid also fits the far side, which the timing
    // patterns do not reach.
    if (n >= 25 && find_alignment(r, *h, n, ALIGN_RECHECK_MODULES, s->contrast, &align)) {
        g.fourth = align;
        g.at = static_cast<float>(n) - 6.5f;
        homography through;
        if (fit_grid(t, g, &through)) {
            const float ts = timing_score(r, through, n, *s);
            if (ts >= ALIGN_KEEP_SHARE * *score) {
                *h = through;
                *score = ts;
            }
        }
    }
    return true;
}

// Pixels from `from` along the unit vector `dir` to the outer edge of a
// finder pattern's ring (dark centre, light ring, dark ring, then light),
// or 0 when the levels do not show that sequence within `limit` pixels.
float ring_edge(const image &img, point from, point dir, float limit, float threshold) {
    int phase = 0;  // 0 centre, 1 light ring, 2 dark ring
    for (float d = 0.0f; d <= limit; d += 0.5f) {
        const bool dark = img.at({from.x + dir.x * d, from.y + dir.y * d}) < threshold;
        if (dark == (phase % 2 == 1)) {
            if (phase == 2) return d;
            ++phase;
        }
    }
    return 0.0f;
}

// Module size of the finder pattern at `c` along the line to `other`, from the
// pattern's full width (7 modules) on that line; rounded rings and discs are
// as wide there as square ones. Falls back to `fallback`.
float module_towards(const image &img, point c, point other, float fallback) {
    const float len = distance(c, other);
    if (!(len > 0.0f)) return fallback;
    const point dir = {(other.x - c.x) / len, (other.y - c.y) / len};
    const float limit = len / 3.0f;
    float brightest = 0.0f;
    for (float d = -limit; d <= limit; d += 1.0f) {
        brightest = std::max(brightest, img.at({c.x + dir.x * d, c.y + dir.y * d}));
    }
    const float threshold = (img.at(c) + brightest) * 0.5f;
    const float ahead = ring_edge(img, c, dir, limit, threshold);
    const float behind = ring_edge(img, c, {-dir.x, -dir.y}, limit, threshold);
    return ahead > 0.0f && behind > 0.0f ? (ahead + behind) / 7.0f : fallback;
}

// Version estimate from the centres' spacing in modules (4 v + 10 between
// finder centres), corrected for its bias and unrounded; 0 when it rounds
// outside versions 1 to 40.
float version_estimate(const image &img, const finder_triple &t) {
    const float mab =
        (module_towards(img, t.a, t.b, t.module) + module_towards(img, t.b, t.a, t.module)) * 0.5f;
    const float mac =
        (module_towards(img, t.a, t.c, t.module) + module_towards(img, t.c, t.a, t.module)) * 0.5f;
    const float modules = (distance(t.a, t.b) / mab + distance(t.a, t.c) / mac) * 0.5f;
    const float estimate = (modules - 10.0f) * 0.25f + VERSION_BIAS;
    return std::round(estimate) >= 1.0f && std::round(estimate) <= 40.0f ? estimate : 0.0f;
}

// The versions to try, most likely first: the rounded estimate, then its
// neighbour on the side the estimate leans to, then the other.
std::array<int, 2 * VERSION_REACH + 1> versions_to_try(float estimate) {
    const auto nearest = static_cast<int>(std::round(estimate));
    const int lean = estimate >= static_cast<float>(nearest) ? 1 : -1;
    return {nearest, nearest + lean, nearest - lean};
}

struct candidate {
    int n;
    float score;
    homography h;
    float threshold;
};

// Fits the grids of the versions around the estimate and decodes at most
// DECODES_PER_TRIPLE of them: each grid whose timing patterns alternate
// clearly as soon as it is fitted, then those left, best timing first.
bool read_triple_scored(reader &r, const finder_triple &t, float estimate) {
    std::array<candidate, 2 * VERSION_REACH + 1> waiting{};
    int count = 0;
    int decodes = 0;
    for (const int version : versions_to_try(estimate)) {
        if (version < 1 || version > 40) continue;
        candidate k{4 * version + 17, 0.0f, {}, 0.0f};
        split s{};
        if (!grid_for(r, t, k.n, &k.h, &s, &k.score)) continue;
        k.threshold = s.threshold;
        if (k.score >= CLEAR_TIMING_SCORE && decodes < DECODES_PER_TRIPLE) {
            ++decodes;
            if (read_grid(r, k.h, k.n, k.threshold)) return true;
        } else if (k.score >= MIN_TIMING_SCORE) {
            waiting[static_cast<std::size_t>(count++)] = k;
        }
        if (r.samples_left < 0) return false;
    }
    // Best timing first, ties in the order tried: an insertion sort of at
    // most three, as std::sort does for so few (GCC 12 warns falsely on
    // std::sort over this fixed-size array).
    for (int i = 1; i < count; ++i) {
        for (int j = i; j > 0 && waiting[j - 1].score < waiting[j].score; --j) {
            std::swap(waiting[j - 1], waiting[j]);
        }
    }
    for (int i = 0; i < count && decodes < DECODES_PER_TRIPLE; ++i, ++decodes) {
        const candidate &k = waiting[static_cast<std::size_t>(i)];
        if (read_grid(r, k.h, k.n, k.threshold)) return true;
    }
    return false;
}

// Reads a triple with the timing patterns scored against the finder
// patterns' midpoint and, when that reads nothing, once more with them
// scored against their own levels.
bool read_triple(reader &r, const finder_triple &t) {
    const float estimate = version_estimate(r.img, t);
    if (estimate == 0.0f) return false;
    if (read_triple_scored(r, t, estimate)) return true;
    if (r.samples_left < 0) return false;
    r.scoring = timing::own_levels;
    const bool read = read_triple_scored(r, t, estimate);
    r.scoring = timing::finder_split;
    return read;
}

struct visit_state {
    reader *r;
    const qr_finder_patterns *patterns;
};

int try_triple(void *user, int ia, int ib, int ic) {
    auto *s = static_cast<visit_state *>(user);
    if (s->r->triples_left-- <= 0) return -1;
    const qr_finder_patterns &p = *s->patterns;
    const auto centre = [&](int i) {
        return point{static_cast<float>(p.finders[i].x), static_cast<float>(p.finders[i].y)};
    };
    finder_triple t{centre(ia), centre(ib), centre(ic), 0.0f};
    t.module = (p.module[ia] + p.module[ib] + p.module[ic]) / 3.0f;
    if (!(t.module >= 1.0f)) return 0;
    if (read_triple(*s->r, t)) return 1;
    return s->r->samples_left < 0 ? -1 : 0;
}

}  // namespace

qr_finder_patterns qr_finder_patterns_of(const quirc *q) {
    qr_finder_patterns p;
    p.count = qr_read_finders(q, p.finders);
    for (int i = 0; i < p.count; ++i) p.module[i] = finder_module(q->capstones[i]);
    return p;
}

int qr_perspective_decode(const qr_finder_patterns &patterns, const std::uint8_t *grey, int width,
                          int height, std::int64_t *samples_left, qr_decoded &out) {
    if (patterns.count < 3 || *samples_left <= 0) return 0;
    reader r{{grey, width, height}, *samples_left, MAX_TRIPLES, &out};
    visit_state s{&r, &patterns};
    const bool read = qr_fallback_enumerate(patterns.finders, patterns.count, try_triple, &s) == 1;
    *samples_left = std::max(r.samples_left, std::int64_t{0});
    return read ? 1 : 0;
}

int qr_perspective_decode(const quirc *q, const std::uint8_t *grey, int width, int height,
                          std::int64_t *samples_left, qr_decoded &out) {
    if (q->num_capstones < 3 || *samples_left <= 0) return 0;
    return qr_perspective_decode(qr_finder_patterns_of(q), grey, width, height, samples_left, out);
}
