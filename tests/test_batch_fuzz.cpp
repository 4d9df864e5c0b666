// Replays the batch fuzz target's corpus (and any crashers kept there) as an
// ordinary test: the target's own checks trap on a fault.
#define LLVMFuzzerTestOneInput vqr_fuzz_batch_one
#include "../fuzz/fuzz_batch.cpp"
#undef LLVMFuzzerTestOneInput

#include <filesystem>

#include "test_support.h"

TEST(BatchFuzzCorpus, Replays) {
    const std::filesystem::path corpus = VQR_SOURCE_DIR "/fuzz/corpus/batch";
    int inputs = 0;
    for (const auto &e : std::filesystem::directory_iterator(corpus)) {
        const auto bytes = vqr_test::read_bytes(e.path());
        SCOPED_TRACE(e.path().filename().string());
        vqr_fuzz_batch_one(bytes.data(), bytes.size());
        ++inputs;
    }
    EXPECT_GT(inputs, 0);
}
