// Second-chance reading. When quirc and the grid-sampling fallback have failed
// on the image and on its inverse, the picture may still hold a code that a
// differently prepared grey image exposes: uneven light or a dark surround
// that one threshold level cannot split, colours whose luma barely differs,
// modules only a pixel or two wide, JPEG noise. Each strategy in the table
// below prepares such a grey image afresh from the caller's RGBA pixels, or
// from their luma, which is made once per call (or taken from the inverted
// luma the fixed attempts leave, before any strategy reuses quirc's
// buffer), and reads it with quirc, a mirrored retry of every grid, and the
// fallback.
//
// Strategies run in table order, cheapest and most productive first, until
// one reads a text; all but the first few only once one of them has seen a
// finder pattern. Big images are reduced once by area averaging to a
// working size, and the pixels handed to quirc per call are budgeted, so an
// image without a code costs a bounded multiple of the four fixed attempts.
#include "qrcode_decode_rescue.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "qrcode_decode_grid.h"
#include "qrcode_decode_sampler.h"

extern "C" {
#include "quirc_internal.h"
}

namespace {

// Larger images are area-averaged to at most this many pixels first: a code
// that the full-resolution attempts missed in such a photo is big enough to
// survive the reduction, and every strategy's cost stays bounded.
constexpr std::int64_t WORK_MAX_PIXELS = std::int64_t{1} << 21;
// Pixels one call may hand to quirc, in working images' worth, but never
// fewer than BUDGET_MIN_PIXELS: small pictures (phone captures of a code
// alone, a few hundred pixels a side) may try every strategy, the doubled
// ones included, which takes about 21 times their pixels.
constexpr std::int64_t BUDGET_IMAGES = 20;
constexpr std::int64_t BUDGET_MIN_PIXELS = std::int64_t{1} << 21;
// Most bytes one prepared image may take with what reading it costs: the
// image, quirc's copy of it and its 16-bit region labels, and up to four
// bytes a pixel of the images made on the way (a smoothed or doubled copy,
// the doubling's row sums). A margin that would not fit is narrowed, so
// a thin picture (21 x 99,864) never gets a padded copy of gigabytes.
constexpr std::int64_t PREPARED_MAX_BYTES = std::int64_t{64} << 20;
constexpr std::int64_t PREPARED_BYTES_PER_PIXEL = 1 + 3 + 4;
constexpr std::int64_t PREPARED_MAX_PIXELS = PREPARED_MAX_BYTES / PREPARED_BYTES_PER_PIXEL;
// Upscaling only pays on small pictures, whose modules are few pixels wide;
// fourfold upscaling only on tiny ones.
constexpr std::int64_t UPSCALE_MAX_PIXELS = 400 * 400;
constexpr std::int64_t QUADRUPLE_MAX_PIXELS = 128 * 128;
// Reductions stop where a code could no longer hold enough pixels per module.
constexpr int REDUCE_MIN_SIDE = 120;
// Finder patterns a pass may see and still be charged only its pixels (see
// crowding()).
constexpr int CROWD_FINDERS = 8;
// Module samples the fallback may take on one prepared image.
constexpr std::int64_t FALLBACK_SAMPLES = std::int64_t{1} << 18;
// Pixel samples the perspective grid reader may take on one prepared image.
constexpr std::int64_t PERSPECTIVE_SAMPLES = std::int64_t{1} << 20;
// The look at the upright pass's finder patterns before the strategies.
constexpr std::int64_t UPRIGHT_LOOK_SAMPLES = std::int64_t{1} << 17;
// A pixel is dark when it lies this many percent below its neighbourhood's
// mean: flat areas then stay light instead of turning into speckle.
constexpr int LOCAL_CONTRAST_PERCENT = 12;
// The finer step for faint codes in photos (light colours, low contrast),
// whose modules sit only a few percent below the paper once a camera has
// compressed its tones; only used on smoothed images.
constexpr int FAINT_CONTRAST_PERCENT = 3;
// A step between the two, without smoothing: captures whose tone curve
// leaves the modules too close to the paper for the usual step, but whose
// edges smoothing would blur into the background.
constexpr int MILD_CONTRAST_PERCENT = 6;
// Splits the two levels of a thresholded image for quirc.
constexpr std::uint8_t TWO_LEVEL_THRESHOLD = 128;
// Scratch blocks a thread keeps between strategies and calls (see
// scratch_blocks): enough for every image a 2^21-pixel working picture
// needs, never more than these.
constexpr std::size_t SCRATCH_KEPT_BLOCKS = 8;
constexpr std::size_t SCRATCH_KEPT_BYTES = std::size_t{32} << 20;
constexpr std::size_t SCRATCH_MIN_BLOCK = std::size_t{64} << 10;
constexpr std::size_t SCRATCH_PAGE = 4096;

// Scratch blocks of the images below, kept on the calling thread between
// strategies and calls. Every strategy prepares images of the same few
// sizes; a block freed by one is taken again by the next, instead of
// returning its pages to the system and faulting fresh zeroed pages in
// (the page faults cost more than the thresholding). Blocks are matched by
// size rounded to whole pages; at most SCRATCH_KEPT_BLOCKS blocks and
// SCRATCH_KEPT_BYTES in all stay with a thread, the rest are freed.
class scratch_blocks {
public:
    scratch_blocks() = default;
    scratch_blocks(const scratch_blocks &) = delete;
    scratch_blocks &operator=(const scratch_blocks &) = delete;
    ~scratch_blocks() {
        for (const block &b : kept_) ::operator delete(b.p);
    }

