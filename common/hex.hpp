// The hexadecimal digit codec, the one every reader and writer of hex digits
// uses: the JEDEC reader's checksum, the adapter protocol's commands and
// replies, SVF and OpenOCD values. Free of the standard library, so that the
// adapter's firmware code uses it too. (The chip model keeps its own on
// purpose: it must not share the codec it checks.)
#pragma once

namespace vr {

// The value of one hexadecimal digit (either case), or -1.
constexpr int hex_digit(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The digit of a value 0-15: upper case, or lower case when asked.
constexpr char hex_char(int v, bool lower = false) {
    return static_cast<char>(v < 10 ? '0' + v : (lower ? 'a' : 'A') + v - 10);
}

}  // namespace vr
