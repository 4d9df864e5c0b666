// Image I/O: the one translation unit that compiles stb_image, with every
// stb symbol static so none leaves the library.
//
// Every image read first reads the header the way stb_image's loader will
// (the same format tests in the same order) and refuses, before a pixel
// buffer is allocated, an image above QR_MAX_IMAGE_PIXELS or one whose
// loader would need more than QR_MAX_IMAGE_WORK_BYTES. A PNG's compressed
// stream is then measured without inflating it: stb inflates every byte of
// it whatever the header says, so a small file could otherwise make it
// hold gigabytes for a tiny image. PNG files are written
// by our own encoder (qrcode_png_write.cpp), byte for byte what
// stb_image_write writes at its defaults, several times faster.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "qrcode_inflate.h"
#include "qrcode_platform.h"
#include "qrcode_png.h"
#include "qrcode_png_read.h"
#include "qrcode_png_write.h"

#define STB_IMAGE_STATIC
#define STBI_MALLOC qr_big_malloc
#define STBI_REALLOC qr_big_realloc
#define STBI_FREE std::free
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

namespace {

// Closes a stream opened for reading when it leaves scope.
struct file_closer {
    void operator()(std::FILE *f) const noexcept { std::fclose(f); }
};

// An encoded image in memory or in an open file, which stb can read from
// the start as often as needed (stb's own rewind only reaches back over its
// first buffer of a file).
class image_source {
public:
    image_source(const unsigned char *data, int len) : data_(data), len_(len) {}
    explicit image_source(std::FILE *f) : file_(f), start_(std::ftell(f)) {}

    bool restart(stbi__context *s) const {
        if (!file_) {
            stbi__start_mem(s, data_, len_);
            return true;
        }
        if (start_ < 0 || std::fseek(file_, start_, SEEK_SET) != 0) return false;
        stbi__start_file(s, file_);
        return true;
    }

    // The whole encoded image, for an image held in memory; false for a
    // file (one too large to be read whole, see WHOLE_FILE_MAX).
    bool bytes(const unsigned char **data, std::size_t *len) const {
        if (file_) return false;
        *data = data_;
        *len = static_cast<std::size_t>(len_);
        return true;
    }