    void *take(std::size_t bytes) {
        const std::size_t size = rounded(bytes);
        for (block &b : kept_) {
            if (b.p && b.bytes == size) {
                void *p = std::exchange(b.p, nullptr);
                kept_bytes_ -= size;
                return p;
            }
        }
        return ::operator new(size);
    }

    void give(void *p, std::size_t bytes) noexcept {
        const std::size_t size = rounded(bytes);
        if (size >= SCRATCH_MIN_BLOCK && kept_bytes_ + size <= SCRATCH_KEPT_BYTES) {
            for (block &b : kept_) {
                if (!b.p) {
                    b = {p, size};
                    kept_bytes_ += size;
                    return;
                }
            }
        }
        ::operator delete(p);
    }

private:
    struct block {
        void *p = nullptr;
        std::size_t bytes = 0;
    };
    static std::size_t rounded(std::size_t bytes) {
        return (bytes + SCRATCH_PAGE - 1) / SCRATCH_PAGE * SCRATCH_PAGE;
    }
    std::array<block, SCRATCH_KEPT_BLOCKS> kept_{};
    std::size_t kept_bytes_ = 0;
};

thread_local scratch_blocks t_scratch;

// A vector whose elements live in scratch blocks and start uninitialised:
// every prepared image and row buffer writes each element before
// reading it, so zeroing them first would only add a pass over memory the
// size of the picture, once per strategy.
template <class T>
struct scratch_allocator {
    using value_type = T;
    scratch_allocator() = default;
    template <class U>
    explicit scratch_allocator(const scratch_allocator<U> &) noexcept {}
    T *allocate(std::size_t n) { return static_cast<T *>(t_scratch.take(n * sizeof(T))); }
    void deallocate(T *p, std::size_t n) noexcept { t_scratch.give(p, n * sizeof(T)); }
    template <class U>
    void construct(U *p) noexcept {
        ::new (static_cast<void *>(p)) U;
    }
    template <class U, class... Args>
    void construct(U *p, Args &&...args) {
        ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
    }
    template <class U>
    bool operator==(const scratch_allocator<U> &) const noexcept {
        return true;
    }
};
template <class T>
using scratch_vector = std::vector<T, scratch_allocator<T>>;

struct grey_image {
    scratch_vector<std::uint8_t> px;
    int width = 0;
    int height = 0;
    // Every level is 0 or 255: quirc's threshold is known without counting.
    bool two_level = false;
};

// Offset of pixel (x, y) in an image `width` pixels wide.
std::size_t offset(int x, int y, int width) {
    return static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
           static_cast<std::size_t>(x);
}

grey_image blank_image(int width, int height) {
    grey_image g;
    g.width = width;
    g.height = height;
    g.px.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    return g;
}

// Grey levels that the strategies derive from one RGBA pixel.
int luma_level(const unsigned char *px) { return rgba_gray_white(px); }

// The brightest channel, composited over white: a saturated colour (cyan,
// magenta, pure blue) is as bright as white here, so light modules of any hue
// on a dark ground separate although their luma differs widely.
int brightest_level(const unsigned char *px) {
    const int a = px[3];
    const int c = std::max({px[0], px[1], px[2]});
    return a == 255 ? c : (c * a + 255 * (255 - a)) >> 8;
}

// The darkest channel, composited over white: dark modules of any saturated
// hue on a light ground read as dark as black.
int darkest_level(const unsigned char *px) {
    const int a = px[3];
    const int c = std::min({px[0], px[1], px[2]});
    return a == 255 ? c : (c * a + 255 * (255 - a)) >> 8;
}

int working_step(int width, int height) {
    int step = 1;
    while ((std::int64_t{width} / step) * (std::int64_t{height} / step) > WORK_MAX_PIXELS) ++step;
    return step;
}

// One level per working pixel: the mean over its step x step block of
// original pixels, so a big image is read once and never copied whole.
template <class Level>
grey_image reduce(const unsigned char *rgba, int width, int height, int s, Level level) {
    grey_image out = blank_image(width / s, height / s);
    if (s == 1) {
        for (std::size_t i = 0; i < out.px.size(); ++i) {
            out.px[i] = static_cast<std::uint8_t>(level(rgba + i * 4));
        }
        return out;
    }
    std::vector<std::uint32_t> sums(static_cast<std::size_t>(out.width));
    const std::uint32_t area = static_cast<std::uint32_t>(s * s);
    for (int oy = 0; oy < out.height; ++oy) {
        std::fill(sums.begin(), sums.end(), 0u);
        for (int y = oy * s; y < (oy + 1) * s; ++y) {
            const unsigned char *row =
                rgba + static_cast<std::size_t>(y) * static_cast<std::size_t>(width) * 4;
            for (int ox = 0; ox < out.width; ++ox) {
                for (int x = ox * s; x < (ox + 1) * s; ++x) {
                    const unsigned char *px = row + static_cast<std::size_t>(x) * 4;
                    sums[static_cast<std::size_t>(ox)] += static_cast<std::uint32_t>(level(px));
                }
            }
        }
        std::uint8_t *dst = out.px.data() + offset(0, oy, out.width);
        for (int ox = 0; ox < out.width; ++ox) {
            const std::uint32_t sum = sums[static_cast<std::size_t>(ox)];
            dst[ox] = static_cast<std::uint8_t>((sum + area / 2) / area);
        }
    }
    return out;
}

// Area average over 2 x 2 blocks.
grey_image halve(const grey_image &in) {
    grey_image out = blank_image(in.width / 2, in.height / 2);
    for (int y = 0; y < out.height; ++y) {
        const std::uint8_t *r0 = in.px.data() + offset(0, 2 * y, in.width);
        const std::uint8_t *r1 = r0 + in.width;
        std::uint8_t *dst = out.px.data() + offset(0, y, out.width);
        for (int x = 0; x < out.width; ++x) {
            dst[x] = static_cast<std::uint8_t>(
                (r0[2 * x] + r0[2 * x + 1] + r1[2 * x] + r1[2 * x + 1] + 2) >> 2);
        }
    }
    return out;
}

// One row doubled along x, in quarters: output pixel centres fall a quarter
// of an input pixel either side of each input centre, so the pair from
// input pixel i weighs (i - 1, i) and (i, i + 1) as 1:3 and 3:1, and the
// outermost output pixels repeat the edge.
void double_row(const std::uint8_t *in, int width, std::uint16_t *out) {
    out[0] = static_cast<std::uint16_t>(4 * in[0]);
    for (int i = 0; i + 1 < width; ++i) {
        out[2 * i + 1] = static_cast<std::uint16_t>(3 * in[i] + in[i + 1]);
        out[2 * i + 2] = static_cast<std::uint16_t>(in[i] + 3 * in[i + 1]);
    }
    out[2 * width - 1] = static_cast<std::uint16_t>(4 * in[width - 1]);
}

// Bilinear doubling: a module one or two pixels wide gets the few pixels that
// quirc's finder scan needs to measure its 1:1:3:1:1 runs. Each input row is
// doubled along x once; output rows mix the two nearest in the same weights.
grey_image double_size(const grey_image &in) {
    grey_image out = blank_image(in.width * 2, in.height * 2);
    const std::size_t row_len = static_cast<std::size_t>(out.width);
    scratch_vector<std::uint16_t> rows(row_len * static_cast<std::size_t>(in.height));
    for (int y = 0; y < in.height; ++y) {
        double_row(in.px.data() + offset(0, y, in.width), in.width,
                   rows.data() + static_cast<std::size_t>(y) * row_len);
    }
    const auto mix = [&](int y, int upper, int lower, int lower_weight) {
        const std::uint16_t *a = rows.data() + static_cast<std::size_t>(upper) * row_len;
        const std::uint16_t *b = rows.data() + static_cast<std::size_t>(lower) * row_len;
        std::uint8_t *dst = out.px.data() + offset(0, y, out.width);
        for (std::size_t x = 0; x < row_len; ++x) {
            dst[x] = static_cast<std::uint8_t>(
                (a[x] * (4 - lower_weight) + b[x] * lower_weight + 8) >> 4);
        }
    };
    mix(0, 0, 0, 0);
    for (int i = 0; i + 1 < in.height; ++i) {
        mix(2 * i + 1, i, i + 1, 1);
        mix(2 * i + 2, i, i + 1, 3);
    }
    mix(out.height - 1, in.height - 1, in.height - 1, 0);
    return out;
}

// A light margin around the picture: a code cropped at its edge gets back
// the quiet zone that quirc's finder scan needs to see a finder's outer ring.
grey_image with_margin(const grey_image &in, int margin) {
    grey_image out = blank_image(in.width + 2 * margin, in.height + 2 * margin);
    std::fill(out.px.begin(), out.px.end(), std::uint8_t{255});
    for (int y = 0; y < in.height; ++y) {
        std::memcpy(out.px.data() + offset(margin, y + margin, out.width),
                    in.px.data() + offset(0, y, in.width), static_cast<std::size_t>(in.width));
    }
    return out;
}

void invert(grey_image &g) {
    for (std::uint8_t &p : g.px) p = static_cast<std::uint8_t>(255 - p);
}

// Sums of a picture over a window of rows, per column, moved down the
// picture: rows entering the window are added and rows leaving it
// subtracted, so every row is added and subtracted at most once, and the
// sum over any run of columns of the window is one difference of a prefix
// over those column sums.
class row_window {
public:
    explicit row_window(const grey_image &g)
        : g_(g),
          columns_(static_cast<std::size_t>(g.width), 0u),
          prefix_(static_cast<std::size_t>(g.width) + 1, 0u) {}

