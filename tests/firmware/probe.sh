#!/usr/bin/env bash
# The Nano firmware in probe mode, in simavr: vrjtag-cli --probe nano and
# OpenOCD's buspirate driver drive the pins of the firmware, which reach the
# JTAG-level chip model; the model checks every wait.
# usage: probe.sh CASE (BIN, DATA and FIRMWARE set by CTest)
. "$(dirname "$0")/../road.sh"
. "$(dirname "$0")/../jtag/family.sh"
[ -x "$BIN/vrjtag-firmware-sim" ] || { echo "vrjtag-firmware-sim was not built (simavr missing)"; exit 77; }
[ -f "$FIRMWARE" ] || { echo "the firmware was not built (avr-g++ missing)"; exit 77; }

# start_fw NAME DEVICE [options]: the firmware on $LINK, the model saving to
# $WORK/NAME.jed and logging (with every byte on the line) to $WORK/NAME.log.
start_fw() {
    local name=$1 dev=$2
    shift 2
    rm -f "$LINK"
    "$BIN/vrjtag-firmware-sim" --device "$dev" --save "$WORK/$name.jed" --log "$WORK/$name.log" "$@" "$FIRMWARE" "$LINK" \
        > "$WORK/$name.fw" 2>&1 &
    FW_PID=$!
    PIDS+=("$FW_PID")
    for _ in $(seq 100); do [ -L "$LINK" ] && return 0; sleep 0.05; done
    fail "vrjtag-firmware-sim did not start: $(cat "$WORK/$name.fw")"
}
# stop_fw NAME: exit status 3 means pins were driven into an unsafe target.
stop_fw() {
    kill -TERM "$FW_PID" 2> /dev/null
    wait "$FW_PID" || fail "$1: vrjtag-firmware-sim failed: $(tail -n 3 "$WORK/$1.fw")"
    PIDS=()
    ! grep -q 'refused' "$WORK/$1.log" || fail "$1: the model refused: $(grep refused "$WORK/$1.log" | head -3)"
}
cli() {
    local name=$1
    shift
    timeout 600 "$BIN/vrjtag-cli" --probe nano --port "$LINK" --boot-wait 0 "$@" > "$WORK/$name.out" 2> "$WORK/$name.err"
    RC=$?
    LAST=$(tail -n 1 "$WORK/$name.out")
}

# step NAME DEVICE [options] -- CLI ARGS...: a fresh firmware and model, one
# vrjtag-cli run through probe mode. In probe mode the host times the waits
# (the host-wait rule), so the model demands the chip maker's own figures.
step() {
    local name=$1 dev=$2 opts=()
    shift 2
    while [ "$1" != -- ]; do opts+=("$1"); shift; done
    shift
    start_fw "$name" "$dev" "${opts[@]}"
    cli "$name" "$@"
    stop_fw "$name"
}

# unsafe NAME DEVICE WHY [options]: a write refused before anything was
# driven, identified or erased, with WHY in the message.
unsafe() {
    local name=$1 dev=$2 why=$3
    shift 3
    step "$name" "$dev" "$@" -- write "$(design "$dev")"
    [ "$RC" = 1 ] || fail "$name: exit $RC"
    grep -q "$why" "$WORK/$name.out" "$WORK/$name.err" || fail "$name: no word of '$why': $LAST $(cat "$WORK/$name.err")"
    ! grep -q 'jtag pins driven\|^enter\|^erase\|^program' "$WORK/$name.log" || fail "$name: the chip was driven or worked on"
}

