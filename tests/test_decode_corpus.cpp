// Replays the decoder's fuzzing corpus and every recorded crasher through the
// memory entry point: each must return the result buffer without faulting
// (the sanitizer build turns a fault into a failure).
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "qrcode_decode.h"
#include "qrcode_decode_rescue.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> files_in(const fs::path &dir) {
    std::vector<fs::path> out;
    for (const auto &entry : fs::directory_iterator(dir)) {
        if (entry.is_regular_file()) out.push_back(entry.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

void replay(const fs::path &dir, std::size_t at_least) {
    const std::vector<fs::path> files = files_in(dir);
    ASSERT_GE(files.size(), at_least) << dir;
    const char *slot = qr_decode_from_memory(nullptr, 0);
    for (const fs::path &file : files) {
        const std::vector<unsigned char> bytes = vqr_test::read_bytes(file);
        const char *out = qr_decode_from_memory(bytes.data(), static_cast<int>(bytes.size()));
        EXPECT_EQ(out, slot) << file;
    }
}

TEST(DecodeCorpus, SeedImagesDecode) {
    for (const fs::path &file : files_in(fs::path(VQR_SOURCE_DIR) / "fuzz/corpus/decode")) {
        const std::vector<unsigned char> bytes = vqr_test::read_bytes(file);
        EXPECT_STREQ(qr_decode_from_memory(bytes.data(), static_cast<int>(bytes.size())), "seed")
            << file;
    }
}

// Images that made quirc hang in its alignment-pattern search, convert NaN to
// int, or index its version table with a negative row; and a 930-byte RLE TGA
// that claims 2614 x 13876 pixels, just under the size cap, which every
// attempt and the second-chance stage (on its reduced working image) must
// get through in bounded time.
TEST(DecodeCorpus, CrashersReplaySafely) {
    replay(fs::path(VQR_SOURCE_DIR) / "tests/crashers/decode", 3);
}

// Hostile files that older image loaders mishandle before any decoding
// starts: a JPEG whose Huffman table counts add up to more than 256, a JPEG
// whose entropy data makes the bit reader shift by 33, and a PGM with a
// maximum value above 255; a PSD whose white matte falls below zero; and a
// broken PNG whose first IDAT chunk is empty.
// They must end cleanly, under the sanitizers too.
TEST(DecodeCorpus, ImageLoaderCrashersReplaySafely) {
    replay(fs::path(VQR_SOURCE_DIR) / "tests/crashers/decode/image_loader", 3);
}

}  // namespace