    // Moves the window to rows [y0, y1); neither bound may move up.
    void move_to(int y0, int y1) {
        const std::size_t width = columns_.size();
        std::uint32_t *columns = columns_.data();
        for (; bottom_ < y1; ++bottom_) {
            const std::uint8_t *row = g_.px.data() + offset(0, bottom_, g_.width);
            for (std::size_t x = 0; x < width; ++x) columns[x] += row[x];
        }
        for (; top_ < y0; ++top_) {
            const std::uint8_t *row = g_.px.data() + offset(0, top_, g_.width);
            for (std::size_t x = 0; x < width; ++x) columns[x] -= row[x];
        }
        std::uint32_t run = 0;
        for (std::size_t x = 0; x < width; ++x) {
            run += columns[x];
            prefix_[x + 1] = run;
        }
    }

    // The window's sum over columns [x0, x1).
    std::uint32_t sum(int x0, int x1) const {
        return prefix_[static_cast<std::size_t>(x1)] - prefix_[static_cast<std::size_t>(x0)];
    }
    // Entry x: the window's sum over columns [0, x), for x up to the width.
    const std::uint32_t *prefix() const { return prefix_.data(); }

private:
    const grey_image &g_;
    scratch_vector<std::uint32_t> columns_;
    scratch_vector<std::uint32_t> prefix_;
    int top_ = 0;
    int bottom_ = 0;
};

// Black where a pixel is clearly darker than the mean of the square window
// of the given radius around it, white elsewhere: uneven lighting, shadows and
// dark surrounds shift the mean along with the code. In the inverted
// polarity a pixel is black where it is clearly lighter than its window.
// The threshold is computed once per small block (at most an eighth of the
// radius wide, so it still follows the light) from the window around the
// block's centre, which keeps the per-pixel work to one comparison.
// The level below which a block's pixels are dark: the fraction `keep` of
// its window's mean (`sum` over `area` pixels), rounded up: the same float
// operations as one block at a time, four blocks at a time where SSE2 is
// there. The mean is at least 0, where truncation is the floor.
void block_limits(const float *sum, const float *area, std::size_t n, float keep,
                  std::uint8_t *out) {
    std::size_t b = 0;
#if defined(__SSE2__)
    const __m128 k = _mm_set1_ps(keep);
    const __m128 one = _mm_set1_ps(1.0f);
    for (; b + 4 <= n; b += 4) {
        const __m128 limit =
            _mm_div_ps(_mm_mul_ps(_mm_loadu_ps(sum + b), k), _mm_loadu_ps(area + b));
        const __m128 floor = _mm_cvtepi32_ps(_mm_cvttps_epi32(limit));
        const __m128 ceil = _mm_add_ps(floor, _mm_and_ps(_mm_cmplt_ps(floor, limit), one));
        const __m128i words = _mm_cvttps_epi32(ceil);
        const __m128i halves = _mm_packs_epi32(words, words);
        const int bytes = _mm_cvtsi128_si32(_mm_packus_epi16(halves, halves));
        std::memcpy(out + b, &bytes, 4);
    }
#endif
    for (; b < n; ++b) out[b] = static_cast<std::uint8_t>(std::ceil(sum[b] * keep / area[b]));
}

// dst: 0 where src (inverted when flip is 255) is below limit, else 255;
// sixteen pixels at a time where SSE2 is there.
void split_row(const std::uint8_t *src, const std::uint8_t *limit, std::size_t n, int flip,
               std::uint8_t *dst) {
    std::size_t x = 0;
#if defined(__SSE2__)
    const __m128i flips = _mm_set1_epi8(static_cast<char>(flip));
    const __m128i zero = _mm_setzero_si128();
    for (; x + 16 <= n; x += 16) {
        const __m128i level =
            _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(src + x)), flips);
        const __m128i below = _mm_loadu_si128(reinterpret_cast<const __m128i *>(limit + x));
        // limit - level saturates to 0 exactly where the level is not below.
        const __m128i light = _mm_cmpeq_epi8(_mm_subs_epu8(below, level), zero);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + x), light);
    }
