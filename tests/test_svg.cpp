// SVG documents: golden texts, worked values, figure markup, the text
// buffer's growth, failure paths and locale independence.
//
// Golden documents live in tests/golden/svg/. To regenerate them after a
// deliberate change of the markup, run the Golden cases with
// VQR_UPDATE_GOLDEN=1 and review the diff.
#include <cctype>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "qrcode_api.h"
#include "qrcode_png.h"
#include "qrcode_render.h"
#include "qrcode_shapes.h"
#include "qrcode_svg.h"
#include "test_support.h"

namespace {

using vqr_test::library;

std::string svg(const char *text, int ecc, int module_size, int quiet_zone) {
    const char *doc = qr_encode_to_svg_string(text, ecc, module_size, quiet_zone);
    EXPECT_NE(doc, nullptr) << qr_last_error();
    return doc ? doc : "";
}

std::size_t count(const std::string &hay, const std::string &needle) {
    std::size_t n = 0;
    for (std::size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
    return n;
}

// The subpaths of the one module element, in the order written.
std::vector<std::string> module_subpaths(const std::string &doc) {
    const std::size_t at = doc.find("<path", doc.find("</defs>"));
    const std::size_t d = doc.find(" d=\"", at) + 4;
    const std::string path = doc.substr(d, doc.find('"', d) - d);
    std::vector<std::string> out;
    for (std::size_t from = 0; from < path.size();) {
        std::size_t next = path.find(" M ", from);
        if (next == std::string::npos) next = path.size();
        out.push_back(path.substr(from, next - from));
        from = next + 1;
    }
    return out;
}

// `number` moved by -shift, written with as many decimals as it had.
std::string shifted(const std::string &number, int shift) {
    const std::size_t dot = number.find('.');
    const int decimals = dot == std::string::npos ? 0 : static_cast<int>(number.size() - dot - 1);
    char out[32];
    std::snprintf(out, sizeof out, "%.*f", decimals, std::stod(number) - shift);
    return out;
}

// A subpath written at module (c, r) moved back to the module's own units:
// x coordinates less c, y coordinates less r, radii, rotation and flags kept.
std::string to_local(const std::string &subpath, int c, int r) {
    std::istringstream in(subpath);
    std::string out;
    std::string token;
    std::string roles;  // per number of the current command: x, y or k(eep)
    std::size_t next = 0;
    while (in >> token) {
        if (!out.empty()) out += ' ';
        if (std::isalpha(static_cast<unsigned char>(token[0]))) {
            const std::string_view cmd(token);
            roles = cmd == "H" ? "x" : cmd == "V" ? "y" : cmd == "A" ? "kkkkkxy" : "xy";
            next = 0;
            out += token;
            continue;
        }
        const char role = roles[next++ % roles.size()];
        out += role == 'x' ? shifted(token, c) : role == 'y' ? shifted(token, r) : token;
    }
    return out;
}

std::vector<unsigned char> base64_decode(const std::string &text) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<unsigned char> out;
    unsigned v = 0;
    int bits = 0;
    for (char ch : text) {
        if (ch == '=') break;
        const std::size_t k = alphabet.find(ch);
        if (k == std::string::npos) return {};
        v = (v << 6) | static_cast<unsigned>(k);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<unsigned char>((v >> bits) & 0xffu));
        }
    }
    return out;
}

// Writes an RGBA picture as a PNG file through the library's own writer.
std::vector<unsigned char> write_logo(const std::filesystem::path &path, int w, int h) {
    std::vector<unsigned char> px(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4);
    for (std::size_t i = 0; i < px.size(); ++i) px[i] = static_cast<unsigned char>(i * 37 + 11);
    qr_canvas canvas{w, h, px.data()};
    qr_bytes png;
    EXPECT_EQ(qr_png_write_mem(canvas, png), QR_OK);
    std::vector<unsigned char> bytes(png.data.get(), png.data.get() + png.len);
    vqr_test::write_bytes(path, bytes);
    return bytes;
}

// ---- Golden documents ----

void all_parts_gradient() {
    qr_set_dot_gradient(1, 45.0f, 200, 0, 0, 0, 0, 200);
    qr_set_corner_square_gradient(2, 0.0f, 0, 120, 0, 0, 0, 0);
    qr_set_corner_dot_gradient(1, -90.0f, 30, 30, 30, 90, 0, 90);
}

struct golden_case {
    const char *name;
    std::function<void(const vqr_test::temp_dir &)> setup;
};

