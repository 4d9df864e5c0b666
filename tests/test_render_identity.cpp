// Pinned canvases of the raster path over the figure, paint and background
// combinations and module sizes 1 to 12: the samplers, the gradient
// arithmetic, the fills and the logo box may be rewritten for speed only if
// every byte stays as it was.
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "qrcode_api.h"
#include "qrcode_encode.h"
#include "qrcode_logo.h"
#include "qrcode_png.h"
#include "qrcode_render.h"
#include "test_support.h"

namespace {

class RenderIdentity : public vqr_test::library {};

// A paint: solid when `type` is NONE, else the public gradient type (0
// linear, 1 radial) at `rotation` degrees.
struct paint {
    static constexpr int NONE = -1;
    int type = NONE;
    float rotation = 0.0f;
};

struct look {
    const char *name;
    const char *preset;  // null: the figures and paints below
    int dot, ring, centre;
    paint dots, rings, centres, background;
    int background_alpha;
    bool logo;
    std::uint32_t crc;
};

void apply_paint(void (*set_gradient)(int, float, int, int, int, int, int, int),
                 void (*set_colour)(int, int, int), const paint &p, int shade) {
    if (p.type == paint::NONE) {
        set_colour(shade, 255 - shade, shade / 2);
        return;
    }
    set_gradient(p.type, p.rotation, shade, 20, 200, 250 - shade, 180, 10);
}

void apply_look(const look &l, const char *logo_path) {
    qr_reset_style();
    if (l.preset) {
        ASSERT_EQ(qr_apply_preset(l.preset), 1);
    } else {
        qr_set_dot_style(l.dot);
        qr_set_corner_square_style(l.ring);
        qr_set_corner_dot_style(l.centre);
        apply_paint(qr_set_dot_gradient, qr_set_dot_color, l.dots, 30);
        apply_paint(qr_set_corner_square_gradient, qr_set_corner_square_color, l.rings, 90);
        apply_paint(qr_set_corner_dot_gradient, qr_set_corner_dot_color, l.centres, 150);
        qr_set_background_color(240, 230, 250, l.background_alpha);
        if (l.background.type != paint::NONE) {
            qr_set_background_gradient(l.background.type, l.background.rotation, 250, 250, 200, 200,
                                       220, 255);
        }
    }
    if (l.logo) qr_set_logo(logo_path, 0.3f, 2);
}

constexpr std::array<std::uint32_t, 256> CRC_TABLE = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
        table[i] = c;
    }
    return table;
}();

void add_crc(std::uint32_t &crc, const unsigned char *bytes, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i) crc = (crc >> 8) ^ CRC_TABLE[(crc ^ bytes[i]) & 0xffu];
}

// The canvases of the encoder's pipeline for `text`, module sizes first_m to
// last_m with a quiet zone of `zone` modules, folded into one checksum.
std::uint32_t canvases_crc(const char *text, int first_m, int last_m, int zone) {
    std::uint32_t crc = 0xffffffffu;
    const qr_style style = qr_style_snapshot();
    const auto symbol = std::make_unique<qr_symbol>();
    EXPECT_EQ(qr_encode_matrix(style, text, 1, *symbol), QR_OK);
    const int n = symbol->n;
    for (int m = first_m; m <= last_m; ++m) {
        const int margin = zone * m;
        const int side = n * m + 2 * margin;
        qr_canvas canvas{};
        EXPECT_EQ(qr_canvas_init(&canvas, side, side), 0);
        const qr_canvas_owner owner(&canvas);
        qr_render_background(style, &canvas);
        qr_render_styled(style, &canvas, symbol->modules, {n, m, margin, side});
        EXPECT_EQ(qr_logo_composite(style, &canvas, n * m), QR_OK);
        add_crc(crc, canvas.pixels, static_cast<std::size_t>(side) * side * 4);
    }
    return ~crc;
}

// A 13 x 9 logo with a colour ramp and alpha from clear to opaque.
void write_logo(const std::filesystem::path &path) {
    qr_canvas c{};
    ASSERT_EQ(qr_canvas_init(&c, 13, 9), 0);
    const qr_canvas_owner owner(&c);
    for (int y = 0; y < 9; ++y) {
        for (int x = 0; x < 13; ++x) {
            unsigned char *p = c.pixels + (y * 13 + x) * 4;
            p[0] = static_cast<unsigned char>(x * 19);
            p[1] = static_cast<unsigned char>(y * 28);
            p[2] = 90;
            p[3] = static_cast<unsigned char>((x + y) * 12);
        }
    }
    ASSERT_EQ(qr_png_write_file(c, path.c_str()), QR_OK);
}

constexpr float NAN_F = std::numeric_limits<float>::quiet_NaN();
constexpr paint SOLID{}, LIN_0{0, 0.0f}, LIN_45{0, 45.0f}, LIN_90{0, 90.0f}, LIN_137{0, 137.0f},
    LIN_270{0, 270.0f}, RADIAL{1, 0.0f}, TILTED{0, -33.3f}, NOT_FINITE{0, NAN_F},
    HUGE_TURN{0, 1e9f};

constexpr const char *OWN = nullptr;  // the figures and paints of the row