#endif
    for (; x < n; ++x) dst[x] = (src[x] ^ flip) < limit[x] ? 0 : 255;
}

// Each block's window sum and area, the window `rows` high and clamped to
// the row's `width` pixels. Blocks whose window lies inside the row, nearly
// all of them, need no clamping, which leaves their loop a subtraction and a
// conversion per block (vectorised for blocks of one pixel).
void block_windows(const row_window &window, int width, int block, int radius, int rows,
                   float *sums, float *areas, std::size_t blocks) {
    const int half = block / 2;
    const auto clamped = [&](std::size_t b) {
        const int cx = std::min(static_cast<int>(b) * block + half, width - 1);
        const int x0 = std::max(cx - radius, 0);
        const int x1 = std::min(cx + radius + 1, width);
        areas[b] = static_cast<float>((x1 - x0) * rows);
        sums[b] = static_cast<float>(window.sum(x0, x1));
    };
    // Inside: cx - radius >= 0 and cx + radius + 1 <= width.
    const int first = std::max(radius - half, 0);
    const int last = width - 1 - radius - half;
    const std::size_t begin =
        std::min(blocks, static_cast<std::size_t>((first + block - 1) / block));
    const std::size_t end =
        last < 0 ? begin : std::clamp(static_cast<std::size_t>(last / block + 1), begin, blocks);
    for (std::size_t b = 0; b < begin; ++b) clamped(b);
    const float area = static_cast<float>((2 * radius + 1) * rows);
    const std::uint32_t *prefix = window.prefix();
    const auto step = static_cast<std::size_t>(block);
    const auto reach = static_cast<std::size_t>(radius);
    for (std::size_t b = begin; b < end; ++b) {
        const std::size_t cx = b * step + static_cast<std::size_t>(half);
        // Window sums fit in 31 bits: the signed conversion vectorises.
        sums[b] = static_cast<float>(
            static_cast<std::int32_t>(prefix[cx + reach + 1] - prefix[cx - reach]));
        areas[b] = area;
    }
    for (std::size_t b = end; b < blocks; ++b) clamped(b);
}

