#!/usr/bin/env bash
# Records the starting corpus of fuzz_server: the bytes vrjtag-headless sends
# the emulator in a WRITE, a secure WRITE, a READ and a VERIFY of each device,
# taken from the emulator's log. Each file starts with the fuzz target's chip
# byte (0/1 an erased ATF1504AS/ATF1508AS, 2/3 one holding a design), and the
# row writes are coded as the target's one "every row" byte (0xFD), which
# keeps a whole secure write within the target's input cap.
# usage: record_server_corpus.sh BUILD_DIR  (run from the source tree)
set -euo pipefail
bin=$1
src=$(cd "$(dirname "$0")/../.." && pwd)
out=$src/tests/fuzz/fuzz_server_corpus
work=$(mktemp -d /tmp/vrjtag-corpus-XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
record() {
    local device=$1 action=$2 chip=$3 file tick dir=$work/$1-$2
    mkdir -p "$dir/cfg/varnholme"
    printf 'sim\r\n' > "$dir/cfg/varnholme/jtag.ini"
    case $device in
        ATF1504AS) file=$src/tests/data/atf1504as-harrowm-rosco_verilog-CPUglue.jed ;;
        ATF1508AS) file=$src/tests/data/atf1508as-harrowm-Simple030-rosco.jed ;;
    esac
    local load=()
    case $action in
        write) tick=211 ;; secure) tick=212 ;;
        read) tick=213 load=(--load "$file") file=$dir/back.jed ;;
        verify) tick=214 load=(--load "$file") ;;
    esac
    "$bin/vrjtag-adapter-sim" --device "$device" "${load[@]}" --no-pacing --log "$dir/log" "$dir/cfg/varnholme/sim" > /dev/null &
    local sim=$!
    for _ in $(seq 100); do [ -L "$dir/cfg/varnholme/sim" ] && break; sleep 0.05; done
    printf '%s\n' "tick $tick" 'press 216' "choose $file" 'answer yes' > "$dir/operator"
    XDG_CONFIG_HOME=$dir/cfg VRJTAG_OPERATOR=$dir/operator VRJTAG_TRANSCRIPT=$dir/transcript "$bin/vrjtag-headless"
    kill "$sim"; wait "$sim" 2>/dev/null || true
    python3 - "$dir/log" "$out/${action}_$(echo "$device" | tr 'A-Z' 'a-z')" "$chip" <<'PY'
import re, sys
data = b""
for line in open(sys.argv[1], encoding="latin-1"):
    m = re.match(r"^[0-9.]+ in (.*) [0-9]+$", line.rstrip("\n"))
    if m:
        data += re.sub(rb"\\x([0-9A-F]{2})", lambda h: bytes([int(h.group(1), 16)]), m.group(1).encode("latin-1"))
# Row writes (addresses 000-0FF) become one 0xFD at the first of them.
out, seen = b"", False
for cmd in data.split(b"\r")[:-1]:
    if re.match(rb"^#8W0[0-9A-F]{2}d", cmd):
        if not seen:
            out += b"\xfd"
            seen = True
        continue
    out += cmd + b"\r"
open(sys.argv[2], "wb").write(bytes([int(sys.argv[3])]) + out)
PY
}
for device in ATF1504AS ATF1508AS; do
    big=$([ $device = ATF1508AS ] && echo 1 || echo 0)
    record $device write $big & record $device secure $big &
    record $device read $((2 + big)) & record $device verify $((2 + big)) &
done
wait
ls -l "$out"