    unsigned char *load(int *width, int *height) const {
        int channels = 0;
        if (!file_) return stbi_load_from_memory(data_, len_, width, height, &channels, 4);
        if (std::fseek(file_, start_, SEEK_SET) != 0) return nullptr;
        return stbi_load_from_file(file_, width, height, &channels, 4);
    }

private:
    const unsigned char *data_ = nullptr;
    int len_ = 0;
    std::FILE *file_ = nullptr;
    long start_ = 0;
};

using info_fn = int (*)(stbi__context *, int *, int *, int *);
using depth_fn = int (*)(stbi__context *);

int eight_bit(stbi__context *) { return 0; }

std::int64_t pixels_of(const qr_declared_image &img) {
    return std::int64_t{img.width} * std::int64_t{img.height};
}

bool read_info(info_fn info, const image_source &src, qr_declared_image *out, int *channels) {
    stbi__context s;
    return src.restart(&s) && info(&s, &out->width, &out->height, channels) && out->width > 0 &&
           out->height > 0;
}

// Integer formats hold the image at its own depth (1 or 2 bytes a channel)
// and its 4-channel conversion at that depth; a 16-bit image is then cut to
// the 8-bit RGBA result. PNG's inflated stream, no larger than the image, is
// released before the conversion.
template <info_fn INFO, depth_fn IS16>
bool measure_integer(const image_source &src, qr_declared_image *out) {
    int channels = 0;
    stbi__context s;
    if (!read_info(INFO, src, out, &channels) || !src.restart(&s)) return false;
    const std::int64_t depth = IS16(&s) ? 2 : 1;
    const std::int64_t cut_to_8_bit = depth == 2 ? 4 : 0;
    out->work_bytes = pixels_of(*out) * (channels * depth + 4 * depth + cut_to_8_bit);
    return true;
}

// Formats whose loader needs a fixed number of bytes a pixel: GIF keeps the
// frame, the background and a history byte; HDR keeps 4 float channels and
// the 8-bit result.
template <info_fn INFO, int BYTES_PER_PIXEL>
bool measure_fixed(const image_source &src, qr_declared_image *out) {
    int channels = 0;
    if (!read_info(INFO, src, out, &channels)) return false;
    out->work_bytes = pixels_of(*out) * BYTES_PER_PIXEL;
    return true;
}

// JPEG planes are padded to whole MCUs (up to 32 x 32 pixels); a progressive
// file also keeps a 16-bit coefficient for every plane sample.
bool measure_jpeg(const image_source &src, qr_declared_image *out) {
    stbi__context s;
    if (!src.restart(&s)) return false;
    const qr_heap_ptr<stbi__jpeg> j(static_cast<stbi__jpeg *>(std::calloc(1, sizeof(stbi__jpeg))));
    if (!j) return false;
    j->s = &s;
    if (!stbi__decode_jpeg_header(j.get(), STBI__SCAN_header)) return false;
    out->width = static_cast<int>(s.img_x);
    out->height = static_cast<int>(s.img_y);
    int h_max = 1;
    int v_max = 1;
    for (int i = 0; i < s.img_n; ++i) {
        h_max = std::max(h_max, j->img_comp[i].h);
        v_max = std::max(v_max, j->img_comp[i].v);
    }
    const std::int64_t mcu_cols = (std::int64_t{s.img_x} + 8 * h_max - 1) / (8 * h_max);
    const std::int64_t mcu_rows = (std::int64_t{s.img_y} + 8 * v_max - 1) / (8 * v_max);
    std::int64_t plane_bytes = 0;
    for (int i = 0; i < s.img_n; ++i) {
        plane_bytes += mcu_cols * j->img_comp[i].h * 8 * mcu_rows * j->img_comp[i].v * 8;
    }
    out->work_bytes = plane_bytes * (j->progressive ? 3 : 1) + pixels_of(*out) * 4;
    return out->width > 0 && out->height > 0;
}

// ---- Inflated size of a PNG ----

// Longest chunk followed; stb refuses longer IDAT chunks itself.
constexpr std::uint32_t PNG_MAX_CHUNK = std::uint32_t{1} << 30;
// Inflated bytes accepted beyond what the header's image needs: a writer
// may leave a few spare bytes, never megabytes.
constexpr std::uint64_t PNG_INFLATE_SLACK = 1024;

struct png_header {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    int depth = 0;
    int colour = 0;
    int interlace = 0;
    bool raw_deflate = false;  // Apple's CgBI files carry no zlib header
};

// Bytes the inflated stream holds for this image: each row of each pass
// (one pass, or Adam7's seven) with its filter byte. 0 for a colour type
// stb would refuse anyway.
std::uint64_t png_inflated_need(const png_header &h) {
    constexpr int CHANNELS[] = {1, 0, 3, 1, 2, 0, 4};
    const int channels = h.colour >= 0 && h.colour < 7 ? CHANNELS[h.colour] : 0;
    const std::uint64_t bits = static_cast<std::uint64_t>(channels) * h.depth;
    const auto pass = [bits](std::uint64_t w, std::uint64_t rows) {
        return w == 0 ? 0 : rows * ((w * bits + 7) / 8 + 1);
    };
    if (h.interlace == 0) return pass(h.width, h.height);
    struct adam7 {
        int x0, y0, dx, dy;
    };
    constexpr adam7 PASSES[] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    std::uint64_t need = 0;
    for (const adam7 &p : PASSES) {
        const std::uint64_t w = (std::uint64_t{h.width} + p.dx - 1 - p.x0) / p.dx;
        const std::uint64_t rows = (std::uint64_t{h.height} + p.dy - 1 - p.y0) / p.dy;
        need += pass(w, rows);
    }
    return need;
}

// Walks a PNG's chunks the way stb does (every IDAT chunk up to IEND
// belongs to the one stream) and hands the IDAT bytes to the inflater in
// the spans stb's reader already holds.
class png_chunks {
public:
    explicit png_chunks(const image_source &src) : ok_(src.restart(&s_)) {}

    // Reads up to the first IDAT chunk; false when the file does not get
    // that far the way stb expects (stb then reports the fault itself).
    bool read_header(png_header *h) {
        if (!ok_ || !stbi__check_png_header(&s_)) return false;
        bool have_ihdr = false;
        for (;;) {
            std::uint32_t length = 0;
            std::uint32_t type = 0;
            if (!next_chunk(&length, &type)) return false;
            if (type == qr_png_chunk_type("IDAT")) {
                left_ = length;
                return have_ihdr;
            }
            if (type == qr_png_chunk_type("IHDR") && length == 13) {
                h->width = stbi__get32be(&s_);
                h->height = stbi__get32be(&s_);
                h->depth = stbi__get8(&s_);
                h->colour = stbi__get8(&s_);
                stbi__skip(&s_, 2);  // compression and filter methods
                h->interlace = stbi__get8(&s_);
                stbi__skip(&s_, 4);  // CRC
                have_ihdr = true;
                continue;
            }
            if (type == qr_png_chunk_type("IEND")) return false;
            if (type == qr_png_chunk_type("CgBI")) h->raw_deflate = true;
            stbi__skip(&s_, static_cast<int>(length) + 4);
        }
    }