grey_image local_threshold(const grey_image &in, int radius, bool inverted,
                           int contrast_percent = LOCAL_CONTRAST_PERCENT) {
    const float keep = static_cast<float>(100 - contrast_percent) / 100.0f;
    constexpr int MAX_BLOCK = 4;
    const int block = std::clamp(radius / 4, 1, MAX_BLOCK);
    const int flip = inverted ? 255 : 0;
    grey_image out = blank_image(in.width, in.height);
    out.two_level = true;
    // Per pixel of a band of rows: the level below which it is dark (at most
    // 225). Each block writes MAX_BLOCK copies of its limit, the next block
    // overwriting those past its own width: the last may write beyond the row.
    std::vector<std::uint8_t> limits(static_cast<std::size_t>(in.width + MAX_BLOCK - 1));
    // Per block: its window's sum (of inverted levels in the inverted
    // polarity), its area and its limit.
    const auto blocks = static_cast<std::size_t>((in.width + block - 1) / block);
    std::vector<float> sums(blocks);
    std::vector<float> areas(blocks);
    std::vector<std::uint8_t> block_limit(blocks);
    row_window window(in);
    for (int by = 0; by < in.height; by += block) {
        const int cy = std::min(by + block / 2, in.height - 1);
        const int y0 = std::max(cy - radius, 0);
        const int y1 = std::min(cy + radius + 1, in.height);
        window.move_to(y0, y1);
        block_windows(window, in.width, block, radius, y1 - y0, sums.data(), areas.data(), blocks);
        if (inverted) {
            for (std::size_t b = 0; b < blocks; ++b) sums[b] = 255.0f * areas[b] - sums[b];
        }
        block_limits(sums.data(), areas.data(), blocks, keep, block_limit.data());
        std::uint8_t *at = limits.data();
        for (std::size_t b = 0; b < blocks; ++b, at += block) {
            const std::uint32_t copies = block_limit[b] * 0x01010101u;
            static_assert(sizeof copies == MAX_BLOCK);
            std::memcpy(at, &copies, sizeof copies);
        }
        // Byte stores may alias the images' fields: sizes and rows are read
        // once per band.
        const int width = in.width;
        const std::uint8_t *limit = limits.data();
        for (int y = by; y < std::min(by + block, in.height); ++y) {
            const std::size_t row = offset(0, y, width);
            const std::uint8_t *src = in.px.data() + row;
            std::uint8_t *dst = out.px.data() + row;
            split_row(src, limit, static_cast<std::size_t>(width), flip, dst);
        }
    }
    return out;
}

// The mean of every pixel's 3 x 3 neighbourhood (edges repeat): sensor
// noise and JPEG ringing shrink threefold, modules of three pixels or more
// keep their centres. Each row first sums its three rows per column, so a
// pixel costs three additions instead of nine. A sum of nine levels plus 4
// fits in 16 bits, and dividing it by 9 is a multiply by NINTH and a shift
// (exact for every sum below 32,768).
constexpr std::uint32_t NINTH = 7282;  // 65,536 / 9, rounded up

std::uint8_t ninth(std::uint32_t sum) { return static_cast<std::uint8_t>((sum * NINTH) >> 16); }

// out[x] for the pixels 1 to n - 2 of a row whose column sums are given.
void smooth_inner(const std::uint16_t *columns, std::size_t n, std::uint8_t *out) {
    std::size_t x = 1;
#if defined(__SSE2__)
    const __m128i four = _mm_set1_epi16(4);
    const __m128i ninths = _mm_set1_epi16(static_cast<short>(NINTH));
    const auto at = [columns](std::size_t i) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i *>(columns + i));
    };
    for (; x + 16 < n; x += 16) {
        const auto means = [&](std::size_t i) {
            const __m128i sum =
                _mm_add_epi16(_mm_add_epi16(at(i - 1), at(i)), _mm_add_epi16(at(i + 1), four));
            return _mm_mulhi_epu16(sum, ninths);
        };
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + x),
                         _mm_packus_epi16(means(x), means(x + 8)));
    }
#endif
    for (; x + 1 < n; ++x) out[x] = ninth(columns[x - 1] + columns[x] + columns[x + 1] + 4u);
}

