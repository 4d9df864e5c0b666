// Helpers for the decoder's tests: quarter turns and colour inversion of an
// image, and small writers for the same RGBA picture as JPEG, BMP, TGA, PNG,
// HDR (stb_image_write, compiled static here), binary PNM, GIF and PSD
// (written by hand). Each writer returns the file's bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "qrcode_decode.h"
#include "qrcode_decode_rescue.h"
#include "test_support.h"

extern "C" {
#include "quirc.h"
}

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

namespace vqr_writers {

// A quarter turn clockwise: pixel (x, y) moves to (height - 1 - y, x).
inline vqr_test::image rotate_cw(const vqr_test::image &src) {
    vqr_test::image r;
    r.width = src.height;
    r.height = src.width;
    r.rgba.resize(src.rgba.size());
    for (int y = 0; y < src.height; ++y) {
        for (int x = 0; x < src.width; ++x) {
            std::memcpy(&r.rgba[(static_cast<std::size_t>(x) * r.width + (src.height - 1 - y)) * 4],
                        src.at(x, y), 4);
        }
    }
    return r;
}

// Light on dark: every colour channel c becomes 255 - c; alpha stays.
inline void invert(vqr_test::image &img) {
    for (std::size_t i = 0; i < img.rgba.size(); i += 4) {
        for (int c = 0; c < 3; ++c) {
            img.rgba[i + c] = static_cast<unsigned char>(255 - img.rgba[i + c]);
        }
    }
}

using bytes = std::vector<unsigned char>;

inline void append_to(void *ctx, void *data, int size) {
    auto *out = static_cast<bytes *>(ctx);
    const auto *p = static_cast<const unsigned char *>(data);
    out->insert(out->end(), p, p + size);
}

inline bytes stb_format(const char *format, const unsigned char *rgba, int w, int h) {
    bytes out;
    const std::string f = format;
    if (f == "png") stbi_write_png_to_func(append_to, &out, w, h, 4, rgba, w * 4);
    if (f == "bmp") stbi_write_bmp_to_func(append_to, &out, w, h, 4, rgba);
    if (f == "tga") stbi_write_tga_to_func(append_to, &out, w, h, 4, rgba);
    if (f == "jpg") stbi_write_jpg_to_func(append_to, &out, w, h, 4, rgba, 95);
    if (f == "hdr") {
        std::vector<float> lin(static_cast<std::size_t>(w) * h * 3);
        for (std::size_t i = 0; i < lin.size() / 3; ++i) {
            for (int c = 0; c < 3; ++c) {
                lin[i * 3 + c] = static_cast<float>(rgba[i * 4 + c]) / 255.0f;
            }
        }
        stbi_write_hdr_to_func(append_to, &out, w, h, 3, lin.data());
    }
    return out;
}

// Binary PPM (P6) of the colours, alpha dropped.
inline bytes ppm(const unsigned char *rgba, int w, int h) {
    const std::string head = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    bytes out(head.begin(), head.end());
    for (int i = 0; i < w * h; ++i) out.insert(out.end(), rgba + i * 4, rgba + i * 4 + 3);
    return out;
}

// Binary PGM (P5) of the red channel.
inline bytes pgm(const unsigned char *rgba, int w, int h) {
    const std::string head = "P5\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    bytes out(head.begin(), head.end());
    for (int i = 0; i < w * h; ++i) out.push_back(rgba[i * 4]);
    return out;
}

// GIF with a 4-entry palette (black, white, and two greys by red level).
// The LZW stream sends a clear code before every second pixel, so every code
// is 3 bits wide and no dictionary entry is ever used: simple and valid.
inline bytes gif(const unsigned char *rgba, int w, int h) {
    bytes out = {'G', 'I', 'F', '8', '9', 'a'};
    auto u16 = [&out](int v) {
        out.push_back(static_cast<unsigned char>(v & 255));
        out.push_back(static_cast<unsigned char>(v >> 8));
    };
    u16(w);
    u16(h);
    out.push_back(0xF1);  // global table of 4 entries
    out.push_back(0);
    out.push_back(0);
    for (int level : {0, 85, 170, 255}) {
        for (int c = 0; c < 3; ++c) out.push_back(static_cast<unsigned char>(level));
    }
    out.push_back(0x2C);
    u16(0);
    u16(0);
    u16(w);
    u16(h);
    out.push_back(0);
    out.push_back(2);  // minimum code size: clear 4, end 5
    bytes lzw;
    std::uint32_t acc = 0;
    int nbits = 0;
    auto put = [&](int code) {
        acc |= static_cast<std::uint32_t>(code) << nbits;
        nbits += 3;
        while (nbits >= 8) {
            lzw.push_back(static_cast<unsigned char>(acc & 255));
            acc >>= 8;
            nbits -= 8;
        }
    };
    for (int i = 0; i < w * h; ++i) {
        if (i % 2 == 0) put(4);
        put((rgba[i * 4] + 42) / 85);
    }
    put(5);
    if (nbits > 0) lzw.push_back(static_cast<unsigned char>(acc & 255));
    for (std::size_t i = 0; i < lzw.size(); i += 255) {
        const std::size_t n = std::min<std::size_t>(255, lzw.size() - i);
        out.push_back(static_cast<unsigned char>(n));
        out.insert(out.end(), lzw.begin() + static_cast<std::ptrdiff_t>(i),
                   lzw.begin() + static_cast<std::ptrdiff_t>(i + n));
    }
    out.push_back(0);
    out.push_back(0x3B);
    return out;
}

// Uncompressed 8-bit RGB Photoshop document (planar channels).
inline bytes psd(const unsigned char *rgba, int w, int h) {
    bytes out = {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0, 0, 3};
    auto u32 = [&out](std::uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<unsigned char>(v >> s));
    };
    u32(static_cast<std::uint32_t>(h));
    u32(static_cast<std::uint32_t>(w));
    out.insert(out.end(), {0, 8, 0, 3});
    u32(0);
    u32(0);
    u32(0);
    out.insert(out.end(), {0, 0});
    for (int c = 0; c < 3; ++c) {
        for (int i = 0; i < w * h; ++i) out.push_back(rgba[i * 4 + c]);
    }
    return out;
}

}  // namespace vqr_writers

namespace vqr_decoding {

// The last run_rgba of this thread: its text and its failure.
inline thread_local qr_decoded last_run{};
inline thread_local qr_error last_error = QR_OK;

// The whole decode run on an image's pixels: 1 when a text was read (in
// last_run), else -1 with the failure in last_error.
inline int run_rgba(const unsigned char *rgba, int width, int height) {
    last_error = qr_decode_rgba(rgba, width, height, last_run);
    return last_error == QR_OK ? 1 : -1;
}

// The whole decode run on an image's pixels; the text, empty on failure.
inline std::string decode_rgba(const vqr_test::image &img) {
    run_rgba(img.rgba.data(), img.width, img.height);
    return last_run.text;
}

// Only the four fixed attempts, on a decoder sized for the image.
inline bool fixed_attempts_read(const vqr_test::image &img) {
    const qr_quirc_ptr q(qr_quirc_new());
    if (!q || quirc_resize(q.get(), img.width, img.height) != 0) return false;
    qr_decoded out;
    return qr_decode_attempts(q.get(), img.rgba.data(), img.width, img.height, out) == 1;
}

}  // namespace vqr_decoding