    static std::size_t next_span(void *user, const unsigned char **data) {
        return static_cast<png_chunks *>(user)->span(data);
    }

private:
    // The next chunk's length and type; false at the end of the input or
    // on a length stb would not follow.
    bool next_chunk(std::uint32_t *length, std::uint32_t *type) {
        if (stbi__at_eof(&s_)) return false;
        *length = stbi__get32be(&s_);
        *type = stbi__get32be(&s_);
        return *length <= PNG_MAX_CHUNK;
    }

    std::size_t span(const unsigned char **data) {
        while (left_ == 0) {
            stbi__skip(&s_, 4);  // the finished IDAT chunk's CRC
            std::uint32_t length = 0;
            std::uint32_t type = 0;
            for (;;) {
                if (!next_chunk(&length, &type) || type == qr_png_chunk_type("IEND")) return 0;
                if (type == qr_png_chunk_type("IDAT")) break;
                stbi__skip(&s_, static_cast<int>(length) + 4);
            }
            left_ = length;
            if (left_ == 0) continue;
        }
        if (s_.img_buffer >= s_.img_buffer_end) {
            if (!s_.read_from_callbacks) return 0;
            stbi__refill_buffer(&s_);
        }
        const auto held = static_cast<std::size_t>(s_.img_buffer_end - s_.img_buffer);
        const std::size_t n = std::min<std::size_t>(left_, held);
        *data = s_.img_buffer;
        s_.img_buffer += n;
        left_ -= static_cast<std::uint32_t>(n);
        return n;
    }

    stbi__context s_{};
    bool ok_ = false;
    std::uint32_t left_ = 0;  // bytes of the current IDAT chunk not yet handed out
};

// False when the PNG's stream inflates to more than its image needs plus
// the slack. Files this walk cannot follow are left to stb.
bool png_stream_fits(const image_source &src) {
    png_chunks chunks(src);
    png_header h;
    if (!chunks.read_header(&h)) return true;
    const std::uint64_t need = png_inflated_need(h);
    if (need == 0) return true;
    return qr_inflated_size_within(png_chunks::next_span, &chunks, !h.raw_deflate,
                                   need + PNG_INFLATE_SLACK) != qr_inflated_size::above;
}

bool no_stream_check(const image_source &) { return true; }

// The caps were checked on the header stb read; a file read again must
// still declare that size (the plain reader takes the header that follows
// the signature, or declines).
bool png_plain(const image_source &src, const qr_declared_image &declared, unsigned char **pixels,
               int *width, int *height) {
    const unsigned char *data = nullptr;
    std::size_t len = 0;
    constexpr std::size_t SIZE_AT = 16;  // signature, chunk length and type
    if (!src.bytes(&data, &len) || len < SIZE_AT + 8) return false;
    return std::int64_t{qr_png_be32(data + SIZE_AT)} == declared.width &&
           std::int64_t{qr_png_be32(data + SIZE_AT + 4)} == declared.height &&
           qr_png_decode_plain(data, len, pixels, width, height);
}

struct loader {
    int (*test)(stbi__context *);
    bool (*measure)(const image_source &, qr_declared_image *);
    // Checks what the header alone cannot tell, after the caps.
    bool (*stream_fits)(const image_source &);
    // A faster reader for the files it accepts, tried first; or null.
    bool (*plain)(const image_source &, const qr_declared_image &, unsigned char **, int *, int *);
};

// stb_image's loaders in the order it tries them: the first whose test
// passes decodes the file.
constexpr loader LOADERS[] = {
    {stbi__png_test, measure_integer<stbi__png_info, stbi__png_is16>, png_stream_fits, png_plain},
    {stbi__bmp_test, measure_integer<stbi__bmp_info, eight_bit>, no_stream_check, nullptr},
    {stbi__gif_test, measure_fixed<stbi__gif_info, 9>, no_stream_check, nullptr},
    {stbi__psd_test, measure_integer<stbi__psd_info, eight_bit>, no_stream_check, nullptr},
    {stbi__pic_test, measure_integer<stbi__pic_info, eight_bit>, no_stream_check, nullptr},
    {stbi__jpeg_test, measure_jpeg, no_stream_check, nullptr},
    {stbi__pnm_test, measure_integer<stbi__pnm_info, stbi__pnm_is16>, no_stream_check, nullptr},
    {stbi__hdr_test, measure_fixed<stbi__hdr_info, 4 * 4 + 4>, no_stream_check, nullptr},
    {stbi__tga_test, measure_integer<stbi__tga_info, eight_bit>, no_stream_check, nullptr},
};

// The loader stb will use for this image, or null.
const loader *loader_of(const image_source &src) {
    for (const loader &l : LOADERS) {
        stbi__context s;
        if (!src.restart(&s)) return nullptr;
        if (l.test(&s)) return &l;
    }
    return nullptr;
}

bool declared(const image_source &src, qr_declared_image *out) {
    const loader *l = loader_of(src);
    return l && l->measure(src, out);
}

// 0 with the pixels, -1 when unreadable or above a cap, QR_IMAGE_TOO_SMALL.
int read_image(const image_source &src, int min_side, unsigned char **out_pixels, int *out_width,
               int *out_height) {
    qr_declared_image img{};
    const loader *l = loader_of(src);
    if (!l || !l->measure(src, &img)) return -1;
    if (img.width < min_side || img.height < min_side) return QR_IMAGE_TOO_SMALL;
    if (pixels_of(img) > QR_MAX_IMAGE_PIXELS || img.work_bytes > QR_MAX_IMAGE_WORK_BYTES) return -1;
    int width = 0;
    int height = 0;
    unsigned char *pixels = nullptr;
    if (!(l->plain && l->plain(src, img, &pixels, &width, &height))) {
        if (!l->stream_fits(src)) return -1;
        pixels = src.load(&width, &height);
    }
    if (!pixels) return -1;
    *out_pixels = pixels;
    *out_width = width;
    *out_height = height;
    return 0;
}

// Files up to this size are read whole, with one call, and decoded from
// memory: stb reads a file through stdio 128 bytes at a time and goes back
// to its start for every format test, which costs a small photo a tenth of
// its loading time. Larger files are left to stb, read in pieces.
constexpr long WHOLE_FILE_MAX = long{64} << 20;

enum class whole_file { read, too_large, failed };

// The rest of the file from its current position into `held`, or
// too_large (the position unchanged) when that exceeds WHOLE_FILE_MAX.
whole_file read_whole(std::FILE *f, std::vector<unsigned char> &held) {
    const long start = std::ftell(f);
    if (start < 0 || std::fseek(f, 0, SEEK_END) != 0) return whole_file::failed;
    const long end = std::ftell(f);
    if (end < start || std::fseek(f, start, SEEK_SET) != 0) return whole_file::failed;
    if (end - start > WHOLE_FILE_MAX) return whole_file::too_large;
    if (end == start) return whole_file::failed;  // no image in an empty file
    held.resize(static_cast<std::size_t>(end - start));
    if (std::fread(held.data(), 1, held.size(), f) != held.size()) return whole_file::failed;
    return whole_file::read;
}

// Encodes the canvas and replaces the file in one step, like every other
// file the library writes.
bool write_png_file(const qr_canvas &canvas, const char *path) {
    int len = 0;
    const qr_heap_ptr<unsigned char> png(
        qr_png_encode(canvas.pixels, canvas.width, canvas.height, &len));
    return png &&
           qr_replace_file(path, png.get(), static_cast<std::size_t>(len)) == qr_write_status::ok;
}

}  // namespace

