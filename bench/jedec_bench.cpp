// Times the JEDEC reader and writer in process: reads FILE (and writes its map
// to /dev/null) ITERATIONS times each, and prints the time per read and per
// write in microseconds.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fusemap/jedec.hpp"

namespace {
vr::FuseMap map;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: vrjtag-bench-jedec FILE ITERATIONS\n");
        return 2;
    }
    vr::FileName name;
    name.fill(' ');
    const std::size_t n = std::strlen(argv[1]);
    if (n > name.size()) return 2;
    std::memcpy(name.data(), argv[1], n);
    const int iterations = std::atoi(argv[2]);
    if (iterations <= 0) return 2;

    using clock = std::chrono::steady_clock;
    int32_t code = 0;
    auto t0 = clock::now();
    for (int i = 0; i < iterations; ++i)
        if (vr::readj(map, name, code) != vr::JedecResult::ok) {
            std::fprintf(stderr, "%s refused\n", argv[1]);
            return 1;
        }
    const double read_us = std::chrono::duration<double, std::micro>(clock::now() - t0).count() / iterations;

    std::FILE* out = std::fopen("/dev/null", "w");
    if (!out) return 1;
    t0 = clock::now();
    for (int i = 0; i < iterations; ++i)
        if (!vr::write_jedec(out, map, code)) return 1;
    std::fflush(out);
    const double write_us = std::chrono::duration<double, std::micro>(clock::now() - t0).count() / iterations;
    std::fclose(out);
    std::printf("%.1f %.1f\n", read_us, write_us);
    return 0;
}
