// Concurrent callers: threads encoding PNG and SVG and decoding at once each
// get exactly the results a lone caller gets, and the texts handed out (last
// error, SVG document, decode result) stay each thread's own while other
// threads call; encodes racing with setters draw whole looks. Run under
// ThreadSanitizer and AddressSanitizer as well.
#include <atomic>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

constexpr int THREADS = 4;
constexpr int ROUNDS = 6;

// One failing call per thread, each leaving a different message.
struct failure {
    int (*call)();
    const char *message;
};
const failure FAILURES[THREADS] = {
    {[] { return qr_encode_to_file(nullptr, "x.png", 1, 4, 4); }, "qr_encode: NULL argument"},
    {[] { return qr_encode_to_file("a", nullptr, 1, 4, 4); },
     "qr_encode_to_file: NULL output path"},
    {[] { return qr_encode_batch(nullptr, "/tmp", 1, 4, 4); }, "qr_encode_batch: NULL argument"},
    {[] { return qr_apply_preset(nullptr); }, "qr_apply_preset: NULL preset_name"},
};

struct expected {
    std::string text;
    std::vector<unsigned char> png;
    std::string svg;
};

expected reference(int thread) {
    expected e;
    e.text =
        "thread " + std::to_string(thread) + std::string(static_cast<std::size_t>(thread) * 9, '*');
    int len = 0;
    unsigned char *png = qr_encode_to_memory(e.text.c_str(), 1, 4, 4, &len);
    EXPECT_NE(png, nullptr) << qr_last_error();
    if (png) e.png.assign(png, png + len);
    qr_free_buffer(png);
    const char *svg = qr_encode_to_svg_string(e.text.c_str(), 1, 4, 4);
    EXPECT_NE(svg, nullptr) << qr_last_error();
    if (svg) e.svg = svg;
    return e;
}

// One thread's rounds; returns what went wrong (empty when nothing did).
std::vector<std::string> run_rounds(int thread, const expected &want) {
    std::vector<std::string> faults;
    auto check = [&](bool ok, const std::string &what) {
        if (!ok) faults.push_back("round " + what);
    };
    for (int round = 0; round < ROUNDS; ++round) {
        const std::string r = std::to_string(round) + ": ";
        check(FAILURES[thread].call() == -1, r + "failing call succeeded");
        const char *svg = qr_encode_to_svg_string(want.text.c_str(), 1, 4, 4);
        check(svg != nullptr && want.svg == svg, r + "SVG document differs");
        int len = 0;
        unsigned char *png = qr_encode_to_memory(want.text.c_str(), 1, 4, 4, &len);
        check(png != nullptr && std::vector<unsigned char>(png, png + len) == want.png,
              r + "PNG differs");
        const char *text = qr_decode_from_memory(png, len);
        qr_free_buffer(png);
        check(want.text == text, r + "decoded '" + text + "'");
        // Other threads have called in the meantime: our texts still stand.
        std::this_thread::yield();
        check(svg != nullptr && want.svg == svg, r + "SVG document rewritten");
        check(want.text == text, r + "decode result rewritten");
        check(std::strcmp(qr_last_error(), FAILURES[thread].message) == 0,
              r + "last error is '" + qr_last_error() + "'");
    }
    return faults;
}

TEST(Threads, ConcurrentCallersEachGetTheirOwnResults) {
    qr_init();
    ASSERT_EQ(qr_apply_preset("modern"), 1);  // a figure style that reads its neighbours
    std::vector<expected> want;
    for (int t = 0; t < THREADS; ++t) want.push_back(reference(t));

    std::vector<std::vector<std::string>> faults(THREADS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([t, &want, &faults] { faults[t] = run_rounds(t, want[t]); });
    }
    for (std::thread &th : threads) th.join();
    for (int t = 0; t < THREADS; ++t) {
        for (const std::string &f : faults[t]) ADD_FAILURE() << "thread " << t << ", " << f;
    }
    // A new thread starts from the load-time texts, whatever others did.
    std::string fresh_error;
    std::thread([&] { fresh_error = qr_last_error(); }).join();
    EXPECT_EQ(fresh_error, "no error");
    qr_cleanup();
}

// The looks a styling thread cycles through; each is set by one call, so the
// style is always exactly one of them.
constexpr const char *LOOKS[] = {"modern", "dots", "elegant", "neon", "corporate", "minimal"};
constexpr int LOOK_COUNT = static_cast<int>(std::size(LOOKS));

std::vector<unsigned char> png_of(const char *text) {
    int len = 0;
    unsigned char *png = qr_encode_to_memory(text, 1, 3, 2, &len);
    std::vector<unsigned char> bytes;
    if (png) bytes.assign(png, png + len);
    qr_free_buffer(png);
    return bytes;
}

// Setters on one thread, encodes on others: each encode draws one of the
// looks set while it ran, never a mixture, whatever the interleaving. The
// styling thread announces look k before setting it and after; an encode
// that began after look `lo` was set and ended before look `hi + 1` was
// started must match one of looks lo .. hi.
TEST(Threads, EncodesDrawALookThatExistedDuringTheCall) {
    constexpr const char *TEXT = "https://example.org/looks";
    constexpr int ENCODES = 12;
    qr_init();
    std::vector<std::vector<unsigned char>> want;
    for (const char *look : LOOKS) {
        ASSERT_EQ(qr_apply_preset(look), 1);
        want.push_back(png_of(TEXT));
    }
    std::atomic<int> set_done{LOOK_COUNT - 1};  // the last reference look is set
    std::atomic<int> set_started{LOOK_COUNT - 1};
    std::atomic<int> encoders_left{2};
    std::thread styler([&] {
        for (int k = LOOK_COUNT; encoders_left.load() > 0; ++k) {
            set_started.store(k);
            qr_apply_preset(LOOKS[k % LOOK_COUNT]);
            set_done.store(k);
        }
    });
    std::vector<std::string> faults[2];
    std::vector<std::thread> encoders;
    for (int t = 0; t < 2; ++t) {
        encoders.emplace_back([&, t] {
            for (int i = 0; i < ENCODES; ++i) {
                const int lo = set_done.load();
                const std::vector<unsigned char> png = png_of(TEXT);
                const int hi = set_started.load();
                bool matched = false;
                for (int k = lo; k <= hi && k < lo + LOOK_COUNT && !matched; ++k) {
                    matched = png == want[static_cast<std::size_t>(k % LOOK_COUNT)];
                }
                if (!matched) {
                    faults[t].push_back("encode " + std::to_string(i) + " matches no look of " +
                                        std::to_string(lo) + ".." + std::to_string(hi));
                }
            }
            encoders_left.fetch_sub(1);
        });
    }
    for (std::thread &e : encoders) e.join();
    styler.join();
    for (int t = 0; t < 2; ++t) {
        for (const std::string &f : faults[t]) ADD_FAILURE() << "thread " << t << ": " << f;
    }
    qr_cleanup();
}

}  // namespace