// Checksums taken from the straightforward per-pixel renderer.
// clang-format off
const look LOOKS[] = {
    // name, preset, dot, ring, centre, dots, rings, centres, background, alpha, logo, crc
    {"default", OWN, 0, 0, 0, SOLID, SOLID, SOLID, SOLID, 255, false, 0x5cdc7d03u},
    {"pill solid", OWN, 1, 1, 1, SOLID, SOLID, SOLID, SOLID, 255, false, 0x4563a34du},
    {"disc solid", OWN, 2, 2, 2, SOLID, SOLID, SOLID, SOLID, 255, false, 0x613542c5u},
    {"leaf solid", OWN, 3, 3, 0, SOLID, SOLID, SOLID, SOLID, 255, false, 0xd4177ac5u},
    {"petal solid", OWN, 4, 4, 1, SOLID, SOLID, SOLID, SOLID, 255, false, 0x7cec528cu},
    {"fan solid", OWN, 5, 5, 2, SOLID, SOLID, SOLID, SOLID, 255, false, 0x86e7b1bdu},
    {"block lin 0", OWN, 0, 1, 0, LIN_0, LIN_0, SOLID, SOLID, 255, false, 0x98221176u},
    {"pill lin 45", OWN, 1, 2, 1, LIN_45, LIN_45, LIN_45, SOLID, 255, false, 0x782eabb7u},
    {"disc lin 90", OWN, 2, 3, 2, LIN_90, LIN_137, LIN_90, SOLID, 255, false, 0x3261b271u},
    {"leaf lin 137", OWN, 3, 4, 0, LIN_137, LIN_270, LIN_137, SOLID, 255, false, 0x0f403d8au},
    {"petal lin 270", OWN, 4, 5, 1, LIN_270, LIN_45, LIN_270, SOLID, 255, false, 0x6fc4a0dfu},
    {"fan radial", OWN, 5, 0, 2, RADIAL, RADIAL, RADIAL, SOLID, 255, false, 0x64b2eb30u},
    {"odd turns", OWN, 4, 3, 1, TILTED, NOT_FINITE, HUGE_TURN, SOLID, 255, false, 0x8cd35a0au},
    {"transparent", OWN, 1, 3, 1, LIN_45, SOLID, SOLID, SOLID, 0, false, 0xf2064f7eu},
    {"translucent", OWN, 5, 1, 2, SOLID, RADIAL, SOLID, SOLID, 128, false, 0x8c592f64u},
    {"background linear", OWN, 2, 2, 1, SOLID, SOLID, SOLID, LIN_137, 255, false, 0x822d0655u},
    {"background radial", OWN, 3, 5, 0, LIN_90, SOLID, SOLID, RADIAL, 255, false, 0x348a6d09u},
    {"logo", OWN, 1, 2, 1, SOLID, SOLID, SOLID, SOLID, 255, true, 0xf271dac0u},
    {"logo transparent", OWN, 4, 3, 1, RADIAL, SOLID, SOLID, SOLID, 0, true, 0x24992562u},
    {"logo bg gradient", OWN, 5, 4, 2, SOLID, SOLID, SOLID, LIN_45, 255, true, 0x67575c45u},
    {"modern", "modern", 0, 0, 0, SOLID, SOLID, SOLID, SOLID, 255, false, 0x767a5c44u},
    {"dots", "dots", 0, 0, 0, SOLID, SOLID, SOLID, SOLID, 255, false, 0xa325020du},
    {"elegant", "elegant", 0, 0, 0, SOLID, SOLID, SOLID, SOLID, 255, false, 0xaa1883d6u},
    {"neon", "neon", 0, 0, 0, SOLID, SOLID, SOLID, SOLID, 255, false, 0x14f00997u},
    {"corporate", "corporate", 0, 0, 0, SOLID, SOLID, SOLID, SOLID, 255, false, 0xa32099c1u},
    {"minimal", "minimal", 0, 0, 0, SOLID, SOLID, SOLID, SOLID, 255, false, 0x5e6e2261u},
    {"elegant logo", "elegant", 0, 0, 0, SOLID, SOLID, SOLID, SOLID, 255, true, 0xcbef2b93u},
};
// clang-format on

// Cells wider than the renderer's spans are drawn in pieces, and a logo
// box that wide is cleared in pieces.
// clang-format off
const look WIDE_LOOKS[] = {
    {"elegant logo", "elegant", 0, 0, 0, SOLID, SOLID, SOLID, SOLID, 255, true, 0x4be551acu},
    {"leaf radial", OWN, 3, 5, 0, RADIAL, SOLID, LIN_137, RADIAL, 255, false, 0x5e1be24bu},
    {"pill clear logo", OWN, 1, 1, 2, LIN_45, RADIAL, SOLID, SOLID, 0, true, 0xf2d07117u},
};
// clang-format on

class RenderIdentityLogo : public RenderIdentity {
protected:
    void SetUp() override {
        RenderIdentity::SetUp();
        write_logo(logo_path_);
    }
    const char *logo_path() const { return logo_path_.c_str(); }

private:
    vqr_test::temp_dir dir_;
    std::string logo_path_ = (dir_ / "logo.png").string();
};

TEST_F(RenderIdentityLogo, CanvasesMatchThePinnedChecksums) {
    for (const look &l : LOOKS) {
        apply_look(l, logo_path());
        const std::uint32_t crc = canvases_crc("pinned output 0123", 1, 12, 2);
        EXPECT_EQ(crc, l.crc) << l.name << std::hex << " 0x" << crc;
    }
}

TEST_F(RenderIdentityLogo, CellsWiderThanASpan) {
    for (const look &l : WIDE_LOOKS) {
        apply_look(l, logo_path());
        const std::uint32_t crc = canvases_crc("wide", 129, 129, 0);
        EXPECT_EQ(crc, l.crc) << l.name << std::hex << " 0x" << crc;
    }
}

}  // namespace
