// Measures the decoder's second-chance strategies on a folder of images: for
// every image listed in <dir>/MANIFEST.tsv, the whole decode run, the four
// fixed attempts alone, then each strategy alone, with the text each returns
// (and the times). Prints one JSON
// object per image; tests/tools/decode_strategies.py judges and tabulates.
// Usage: vqr_decode_strategies <dir>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "qrcode_decode.h"
#include "qrcode_decode_rescue.h"
#include "qrcode_png.h"

extern "C" {
#include "quirc.h"
}

namespace {

void print_text(const char *text) {
    std::printf("\"");
    for (const char *p = text; *p; ++p) std::printf("%02x", static_cast<unsigned char>(*p));
    std::printf("\"");
}

template <class F>
double millis(F &&f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

void measure(const std::string &dir, const std::string &rel) {
    unsigned char *pixels = nullptr;
    int w = 0;
    int h = 0;
    if (qr_png_read_file((dir + "/" + rel).c_str(), &pixels, &w, &h) != 0) return;
    const qr_heap_ptr<unsigned char> owner(pixels);
    qr_decoded out;
    std::printf("{\"path\": \"%s\", \"full_ms\": %.2f, \"full\": ", rel.c_str(),
                millis([&] { qr_decode_rgba(pixels, w, h, out); }));
    print_text(out.text);
    const qr_quirc_ptr q(qr_quirc_new());
    if (!q || quirc_resize(q.get(), w, h) != 0) return;
    out.text[0] = '\0';
    qr_decode_attempts(q.get(), pixels, w, h, out);
    std::printf(", \"fixed\": ");
    print_text(out.text);
    std::printf(", \"strategies\": [");
    for (int i = 0; i < qr_rescue_strategy_count(); ++i) {
        const double ms = millis([&] { qr_rescue_try_strategy(q.get(), pixels, w, h, i, out); });
        std::printf("%s[\"%s\", %.2f, ", i ? ", " : "", qr_rescue_strategy_name(i), ms);
        print_text(out.text);
        std::printf("]");
    }
    std::printf("]}\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <dir with MANIFEST.tsv>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    std::ifstream manifest(dir + "/MANIFEST.tsv");
    std::string line;
    std::getline(manifest, line);
    while (std::getline(manifest, line)) measure(dir, line.substr(0, line.find('\t')));
    return 0;
}
