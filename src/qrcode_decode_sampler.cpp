// Reading grids: image to grey levels, quirc's sampled grids, and the
// grid-sampling fallback that reads quirc's finder-pattern list.
//
// A text read goes to the caller's result, at most 8,896 bytes and
// zero-terminated. The fallback samples the caller's RGBA pixels (or a
// prepared grey image), never quirc's buffer, which holds whatever grey
// image the last pass was handed.
#include <malloc.h>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "qrcode_decode_sampler.h"
#include "qrcode_platform.h"

extern "C" {
#include "quirc_internal.h"
}

// The fallback reads quirc's detector records directly. Their layout depends
// on quirc's compile-time settings, which the build hands to quirc and to this
// file alike: 65534 regions (16-bit labels), 32 finder patterns,
// double-precision transforms.
static_assert(QUIRC_MAX_CAPSTONES == 32, "quirc built with a different finder capacity");
static_assert(QUIRC_MAX_CAPSTONES == QR_MAX_FINDERS);
static_assert(QUIRC_MAX_REGIONS == 65534, "quirc's region capacity differs from the build's");
static_assert(sizeof(quirc_float_t) == sizeof(double), "quirc built with QUIRC_FLOAT_TYPE");
static_assert(QUIRC_MAX_PAYLOAD + 1 == QR_RESULT_CAP);
static_assert(QUIRC_MAX_BITMAP == QR_BITMAP_CAP);
static_assert(QUIRC_MAX_GRID_SIZE == QR_MAX_SIDE);

namespace {

// Most module samples one fallback call takes (about 8 grids of the
// largest size): bounds a call on an image crowded with finder patterns,
// such as noise, where thousands of triples pass. Every code the test
// pictures and the development photos hold was read within 3,300 samples.
constexpr std::int64_t QR_FALLBACK_MAX_SAMPLES = std::int64_t{1} << 18;

void store_result(const quirc_data &data, qr_decoded &out) {
    const int len = std::clamp(data.payload_len, 0, QR_RESULT_CAP - 1);
    std::memcpy(out.text, data.payload, static_cast<std::size_t>(len));
    out.text[len] = '\0';
}

// rgba_gray_white for every pixel. Most images are opaque throughout, and
// the opaque formula is cheaper (the grey conversion is otherwise a large
// share of a run on big images), so each block of pixels is checked for
// full opacity first. XOR with 255 is 255 - grey.
bool all_opaque(const unsigned char *__restrict rgba, std::size_t pixels) {
    unsigned alpha = 255;
    for (std::size_t i = 0; i < pixels; ++i) alpha &= rgba[i * 4 + 3];
    return alpha == 255;
}

#if defined(__SSE2__)
// rgba_gray_white of four pixels, as 32-bit lanes. Read as 16-bit words, a
// pixel is (G << 8 | R, A << 8 | B): the low bytes pair R with B and the
// high bytes G with A, and one multiply-add each gives 77 R + 29 B and
// 150 G + 0 A. Compositing over white stays within 16 bits: c a + 255
// (255 - a) is at most 255 * 255.
template <bool Opaque>
__m128i four_levels(const unsigned char *p) {
    const __m128i low_bytes = _mm_set1_epi16(0x00ff);
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i rb = _mm_and_si128(v, low_bytes);
    __m128i ga = _mm_srli_epi16(v, 8);
    if constexpr (!Opaque) {
        const __m128i a = _mm_shufflehi_epi16(_mm_shufflelo_epi16(ga, _MM_SHUFFLE(3, 3, 1, 1)),
                                              _MM_SHUFFLE(3, 3, 1, 1));
        const __m128i white = _mm_mullo_epi16(_mm_sub_epi16(low_bytes, a), low_bytes);
        const __m128i opaque = _mm_cmpeq_epi16(a, low_bytes);
        const auto over_white = [&](__m128i c) {
            const __m128i mixed = _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(c, a), white), 8);
            return _mm_or_si128(_mm_and_si128(opaque, c), _mm_andnot_si128(opaque, mixed));
        };
        rb = over_white(rb);
        ga = over_white(ga);
    }
    const __m128i red_blue = _mm_madd_epi16(rb, _mm_set1_epi32(29 << 16 | 77));
    const __m128i green = _mm_madd_epi16(ga, _mm_set1_epi32(150));
    return _mm_srli_epi32(_mm_add_epi32(red_blue, green), 8);
}
#endif

