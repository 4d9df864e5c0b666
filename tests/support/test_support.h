// Helpers shared by the unit tests: PNG decoding, an independent decoder,
// temporary folders and a fixture that initialises the library.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "vantelor_qrcode.h"

namespace vqr_test {

// One RGBA pixel as ints, so comparisons print readably.
using px4 = std::array<int, 4>;
inline px4 px4_of(const unsigned char *p) { return {p[0], p[1], p[2], p[3]}; }
inline constexpr px4 BLACK{0, 0, 0, 255};
inline constexpr px4 WHITE{255, 255, 255, 255};

struct image {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgba;  // width * height * 4

    const unsigned char *at(int x, int y) const {
        return rgba.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                              static_cast<std::size_t>(x)) *
                                 4;
    }
};

// Decodes PNG (or any image format the library reads) from bytes or a file.
std::optional<image> decode_image(const std::vector<unsigned char> &bytes);
std::optional<image> read_image(const std::filesystem::path &path);
std::vector<unsigned char> read_bytes(const std::filesystem::path &path);
void write_bytes(const std::filesystem::path &path, const std::vector<unsigned char> &bytes);

// Encodes through the public API and decodes the PNG; fails the test on error.
image encode_image(const char *text, int ecc, int module_size, int quiet_zone);

// Reads a QR code with zxing-cpp; nullopt when it finds none. Transparent
// pixels are composited over white first, as a viewer shows them.
std::optional<std::string> zxing_read(const image &img);

// The module matrix the library encodes for `text`.
std::vector<unsigned char> matrix_of(const char *text, int ecc, int *n);

// A fresh, empty folder removed when the object dies.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    const std::filesystem::path &path() const { return path_; }
    std::filesystem::path operator/(const std::string &name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Calls qr_init before and qr_cleanup after each test.
class library : public ::testing::Test {
protected:
    void SetUp() override { qr_init(); }
    void TearDown() override { qr_cleanup(); }
};

}  // namespace vqr_test