grey_image smoothed(const grey_image &in) {
    grey_image out = blank_image(in.width, in.height);
    scratch_vector<std::uint16_t> columns(static_cast<std::size_t>(in.width));
    const int last = in.width - 1;
    for (int y = 0; y < in.height; ++y) {
        const std::uint8_t *above = in.px.data() + offset(0, std::max(y - 1, 0), in.width);
        const std::uint8_t *row = in.px.data() + offset(0, y, in.width);
        const std::uint8_t *below =
            in.px.data() + offset(0, std::min(y + 1, in.height - 1), in.width);
        for (int x = 0; x <= last; ++x) {
            columns[x] = static_cast<std::uint16_t>(above[x] + row[x] + below[x]);
        }
        std::uint8_t *dst = out.px.data() + offset(0, y, in.width);
        dst[0] = ninth(columns[0] + columns[0] + columns[std::min(1, last)] + 4u);
        smooth_inner(columns.data(), columns.size(), dst);
        if (last > 0) dst[last] = ninth(columns[last - 1] + columns[last] + columns[last] + 4u);
    }
    return out;
}

int window_radius(const grey_image &g, int divisor) {
    return std::max(std::max(g.width, g.height) / divisor, 2);
}

// The caller's image, its reduction step, and its luma at working size,
// which most strategies start from and which is computed once per call.
struct source {
    const unsigned char *rgba;
    int width;
    int height;
    int step;  // original pixels per working pixel along each axis
    grey_image luma;
    // The colour channels at working size, made on first use.
    mutable grey_image darkest;
    mutable grey_image brightest;
};

// ---- Strategies ----------------------------------------------------------------
// Each returns the grey image to read in the given polarity (dark modules
// dark), or an empty image when it does not apply to this picture.

grey_image in_polarity(grey_image g, bool inverted) {
    if (inverted) invert(g);
    return g;
}

// The luma, locally thresholded with a window radius of 1/Divisor of the longer
// side: small windows follow steep light changes, large ones keep big
// modules whole.
template <int Divisor>
grey_image local(const source &src, bool inverted) {
    return local_threshold(src.luma, window_radius(src.luma, Divisor), inverted);
}

template <int Divisor>
grey_image local_mild(const source &src, bool inverted) {
    return local_threshold(src.luma, window_radius(src.luma, Divisor), inverted,
                           MILD_CONTRAST_PERCENT);
}

// The widest margin, up to `wanted`, that keeps a width x height picture
// within PREPARED_MAX_PIXELS once padded on every side.
int fitting_margin(int width, int height, int wanted) {
    const auto fits = [&](std::int64_t m) {
        return (width + 2 * m) * (height + 2 * m) <= PREPARED_MAX_PIXELS;
    };
    int low = 0;  // fits (a zero margin fits: the picture itself is smaller)
    int high = wanted;
    while (low < high) {
        const int mid = low + (high - low + 1) / 2;
        if (fits(mid)) {
            low = mid;
        } else {
            high = mid - 1;
        }
    }
    return low;
}

// The luma with a light margin of 1/8 of the longer side, narrower where
// that would not fit; none when not even a one-pixel margin fits.
grey_image margined(const source &src, bool inverted) {
    const int margin = fitting_margin(src.luma.width, src.luma.height,
                                      std::max(src.luma.width, src.luma.height) / 8);
    if (margin == 0) return {};
    return with_margin(in_polarity(src.luma, inverted), margin);
}

// Light modules on a dark ground read through the brightest channel, dark
// modules on a light ground through the darkest one.
const grey_image &channel(const source &src, bool inverted) {
    grey_image &cached = inverted ? src.brightest : src.darkest;
    if (cached.px.empty()) {
        cached = inverted ? reduce(src.rgba, src.width, src.height, src.step, brightest_level)
                          : reduce(src.rgba, src.width, src.height, src.step, darkest_level);
    }
    return cached;
}

grey_image colour(const source &src, bool inverted) {
    return in_polarity(channel(src, inverted), inverted);
}

template <int Divisor>
grey_image local_colour(const source &src, bool inverted) {
    const grey_image &g = channel(src, inverted);
    return local_threshold(g, window_radius(g, Divisor), inverted);
}

// Half size by area averaging: a large, blurred or halftoned code becomes
// crisp enough for the finder scan.
grey_image halved_luma(const source &src) {
    if (std::min(src.luma.width, src.luma.height) < 2 * REDUCE_MIN_SIDE) return {};
    return halve(src.luma);
}

grey_image halved(const source &src, bool inverted) {
    return in_polarity(halved_luma(src), inverted);
}

template <int Divisor>
grey_image local_halved(const source &src, bool inverted) {
    const grey_image g = halved_luma(src);
    if (g.px.empty()) return g;
    return local_threshold(g, window_radius(g, Divisor), inverted);
}

// Double size: modules one or two pixels wide get the few pixels that the
// finder scan needs. Only small pictures hold modules that thin.
grey_image doubled(const grey_image &g) {
    if (std::int64_t{g.width} * g.height > UPSCALE_MAX_PIXELS) return {};
    return double_size(g);
}

template <int Divisor>
grey_image local_upscaled(const source &src, bool inverted) {
    const grey_image g = doubled(src.luma);
    if (g.px.empty()) return g;
    return local_threshold(g, window_radius(g, Divisor), inverted);
}

grey_image colour_upscaled(const source &src, bool inverted) {
    return in_polarity(doubled(channel(src, inverted)), inverted);
}

template <int Divisor>
grey_image local_colour_upscaled(const source &src, bool inverted) {
    const grey_image g = doubled(channel(src, inverted));
    if (g.px.empty()) return g;
    return local_threshold(g, window_radius(g, Divisor), inverted);
}