template <bool Opaque>
void block_levels(const unsigned char *__restrict px, std::uint8_t *__restrict out, std::size_t n,
                  int flip) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i flips = _mm_set1_epi8(static_cast<char>(flip));
    for (; i + 16 <= n; i += 16) {
        const unsigned char *p = px + i * 4;
        const __m128i low = _mm_packs_epi32(four_levels<Opaque>(p), four_levels<Opaque>(p + 16));
        const __m128i high =
            _mm_packs_epi32(four_levels<Opaque>(p + 32), four_levels<Opaque>(p + 48));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i),
                         _mm_xor_si128(_mm_packus_epi16(low, high), flips));
    }
#endif
    for (; i < n; ++i) out[i] = static_cast<std::uint8_t>(rgba_gray_white(px + i * 4) ^ flip);
}

}  // namespace

void qr_grey_levels(const unsigned char *__restrict rgba, std::uint8_t *__restrict grey,
                    std::size_t pixels, int flip) {
    constexpr std::size_t BLOCK = 1024;
    for (std::size_t start = 0; start < pixels; start += BLOCK) {
        const std::size_t n = std::min(BLOCK, pixels - start);
        const unsigned char *px = rgba + start * 4;
        std::uint8_t *out = grey + start;
        if (all_opaque(px, n)) {
            block_levels<true>(px, out, n, flip);
        } else {
            block_levels<false>(px, out, n, flip);
        }
    }
}

bool qr_decode_grids(quirc *q, qr_decoded &out, qr_decode_geometry *geo) {
    const int count = quirc_count(q);
    for (int j = 0; j < count; ++j) {
        quirc_code code;
        quirc_extract(q, j, &code);
        // Refining is most of the detector's work: a grid that reads as it
        // stands is refined only for the geometry.
        const bool as_it_stands = qr_decode_grid(code, out, geo);
        if (!as_it_stands || geo) qr_quirc_jiggle(q, j);
        if (!as_it_stands) quirc_extract(q, j, &code);
        if (as_it_stands || qr_decode_grid(code, out, geo)) {
            if (geo) {
                std::copy_n(q->grids[j].c, 8, geo->c);
                for (int k = 0; k < 3; ++k) {
                    const quirc_point &centre = q->capstones[q->grids[j].caps[k]].center;
                    geo->finders[2 * k] = centre.x;
                    geo->finders[2 * k + 1] = centre.y;
                }
            }
            return true;
        }
    }
    return false;
}

namespace {

// Reads the grid as it is and mirrored.
bool decode_either_side(quirc_code &code, qr_decoded &out) {
    if (qr_decode_grid(code, out)) return true;
    // quirc_extract leaves an oversized grid unsampled but keeps its size,
    // which quirc_flip would walk beyond the bitmap.
    if (code.size > QUIRC_MAX_GRID_SIZE) return false;
    quirc_flip(&code);
    return qr_decode_grid(code, out);
}

}  // namespace

bool qr_decode_grids_as_they_stand(quirc *q, qr_decoded &out) {
    for (int j = 0; j < quirc_count(q); ++j) {
        quirc_code code;
        quirc_extract(q, j, &code);
        if (decode_either_side(code, out)) return true;
    }
    return false;
}

bool qr_decode_refined_grids(quirc *q, qr_decoded &out) {
    for (int j = 0; j < quirc_count(q); ++j) {
        qr_quirc_jiggle(q, j);
        quirc_code code;
        quirc_extract(q, j, &code);
        if (decode_either_side(code, out)) return true;
    }
    return false;
}

