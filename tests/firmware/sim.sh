#!/usr/bin/env bash
# The Nano firmware in simavr: vrjtag-headless (or vrjtag-cli) ->
# pseudo-terminal -> vrjtag-firmware-sim -> the firmware -> the JTAG-level
# chip model, which checks the firmware's waits against simulated time.
# usage: sim.sh CASE (BIN, DATA and FIRMWARE set by CTest)
. "$(dirname "$0")/../road.sh"
[ -x "$BIN/vrjtag-firmware-sim" ] || { echo "vrjtag-firmware-sim was not built (simavr missing)"; exit 77; }
[ -f "$FIRMWARE" ] || { echo "the firmware was not built (avr-g++ missing)"; exit 77; }
S1508=$DATA/atf1508as-harrowm-Simple030-rosco.jed
S1504=$DATA/atf1504as-harrowm-rosco_verilog-CPUglue.jed
sample() { [ "$1" = ATF1504AS ] && echo "$S1504" || echo "$S1508"; }

# start_fw DEVICE [options]: the firmware on $LINK, the model's file in
# chip.jed; the model demands every wait 1.01 times the chip maker's.
start_fw() {
    local dev=$1
    shift
    rm -f "$LINK"
    "$BIN/vrjtag-firmware-sim" --device "$dev" --wait-margin 10000 --save "$WORK/chip.jed" --log "$WORK/fw.log" "$@" "$FIRMWARE" "$LINK" \
        > "$WORK/fw.out" 2>&1 &
    FW_PID=$!
    PIDS+=("$FW_PID")
    for _ in $(seq 100); do [ -L "$LINK" ] && return 0; sleep 0.05; done
    fail "vrjtag-firmware-sim did not start: $(cat "$WORK/fw.out")"
}
stop_fw() {
    kill -TERM "$FW_PID" 2> /dev/null
    wait "$FW_PID" || fail "vrjtag-firmware-sim failed: $(cat "$WORK/fw.out")"
}
# The model refused nothing: every wait was at least the chip maker's.
waits_kept() { grep -q 'refused' "$WORK/fw.log" && fail "the model refused: $(grep refused "$WORK/fw.log" | head -3)"; return 0; }
holds() { model_holds "$1" "$2" "$WORK/fw.log"; }
# refused WHY DEVICE [options]: a WRITE ends with no identification answered,
# and the chip was neither driven nor erased nor programmed.
refused() {
    local why=$1
    shift
    start_fw "$@"
    run_headless 'tick 211' 'press 216' "choose $S1504"
    [ "$BOX" = 'Programmer not responding, abort' ] || fail "$why: final box: $BOX"
    stop_fw
    grep -q 'jtag pins driven\|^enter\|^erase\|^program' "$WORK/fw.log" && fail "$why: the chip was driven or worked on"
    return 0
}

case $1 in
write_* | secure_* | verify_* | read_*)
    action=${1%_*} dev=ATF${1#*_}AS file=
    file=$(sample "$dev")
    case $action in
    write | secure)
        start_fw "$dev"
        run_headless "tick $([ $action = write ] && echo 211 || echo 212)" 'press 216' "choose $file"
        [ "$BOX" = 'WRITE & VERIFY SUCCESS' ] || fail "final box: $BOX"
        stop_fw
        holds "$file" "$([ $action = secure ] && echo 1 || echo 0)"
        ;;
    verify)
        start_fw "$dev" --load "$file"
        run_headless 'tick 214' 'press 216' "choose $file"
        [ "$BOX" = 'VERIFY SUCCESS' ] || fail "final box: $BOX"
        stop_fw
        ;;
    read)
        start_fw "$dev" --load "$file"
        run_headless 'tick 213' 'press 216' "choose $WORK/back.jed"
        [ "$BOX" = 'READ & SAVE SUCCESS' ] || fail "final box: $BOX"
        stop_fw
        cmp "$WORK/back.jed" "$WORK/chip.jed" || fail "READ output differs from the chip"
        ;;
    esac
    waits_kept
    ;;
rbb)
    # The chip played by vrjtag-chip-model over remote_bitbang.
    "$BIN/vrjtag-chip-model" --device ATF1508AS --port 0 --save "$WORK/model.jed" --log "$WORK/model.log" > "$WORK/model.out" 2>&1 &
    model=$!
    PIDS+=("$model")
    for _ in $(seq 100); do grep -q '^listening on' "$WORK/model.out" && break; sleep 0.05; done
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$WORK/model.out")
    start_fw ATF1508AS --rbb "127.0.0.1:$port"
    run_headless 'tick 211' 'press 216' "choose $S1508"
    [ "$BOX" = 'WRITE & VERIFY SUCCESS' ] || fail "final box: $BOX"
    stop_fw
    wait "$model" || fail "the chip model failed"
    cp "$WORK/model.jed" "$WORK/chip.jed"
    cp "$WORK/model.log" "$WORK/fw.log"
    holds "$S1508" 0
    ;;