// Four times the size of a tiny picture's darkest channel, then locally
// thresholded: anti-aliased figures of two pixels (petals, discs) regain
// their shape between the samples.
template <int Divisor>
grey_image local_colour_quadrupled(const source &src, bool inverted) {
    const grey_image &c = channel(src, inverted);
    if (std::int64_t{c.width} * c.height > QUADRUPLE_MAX_PIXELS) return {};
    const grey_image g = double_size(double_size(c));
    return local_threshold(g, window_radius(g, Divisor), inverted);
}

// Faint codes (light colours, low contrast): the luma or the darkest channel
// smoothed, then split at FAINT_CONTRAST_PERCENT below the local mean;
// smoothing keeps the finer step from turning sensor noise into speckle.
grey_image faint_threshold(const grey_image &g, int divisor, bool inverted) {
    const grey_image soft = smoothed(g);
    return local_threshold(soft, window_radius(soft, divisor), inverted, FAINT_CONTRAST_PERCENT);
}

template <int Divisor>
grey_image local_faint(const source &src, bool inverted) {
    return faint_threshold(src.luma, Divisor, inverted);
}

template <int Divisor>
grey_image local_colour_faint(const source &src, bool inverted) {
    return faint_threshold(channel(src, inverted), Divisor, inverted);
}

// When a strategy runs: always, or only once an earlier strategy's quirc
// pass has seen a finder pattern. The strategies that always run each see
// a code's finder patterns in nearly every picture that holds one in their
// kind (faint, touching the picture's edge, light on dark), whether or not
// they go on to read it; when none of them saw a single finder pattern, the
// others almost never read anything, and a photo without a code would pay
// for all of them. "local-32" splits at a coarser step the same local
// contrast "local-faint-32" splits finely, so it waits for a finder pattern
// too (see docs/decoding.md for the measurements).
enum class runs { always, after_a_finder };

struct strategy {
    const char *name;
    grey_image (*prepare)(const source &src, bool inverted);
    bool inverted;
    runs when;
};

// Most reads per millisecond first, measured on photos and on phone
// captures of styled codes (see docs/decoding.md for the figures behind
// this order).
constexpr strategy STRATEGIES[] = {
    {"local-faint-32", local_faint<32>, false, runs::always},
    {"margined", margined, false, runs::always},
    {"local-32", local<32>, false, runs::after_a_finder},
    {"local-32-inverted", local<32>, true, runs::always},
    {"local-mild-32", local_mild<32>, false, runs::after_a_finder},
    {"colour-inverted", colour, true, runs::after_a_finder},
    {"halved", halved, false, runs::after_a_finder},
    {"local-colour-upscaled-8", local_colour_upscaled<8>, false, runs::after_a_finder},
    {"local-colour-8", local_colour<8>, false, runs::after_a_finder},
    {"local-halved-16", local_halved<16>, false, runs::after_a_finder},
    {"local-halved-8", local_halved<8>, false, runs::after_a_finder},
    {"local-colour-32", local_colour<32>, false, runs::after_a_finder},
    {"colour-upscaled-inverted", colour_upscaled, true, runs::after_a_finder},
    {"local-upscaled-16", local_upscaled<16>, false, runs::after_a_finder},
    {"local-colour-quadrupled-8", local_colour_quadrupled<8>, false, runs::after_a_finder},
    {"local-colour-faint-32", local_colour_faint<32>, false, runs::after_a_finder},
};
constexpr int STRATEGY_COUNT = static_cast<int>(std::size(STRATEGIES));

// The perspective reader once more on the same finder patterns, sampling the
// darkest colour channel itself instead of the thresholded image: a local
// threshold judges each pixel against its surroundings, and beside a code's
// dark finder patterns it turns light-coloured modules (pink, yellow, pale
// blue) light where the channel still shows them darker than the paper.
// Light codes on a dark ground are read the same way through the brightest
// channel, inverted. For a thresholded image of the channel's size only; it
// takes what the first reading left of the sample budget.
bool read_channel_behind(quirc *q, const grey_image &g, const source &src, bool inverted,
                         std::int64_t *samples, qr_decoded &out) {
    if (!g.two_level || q->num_capstones < 3) return false;
    const grey_image &c = channel(src, inverted);
    if (c.width != g.width || c.height != g.height) return false;
    const auto read = [&](const grey_image &behind) {
        return qr_perspective_decode(q, behind.px.data(), g.width, g.height, samples, out) == 1;
    };
    return inverted ? read(in_polarity(c, true)) : read(c);
}

