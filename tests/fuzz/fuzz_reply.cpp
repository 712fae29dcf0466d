// Fuzzes the data-reply check through the row and page reads: the first byte
// picks the device and one of the four blocks or three pages, the rest is what
// the adapter sends. Whatever arrives, the read must end, store only 0 or 1,
// touch no fuse outside what it reads, and leave a shown error text when it
// fails.
#include <cstdlib>

#include "link/protocol.hpp"
#include "tests/fuzz/port_buffer.hpp"

namespace {

using Read = void (*)(int32_t, vr::FuseMap&, int32_t&, vr::MsgBuf&);
constexpr Read reads[] = {vr::read48a, vr::read48b, vr::read48c, vr::read48d,
                          vr::read481, vr::read482, vr::read483};

vr::FuseMap map;

// The invariant check is not what is being fuzzed: kept out of the coverage
// instrumentation, which would otherwise cost most of each run.
__attribute__((noinline, no_sanitize("coverage"))) bool map_sound(int32_t fuses) {
    for (std::size_t i = 0; i < map.size(); ++i) {
        const int8_t v = map[i];
        if (v != 7 && v != 0 && v != 1) return false;
        if (v != 7 && static_cast<int32_t>(i) >= fuses) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size == 0) return 0;
    if (size > VR_FUZZ_MAX_INPUT) size = VR_FUZZ_MAX_INPUT;
    const int32_t code = (data[0] & 1) ? 8 : 4;
    const Read read = reads[(data[0] >> 1) % 7];
    vr::os::feed(data + 1, size - 1);

    map.fill(7);
    vr::MsgBuf buf;
    buf.fill('?');
    int32_t err = 5;
    read(code, map, err, buf);
    if (err != 0 && err != 1) std::abort();
    if (err == 1 && buf[0] != 'r') std::abort();  // every failure text starts "read fuse map error"
    if (!map_sound(vr::device_of(code).fuse_count)) std::abort();
    return 0;
}