const golden_case GOLDEN[] = {
    {"default", [](const auto &) {}},
    {"dot_pill", [](const auto &) { qr_set_dot_style(QR_DOT_PILL); }},
    {"dot_disc", [](const auto &) { qr_set_dot_style(QR_DOT_DISC); }},
    {"dot_leaf", [](const auto &) { qr_set_dot_style(QR_DOT_LEAF); }},
    {"dot_petal", [](const auto &) { qr_set_dot_style(QR_DOT_PETAL); }},
    {"dot_fan", [](const auto &) { qr_set_dot_style(QR_DOT_FAN); }},
    {"ring_circle_center_disc",
     [](const auto &) {
         qr_set_corner_square_style(QR_RING_CIRCLE);
         qr_set_corner_dot_style(QR_CENTER_DISC);
     }},
    {"ring_cushion_center_cushion",
     [](const auto &) {
         qr_set_corner_square_style(QR_RING_CUSHION);
         qr_set_corner_dot_style(QR_CENTER_CUSHION);
     }},
    {"ring_pebble", [](const auto &) { qr_set_corner_square_style(QR_RING_PEBBLE); }},
    {"ring_tile", [](const auto &) { qr_set_corner_square_style(QR_RING_TILE); }},
    {"ring_tube", [](const auto &) { qr_set_corner_square_style(QR_RING_TUBE); }},
    {"gradient_linear",
     [](const auto &) {
         qr_set_dot_style(QR_DOT_PILL);
         qr_set_dot_gradient(0, 30.0f, 255, 0, 0, 0, 0, 255);
         qr_set_corner_square_gradient(2, 90.0f, 0, 128, 0, 200, 100, 0);
     }},
    {"gradient_radial",
     [](const auto &) {
         qr_set_corner_dot_style(QR_CENTER_DISC);
         qr_set_corner_dot_gradient(1, 0.0f, 10, 20, 30, 40, 50, 60);
         qr_set_background_gradient(1, 0.0f, 255, 255, 255, 200, 220, 240);
     }},
    // Every figure kind in document units: gradient paints on all three parts.
    {"gradient_leaf_pebble_cushion",
     [](const auto &) {
         qr_set_dot_style(QR_DOT_LEAF);
         qr_set_corner_square_style(QR_RING_PEBBLE);
         qr_set_corner_dot_style(QR_CENTER_CUSHION);
         all_parts_gradient();
     }},
    {"gradient_pill_circle_disc",
     [](const auto &) {
         qr_set_dot_style(QR_DOT_PILL);
         qr_set_corner_square_style(QR_RING_CIRCLE);
         qr_set_corner_dot_style(QR_CENTER_DISC);
         all_parts_gradient();
     }},
    {"gradient_petal_tube",
     [](const auto &) {
         qr_set_dot_style(QR_DOT_PETAL);
         qr_set_corner_square_style(QR_RING_TUBE);
         all_parts_gradient();
     }},
    {"gradient_fan_tile",
     [](const auto &) {
         qr_set_dot_style(QR_DOT_FAN);
         qr_set_corner_square_style(QR_RING_TILE);
         all_parts_gradient();
     }},
    {"background_alpha_0", [](const auto &) { qr_set_background_color(255, 255, 255, 0); }},
    {"background_alpha_128", [](const auto &) { qr_set_background_color(250, 240, 10, 128); }},
    {"logo",
     [](const vqr_test::temp_dir &dir) {
         write_logo(dir / "logo.png", 5, 3);
         qr_set_logo((dir / "logo.png").c_str(), 0.3f, 1);
     }},
};

void PrintTo(const golden_case &c, std::ostream *os) { *os << c.name; }

class Golden : public library, public ::testing::WithParamInterface<golden_case> {};

