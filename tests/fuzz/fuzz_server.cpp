// Fuzzes the adapter's protocol server on the JTAG-level chip model: the
// first byte picks the chip, the rest is what a host sends (with hang-ups,
// probe failures and a run of row writes coded by bytes of their own). After
// every byte the safety rules of tests/fuzz/server_check.hpp must hold.
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/server_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    static vt::ServerCheck check;
    // A whole secure write, its row writes coded as one byte, takes about a
    // hundred bytes of the cap; what lies beyond it is ignored.
    const std::string broken = check.run(data, size < VR_FUZZ_MAX_INPUT ? size : VR_FUZZ_MAX_INPUT);
    if (!broken.empty()) {
        std::fprintf(stderr, "safety rule broken: %s\n", broken.c_str());
        std::abort();
    }
    return 0;
}
