// Fuzzes the SVF and XSVF importers: any text is either refused with a reason or gives
// a trace whose words fit the chips' words and whose waits are bounded; a
// trace the map accepts leaves a map of 0s and 1s of a family device.
#include <cstdlib>
#include <string>

#include "tools/svf.hpp"

namespace {
vr::FuseMap map;

// 0s and 1s only. Kept out of the coverage and address instrumentation: it
// is not what is being fuzzed, and it looks at every fuse of every input.
__attribute__((noinline, no_sanitize("coverage", "address"))) bool map_sound() {
    unsigned char above_one = 0;
    for (int8_t f : map) above_one |= static_cast<unsigned char>(f) & 0xFE;
    return !above_one;
}

void import(const std::string& text) {
    vr::svf::Trace trace;
    std::string error;
    if (!vr::svf::trace_svf(text, trace, error)) {
        if (error.rfind("line ", 0) != 0) std::abort();  // every refusal names its line
        return;
    }
    for (const vr::svf::Step& s : trace.steps) {
        if (s.word.size() > (vr::jtag::max_word_bits + 3) / 4) std::abort();
        if (s.wait_us > 3600ull * 1000000 * (text.size() + 1)) std::abort();
    }
    int32_t code = 0;
    std::vector<std::string> warnings;
    if (!vr::svf::trace_to_map(trace, map, code, error, warnings)) return;
    if (code != vr::code_1502 && code != vr::code_1504 && code != vr::code_1508) std::abort();
    if (!map_sound()) std::abort();
}
}  // namespace

// The input as SVF text, and as XSVF bytes (read back into SVF text, which
// must then hold what the importer holds any text to).
extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size > VR_FUZZ_MAX_INPUT) size = VR_FUZZ_MAX_INPUT;
    const std::string text(reinterpret_cast<const char*>(data), size);
    import(text);
    std::string svf, error;
    std::vector<std::size_t> offsets;
    if (vr::svf::xsvf_to_svf(text, svf, offsets, error)) import(svf);
    else if (error.rfind("byte ", 0) != 0) std::abort();  // every refusal names its byte
    return 0;
}