TEST_P(Golden, DocumentMatchesFileByteForByte) {
    const vqr_test::temp_dir dir;
    GetParam().setup(dir);
    const std::string doc = svg("A", 0, 3, 2);
    const std::filesystem::path file = std::filesystem::path(VQR_SOURCE_DIR) / "tests/golden/svg" /
                                       (std::string(GetParam().name) + ".svg");
    if (std::getenv("VQR_UPDATE_GOLDEN")) {
        std::filesystem::create_directories(file.parent_path());
        vqr_test::write_bytes(file, std::vector<unsigned char>(doc.begin(), doc.end()));
        GTEST_SKIP() << "rewrote " << file;
    }
    const std::vector<unsigned char> want = vqr_test::read_bytes(file);
    ASSERT_FALSE(want.empty()) << "missing golden file " << file;
    EXPECT_EQ(doc, std::string(want.begin(), want.end())) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(Svg, Golden, ::testing::ValuesIn(GOLDEN),
                         [](const auto &test) { return std::string(test.param.name); });

// ---- Frame and worked values ----

using SvgDocument = library;

TEST_F(SvgDocument, FrameOfTheLetterA) {
    const std::string doc = svg("A", 0, 10, 4);
    const std::string head =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
        "xmlns:xlink=\"http://www.w3.org/1999/xlink\" width=\"290\" height=\"290\" "
        "viewBox=\"0 0 290 290\"><defs></defs><rect x=\"0\" y=\"0\" width=\"290\" "
        "height=\"290\" fill=\"#ffffff\"/>";
    EXPECT_EQ(doc.substr(0, head.size()), head);
    EXPECT_EQ(count(doc, "\n"), 1u);
    EXPECT_EQ(doc.substr(doc.size() - 6), "</svg>");
    EXPECT_EQ(std::strlen(qr_svg_thread_document().text.get()), qr_svg_thread_document().len);
    EXPECT_EQ(doc.size(), qr_svg_thread_document().len);
}

TEST_F(SvgDocument, ModuleAtColumn10Row8IsASubpathOfTheModuleElement) {
    for (int ecc : {0, 2}) {
        const std::string doc = svg("A", ecc, 10, 4);
        EXPECT_NE(doc.find("<rect x=\"0\" y=\"0\" width=\"290\" height=\"290\" fill=\"#ffffff\"/>"
                           "<path fill=\"#000000\" transform=\"translate(40 40) scale(10)\" "
                           "d=\"M "),
                  std::string::npos);
        EXPECT_NE(doc.find(" M 10 8 H 11 V 9 H 10 Z "), std::string::npos) << ecc;
    }
}

TEST_F(SvgDocument, OneSubpathPerDarkModuleThenSixFinderElements) {
    for (int dot : {QR_DOT_BLOCK, QR_DOT_DISC, QR_DOT_FAN}) {
        qr_set_dot_style(dot);
        qr_set_corner_dot_style(QR_CENTER_DISC);
        int n = 0;
        const auto modules = vqr_test::matrix_of("HELLO WORLD 123", 1, &n);
        std::size_t dark = 0;
        for (int r = 0; r < n; ++r) {
            for (int c = 0; c < n; ++c) {
                const bool finder =
                    (r <= 6 && c <= 6) || (r <= 6 && c >= n - 7) || (r >= n - 7 && c <= 6);
                if (!finder && modules[static_cast<std::size_t>(r * n + c)]) ++dark;
            }
        }
        const std::string doc = svg("HELLO WORLD 123", 1, 4, 2);
        EXPECT_EQ(count(doc, "<path") + count(doc, "<circle"), 1u + 6u) << dot;
        EXPECT_EQ(module_subpaths(doc).size(), dark) << dot;
        const std::size_t first_ring = doc.find("fill-rule");
        ASSERT_NE(first_ring, std::string::npos);
        const std::string tail = doc.substr(doc.rfind('<', first_ring));
        EXPECT_EQ(count(tail, "fill-rule=\"evenodd\""), 3u);
        EXPECT_EQ(count(tail, "<path") + count(tail, "<circle"), 6u) << dot;
    }
}

TEST_F(SvgDocument, StandardFinderAndModuleSizeOne) {
    const std::string doc = svg("A", 0, 1, 0);
    EXPECT_NE(doc.find("width=\"21\" height=\"21\" viewBox=\"0 0 21 21\""), std::string::npos);
    EXPECT_NE(doc.find("<path fill=\"#000000\" transform=\"translate(14 0) scale(1)\" "
                       "fill-rule=\"evenodd\" d=\"M 0 0 H 7 V 7 H 0 Z M 1 1 H 6 V 6 H 1 Z\"/>"
                       "<path fill=\"#000000\" transform=\"translate(16 2) scale(1)\" "
                       "d=\"M 0 0 H 3 V 3 H 0 Z\"/>"),
              std::string::npos);
}

TEST_F(SvgDocument, SizesAreSanitised) {
    const struct {
        int module_size, quiet_zone;
        const char *size;
    } rows[] = {{0, 4, "29"}, {-5, 4, "29"}, {1, -3, "21"}, {3, 0, "63"}, {2, 1, "46"}};
    for (const auto &row : rows) {
        const std::string doc = svg("A", 0, row.module_size, row.quiet_zone);
        EXPECT_NE(doc.find(std::string("viewBox=\"0 0 ") + row.size + " " + row.size + "\""),
                  std::string::npos)
            << row.module_size << " " << row.quiet_zone;
    }
}

TEST_F(SvgDocument, BackgroundAlpha) {
    const struct {
        int alpha;
        const char *rect;  // nullptr: no rectangle
    } rows[] = {
        {0, nullptr},
        {128,
         "<rect x=\"0\" y=\"0\" width=\"290\" height=\"290\" fill=\"#0a0b0c\" "
         "fill-opacity=\"0.5020\"/>"},
        {254, "fill-opacity=\"0.9961\"/>"},
        {255, "<rect x=\"0\" y=\"0\" width=\"290\" height=\"290\" fill=\"#0a0b0c\"/>"},
    };
    for (const auto &row : rows) {
        qr_set_background_color(10, 11, 12, row.alpha);
        const std::string doc = svg("A", 0, 10, 4);
        if (!row.rect) {
            EXPECT_EQ(doc.find("<rect"), std::string::npos);
            EXPECT_NE(doc.find("<defs></defs><path"), std::string::npos);
        } else {
            EXPECT_NE(doc.find(row.rect), std::string::npos) << row.alpha;
        }
    }
}

// ---- Figures ----

struct figure_row {
    int style;
    int mask;
    const char *path;  // the module's subpath, moved back to its own units
};

// A disc: two clockwise half circles, wound like every other figure.
#define DISC "M 0.00 0.5 A 0.50 0.50 0 1 1 1.00 0.5 A 0.50 0.50 0 1 1 0.00 0.5 Z"

const figure_row FIGURES[] = {
    {QR_DOT_PILL, 0, DISC},
    {QR_DOT_DISC, QR_NB_LEFT | QR_NB_RIGHT, DISC},
    {QR_DOT_FAN, 0, DISC},
    {QR_DOT_LEAF, 0, "M 0.5 0 H 1 V 0.5 A 0.5 0.5 0 0 1 0.5 1 H 0 V 0.5 A 0.5 0.5 0 0 1 0.5 0 Z"},
    {QR_DOT_PETAL, 0, "M 0.5 0 H 1 V 0.5 A 0.5 0.5 0 0 1 0.5 1 H 0 V 0.5 A 0.5 0.5 0 0 1 0.5 0 Z"},
    {QR_DOT_PILL, QR_NB_TOP, "M 0 0 H 1 V 0.50 A 0.50 0.50 0 0 1 0 0.50 Z"},
    {QR_DOT_PILL, QR_NB_BOTTOM, "M 0 1 V 0.50 A 0.50 0.50 0 0 1 1 0.50 V 1 Z"},
    {QR_DOT_PILL, QR_NB_LEFT, "M 0 0 H 0.50 A 0.50 0.50 0 0 1 0.50 1 H 0 Z"},
    {QR_DOT_PILL, QR_NB_RIGHT, "M 1 0 V 1 H 0.50 A 0.50 0.50 0 0 1 0.50 0 Z"},
    {QR_DOT_PILL, QR_NB_LEFT | QR_NB_RIGHT, "M 0 0 H 1 V 1 H 0 Z"},
    {QR_DOT_PILL, QR_NB_RIGHT | QR_NB_BOTTOM,
     "M 0.50 0 H 1 V 1 H 0 V 0.50 A 0.50 0.50 0 0 1 0.50 0 Z"},
    {QR_DOT_PILL, QR_NB_LEFT | QR_NB_BOTTOM, "M 0 0 H 0.50 A 0.50 0.50 0 0 1 1 0.50 V 1 H 0 Z"},
    {QR_DOT_PILL, QR_NB_RIGHT | QR_NB_TOP, "M 0 0 H 1 V 1 H 0.50 A 0.50 0.50 0 0 1 0 0.50 Z"},
    {QR_DOT_PILL, QR_NB_LEFT | QR_NB_TOP, "M 0 0 H 1 V 0.50 A 0.50 0.50 0 0 1 0.50 1 H 0 Z"},
    {QR_DOT_PETAL, QR_NB_RIGHT, "M 1.00 1.00 H 0 A 1.00 1.00 0 0 1 1.00 0 Z"},
    {QR_DOT_PETAL, QR_NB_LEFT, "M 0 0 L 1.00 0 A 1.00 1.00 0 0 1 0 1.00 Z"},
    {QR_DOT_FAN, QR_NB_RIGHT, "M 1.00 0 V 1.00 A 1.00 1.00 0 0 1 0 0 Z"},
    {QR_DOT_FAN, QR_NB_LEFT, "M 0 1.00 V 0 A 1.00 1.00 0 0 1 1.00 1.00 Z"},
};

// Finds a data module with exactly `mask` as its dark neighbours and checks
// the subpath written for it (subpaths follow the dark data modules in
// reading order).
TEST_F(SvgDocument, ModuleFigureMarkupByStyleAndNeighbours) {
    const char *text = "Figures of every kind need a symbol with some variety 0123456789";
    int n = 0;
    const auto mods = vqr_test::matrix_of(text, 1, &n);
    const auto dark = [&](int c, int r) {
        return c >= 0 && r >= 0 && c < n && r < n && mods[static_cast<std::size_t>(r * n + c)];
    };
    for (const figure_row &row : FIGURES) {
        qr_set_dot_style(row.style);
        const std::vector<std::string> paths = module_subpaths(svg(text, 1, 10, 4));
        bool found = false;
        std::size_t index = 0;
        for (int r = 0; r < n && !found; ++r) {
            for (int c = 0; c < n && !found; ++c) {
                const bool finder =
                    (r <= 6 && c <= 6) || (r <= 6 && c >= n - 7) || (r >= n - 7 && c <= 6);
                if (finder || !dark(c, r)) continue;
                const int mask =
                    (dark(c - 1, r) ? QR_NB_LEFT : 0) | (dark(c, r - 1) ? QR_NB_TOP : 0) |
                    (dark(c + 1, r) ? QR_NB_RIGHT : 0) | (dark(c, r + 1) ? QR_NB_BOTTOM : 0);
                if (mask == row.mask && index < paths.size()) {
                    found = true;
                    EXPECT_EQ(to_local(paths[index], c, r), row.path)
                        << "style " << row.style << " mask " << row.mask;
                }
                ++index;
            }
        }
        EXPECT_TRUE(found) << "no module with mask " << row.mask;
    }
}

TEST_F(SvgDocument, FinderFigures) {
    qr_set_corner_square_style(QR_RING_CIRCLE);
    qr_set_corner_dot_style(QR_CENTER_CUSHION);
    std::string doc = svg("A", 0, 10, 4);
    EXPECT_NE(doc.find("<path fill=\"#000000\" transform=\"translate(40 40) scale(10)\" "
                       "fill-rule=\"evenodd\" d=\"M 0.00 3.50 A 3.50 3.50 0 1 0 7.00 3.50 A 3.50 "
                       "3.50 0 1 0 0.00 3.50 Z M 1.00 3.50 A 2.50 2.50 0 1 0 6.00 3.50 A 2.50 "
                       "2.50 0 1 0 1.00 3.50 Z\"/>"),
              std::string::npos);
    EXPECT_NE(doc.find("transform=\"translate(60 60) scale(10)\" d=\"M 0.75 0.00 H 2.25 A 0.75"),
              std::string::npos);
    qr_set_corner_square_style(QR_RING_CUSHION);
    qr_set_corner_dot_style(QR_CENTER_DISC);
    doc = svg("A", 0, 10, 4);
    EXPECT_NE(doc.find("d=\"M 1.00 0.00 H 6.00 A 1.00 1.00 0 0 1 7.00 1.00 V 6.00 A 1.00 1.00 0 "
                       "0 1 6.00 7.00 H 1.00 A 1.00 1.00 0 0 1 0.00 6.00 V 1.00 A 1.00 1.00 0 0 "
                       "1 1.00 0.00 Z M 1 1 H 6 V 6 H 1 Z\"/>"),
              std::string::npos);
    EXPECT_EQ(count(doc,
                    "<circle fill=\"#000000\" transform=\"translate(60 200) scale(10)\" "
                    "cx=\"1.5\" cy=\"1.5\" r=\"1.5\"/>"),
              1u);
}

// ---- Gradients ----

TEST_F(SvgDocument, GradientDefinitionsAndIds) {
    struct row {
        std::function<void()> set;
        const char *defs;
    };
    const std::string stops =
        "><stop offset=\"0\" stop-color=\"#ff0000\"/><stop offset=\"1\" "
        "stop-color=\"#0000ff\"/>";
    const row rows[] = {
        {[] { qr_set_dot_gradient(2, 0.0f, 255, 0, 0, 0, 0, 255); },
         "<linearGradient id=\"g0\" gradientUnits=\"userSpaceOnUse\" x1=\"39.50\" y1=\"144.50\" "
         "x2=\"249.50\" y2=\"144.50\""},
        {[] { qr_set_dot_gradient(0, 90.0f, 255, 0, 0, 0, 0, 255); },
         "x1=\"144.50\" y1=\"39.50\" x2=\"144.50\" y2=\"249.50\""},
        {[] {
             qr_set_dot_gradient(0, std::numeric_limits<float>::quiet_NaN(), 255, 0, 0, 0, 0, 255);
         },
         "x1=\"39.50\" y1=\"144.50\" x2=\"249.50\" y2=\"144.50\""},
        {[] {
             qr_set_dot_gradient(0, std::numeric_limits<float>::infinity(), 255, 0, 0, 0, 0, 255);
         },
         "x1=\"39.50\" y1=\"144.50\" x2=\"249.50\" y2=\"144.50\""},
        {[] { qr_set_background_gradient(1, 0.0f, 255, 0, 0, 0, 0, 255); },
         "<radialGradient id=\"g0\" gradientUnits=\"userSpaceOnUse\" cx=\"144.50\" "
         "cy=\"144.50\" r=\"145.00\""},
        {[] {
             qr_set_background_gradient(1, 0.0f, 255, 0, 0, 0, 0, 255);
             qr_set_corner_square_gradient(0, 0.0f, 255, 0, 0, 0, 0, 255);
         },
         "<defs><linearGradient id=\"g0\" gradientUnits=\"userSpaceOnUse\" x1=\"39.50\" "
         "y1=\"144.50\" x2=\"249.50\" y2=\"144.50\"><stop offset=\"0\" stop-color=\"#ff0000\"/>"
         "<stop offset=\"1\" stop-color=\"#0000ff\"/></linearGradient><radialGradient id=\"g1\""},
    };
    for (const row &r : rows) {
        qr_reset_style();
        r.set();
        const std::string doc = svg("A", 0, 10, 4);
        EXPECT_NE(doc.find(r.defs), std::string::npos) << r.defs;
        EXPECT_NE(doc.find(stops), std::string::npos);
        EXPECT_EQ(doc.find("nan"), std::string::npos);
        EXPECT_EQ(doc.find("inf"), std::string::npos);
    }
}

TEST_F(SvgDocument, GradientIdsFollowModuleRingCentreBackground) {
    qr_set_corner_dot_gradient(0, 0.0f, 1, 2, 3, 4, 5, 6);
    qr_set_background_gradient(0, 0.0f, 1, 2, 3, 4, 5, 6);
    qr_set_dot_gradient(0, 0.0f, 1, 2, 3, 4, 5, 6);
    const std::string doc = svg("A", 0, 10, 4);
    EXPECT_NE(doc.find("<rect x=\"0\" y=\"0\" width=\"290\" height=\"290\" fill=\"url(#g2)\"/>"),
              std::string::npos);
    EXPECT_EQ(count(doc, "fill=\"url(#g1)\""), 3u);  // the three centres
    EXPECT_EQ(count(doc, "fill=\"#000000\""), 3u);   // the three rings stay solid
    EXPECT_EQ(count(doc, "fill=\"url(#g0)\""), 1u);  // the one module element
}

// Gradient-painted elements carry no transform and are written in document
// units; solid elements keep their local figure and placement.
TEST_F(SvgDocument, GradientPaintedElementsUseDocumentUnits) {
    qr_set_dot_style(QR_DOT_DISC);
    qr_set_corner_square_style(QR_RING_CUSHION);
    qr_set_dot_gradient(0, 0.0f, 255, 0, 0, 0, 0, 255);
    qr_set_corner_square_gradient(0, 0.0f, 255, 0, 0, 0, 0, 255);
    const std::string doc = svg("A", 0, 10, 4);
    EXPECT_EQ(count(doc, "transform="), 3u);  // the solid centres only
    EXPECT_NE(doc.find("<path fill=\"url(#g0)\" d=\"M "), std::string::npos);
    EXPECT_NE(doc.find(" M 140.00 125.00 A 5.00 5.00 0 1 1 150.00 125.00 A"), std::string::npos);
    EXPECT_NE(doc.find("<path fill=\"url(#g1)\" fill-rule=\"evenodd\" d=\"M 190.00 40.00 H "
                       "240.00 A 10.00 10.00 0 0 1 250.00 50.00 V 100.00"),
              std::string::npos);
}

// ---- Logo ----

std::string between(const std::string &doc, const std::string &from, const std::string &to) {
    const std::size_t a = doc.find(from);
    if (a == std::string::npos) return {};
    const std::size_t b = doc.find(to, a + from.size());
    return doc.substr(a + from.size(), b - a - from.size());
}

TEST_F(SvgDocument, LogoBoxAndImageGeometry) {
    const vqr_test::temp_dir dir;
    write_logo(dir / "logo.png", 100, 50);
    qr_set_logo((dir / "logo.png").c_str(), 0.2f, 2);
    const std::string doc = svg("A", 0, 10, 4);
    EXPECT_NE(doc.find("<rect x=\"124\" y=\"124\" width=\"42\" height=\"42\" fill=\"#ffffff\"/>"
                       "<image x=\"126\" y=\"135\" width=\"38\" height=\"19\" "
                       "preserveAspectRatio=\"xMidYMid meet\" "
                       "xlink:href=\"data:image/png;base64,"),
              std::string::npos);
    EXPECT_EQ(doc.substr(doc.size() - 9), "\"/></svg>");
}

TEST_F(SvgDocument, LogoBoxFollowsBackgroundPaint) {
    const vqr_test::temp_dir dir;
    write_logo(dir / "logo.png", 4, 4);
    qr_set_logo((dir / "logo.png").c_str(), 0.2f, 2);
    qr_set_background_color(1, 2, 3, 0);
    EXPECT_EQ(svg("A", 0, 10, 4).find("<rect"), std::string::npos);
    qr_set_background_gradient(0, 0.0f, 1, 2, 3, 4, 5, 6);
    EXPECT_NE(svg("A", 0, 10, 4)
                  .find("<rect x=\"124\" y=\"124\" width=\"42\" height=\"42\" "
                        "fill=\"url(#g0)\"/><image"),
              std::string::npos);
}

TEST_F(SvgDocument, EmbeddedLogoDecodesToTheSamePngBytes) {
    const vqr_test::temp_dir dir;
    bool seen[3] = {};
    for (int w = 1; w <= 12 && !(seen[1] && seen[2]); ++w) {
        const auto bytes = write_logo(dir / "logo.png", w, 3);
        seen[bytes.size() % 3] = true;
        qr_set_logo((dir / "logo.png").c_str(), 0.3f, 1);
        const std::string doc = svg("A", 0, 10, 4);
        const std::string b64 = between(doc, "base64,", "\"");
        EXPECT_EQ(b64.size() % 4, 0u);
        const std::size_t pad = bytes.size() % 3 == 0 ? 0 : 3 - bytes.size() % 3;
        EXPECT_EQ(b64.size() - b64.find_last_not_of('=') - 1, pad) << w;
        EXPECT_EQ(base64_decode(b64), bytes) << w;
    }
    EXPECT_TRUE(seen[1] && seen[2]) << "no payload length left a remainder of 1 and of 2";
}

// ---- Failures ----

TEST_F(SvgDocument, FailuresLeaveNoDocument) {
    const vqr_test::temp_dir dir;
    const std::string too_long(3000, 'a');
    const std::string missing = (dir / "missing.png").string();
    const struct {
        std::function<void()> set;
        const char *text;
        int module_size;
        const char *message;
    } rows[] = {
        {[] {}, "", 10, "qr_svg: empty text"},
        {[] {}, nullptr, 10, "qr_svg: empty text"},
        {[] {}, too_long.c_str(), 10, "qr_encode: text too long to fit in any QR version (max 40)"},
        {[&] { qr_set_logo(missing.c_str(), 0.2f, 2); }, "A", 10,
         "qr_svg: failed while building SVG document"},
        // 21 modules of 2^27 units do not fit a 32-bit coordinate.
        {[] {}, "A", 1 << 27, "qr_svg: failed while building SVG document"},
    };
    for (const auto &row : rows) {
        qr_reset_style();
        ASSERT_NE(qr_encode_to_svg_string("ok", 0, 2, 1), nullptr);
        row.set();
        EXPECT_EQ(qr_encode_to_svg_string(row.text, 0, row.module_size, 4), nullptr);
        EXPECT_STREQ(qr_last_error(), row.message);
        EXPECT_EQ(qr_svg_thread_document().text.get(), nullptr);
        EXPECT_EQ(qr_svg_thread_document().len, 0u);
        qr_document document;
        EXPECT_STREQ(qr_svg_build(qr_style_snapshot(), {row.text, 0, row.module_size, 4}, document),
                     row.message);
        const auto out = dir / "out.svg";
        EXPECT_EQ(qr_encode_to_svg_file(row.text, out.c_str(), 0, row.module_size, 4), -1);
        EXPECT_STREQ(qr_last_error(), row.message);
        EXPECT_FALSE(std::filesystem::exists(out)) << "a failed build must not create the file";
    }
}

TEST_F(SvgDocument, LargeModuleSizeStillFitsWhenCoordinatesDo) {
    const std::string doc = svg("A", 0, 10000000, 4);
    EXPECT_NE(doc.find("viewBox=\"0 0 290000000 290000000\""), std::string::npos);
    EXPECT_NE(doc.find("translate(40000000 40000000) scale(10000000)"), std::string::npos);
    EXPECT_EQ(qr_encode_to_svg_string("A", 0, 100000000, 4), nullptr);  // 2.9e9 > INT_MAX
    EXPECT_EQ(qr_encode_to_svg_string("A", 0, 1, std::numeric_limits<int>::max()), nullptr);
    EXPECT_STREQ(qr_last_error(), "qr_svg: failed while building SVG document");
}

TEST_F(SvgDocument, FileVariant) {
    const vqr_test::temp_dir dir;
    const auto out = dir / "a.svg";
    ASSERT_EQ(qr_encode_to_svg_file("A", out.c_str(), 0, 10, 4), 1);
    const auto bytes = vqr_test::read_bytes(out);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
              std::string(qr_svg_thread_document().text.get()));

    const char *kept = qr_svg_thread_document().text.get();
    EXPECT_EQ(qr_encode_to_svg_file("B", nullptr, 0, 10, 4), -1);
    EXPECT_STREQ(qr_last_error(), "qr_encode_to_svg_file: NULL output path");
    EXPECT_EQ(qr_svg_thread_document().text.get(), kept);

    EXPECT_EQ(qr_encode_to_svg_file("A", (dir / "no/such/dir.svg").c_str(), 0, 10, 4), -1);
    EXPECT_STREQ(qr_last_error(), "qr_encode_to_svg_file: cannot open output path for writing");
    EXPECT_NE(qr_svg_thread_document().text.get(), nullptr)
        << "the document stays after an open failure";
}

