// Lifecycle, the error slot, lazy defaults and the version query.
#include <cstring>
#include <string>

#include "qrcode_api.h"
#include "test_support.h"

namespace {

TEST(Frame, ErrorSlotBeforeAnyCallSaysNoError) { EXPECT_STREQ(qr_last_error(), "no error"); }

TEST(Frame, InitEmptiesTheSlotAndFailuresStayUntilInit) {
    EXPECT_EQ(qr_init(), 1);
    EXPECT_STREQ(qr_last_error(), "");
    EXPECT_EQ(qr_encode_to_memory("", 1, 4, 4, nullptr), nullptr);
    EXPECT_STREQ(qr_last_error(), "qr_encode: empty text");
    int len = 0;
    unsigned char *png = qr_encode_to_memory("ok", 1, 4, 4, &len);
    ASSERT_NE(png, nullptr);
    qr_free_buffer(png);
    EXPECT_STREQ(qr_last_error(), "qr_encode: empty text") << "success must not clear";
    qr_cleanup();
    EXPECT_STREQ(qr_last_error(), "qr_encode: empty text");
    qr_init();
    EXPECT_STREQ(qr_last_error(), "");
}

TEST(Frame, GetVersion) {
    EXPECT_EQ(qr_get_version(nullptr, 0), 0);
    EXPECT_EQ(qr_get_version("", 0), 1);
    EXPECT_EQ(qr_get_version("HELLO", 0), 1);
    const std::string fits(2953, 'a');
    const std::string too_long(2954, 'a');
    EXPECT_EQ(qr_get_version(fits.c_str(), 0), 40);
    EXPECT_EQ(qr_apply_preset(nullptr), -1);
    EXPECT_EQ(qr_get_version(too_long.c_str(), 0), 0);
    EXPECT_STREQ(qr_last_error(), "qr_apply_preset: NULL preset_name");
    const std::string text(200, 'q');
    const int at_m = qr_get_version(text.c_str(), 1);
    for (int ecc : {4, 9, -1}) EXPECT_EQ(qr_get_version(text.c_str(), ecc), at_m) << ecc;
}

TEST(Frame, LoadTimeStyleIsZeroBytes) {
    const qr_style zero{};
    const qr_style now = qr_style_snapshot();
    EXPECT_EQ(std::memcmp(&now, &zero, sizeof zero), 0);
    EXPECT_FALSE(qr_style_initialized());
}

TEST(Frame, InitRestoresDefaultsWithoutTouchingGradientFields) {
    qr_set_dot_gradient(2, 33.0f, 1, 2, 3, 4, 5, 6);
    qr_set_logo("xy", 0.2f, 0);
    qr_init();
    const qr_style s = qr_style_snapshot();
    EXPECT_EQ(s.dot_gradient.type, 0);
    EXPECT_FLOAT_EQ(s.dot_gradient.rotation, 33.0f);
    EXPECT_EQ(s.dot_gradient.end_b, 6);
    EXPECT_EQ(s.logo_path[0], '\0');
    EXPECT_EQ(s.logo_path[1], 'y');
    EXPECT_EQ(s.background_color[3], 255);
    EXPECT_TRUE(qr_style_initialized());
    qr_cleanup();
    EXPECT_FALSE(qr_style_initialized());
}

TEST(Frame, SettersDoNotAccumulateBeforeInit) {
    qr_set_dot_style(3);
    qr_set_dot_color(255, 0, 0);
    EXPECT_EQ(qr_style_snapshot().dot_style, 0);
    EXPECT_EQ(qr_style_snapshot().dot_color[0], 255);
    qr_init();
    qr_set_dot_style(3);
    qr_set_dot_color(255, 0, 0);
    EXPECT_EQ(qr_style_snapshot().dot_style, 3);
    EXPECT_EQ(qr_style_snapshot().dot_color[0], 255);
}

TEST(Frame, VersionQueryBeforeInitDiscardsStyle) {
    qr_set_dot_style(4);
    ASSERT_EQ(qr_style_snapshot().dot_style, 4);
    qr_get_version("x", 0);
    EXPECT_EQ(qr_style_snapshot().dot_style, 0);
}

TEST(Frame, VersionQueryIgnoresTheLogoRule) {
    qr_init();
    const std::string text(100, 'v');
    const int at_l = qr_get_version(text.c_str(), 0);
    qr_set_logo("logo.png", 0.2f, 0);
    EXPECT_EQ(qr_get_version(text.c_str(), 0), at_l);
    EXPECT_STREQ(qr_style_snapshot().logo_path, "logo.png")
        << "an initialised query keeps the style";
    int n = 0;
    vqr_test::matrix_of(text.c_str(), 0, &n);
    EXPECT_GT((n - 17) / 4, at_l) << "the encode itself runs at level H";
}

TEST(Frame, OversizedTextsAreRefusedWithoutAborting) {
    qr_init();
    const std::string huge(1000000, 'a');
    const std::string digits(7090, '7');  // one digit over version 40-L's numeric capacity
    for (const std::string *text : {&huge, &digits}) {
        EXPECT_EQ(qr_get_version(text->c_str(), 0), 0);
        EXPECT_EQ(qr_encode_to_memory(text->c_str(), 0, 1, 0, nullptr), nullptr);
        EXPECT_STREQ(qr_last_error(), "qr_encode: text too long to fit in any QR version (max 40)");
    }
    EXPECT_EQ(qr_get_version(std::string(7089, '7').c_str(), 0), 40);
}

}  // namespace