namespace {

// ---- Grid-sampling fallback ---------------------------------------------------

struct arms {
    float dbx, dby, dcx, dcy;
    float lb, lc;
};

// Differences in 64 bits, so that no pair of int centres can overflow.
arms arms_of(const qr_finder &a, const qr_finder &b, const qr_finder &c) {
    arms r{};
    r.dbx = static_cast<float>(std::int64_t{b.x} - a.x);
    r.dby = static_cast<float>(std::int64_t{b.y} - a.y);
    r.dcx = static_cast<float>(std::int64_t{c.x} - a.x);
    r.dcy = static_cast<float>(std::int64_t{c.y} - a.y);
    r.lb = std::sqrt(r.dbx * r.dbx + r.dby * r.dby);
    r.lc = std::sqrt(r.dcx * r.dcx + r.dcy * r.dcy);
    return r;
}

// Grey level of the pixel at index i, for the two kinds of image the fallback
// samples: the caller's RGBA pixels (polarity applied here) and a prepared
// grey image that already has the polarity it is read in.
struct rgba_levels {
    const unsigned char *rgba;
    int inverted;
    int dark(std::size_t i) const {
        return qr_fallback_is_dark(rgba_gray_white(rgba + i * 4), inverted);
    }
};
struct grey_levels {
    const std::uint8_t *grey;
    int dark(std::size_t i) const { return qr_fallback_is_dark(grey[i], 0); }
};

template <class Levels>
void sample_grid(const Levels &levels, int width, int height, const qr_finder *a,
                 const qr_finder *b, const qr_finder *c, int n, unsigned char *bitmap) {
    std::memset(bitmap, 0, QR_BITMAP_CAP);
    const arms g = arms_of(*a, *b, *c);
    const float ax = static_cast<float>(a->x);
    const float ay = static_cast<float>(a->y);
    // Module 3 (a finder centre) maps to 0 and module n - 4 to 1; the same
    // fractions serve every row and every column.
    const float span = static_cast<float>(n - 7);
    std::array<float, QR_MAX_SIDE> f;
    for (int k = 0; k < n; ++k)
        f[static_cast<std::size_t>(k)] = (static_cast<float>(k) + 0.5f - 3.5f) / span;
    for (int y = 0; y < n; ++y) {
        const float fy = f[static_cast<std::size_t>(y)];
        for (int x = 0; x < n; ++x) {
            const float fx = f[static_cast<std::size_t>(x)];
            int px = 0;
            int py = 0;
            if (!qr_pixel_index(g.dbx * fx + ax + g.dcx * fy, width, &px) ||
                !qr_pixel_index(fx * g.dby + ay + fy * g.dcy, height, &py)) {
                continue;
            }
            const std::size_t pixel =
                static_cast<std::size_t>(py) * static_cast<std::size_t>(width) +
                static_cast<std::size_t>(px);
            // Or-ed in, not branched on: neighbouring modules are dark or
            // light at random.
            const int i = y * n + x;
            bitmap[i >> 3] =
                static_cast<unsigned char>(bitmap[i >> 3] | (levels.dark(pixel) << (i & 7)));
        }
    }
}

struct search {
    const qr_finder *finders;
    const unsigned char *rgba;  // sampled when grey is null
    const std::uint8_t *grey;
    int width;
    int height;
    int inverted;
    std::int64_t max_samples;
    std::int64_t samples;     // modules sampled so far
    qr_decoded *out;          // the text read
    qr_decode_geometry *geo;  // the winning grid goes here when not null
};

// The fallback's sampling grid as a map from module coordinates: module 3.5
// (a finder centre) lands on finder a, and the arms carry n - 7 modules.
void affine_geometry(const qr_finder &a, const qr_finder &b, const qr_finder &c, int n,
                     qr_decode_geometry *geo) {
    const arms g = arms_of(a, b, c);
    const double span = n - 7;
    geo->c[0] = static_cast<double>(g.dbx) / span;
    geo->c[1] = static_cast<double>(g.dcx) / span;
    geo->c[2] = a.x - 3.5 * (geo->c[0] + geo->c[1]);
    geo->c[3] = static_cast<double>(g.dby) / span;
    geo->c[4] = static_cast<double>(g.dcy) / span;
    geo->c[5] = a.y - 3.5 * (geo->c[3] + geo->c[4]);
    geo->c[6] = 0.0;
    geo->c[7] = 0.0;
    const qr_finder *centres[3] = {&a, &b, &c};
    for (int k = 0; k < 3; ++k) {
        geo->finders[2 * k] = centres[k]->x;
        geo->finders[2 * k + 1] = centres[k]->y;
    }
}

int try_triple(void *user, int ia, int ib, int ic) {
    auto *s = static_cast<search *>(user);
    const qr_finder &a = s->finders[ia];
    const qr_finder &b = s->finders[ib];
    const qr_finder &c = s->finders[ic];
    const arms g = arms_of(a, b, c);
    const float module = qr_fallback_module_size(a.area);
    int candidates[5];
    const int n_cand =
        qr_fallback_candidates(qr_fallback_version_estimate(g.lb, g.lc, module), candidates);
    quirc_code code;
    for (int k = 0; k < n_cand; ++k) {
        const int n = 4 * candidates[k] + 17;
        // The search is exhaustive, and 32 finder patterns can make thousands
        // of triples pass (several seconds). The sample budget ends the whole
        // search, not just this triple: -1 stops the enumeration empty-handed.
        s->samples += std::int64_t{n} * n;
        if (s->samples > s->max_samples) return -1;
        std::memset(&code, 0, sizeof code);
        code.size = n;
        if (s->grey) {
            sample_grid(grey_levels{s->grey}, s->width, s->height, &a, &b, &c, n, code.cell_bitmap);
        } else {
            sample_grid(rgba_levels{s->rgba, s->inverted}, s->width, s->height, &a, &b, &c, n,
                        code.cell_bitmap);
        }
        if (qr_decode_grid(code, *s->out, s->geo)) {
            if (s->geo) affine_geometry(a, b, c, n, s->geo);
            return 1;
        }
    }
    return 0;
}

}  // namespace