TEST_F(SvgDocument, FullDeviceIsAShortWrite) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    EXPECT_EQ(qr_encode_to_svg_file("A", "/dev/full", 0, 1, 0), -1);
    EXPECT_STREQ(qr_last_error(), "qr_encode_to_svg_file: short write");
    EXPECT_NE(qr_svg_thread_document().text.get(), nullptr);
    EXPECT_EQ(qr_encode_to_svg_file(std::string(2000, 'x').c_str(), "/dev/full", 0, 10, 4), -1);
    EXPECT_STREQ(qr_last_error(), "qr_encode_to_svg_file: short write");
}

// ---- Text buffer ----

TEST(SvgTextBuffer, GrowthSteps) {
    const std::size_t MiB = 1024 * 1024;
    const struct {
        std::size_t cap, len, add;
        int rc;
        std::size_t cap_after;
    } rows[] = {
        {0, 0, 10, 0, 65536},
        {0, 0, 65535, 0, 65536},
        {0, 0, 65536, 0, 131072},
        {65536, 0, 65535, 0, 65536},
        {65536, 65535, 1, 0, 131072},
        {65536, 100, 300000, 0, 524288},
        {16 * MiB, 16 * MiB - 1, 1, 0, 32 * MiB},
        {20 * MiB, 20 * MiB - 1, 1, 0, 32 * MiB},
        {0, 0, 20 * MiB, 0, 32 * MiB},
        {65536, 10, 32 * MiB - 11, 0, 32 * MiB},
        {65536, 10, 32 * MiB - 10, -1, 65536},
        {32 * MiB, 32 * MiB - 1, 1, -1, 32 * MiB},
        {65536, 10, std::numeric_limits<std::size_t>::max() - 5, -1, 65536},
    };
    for (const auto &row : rows) {
        strbuf sb{row.cap ? static_cast<char *>(std::malloc(row.cap)) : nullptr, row.len, row.cap};
        EXPECT_EQ(sb_reserve(&sb, row.add), row.rc) << row.cap << " " << row.len << " " << row.add;
        EXPECT_EQ(sb.cap, row.cap_after) << row.cap << " " << row.len << " " << row.add;
        EXPECT_EQ(sb.len, row.len);
        std::free(sb.data);
    }
}