case $1 in
family_*)
    family_round "$(echo "${1#family_}" | tr a-z A-Z)"
    ;;
openocd)
    # OpenOCD's buspirate driver plays the chip maker's SVF file through the
    # firmware; leaving probe mode returns the Nano to the adapter protocol,
    # through which the chip then verifies.
    start_fw svf ATF1504AS
    timeout 600 openocd -f interface/buspirate.cfg -c "buspirate port $LINK" -f "$SRC/packaging/openocd/atf15xx.cfg" \
        -c "gdb_port disabled; telnet_port disabled; tcl_port disabled; init" \
        -c "if {[catch {svf -tap atf15xx.tap -quiet {$DATA/jtag/atf1504as-neogeo-plcc44.svf}} msg]} {echo \"svf failed: \$msg\"} else {echo \$msg}" \
        -c shutdown > "$WORK/openocd.out" 2>&1 || fail "openocd failed: $(tail -n 5 "$WORK/openocd.out")"
    grep -q 'svf file programmed successfully for [0-9]* commands with 0 errors' "$WORK/openocd.out" ||
        fail "the SVF file did not play: $(grep -m 3 -i error "$WORK/openocd.out")"
    timeout 120 "$BIN/vrjtag-cli" --port "$LINK" --boot-wait 0 verify "$DATA/jtag/atf1504as-neogeo-plcc44.jed" > "$WORK/verify.out" 2>&1
    [ "$(tail -n 1 "$WORK/verify.out")" = 'VERIFY SUCCESS' ] || fail "verify through the adapter protocol: $(tail -n 2 "$WORK/verify.out")"
    stop_fw svf
    holds svf "$DATA/jtag/atf1504as-neogeo-plcc44.jed"
    ;;
safety)
    # No target supply, a 3.3 V target without translators, a Nano on a
    # sagging supply: nothing is driven; with the strap the 3.3 V part is
    # written; a late TDO is read right.
    unsafe unpowered ATF1504AS 'no target supply' --target-mv 0
    unsafe no_strap ATF1504ASV 'level translators' --target-mv 3300
    unsafe nano_low ATF1504AS "Nano's own supply" --nano-mv 4000
    # A USB-powered Nano a little low and a 5 V board sagging: still written.
    step usb ATF1504AS --nano-mv 4400 --target-mv 4300 -- write "$(design ATF1504AS)"
    expect 0 'WRITE & VERIFY SUCCESS' usb
    step strap ATF1504ASV --target-mv 3300 --strap -- write "$(design ATF1504ASV)"
    expect 0 'WRITE & VERIFY SUCCESS' strap
    # TDO 800 ns late (a level shifter, a cable): still read right.
    step late ATF1504AS --tdo-delay-ns 800 -- write "$(design ATF1504AS)"
    expect 0 'WRITE & VERIFY SUCCESS' late
    ;;
lost)
    # A byte damaged on the line in the middle of a write: the firmware
    # stops reading commands and releases the pins; the run fails. After
    # 5 s of silence the Nano speaks the adapter protocol again, and a new
    # probe-mode run erases the chip.
    start_fw lost ATF1504AS --frame-error 3000
    cli lost write "$(design ATF1504AS)"
    [ "$RC" = 1 ] || fail "the damaged write ended with exit $RC: $LAST"
    sleep 6
    [[ "$(grep 'jtag pins' "$WORK/lost.log" | tail -n 1)" == *released ]] || fail "the pins were not released: $(tail -n 2 "$WORK/lost.log")"
    cli again erase
    expect 0 'ERASE SUCCESS' again
    stop_fw lost
    ;;
recover)
    # A design that turned the JTAG pins off: ordinary runs cannot reach the
    # chip (their failure names recover); recover brings it back and writes
    # the file, VHH on only while the chip is identified and erased.
    file=$(design ATF1504AS)
    jtag_off "$file" "$WORK/off.jed"
    start_fw off ATF1504AS --load "$WORK/off.jed"
    cli write write "$file"
    [ "$RC" = 1 ] && grep -q 'vrjtag-cli recover --device PART' "$WORK/write.out" || fail "write: exit $RC, $LAST"
    cli scan scan
    [ "$RC" = 1 ] && grep -q 'recover' "$WORK/scan.out" || fail "scan: exit $RC, $(cat "$WORK/scan.out")"
    # From here on every run is a recovery: 12 V before any pin.
    from=$(( $(log_lines off) + 1 ))
    cli wrong recover --device ATF1508AS
    [ "$RC" = 1 ] && [[ "$LAST" == *'not the ATF1508AS named by --device: nothing was erased'* ]] || fail "wrong part: $LAST"
    cli offfile recover --device ATF1504AS "$WORK/off.jed"
    [ "$RC" = 1 ] && [[ "$LAST" == *"turns the chip's JTAG pins off"* ]] || fail "a JTAG-off file: $LAST"
    grep -q '^erase' "$WORK/off.log" && fail "erased before the recovery"
    cli recover recover --device ATF1504AS "$file"
    expect 0 'WRITE & VERIFY SUCCESS' recover
    stop_fw off
    no_fault off "$from"
    holds off "$file"
    vhh_only_for_erase off 2  # the wrong part's identification, then the recovery
    [ "$(grep -c '^erase$' "$WORK/off.log")" = 2 ] || fail "not erased once by the recovery and once by the write"
    ;;
