#!/usr/bin/env bash
# The protocol server and chip operations are to run as the firmware of a
# small microcontroller adapter: they must compile with avr-g++ (GCC 5.4,
# C++14), without the standard library, exceptions or the heap.
set -euo pipefail
src=$1
command -v avr-g++ > /dev/null || { echo "avr-g++ is not installed" >&2; exit 77; }
out=$(mktemp -d /tmp/vrjtag-avr-XXXXXX)
trap 'rm -rf "$out"' EXIT
for f in adapter/chip/chip.cpp adapter/server/server.cpp; do
    avr-g++ -std=c++14 -mmcu=atmega328p -Os -fno-exceptions -fno-rtti -nostdinc++ -Wall -Wextra -Werror \
        -I"$src" -c "$src/$f" -o "$out/$(basename "$f").o"
done
# No call may reach the C++ runtime or the heap.
if avr-nm -u "$out"/*.o | grep -E 'operator new|operator delete|malloc|free|__cxa|_Unwind'; then
    echo "FAIL: runtime or heap use" >&2
    exit 1
fi
avr-size "$out"/*.o