bool qr_decode_grid(const quirc_code &code, qr_decoded &out, qr_decode_geometry *geo) {
    quirc_data data;
    if (quirc_decode(&code, &data) != QUIRC_SUCCESS || data.payload_len <= 0) return false;
    store_result(data, out);
    if (geo) {
        geo->size = code.size;
        geo->version = data.version;
        geo->ecc_level = data.ecc_level;
        geo->mask = data.mask;
    }
    return true;
}

void qr_quirc_deleter::operator()(quirc *q) const noexcept { quirc_destroy(q); }

// quirc_resize copies the old image into the new one with memcpy even when
// there is none yet (a null source with length 0, undefined behaviour). A
// one-byte placeholder makes that first copy well defined; quirc_resize
// frees it like any earlier image, and quirc_destroy frees it if the resize
// fails.
quirc *qr_quirc_new() {
    quirc *q = quirc_new();
    if (!q) return nullptr;
    q->image = static_cast<uint8_t *>(std::malloc(1));
    if (!q->image) {
        quirc_destroy(q);
        return nullptr;
    }
    return q;
}

namespace {

// quirc's flood fill needs one work record per 1.5 rows, at least one.
std::size_t flood_fill_records(int height) {
    return std::max<std::size_t>(static_cast<std::size_t>(height) * 2 / 3, 1);
}

// Whether q's planes and flood-fill records already hold a width x height
// image.
bool holds(const quirc *q, int width, int height) {
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    const bool aliased = static_cast<void *>(q->pixels) == static_cast<void *>(q->image);
    return malloc_usable_size(q->image) >= pixels &&
           (aliased || malloc_usable_size(q->pixels) >= pixels * sizeof(quirc_pixel_t)) &&
           malloc_usable_size(q->flood_fill_vars) >=
               flood_fill_records(height) * sizeof(quirc_flood_fill_vars);
}

}  // namespace

// The second-chance stage hands quirc images of a few sizes in turn (the
// picture, a margined copy, halves, doubles). quirc_resize allocates fresh
// zeroed planes for every change and copies the old image over, and the
// page faults of touching them cost more than the pass itself; a size that
// fits what q already holds only changes the dimensions. Every caller writes
// the whole image after a resize, so nothing old is read. The flood fill
// gives up on a shape deeper than its records, so their number is set as
// quirc_resize sets it: a decode never depends on the pictures before it.
int qr_quirc_resize(quirc *q, int width, int height) {
    if (width >= 0 && height >= 0 && holds(q, width, height)) {
        q->w = width;
        q->h = height;
        q->num_flood_fill_vars = flood_fill_records(height);
        return 0;
    }
    if (quirc_resize(q, width, height) != 0) return -1;
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    qr_prefer_huge_pages(q->image, pixels);
    if (static_cast<void *>(q->pixels) != static_cast<void *>(q->image)) {
        qr_prefer_huge_pages(q->pixels, pixels * sizeof(quirc_pixel_t));
    }
    return 0;
}

namespace {

// Planes a thread keeps between decodes, in pixels.
constexpr std::size_t KEPT_QUIRC_PIXELS = std::size_t{1} << 21;

thread_local qr_quirc_ptr t_kept_quirc;

}  // namespace

qr_thread_quirc::qr_thread_quirc()
    : q_(t_kept_quirc ? std::move(t_kept_quirc) : qr_quirc_ptr(qr_quirc_new())) {}

qr_thread_quirc::~qr_thread_quirc() {
    if (q_ && malloc_usable_size(q_->image) <= KEPT_QUIRC_PIXELS) t_kept_quirc = std::move(q_);
}

int rgba_gray_white(const unsigned char *px) {
    int r = px[0];
    int g = px[1];
    int b = px[2];
    const int a = px[3];
    if (a != 255) {
        r = (r * a + 255 * (255 - a)) >> 8;
        g = (g * a + 255 * (255 - a)) >> 8;
        b = (b * a + 255 * (255 - a)) >> 8;
    }
    return (77 * r + 150 * g + 29 * b) >> 8;
}