recover_protected)
    # Read protection set as well: recover erases the chip all the same.
    jtag_off "$(design ATF1508AS)" "$WORK/locked_in.jed" protect
    "$BIN/vrjtag-jed" inspect "$WORK/locked_in.jed" | grep -qi 'read protection' || fail "the file is not read-protected"
    step locked ATF1508AS --load "$WORK/locked_in.jed" -- recover --device ATF1508AS
    expect 0 'RECOVER SUCCESS' locked
    no_fault locked
    vhh_only_for_erase locked 1
    ;;
recover_interrupted)
    # Ctrl-C while VHH is on: the run ends with VHH off at once. A host
    # killed while VHH is on: the firmware turns it off after 5 s of silence.
    jtag_off "$(design ATF1504AS)" "$WORK/off.jed"
    for how in INT KILL; do
        start_fw "$how" ATF1504AS --load "$WORK/off.jed"
        # No timeout wrapper: the signal must reach vrjtag-cli itself.
        "$BIN/vrjtag-cli" --probe nano --port "$LINK" --boot-wait 0 recover --device ATF1504AS > "$WORK/$how.out" 2>&1 &
        host=$!
        for _ in $(seq 200); do grep -q 'vpp on' "$WORK/$how.log" && break; sleep 0.01; done
        grep -q 'vpp on' "$WORK/$how.log" || fail "$how: VPP never came on"
        kill -"$how" "$host"
        wait "$host"
        [ "$how" = INT ] && sleep 1 || sleep 6
        [[ "$(grep '^VHH' "$WORK/$how.log" | tail -n 1)" == 'VHH off'* ]] || fail "$how: VHH still on: $(tail -n 3 "$WORK/$how.log")"
        stop_fw "$how"
    done
    ;;
rbb)
    # The chip played by vrjtag-chip-model over remote_bitbang (VPP as SRST):
    # a chip whose design turned JTAG off is recovered and written.
    file=$(design ATF1504AS)
    jtag_off "$file" "$WORK/off.jed"
    "$BIN/vrjtag-chip-model" --device ATF1504AS --port 0 --load "$WORK/off.jed" --save "$WORK/model.jed" \
        --log "$WORK/model.log" > "$WORK/model.out" 2>&1 &
    model=$!
    PIDS+=("$model")
    for _ in $(seq 100); do grep -q '^listening on' "$WORK/model.out" && break; sleep 0.05; done
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$WORK/model.out")
    start_fw rbb ATF1504AS --rbb "127.0.0.1:$port"
    cli blocked write "$file"
    [ "$RC" = 1 ] || fail "a write reached a chip whose JTAG pins are off: $LAST"
    from=$(( $(log_lines model) + 1 ))
    cli recover recover --device ATF1504AS "$file"
    expect 0 'WRITE & VERIFY SUCCESS' recover
    stop_fw rbb
    wait "$model" || fail "the chip model failed"
    no_fault model "$from"
    holds model "$file"
    vhh_only_for_erase model 1
    ;;
stall)
    # A host that stalls 6 s in the middle of a shift, then sends what a
    # decoder out of step would run (VPP's key, a shift): nothing answered,
    # VPP never on, the pins left released.
    start_fw stall ATF1504AS
    python3 "$SRC/tests/firmware/stall.py" "$LINK" 6 > "$WORK/stall.out" 2>&1 || fail "$(cat "$WORK/stall.out")"
    stop_fw stall
    ! grep -q 'vpp on' "$WORK/stall.log" || fail "VPP came on"
    [[ "$(grep 'jtag pins' "$WORK/stall.log" | tail -n 1)" == *released ]] || fail "the pins were driven again"
    ;;
