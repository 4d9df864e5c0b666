// Batch encoding of 1,000 items next to 1,000 single calls of
// qr_encode_to_file with the same texts, paths and settings: the difference
// is what parsing and per-item bookkeeping add.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "vantelor_qrcode.h"

namespace {

constexpr int ITEMS = 1000;
constexpr int MODULE_SIZE = 4;
constexpr int QUIET_ZONE = 2;
constexpr int ECC = 1;

std::string item_text(int i) { return "https://example.org/item/" + std::to_string(i); }
std::string item_name(int i) { return "item-" + std::to_string(i); }

// A scratch folder for one benchmark, removed with its files afterwards.
class scratch {
public:
    scratch() {
        char pattern[] = "/tmp/vqr-bench-XXXXXX";
        if (!mkdtemp(pattern)) std::abort();
        path_ = pattern;
    }
    ~scratch() { std::filesystem::remove_all(path_); }
    scratch(const scratch &) = delete;
    scratch &operator=(const scratch &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

void BM_batch_1000_items(benchmark::State &state) {
    qr_init();
    scratch dir;
    std::string json = "[";
    for (int i = 0; i < ITEMS; ++i) {
        json += (i ? "," : "");
        json += R"({"text":")" + item_text(i) + R"(","filename":")" + item_name(i) + R"("})";
    }
    json += "]";
    for (auto _ : state) {
        const int written =
            qr_encode_batch(json.c_str(), dir.path().c_str(), ECC, MODULE_SIZE, QUIET_ZONE);
        if (written != ITEMS) state.SkipWithError(qr_last_error());
    }
    state.SetItemsProcessed(state.iterations() * ITEMS);
}
BENCHMARK(BM_batch_1000_items)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_encode_to_file_1000_calls(benchmark::State &state) {
    qr_init();
    scratch dir;
    std::vector<std::string> texts, paths;
    for (int i = 0; i < ITEMS; ++i) {
        texts.push_back(item_text(i));
        paths.push_back(dir.path() + "/" + item_name(i) + ".png");
    }
    for (auto _ : state) {
        for (int i = 0; i < ITEMS; ++i) {
            if (qr_encode_to_file(texts[static_cast<std::size_t>(i)].c_str(),
                                  paths[static_cast<std::size_t>(i)].c_str(), ECC, MODULE_SIZE,
                                  QUIET_ZONE) != 1) {
                state.SkipWithError(qr_last_error());
                break;
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * ITEMS);
}
BENCHMARK(BM_encode_to_file_1000_calls)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