// The writer's messages still name the library call the first writer made;
// hosts compare messages, so they stay.
qr_error qr_png_write_mem(const qr_canvas &canvas, qr_bytes &out) {
    if (!canvas.pixels) return "qr_png_write_mem: bad args";
    int len = 0;
    out.data.reset(qr_png_encode(canvas.pixels, canvas.width, canvas.height, &len));
    if (!out.data) return "qr_png_write_mem: stbi_write_png_to_mem failed";
    out.len = static_cast<std::size_t>(len);
    return QR_OK;
}

qr_error qr_png_write_file(const qr_canvas &canvas, const char *path) {
    if (!path || !canvas.pixels) return "qr_png_write_file: bad args";
    if (!write_png_file(canvas, path)) return "qr_png_write_file: stbi_write_png failed";
    return QR_OK;
}

int qr_png_read_file(const char *path, unsigned char **out_pixels, int *out_width, int *out_height,
                     int min_side) {
    if (!path || !out_pixels || !out_width || !out_height) return -1;
    const std::unique_ptr<std::FILE, file_closer> f(std::fopen(path, "rb"));
    if (!f) return -1;
    std::vector<unsigned char> held;
    switch (read_whole(f.get(), held)) {
    case whole_file::read:
        return read_image(image_source(held.data(), static_cast<int>(held.size())), min_side,
                          out_pixels, out_width, out_height);
    case whole_file::too_large:
        return read_image(image_source(f.get()), min_side, out_pixels, out_width, out_height);
    case whole_file::failed: break;
    }
    return -1;
}

int qr_image_read_memory(const unsigned char *data, int len, unsigned char **out_pixels,
                         int *out_width, int *out_height, int min_side) {
    if (!data || len <= 0 || !out_pixels || !out_width || !out_height) return -1;
    return read_image(image_source(data, len), min_side, out_pixels, out_width, out_height);
}

// The header reading alone, so the caps can be checked against what stb
// reports without decoding.
bool qr_image_declared(const unsigned char *data, int len, qr_declared_image *out) {
    return data && len > 0 && out && declared(image_source(data, len), out);
}