dip)
    # The target's supply gone from A4 for 150 ms in the middle of a write:
    # the Nano releases the pins and never drives them again unasked; the
    # write fails, saying why.
    step dip ATF1504AS --target-dip 3000:150 -- write "$(design ATF1504AS)"
    [ "$RC" = 1 ] || fail "the write through a supply dip ended with exit $RC: $LAST"
    grep -q 'released the JTAG pins' "$WORK/dip.out" "$WORK/dip.err" || fail "no reason given: $LAST $(cat "$WORK/dip.err")"
    grep -q 'target supply dips' "$WORK/dip.log" || fail "the supply never dipped"
    ;;
killed)
    # A host killed in the middle of a write: after 5 s of silence the Nano,
    # armed by the host, takes the chip out of programming mode itself.
    start_fw killed ATF1504AS
    # No timeout wrapper: the KILL must reach vrjtag-cli itself.
    "$BIN/vrjtag-cli" --probe nano --port "$LINK" --boot-wait 0 write "$(design ATF1504AS)" > "$WORK/killed.out" 2>&1 &
    host=$!
    for _ in $(seq 600); do grep -q '^program' "$WORK/killed.log" && break; sleep 0.05; done
    grep -q '^program' "$WORK/killed.log" || fail "the write never programmed a word"
    kill -KILL "$host"
    wait "$host"
    sleep 7
    stop_fw killed
    last=$(grep -E '^(enter|leave) programming mode' "$WORK/killed.log" | tail -n 1)
    [ "$last" = 'leave programming mode' ] || fail "the chip was left in programming mode: $last"
    ;;
flip)
    # A bit changed on the line (a valid frame) in either direction during
    # a READ: caught by the CRC; never a wrong file. A changed reply byte
    # (the Nano did what was sent) has its batch of words read again: the
    # READ succeeds.
    for way in in out; do
        start_fw "flip_$way" ATF1504AS --load "$(design ATF1504AS)" "--flip-$way" 5000
        cli "read_$way" read "$WORK/read_$way.jed"
        stop_fw "flip_$way"
        [ "$way" = in ] || [ "$RC" = 0 ] || fail "out: the READ was not read again: $LAST"
        if [ "$RC" = 0 ]; then
            "$BIN/vrjtag-jed" diff "$(design ATF1504AS)" "$WORK/read_$way.jed" > /dev/null || fail "$way: a wrong file was saved"
        else
            # A changed reply byte is caught by its CRC; a changed command
            # byte may leave the Nano waiting for bytes that never come.
            [ ! -e "$WORK/read_$way.jed" ] || fail "$way: a failed READ left a file"
            [ "$way" = in ] || grep -q 'CRC' "$WORK/read_$way.out" "$WORK/read_$way.err" || fail "$way: not caught by the CRC: $LAST"
        fi
    done
    ;;
window)
    # The windowed program on the Nano in probe mode: jtag.ini reads
    # probe=nano:PATH (with the Nano's boot wait, which the simulator does
    # not need but a real Nano does).
    printf 'probe=nano:%s\r\ndevice=ATF1504AS\r\n' "$LINK" > "$XDG_CONFIG_HOME/varnholme/jtag.ini"
    start_fw window ATF1504AS
    run_headless 'tick 211' 'press 216' "choose $(design ATF1504AS)"
    stop_fw window
    [ "$BOX" = 'WRITE & VERIFY SUCCESS' ] || fail "final box: $BOX"
    holds window "$(design ATF1504AS)"
    ;;
openocd_pause)
    # OpenOCD pausing 6 s between an irscan and a drscan: the Nano released
    # the pins, and the drscan ends in an error, not in a silent re-drive.
    start_fw pause ATF1504AS
    timeout 120 openocd -f interface/buspirate.cfg -c "buspirate port $LINK" -f "$SRC/packaging/openocd/atf15xx.cfg" \
        -c "gdb_port disabled; telnet_port disabled; tcl_port disabled; init" \
        -c "irscan atf15xx.tap 0x059" -c "sleep 6000" \
        -c "if {[catch {drscan atf15xx.tap 32 0} msg]} {echo \"drscan failed: \$msg\"} else {echo \"drscan gave \$msg\"}" \
        -c shutdown > "$WORK/pause.out" 2>&1
    stop_fw pause
    grep -q 'drscan failed' "$WORK/pause.out" || fail "the drscan after the pause: $(grep drscan "$WORK/pause.out")"
    ;;
*) fail "unknown case $1" ;;
esac
echo "ok: $1"
