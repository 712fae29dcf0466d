// A port for the reply fuzzer: the bytes "received" come from a buffer set by
// the target, and a read past its end is the 500 ms time-out, returned at
// once. Writes go nowhere.
#include "os/port.hpp"
#include "tests/fuzz/port_buffer.hpp"

namespace vr::os {
namespace {
const unsigned char* next = nullptr;
const unsigned char* end = nullptr;
}  // namespace

void feed(const unsigned char* data, std::size_t size) {
    next = data;
    end = data + size;
}

bool local_config_path(std::string_view, char*, std::size_t) { return false; }
bool open(std::string_view) { return true; }
bool open_device(const char*) { return true; }

int read_byte(unsigned char& c) {
    if (next == end) return 0;
    c = *next++;
    return 1;
}

void write(const char*, std::size_t) {}
void close() {}

}  // namespace vr::os