TEST(SvgTextBuffer, FormattedPiecesAreBounded) {
    strbuf sb{static_cast<char *>(std::malloc(QR_SVG_START_CAP)), 0, QR_SVG_START_CAP};
    ASSERT_EQ(sb_add(&sb, "ab"), 0);
    EXPECT_EQ(sb_addf(&sb, "%s", std::string(4096, 'x').c_str()), -1);
    EXPECT_STREQ(sb.data, "ab");
    EXPECT_EQ(sb_addf(&sb, "%s", std::string(4095, 'x').c_str()), 0);
    EXPECT_EQ(sb.len, 4097u);
    EXPECT_EQ(sb_addf(&sb, "%.2f|%d", 0.5, 7), 0);
    EXPECT_STREQ(sb.data + 4097, "0.50|7");
    std::free(sb.data);
}

// ---- Locale ----

TEST_F(SvgDocument, DocumentIgnoresTheHostLocale) {
    const vqr_test::temp_dir dir;
    write_logo(dir / "logo.png", 7, 5);
    qr_set_logo((dir / "logo.png").c_str(), 0.25f, 1);
    qr_set_dot_style(QR_DOT_PILL);
    qr_set_corner_square_style(QR_RING_PEBBLE);
    qr_set_dot_gradient(0, 33.0f, 1, 2, 3, 4, 5, 6);
    qr_set_background_color(9, 9, 9, 77);
    const std::string plain = svg("Locale 1.5", 1, 7, 3);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "de_DE.UTF-8 is not installed";
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.2f", 0.5);
    const std::string german = svg("Locale 1.5", 1, 7, 3);
    std::setlocale(LC_ALL, "C");
    EXPECT_STREQ(probe, "0,50") << "the locale did not switch the decimal separator";
    EXPECT_EQ(german, plain);
}

}  // namespace