vcd)
    # The pins traced for a waveform viewer: the trace holds the five
    # signals, and replaying its TCK edges through the TAP's state machine
    # finds the firmware's first instruction, IDCODE (059), and the IDCODE
    # the chip shifted out.
    start_fw ATF1504AS --load "$S1504" --vcd "$WORK/trace.vcd"
    timeout 120 "$BIN/vrjtag-cli" --port "$LINK" --boot-wait 0 verify "$S1504" > "$WORK/cli.out" 2>&1 ||
        fail "verify: $(tail -n 2 "$WORK/cli.out")"
    stop_fw
    python3 - "$WORK/trace.vcd" <<'PY' || fail "the trace"
import re, sys
text = open(sys.argv[1]).read()
ids = dict((name, code) for code, name in re.findall(r'\$var wire 1 (\S+) (\w+) \$end', text))
assert sorted(ids) == ['TCK', 'TDI', 'TDO', 'TMS', 'VPP'], ids
name_of = dict((code, name) for name, code in ids.items())
level = dict.fromkeys(ids, 0)
nxt = {'reset': ('idle', 'reset'), 'idle': ('idle', 'seldr'), 'seldr': ('capdr', 'selir'), 'capdr': ('shdr', 'ex1dr'),
       'shdr': ('shdr', 'ex1dr'), 'ex1dr': ('pausedr', 'updr'), 'pausedr': ('pausedr', 'ex2dr'), 'ex2dr': ('shdr', 'updr'),
       'updr': ('idle', 'seldr'), 'selir': ('capir', 'reset'), 'capir': ('shir', 'ex1ir'), 'shir': ('shir', 'ex1ir'),
       'ex1ir': ('pauseir', 'upir'), 'pauseir': ('pauseir', 'ex2ir'), 'ex2ir': ('shir', 'upir'), 'upir': ('idle', 'seldr')}
state, shifted, scans, edges = 'reset', [], [], 0
for line in text.split('$enddefinitions', 1)[1].splitlines():
    m = re.match(r'^([01xz])(\S+)$', line.strip())
    if not m or m.group(2) not in name_of:
        continue
    name, value = name_of[m.group(2)], int(m.group(1) == '1')
    if name == 'TCK' and value and not level['TCK']:
        edges += 1
        if state in ('shir', 'shdr'):
            shifted.append((level['TDI'], level['TDO']))
        was = state
        state = nxt[state][level['TMS']]
        if was in ('shir', 'shdr') and state != was:
            scans.append((was, shifted))
            shifted = []
    level[name] = value
value = lambda bits, k: sum(b[k] << i for i, b in enumerate(bits))
ir, dr = scans[0], scans[1]
assert ir[0] == 'shir' and len(ir[1]) == 10 and value(ir[1], 0) == 0x059, ir
assert dr[0] == 'shdr' and len(dr[1]) == 32 and value(dr[1], 1) == 0x0150403F, hex(value(dr[1], 1))
print('%d TCK edges, %d scans' % (edges, len(scans)))
# Every row of the ATF1504AS (213 of 166 bits) was read.
rows = sum(1 for kind, bits in scans if kind == 'shdr' and len(bits) == 166)
assert rows >= 213, rows
PY
    ;;
cli_boot)
    # A Nano resets when the port opens: vrjtag-cli waits out its bootloader
    # by default; without the wait the identification is lost and nothing is erased.
    start_fw ATF1504AS --load "$S1504" --reset-on-open
    timeout 120 "$BIN/vrjtag-cli" --port "$LINK" verify "$S1504" > "$WORK/cli.out" 2>&1 || fail "default boot wait: $(tail -n 2 "$WORK/cli.out")"
    [ "$(tail -n 1 "$WORK/cli.out")" = 'VERIFY SUCCESS' ] || fail "default boot wait: $(tail -n 1 "$WORK/cli.out")"
    timeout 120 "$BIN/vrjtag-cli" --port "$LINK" --boot-wait 0 write "$S1504" > "$WORK/cli.out" 2>&1 && fail "no boot wait: exit 0"
    [ "$(tail -n 1 "$WORK/cli.out")" = 'Programmer not responding, abort' ] || fail "no boot wait: $(tail -n 1 "$WORK/cli.out")"
    stop_fw
    grep -q '^erase' "$WORK/fw.log" && fail "erased"
    waits_kept
    ;;
