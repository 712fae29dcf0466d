// Fuzzes the adapter's protocol server on the JTAG-level chip model: the
// first byte picks the chip, the rest is what a host sends (with hang-ups,
// probe failures and a run of row writes coded by bytes of their own). After
// every byte the safety rules of tests/fuzz/server_check.hpp must hold.
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/server_check.hpp"

// Bytes of an input taken (the rest is ignored): a whole secure write with
// its row writes coded as one byte takes about a hundred, and every input
// then stays as cheap as a run allowed this long.
constexpr std::size_t max_input = 1024;

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    static vt::ServerCheck check;
    const std::string broken = check.run(data, size < max_input ? size : max_input);
    if (!broken.empty()) {
        std::fprintf(stderr, "safety rule broken: %s\n", broken.c_str());
        std::abort();
    }
    return 0;
}
