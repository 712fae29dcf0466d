#!/usr/bin/env bash
# vrjtag-cli.exe under Wine on the direct route: a WRITE, then a VERIFY, through
# --openocd to Linux's OpenOCD on 127.0.0.1, which drives the chip model over
# remote_bitbang; then the same through the windowed program
# (vrjtag-headless.exe, probe=openocd:HOST:PORT in jtag.ini). Needs BIN (Linux build), WINBIN (Windows build), SRC, DATA.
set -u
skip() { echo "SKIPPED: $*"; exit 77; }
command -v wine > /dev/null || skip "wine is not installed (scripts/test.sh installs it as root)"
command -v openocd > /dev/null || skip "openocd is not installed"
[ -x "$BIN/vrjtag-chip-model" ] || skip "no Linux build of the chip model in $BIN"
WORK=$(mktemp -d /tmp/vrjtag-wine-direct-XXXXXX)
export WINEPREFIX=$WORK/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
unset DISPLAY
PIDS=() FAILED=0
fail() { echo "FAIL: $*" >&2; FAILED=1; exit 1; }
cleanup() {
    for p in "${PIDS[@]}"; do kill "$p" 2> /dev/null; done
    wait 2> /dev/null
    wineserver -k 2> /dev/null
    if [ $FAILED = 0 ]; then rm -rf "$WORK"; else echo "kept $WORK" >&2; fi
}
trap cleanup EXIT
wineboot -i > "$WORK/wineboot.log" 2>&1 || fail "wineboot failed: $(tail -3 "$WORK/wineboot.log")"

FILE=$DATA/atf1508as-harrowm-Simple030-rosco.jed
"$BIN/vrjtag-chip-model" --device ATF1508AS --port 0 --save "$WORK/chip.jed" --log "$WORK/chip.log" > "$WORK/model.out" 2>&1 &
MODEL=$!
PIDS+=($MODEL)
for _ in $(seq 100); do grep -q '^listening' "$WORK/model.out" && break; sleep 0.05; done
port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$WORK/model.out")
[ -n "$port" ] || fail "the chip model did not start"
openocd -c "adapter driver remote_bitbang; remote_bitbang host 127.0.0.1; remote_bitbang port $port" \
    -f "$SRC/packaging/openocd/atf15xx.cfg" -c "bindto 127.0.0.1; tcl_port 0; gdb_port disabled; telnet_port disabled" \
    > "$WORK/openocd.out" 2>&1 &
OCD=$!
PIDS+=($OCD)
for _ in $(seq 100); do
    tcl=$(sed -n 's/.*Listening on port \([0-9]*\) for tcl connections.*/\1/p' "$WORK/openocd.out")
    [ -n "$tcl" ] && break
    sleep 0.05
done
[ -n "$tcl" ] || fail "openocd did not start: $(tail -3 "$WORK/openocd.out")"

for action in write verify; do
    timeout 300 wine "$WINBIN/vrjtag-cli.exe" --openocd "127.0.0.1:$tcl" $action "$FILE" > "$WORK/$action.out" 2>&1
    rc=$?
    last=$(tr -d '\r' < "$WORK/$action.out" | tail -n 1)
    want=$([ $action = write ] && echo 'WRITE & VERIFY SUCCESS' || echo 'VERIFY SUCCESS')
    [ $rc = 0 ] && [ "$last" = "$want" ] || fail "$action: exit $rc: $(cat "$WORK/$action.out")"
    echo "$action: $last"
done
# The windowed program's direct route: vrjtag-headless.exe with
# C:\varnholme\jtag.ini reading probe=openocd:HOST:PORT, the same dialogs.
mkdir -p "$WINEPREFIX/drive_c/varnholme"
printf 'probe=openocd:127.0.0.1:%s\r\n' "$tcl" > "$WINEPREFIX/drive_c/varnholme/jtag.ini"
cp "$FILE" "$WORK/design.jed"
for action in write verify; do
    printf '%s\npress 216\nchoose design.jed\n' "tick $([ $action = write ] && echo 211 || echo 214)" > "$WORK/$action.operator"
    (cd "$WORK" && VRJTAG_OPERATOR=$action.operator VRJTAG_TRANSCRIPT=$action.windows \
        timeout 300 wine "$WINBIN/vrjtag-headless.exe" > "$WORK/$action.wine.out" 2>&1) || fail "window $action: exit $?"
    box=$(grep '^WMessageBox' "$WORK/$action.windows" | cut -f3-)
    want=$([ $action = write ] && echo 'WRITE & VERIFY SUCCESS' || echo 'VERIFY SUCCESS')
    [ "$box" = "$want" ] || fail "window $action: $box"
    echo "window $action: $box"
done
kill "$OCD"; wait "$OCD" 2> /dev/null
for _ in $(seq 100); do kill -0 "$MODEL" 2> /dev/null || break; sleep 0.05; done
"$BIN/vrjtag-jed" diff "$FILE" "$WORK/chip.jed" > "$WORK/diff"
[ -z "$(awk '$1 < 74114 || $1 > 74117' "$WORK/diff")" ] || fail "the chip differs from the file: $(head -3 "$WORK/diff")"
[ "$(grep -c '^erase$' "$WORK/chip.log")" = 2 ] || fail "not erased exactly once by each write"
echo PASS
