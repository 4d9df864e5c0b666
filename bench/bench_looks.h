// What the per-look benchmarks share: the text they encode and the looks
// they run over (the default look and every preset).
#pragma once

#include <benchmark/benchmark.h>

#include <string>

inline constexpr const char *BENCH_URL = "https://example.org/q?id=12345";  // version 3 at M

struct bench_look {
    const char *name;
    const char *preset;  // null for the default look
};

inline constexpr bench_look BENCH_LOOKS[] = {
    {"default_look", nullptr}, {"modern", "modern"}, {"dots", "dots"},
    {"elegant", "elegant"},    {"neon", "neon"},     {"corporate", "corporate"},
    {"minimal", "minimal"},
};

// Registers `run(state, preset)` once per look, named "<base>/<look>".
template <class Run>
bool register_per_look(const char *base, Run run) {
    for (const bench_look &look : BENCH_LOOKS) {
        benchmark::RegisterBenchmark((std::string(base) + "/" + look.name).c_str(), run,
                                     look.preset);
    }
    return true;
}