// quirc on a prepared image, then on the same finder patterns: quirc's grids
// as they stand, the perspective grid reader (on the prepared image, then on
// the darkest channel behind it), quirc's grids refined and the fallback,
// cheapest reads first (refining a grid that will not read costs more than
// the perspective reader). The readers work in this image's pixels, and the
// fallback's fixed threshold splits a locally thresholded image the way the
// local threshold did.
bool read_prepared(quirc *q, const grey_image &g, const source &src, bool inverted,
                   qr_decoded &out) {
    if ((q->w != g.width || q->h != g.height) && qr_quirc_resize(q, g.width, g.height) != 0) {
        return false;
    }
    std::memcpy(quirc_begin(q, nullptr, nullptr), g.px.data(), g.px.size());
    if (g.two_level) {
        qr_quirc_end_at(q, TWO_LEVEL_THRESHOLD);
    } else {
        qr_quirc_end(q);
    }
    std::int64_t samples = PERSPECTIVE_SAMPLES;
    if (qr_decode_grids_as_they_stand(q, out) ||
        qr_perspective_decode(q, g.px.data(), g.width, g.height, &samples, out) == 1 ||
        read_channel_behind(q, g, src, inverted, &samples, out) ||
        qr_decode_refined_grids(q, out)) {
        return true;
    }
    qr_finder finders[QR_MAX_FINDERS];
    const int count = qr_read_finders(q, finders);
    return qr_fallback_decode_grey(finders, count, g.px.data(), g.width, g.height, FALLBACK_SAMPLES,
                                   out) == 1;
}

bool usable(const grey_image &g) { return g.width > 20 && g.height > 20; }

// quirc tries every pair of the finder patterns it found and the fallback
// every triple, so a picture crowded with finder-like shapes (noise,
// chequered fabric, tiles, many codes' worth of targets) costs far more per
// pixel than a photo with a handful: such a pass is charged a multiple of
// its pixels that grows with the square of the finder count (16 for
// quirc's full 32).
std::int64_t crowding(const quirc *q) {
    const std::int64_t finders = q->num_capstones;
    return std::max(finders * finders / (CROWD_FINDERS * CROWD_FINDERS), std::int64_t{1});
}

grey_image working_luma(const unsigned char *rgba, int width, int height, int step,
                        const std::uint8_t *inverted_luma) {
    if (step > 1) return reduce(rgba, width, height, step, luma_level);
    grey_image g = blank_image(width, height);
    if (inverted_luma) {
        std::transform(inverted_luma, inverted_luma + g.px.size(), g.px.begin(),
                       [](std::uint8_t v) { return static_cast<std::uint8_t>(v ^ 255); });
    } else {
        qr_grey_levels(rgba, g.px.data(), g.px.size(), 0);
    }
    return g;
}

source make_source(const unsigned char *rgba, int width, int height,
                   const std::uint8_t *inverted_luma = nullptr) {
    const int step = working_step(width, height);
    grey_image luma = working_luma(rgba, width, height, step, inverted_luma);
    return {rgba, width, height, step, std::move(luma), {}, {}};
}

// Before any strategy, the perspective reader on the upright pass's own
// finder patterns, over the luma at full size. quirc found them there but
// read no grid, mostly through blur, tilt or uneven light, which this
// reader's sampling and splits withstand: more than half the phone captures
// whose upright pass saw three finder patterns are read here, for less than
// a strategy costs (no image to prepare, no quirc pass). A small sample
// budget bounds what a look that fails adds.
bool read_upright_finders(const source &src, const qr_finder_patterns &upright, qr_decoded &out) {
    if (src.step != 1) return false;
    std::int64_t samples = UPRIGHT_LOOK_SAMPLES;
    return qr_perspective_decode(upright, src.luma.px.data(), src.luma.width, src.luma.height,
                                 &samples, out) == 1;
}

}  // namespace

int qr_decode_rescue(quirc *q, const unsigned char *rgba, int width, int height, qr_decoded &out,
                     qr_rescue_work *work, const qr_attempts_left *left) {
    qr_rescue_work unused{};
    qr_rescue_work &seen = work ? *work : unused;
    seen = {};
    // Taken before the first strategy reuses quirc's buffer.
    const source src = make_source(rgba, width, height, left ? left->inverted_luma : nullptr);
    if (!usable(src.luma)) return 0;
    if (left && read_upright_finders(src, left->upright, out)) return 1;
    std::int64_t budget =
        std::max(BUDGET_IMAGES * src.luma.width * src.luma.height, BUDGET_MIN_PIXELS);
    bool saw_a_finder = false;
    for (const strategy &s : STRATEGIES) {
        if (s.when == runs::after_a_finder && !saw_a_finder) continue;
        const grey_image g = s.prepare(src, s.inverted);
        if (!usable(g)) continue;
        const std::int64_t pixels = std::int64_t{g.width} * g.height;
        if (pixels > budget) break;
        ++seen.images;
        seen.pixels += pixels;
        if (read_prepared(q, g, src, s.inverted, out)) return 1;
        saw_a_finder = saw_a_finder || q->num_capstones > 0;
        budget -= pixels * crowding(q);
    }
    return 0;
}

int qr_rescue_strategy_count() { return STRATEGY_COUNT; }

const char *qr_rescue_strategy_name(int index) {
    return index >= 0 && index < STRATEGY_COUNT ? STRATEGIES[index].name : "";
}

int qr_rescue_try_strategy(quirc *q, const unsigned char *rgba, int width, int height, int index,
                           qr_decoded &out) {
    out.text[0] = '\0';
    if (index < 0 || index >= STRATEGY_COUNT || width <= 20 || height <= 20) return 0;
    const source src = make_source(rgba, width, height);
    const grey_image g = STRATEGIES[index].prepare(src, STRATEGIES[index].inverted);
    return usable(g) && read_prepared(q, g, src, STRATEGIES[index].inverted, out) ? 1 : 0;
}