cancel)
    start_fw ATF1504AS
    run_headless 'tick 212' 'press 216' "choose $S1504" 'wait 1010 page 3' 'press 1012'
    [ "$BOX" = 'Abort requested...write not finished.' ] || fail "final box: $BOX"
    stop_fw
    grep -q '^program 200' "$WORK/fw.log" && fail "read protection programmed after a cancel"
    waits_kept
    ;;
no_power)
    refused unpowered ATF1504AS --target-mv 0
    ;;
target_3v3)
    # An ATF1504ASV at 3.3 V: without the strap nothing is driven, identified
    # or erased; with it (translators fitted) a write succeeds.
    refused "no strap" ATF1504ASV --target-mv 3300
    start_fw ATF1504ASV --target-mv 3300 --strap
    run_headless 'tick 211' 'press 216' "choose $S1504"
    [ "$BOX" = 'WRITE & VERIFY SUCCESS' ] || fail "strap: final box: $BOX"
    stop_fw
    waits_kept
    ;;
nano_low)
    # The Nano's own supply at 4.0 V (below what a USB port gives): nothing is driven or erased.
    refused "Nano at 4.0 V" ATF1504AS --nano-mv 4000
    ;;
tdo_delay)
    # TDO 800 ns late (a level shifter, a cable): write, verify and read still pass.
    start_fw ATF1504AS --tdo-delay-ns 800
    run_headless 'tick 211' 'press 216' "choose $S1504"
    [ "$BOX" = 'WRITE & VERIFY SUCCESS' ] || fail "write: final box: $BOX"
    stop_fw
    waits_kept
    cp "$WORK/chip.jed" "$WORK/written.jed"
    start_fw ATF1504AS --tdo-delay-ns 800 --load "$WORK/written.jed"
    run_headless 'tick 214' 'press 216' "choose $S1504"
    [ "$BOX" = 'VERIFY SUCCESS' ] || fail "verify: final box: $BOX"
    run_headless 'tick 213' 'press 216' "choose $WORK/back.jed"
    [ "$BOX" = 'READ & SAVE SUCCESS' ] || fail "read: final box: $BOX"
    stop_fw
    cmp "$WORK/back.jed" "$WORK/chip.jed" || fail "READ output differs from the chip"
    ;;
silence | frame_error)
    # A host that identifies and erases, then falls silent without its
    # release: 5 s later the firmware leaves programming mode and releases
    # the pins. A write whose line had a framing error is not carried out.
    line='#8W300d1234e\r'
    if [ "$1" = frame_error ]; then start_fw ATF1504AS --frame-error 14; else start_fw ATF1504AS; fi
    python3 - "$LINK" "$line" <<'PY' || fail "the scripted host failed"
import os, sys, termios, time, tty
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
tty.setraw(fd)
def say(text, wait):
    os.write(fd, text.encode())
    time.sleep(wait)
say("#84\r", 0.3)
say("#8E\r", 0.6)
line = sys.argv[2].replace("\\r", "\r")
say(line, 0.3)  # bytes 9 to 21: byte 14 is inside the line
say(line, 0.3)
time.sleep(2.5)  # in programming mode, silent
os.close(fd)
PY
    grep -q '^leave programming mode' "$WORK/fw.log" && fail "left programming mode before 5 s of silence"
    sleep 3
    stop_fw
    grep -q '^erase$' "$WORK/fw.log" || fail "not erased"
    programs=$(grep -c '^program 300' "$WORK/fw.log")
    [ "$1" = frame_error ] && want=1 || want=2
    [ "$programs" = $want ] || fail "$programs writes of word 300 carried out, not $want"
    [ "$(grep -v '^[0-9.]* \(in\|out\) ' "$WORK/fw.log" | grep -v '^jtag\|^[0-9.]* jtag' | tail -n 1)" = 'leave programming mode' ] ||
        fail "programming mode not left after the silence: $(tail -n 3 "$WORK/fw.log")"
    tail -n 1 "$WORK/fw.log" | grep -q 'jtag pins released' || fail "the pins were not released: $(tail -n 2 "$WORK/fw.log")"
    ;;
*) fail "unknown case $1" ;;
esac
echo "ok: $1"
