// The print-quality grade on images whose parameters are known by
// construction: module matrices painted at chosen colours, sizes, quiet
// zones and damage.
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "qrcode_grade.h"
#include "test_support.h"

namespace {

using vqr_test::image;

struct paint_spec {
    int grey = 0;       // dark module level; light modules are white
    int width_px = 10;  // module width and height in pixels
    int height_px = 10;
    int quiet = 4;
    int quiet_grey = 255;                       // level of the quiet zone
    int light_end = -1;                         // >= 0: dark modules fade to it from left to right
    std::vector<std::pair<int, int>> tinted{};  // modules drawn at `tint` whatever their colour
    int tint = 255;
};

// The level a module is drawn at.
int module_level(const std::vector<unsigned char> &m, int n, const paint_spec &s, int x, int y) {
    if (x < 0 || y < 0 || x >= n || y >= n) return s.quiet_grey;
    for (const auto &[tx, ty] : s.tinted)
        if (tx == x && ty == y) return s.tint;
    if (!m[static_cast<std::size_t>(y * n + x)]) return 255;
    return s.light_end < 0 ? s.grey : s.grey + (s.light_end - s.grey) * x / (n - 1);
}

// The matrix drawn as square-cornered modules, grey levels on white.
image paint(const std::vector<unsigned char> &m, int n, const paint_spec &s) {
    image img;
    img.width = (n + 2 * s.quiet) * s.width_px;
    img.height = (n + 2 * s.quiet) * s.height_px;
    img.rgba.assign(static_cast<std::size_t>(img.width) * img.height * 4, 255);
    for (int y = 0; y < img.height; ++y) {
        for (int x = 0; x < img.width; ++x) {
            const int level =
                module_level(m, n, s, x / s.width_px - s.quiet, y / s.height_px - s.quiet);
            unsigned char *p = img.rgba.data() + (static_cast<std::size_t>(y) * img.width + x) * 4;
            p[0] = p[1] = p[2] = static_cast<unsigned char>(level);
        }
    }
    return img;
}

// The text the last grade() read.
qr_decoded last_text;

qr_grade_report grade(const image &img, const char *expected = nullptr) {
    qr_grade_report r;
    EXPECT_EQ(qr_grade_rgba(img.rgba.data(), img.width, img.height, expected, &r, last_text),
              QR_OK);
    return r;
}

class Grade : public vqr_test::library {
protected:
    void SetUp() override {
        vqr_test::library::SetUp();
        matrix = vqr_test::matrix_of(TEXT, 1, &n);
    }
    static constexpr const char *TEXT = "hello";  // version 1 at level M: one block
    int n = 0;
    std::vector<unsigned char> matrix;
};

TEST_F(Grade, DefaultLookIsAThroughout) {
    const image img = vqr_test::encode_image("https://example.org/grade", 1, 10, 4);
    const qr_grade_report r = grade(img);
    ASSERT_TRUE(r.decoded);
    for (int p = 0; p < QR_GRADE_PARAMETER_COUNT; ++p) EXPECT_EQ(r.grade[p], 4) << p;
    EXPECT_EQ(r.overall, 4);
    EXPECT_STREQ(last_text.text, "https://example.org/grade");
}

// Dark grey on white just above and below each contrast boundary:
// 1 - reflectance(148) = 0.704, (149) = 0.700 - 0.0005, and so on.
TEST_F(Grade, SymbolContrastGradesAtItsBoundaries) {
    const struct {
        int grey;
        int grade;
    } cases[] = {{0, 4},   {148, 4}, {149, 3}, {178, 3}, {179, 2},
                 {203, 2}, {204, 1}, {231, 1}, {232, 0}};
    for (const auto &c : cases) {
        const qr_grade_report r = grade(paint(matrix, n, {.grey = c.grey}));
        ASSERT_TRUE(r.decoded) << c.grey;
        EXPECT_EQ(r.grade[QR_GRADE_CONTRAST], c.grade) << c.grey;
        EXPECT_EQ(r.overall, c.grade) << c.grey;  // one grey: modulation stays full
        EXPECT_EQ(r.grade[QR_GRADE_MODULATION], 4) << c.grey;
    }
}

// Modules of the top-left finder's middle row and column, or the separator
// modules at their ends, flipped cost one grade each; the ring's corner,
// which readers do not scan, costs none.
TEST_F(Grade, DamagedFinderModules) {
    const struct {
        std::vector<std::pair<int, int>> flipped;
        int grade;
    } cases[] = {
        {{{0, 0}}, 4}, {{{3, 0}}, 3}, {{{3, 0}, {7, 3}}, 2}, {{{3, 0}, {7, 3}, {3, 7}}, 1}};
    for (const auto &c : cases) {
        std::vector<unsigned char> m = matrix;
        for (const auto &[x, y] : c.flipped) m[static_cast<std::size_t>(y * n + x)] ^= 1;
        const qr_grade_report r = grade(paint(m, n, {}));
        ASSERT_TRUE(r.decoded) << c.flipped.size();
        EXPECT_EQ(r.grade[QR_GRADE_FIXED_PATTERNS], c.grade) << c.flipped.size();
    }
}

// Finder modules on the right side but weak (modulation 0.25, grade D)
// count against the segment by level, as codewords count against their
// block: one costs a grade, each further one another.
TEST_F(Grade, WeakFinderModulesCostAGradeEach) {
    // Linear reflectance 0.375 against the threshold 0.5 of black on white.
    constexpr int WEAK = 165;
    const std::vector<std::pair<int, int>> modules = {{3, 0}, {0, 3}, {3, 6}};
    const int grades[] = {4, 3, 2, 1};
    for (std::size_t k = 0; k <= modules.size(); ++k) {
        paint_spec s{.tint = WEAK};
        s.tinted.assign(modules.begin(), modules.begin() + static_cast<std::ptrdiff_t>(k));
        const qr_grade_report r = grade(paint(matrix, n, s));
        ASSERT_TRUE(r.decoded) << k;
        EXPECT_EQ(r.grade[QR_GRADE_FIXED_PATTERNS], grades[k]) << k;
        EXPECT_EQ(r.value[QR_GRADE_FIXED_PATTERNS], static_cast<double>(k)) << k;  // weak modules
    }
}

// A tinted quiet zone is clear while no mark darkens it past the threshold,
// however little it stands out from the dark modules (grey 199 is linear
// 0.58 against the threshold 0.5: modulation 0.16, grade F as a module).
TEST_F(Grade, TintedQuietZoneIsClearOnItsLightSide) {
    const struct {
        int quiet_grey;
        int width;
    } cases[] = {{255, 4}, {199, 4}};
    for (const auto &c : cases) {
        const qr_grade_report r = grade(paint(matrix, n, {.quiet_grey = c.quiet_grey}));
        ASSERT_TRUE(r.decoded) << c.quiet_grey;
        EXPECT_EQ(r.value[QR_GRADE_QUIET_ZONE], c.width) << c.quiet_grey;
    }
}

// Dark modules fading to a light grey across the symbol: one threshold for
// the whole image loses the light end, an adaptive one (as phone readers
// binarize) keeps it, so the code decodes and is graded on its modules.
TEST_F(Grade, LightGradientEndStillDecodes) {
    constexpr int LIGHT_END = 220;  // linear 0.72; from 210 up one threshold fails
    const qr_grade_report r = grade(paint(matrix, n, {.light_end = LIGHT_END}));
    ASSERT_TRUE(r.decoded) << r.message;
    EXPECT_EQ(r.grade[QR_GRADE_DECODE], 4);
    // Measured on the reflectance, not on the binarized image: the faint
    // end still costs modulation.
    EXPECT_LT(r.grade[QR_GRADE_MODULATION], 3);
}

// At a few pixels per module the decode's grid, placed on whole pixels, can
// sit a third of a module off; the grade measures on the grid centred on
// the modules, so small clean codes grade as well as large ones.
TEST_F(Grade, SmallModulesAreMeasuredAtTheirCentres) {
    const qr_grade_report square = grade(paint(matrix, n, {.width_px = 2, .height_px = 2}));
    ASSERT_TRUE(square.decoded);
    EXPECT_EQ(square.overall, 4);
    for (const int px : {2, 3, 4, 5}) {
        qr_apply_preset("elegant");  // petal modules, a gradient, a tinted background
        const image img = vqr_test::encode_image("https://example.org/grade", 1, px, 4);
        qr_reset_style();
        const qr_grade_report r = grade(img);
        ASSERT_TRUE(r.decoded) << px;
        EXPECT_EQ(r.overall, 4) << px;
    }
}

// The first three codewords fill the bottom-right column pair, four rows
// each: one wrong module in each costs 2 of the 8 correcting codewords of
// version 1-M (10 less 2 that only guard against misdecodes).
TEST_F(Grade, UnusedErrorCorrectionCountsCodewordErrors) {
    const struct {
        int errors;
        double uec;
        int grade;
    } cases[] = {{0, 1.0, 4}, {1, 0.75, 4}, {2, 0.5, 3}, {3, 0.25, 1}};
    for (const auto &c : cases) {
        std::vector<unsigned char> m = matrix;
        for (int k = 0; k < c.errors; ++k) {
            unsigned char &module = m[static_cast<std::size_t>((n - 1 - 4 * k) * n + n - 1)];
            module = module ? 0 : 1;
        }
        const qr_grade_report r = grade(paint(m, n, {}));
        ASSERT_TRUE(r.decoded) << c.errors;
        EXPECT_DOUBLE_EQ(r.value[QR_GRADE_UNUSED_EC], c.uec) << c.errors;
        EXPECT_EQ(r.grade[QR_GRADE_UNUSED_EC], c.grade) << c.errors;
    }
}

// Modules 10 px wide and taller: axial non-uniformity |w - h| / mean.
TEST_F(Grade, StretchedImageLosesAxialUniformity) {
    const struct {
        int height_px;
        int grade;
    } cases[] = {{10, 4}, {11, 2}, {12, 0}};
    for (const auto &c : cases) {
        const qr_grade_report r = grade(paint(matrix, n, {.height_px = c.height_px}));
        ASSERT_TRUE(r.decoded) << c.height_px;
        EXPECT_NEAR(r.value[QR_GRADE_AXIAL], (c.height_px - 10.0) / (c.height_px + 10.0) * 2.0,
                    0.01);
        EXPECT_EQ(r.grade[QR_GRADE_AXIAL], c.grade) << c.height_px;
        EXPECT_EQ(r.grade[QR_GRADE_GRID], 4) << c.height_px;
    }
}

// The image is graded as printed on white paper: a narrow quiet zone in the
// image still reads, but caps the grade at B (none at all at C); a dark
// frame one module out from the symbol leaves a quiet zone of 1, grade D.
TEST_F(Grade, QuietZoneWidthInModules) {
    const int grades[] = {2, 3, 3, 3, 4, 4};
    for (int quiet = 0; quiet <= 5; ++quiet) {
        const qr_grade_report r = grade(paint(matrix, n, {.quiet = quiet}));
        ASSERT_TRUE(r.decoded) << quiet;
        EXPECT_EQ(r.value[QR_GRADE_QUIET_ZONE], std::min(quiet, 4)) << quiet;
        EXPECT_EQ(r.grade[QR_GRADE_QUIET_ZONE], grades[quiet]) << quiet;
    }
    std::vector<unsigned char> framed(static_cast<std::size_t>((n + 4) * (n + 4)), 0);
    for (int y = 0; y < n + 4; ++y) {
        for (int x = 0; x < n + 4; ++x) {
            const bool frame = x == 0 || y == 0 || x == n + 3 || y == n + 3;
            const bool inner = x >= 2 && y >= 2 && x < n + 2 && y < n + 2;
            framed[static_cast<std::size_t>(y * (n + 4) + x)] =
                frame || (inner && matrix[static_cast<std::size_t>((y - 2) * n + x - 2)]);
        }
    }
    const qr_grade_report r = grade(paint(framed, n + 4, {}));
    ASSERT_TRUE(r.decoded);
    EXPECT_EQ(r.value[QR_GRADE_QUIET_ZONE], 1);
    EXPECT_EQ(r.grade[QR_GRADE_QUIET_ZONE], 1);
}

TEST_F(Grade, LightOnDarkIsGradedWithPolarityReversedAndHeldAtD) {
    image img = paint(matrix, n, {});
    for (std::size_t i = 0; i < img.rgba.size(); i += 4)
        for (int c = 0; c < 3; ++c)
            img.rgba[i + c] = static_cast<unsigned char>(255 - img.rgba[i + c]);
    const qr_grade_report r = grade(img);
    ASSERT_TRUE(r.decoded);
    EXPECT_EQ(r.geo.inverted, 1);
    // Measured as well as the dark-on-light original; the decode is held at
    // D because many readers never try a reversed code.
    for (int p = QR_GRADE_CONTRAST; p < QR_GRADE_PARAMETER_COUNT; ++p)
        EXPECT_EQ(r.grade[p], 4) << p;
    EXPECT_EQ(r.grade[QR_GRADE_DECODE], 1);
    EXPECT_EQ(r.weakest, QR_GRADE_DECODE);
}

TEST_F(Grade, NoCodeOrAnotherTextFailsTheDecode) {
    image blank = paint(matrix, n, {});
    std::fill(blank.rgba.begin(), blank.rgba.end(), 255);
    const qr_grade_report none = grade(blank);
    EXPECT_FALSE(none.decoded);
    EXPECT_STREQ(none.message, "qr_decode: no QR code found in image");
    EXPECT_EQ(none.overall, 0);

    const qr_grade_report other = grade(paint(matrix, n, {}), "goodbye");
    EXPECT_FALSE(other.decoded);
    EXPECT_EQ(other.overall, 0);
    EXPECT_EQ(other.weakest, QR_GRADE_DECODE);
    EXPECT_EQ(grade(paint(matrix, n, {}), TEXT).overall, 4);
}

// A logo almost half the symbol wide raises the level to H and spends most
// of its error correction; the report says so in JSON through the public
// call.
TEST_F(Grade, HalfSymbolLogoLeavesLittleErrorCorrection) {
    vqr_test::temp_dir dir;
    const auto logo = dir / "logo.png";
    {
        // A solid dark square: a code drawn in the background's own colour.
        qr_set_background_color(40, 40, 40, 255);
        qr_set_dot_color(40, 40, 40);
        qr_set_corner_square_color(40, 40, 40);
        qr_set_corner_dot_color(40, 40, 40);
        int len = 0;
        unsigned char *png = qr_encode_to_memory("x", 0, 5, 0, &len);
        ASSERT_NE(png, nullptr);
        vqr_test::write_bytes(logo, std::vector<unsigned char>(png, png + len));
        qr_free_buffer(png);
        qr_reset_style();
    }
    qr_set_logo(logo.c_str(), 0.45f, 0);
    int len = 0;
    unsigned char *png = qr_encode_to_memory(
        "https://example.org/a-somewhat-longer-address/with/a/path?and=query", 1, 8, 4, &len);
    ASSERT_NE(png, nullptr);
    const char *report = qr_grade_from_memory(png, len, nullptr);
    qr_free_buffer(png);
    ASSERT_NE(report, nullptr) << qr_last_error();
    const std::string json = report;
    EXPECT_NE(json.find("\"level\":\"H\""), std::string::npos) << json;
    const auto uec = json.find("{\"name\":\"unused error correction\"");
    ASSERT_NE(uec, std::string::npos) << json;
    const std::string entry = json.substr(uec, json.find('}', uec) - uec);
    EXPECT_NE(entry.find("\"grade\":\"F\""), std::string::npos) << entry;
}

TEST_F(Grade, EntryPointsFailWithTheirMessages) {
    EXPECT_EQ(qr_grade_from_file(nullptr, nullptr), nullptr);
    EXPECT_STREQ(qr_last_error(), "qr_grade_from_file: NULL path");
    EXPECT_EQ(qr_grade_from_memory(nullptr, 100, nullptr), nullptr);
    EXPECT_STREQ(qr_last_error(), "qr_grade_from_memory: data too small");
    const unsigned char junk[16] = {1, 2, 3};
    EXPECT_EQ(qr_grade_from_memory(junk, sizeof junk, nullptr), nullptr);
    EXPECT_STREQ(qr_last_error(),
                 "qr_grade_from_memory: stbi_load_from failed (not a valid image?)");
    EXPECT_EQ(qr_grade_from_file("/nonexistent/grade.png", nullptr), nullptr);
    EXPECT_STREQ(qr_last_error(), "qr_png_read_file: stbi_load failed (not a valid PNG?)");
}

// The report is JSON whatever the text holds: quotes, control characters
// and bytes that are not UTF-8 are escaped.
TEST_F(Grade, ReportEscapesTheText) {
    const char *text = "a\"b\\c\n\x01\xff\xc3\xa9";
    int len = 0;
    unsigned char *png = qr_encode_to_memory(text, 1, 6, 4, &len);
    ASSERT_NE(png, nullptr);
    const char *report = qr_grade_from_memory(png, len, text);
    qr_free_buffer(png);
    ASSERT_NE(report, nullptr);
    EXPECT_NE(std::strstr(report, "\"text\":\"a\\\"b\\\\c\\u000a\\u0001\\ufffd\xc3\xa9\""), nullptr)
        << report;
    const char head[] = "{\"grade\":\"A\",\"score\":4.0,";
    EXPECT_EQ(std::strncmp(report, head, sizeof head - 1), 0) << report;
}

}  // namespace

namespace {

// The grade fuzzer's corpus, replayed through the memory entry point: every
// input gives a report or a message, never a crash.
TEST(GradeCorpus, ReplaysWithoutFault) {
    const std::filesystem::path corpus = VQR_SOURCE_DIR "/fuzz/corpus/grade";
    int files = 0;
    for (const auto &e : std::filesystem::directory_iterator(corpus)) {
        const std::vector<unsigned char> bytes = vqr_test::read_bytes(e.path());
        if (bytes.size() < 2) continue;
        ++files;
        const char *report =
            qr_grade_from_memory(bytes.data() + 1, static_cast<int>(bytes.size() - 1), nullptr);
        if (report) {
            EXPECT_EQ(report[0], '{') << e.path();
        }
    }
    EXPECT_GT(files, 0);
}

}  // namespace