int qr_fallback_triple_passes(const qr_finder *a, const qr_finder *b, const qr_finder *c) {
    const arms g = arms_of(*a, *b, *c);
    if (g.lb < 14.0f || g.lc < 14.0f) return 0;
    // The angle at A lies between about 75.5 and 104.5 degrees.
    if (std::fabs(g.dbx * g.dcx + g.dby * g.dcy) / (g.lb * g.lc) > 0.25f) return 0;
    // With rows growing downwards, B to the right of A and C below it (or a
    // rotation of that), never the mirror image.
    if (g.dbx * g.dcy - g.dby * g.dcx <= 0.0f) return 0;
    const float ratio = g.lb / g.lc;
    if (ratio < 0.75f || ratio > 1.33f) return 0;
    return 1;
}

int qr_fallback_enumerate(const qr_finder *finders, int count,
                          int (*visit)(void *user, int a, int b, int c), void *user) {
    count = std::min(count, QR_MAX_FINDERS);
    for (int a = 0; a < count; ++a) {
        for (int b = 0; b < count; ++b) {
            if (b == a) continue;
            for (int c = 0; c < count; ++c) {
                if (c == a || c == b) continue;
                if (!qr_fallback_triple_passes(&finders[a], &finders[b], &finders[c])) continue;
                const int r = visit(user, a, b, c);
                if (r != 0) return r;
            }
        }
    }
    return 0;
}

float qr_fallback_module_size(int area) {
    // Mean of the module size for a square 3 x 3 block (9 modules) and for a
    // disc 3 modules across (7.068 modules, about pi * 1.5^2): the inner block
    // may be drawn either way.
    const float s = static_cast<float>(area);
    return (std::sqrt(s / 9.0f) + std::sqrt(s / 7.068f)) * 0.5f;
}

int qr_fallback_version_estimate(float lb, float lc, float module) {
    // Finder centres of a version v symbol lie 4v + 10 modules apart. The
    // clamps run in float so an absurd estimate never overflows an int.
    const float d = (lb + lc) * 0.5f;
    const float v = std::round((d / module - 10.0f) * 0.25f);
    if (!(v <= 40.0f)) return 40;  // NaN only arises from infinite arms
    if (v <= 0.0f) return 1;
    return static_cast<int>(v);
}

int qr_fallback_candidates(int estimate, int out[5]) {
    int n = 0;
    for (int c = estimate - 2; c <= estimate + 2; ++c) {
        if (c >= 1 && c <= 40) out[n++] = c;
    }
    return n;
}

int qr_fallback_is_dark(int grey, int inverted) {
    if (inverted) grey = 255 - grey;
    return grey <= 127 ? 1 : 0;
}

void qr_fallback_sample(const unsigned char *rgba, int width, int height, int inverted,
                        const qr_finder *a, const qr_finder *b, const qr_finder *c, int n,
                        unsigned char *bitmap) {
    sample_grid(rgba_levels{rgba, inverted}, width, height, a, b, c, n, bitmap);
}

int qr_fallback_decode(const qr_finder *finders, int count, const unsigned char *rgba, int width,
                       int height, int inverted, qr_decoded &out, qr_decode_geometry *geo) {
    if (count < 3) return 0;
    search s{finders, rgba, nullptr, width, height, inverted, QR_FALLBACK_MAX_SAMPLES,
             0,       &out, geo};
    return qr_fallback_enumerate(finders, count, try_triple, &s) == 1 ? 1 : 0;
}

int qr_fallback_decode_grey(const qr_finder *finders, int count, const std::uint8_t *grey,
                            int width, int height, std::int64_t max_samples, qr_decoded &out) {
    if (count < 3) return 0;
    search s{finders, nullptr, grey, width, height, 0, max_samples, 0, &out, nullptr};
    return qr_fallback_enumerate(finders, count, try_triple, &s) == 1 ? 1 : 0;
}

int qr_read_finders(const quirc *q, qr_finder *finders) {
    const int count = std::clamp(q->num_capstones, 0, QR_MAX_FINDERS);
    for (int i = 0; i < count; ++i) {
        const quirc_capstone &cap = q->capstones[i];
        finders[i].x = cap.center.x;
        finders[i].y = cap.center.y;
        finders[i].area = q->regions[cap.stone].count;
    }
    return count;
}
