#!/usr/bin/env bash
# The Nano firmware's budget: flash (room left for a 2 KB bootloader), RAM
# (.data + .bss, at most 1250: the 256-byte receive ring lets a host stream
# two words of a write, with their waits, ahead in probe mode), the worst-case stack from -fstack-usage along the deepest
# call path plus an interrupt frame leaving 256 bytes spare of the 2,048, and
# no heap or C++ runtime linked.
# usage: budget.sh FIRMWARE_BUILD_DIR
set -uo pipefail
dir=$1
elf=$dir/vrjtag-nano.elf
command -v avr-size > /dev/null || { echo "binutils-avr is not installed"; exit 77; }
[ -f "$elf" ] || { echo "FAIL: $elf was not built"; exit 1; }
rc=0
read -r text data bss < <(avr-size "$elf" | awk 'NR == 2 { print $1, $2, $3 }')
flash=$((text + data)) ram=$((data + bss))
python3 "$(dirname "$0")/stack.py" "$elf" $(find "$dir" -name '*.su') > "$dir/stack.txt" || { echo "FAIL: no stack figure"; exit 1; }
stack=$(head -n 1 "$dir/stack.txt")
spare=$((2048 - ram - stack))
echo "flash $flash bytes (at most 30720), RAM $ram bytes (at most 1250), stack $stack bytes, spare $spare bytes (at least 256)"
sed -n '2,$p' "$dir/stack.txt"
[ "$flash" -le 30720 ] || { echo "FAIL: flash $flash > 30720"; rc=1; }
[ "$ram" -le 1250 ] || { echo "FAIL: RAM $ram > 1250"; rc=1; }
[ "$spare" -ge 256 ] || { echo "FAIL: only $spare bytes of RAM spare"; rc=1; }
if avr-nm "$elf" | grep -E 'malloc|free$|_Znw|_Znaj|_Zdl|_Zda|__cxa|_Unwind'; then
    echo "FAIL: heap or C++ runtime linked"; rc=1
fi
exit $rc
