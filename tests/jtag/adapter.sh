#!/usr/bin/env bash
# vrjtag-headless -> pseudo-terminal -> vrjtag-adapter -> openocd over
# remote_bitbang -> vrjtag-chip-model: the whole road to a chip, no hardware.
# usage: adapter.sh CASE (BIN, SRC and DATA set by CTest)
. "$(dirname "$0")/lib.sh"
N1504=$DATA/jtag/atf1504as-neogeo-plcc44.jed
S1508=$DATA/atf1508as-harrowm-Simple030-rosco.jed
S1504=$DATA/atf1504as-harrowm-rosco_verilog-CPUglue.jed

# start_road DEVICE [model options]: the model, OpenOCD connected to it and
# vrjtag-adapter on OpenOCD's Tcl server.
start_road() {
    DEV=$1
    shift
    start_model chip "$DEV" "$@"
    start_openocd
    start_adapter --openocd "127.0.0.1:$OCD_PORT"
}

sample() { [ "$1" = ATF1504AS ] && echo "$N1504" || echo "$S1508"; }

write_case() {
    local action=$2 file
    file=$(sample "$1")
    start_road "$1"
    grep -q "$DEV found (IDCODE" "$WORK/adapter.out" || fail "start line: $(cat "$WORK/adapter.out")"
    run_headless "tick $action" 'press 216' "choose $file"
    [ "$BOX" = 'WRITE & VERIFY SUCCESS' ] || fail "final box: $BOX"
    stop_all
    check_map "$file" "$([ "$action" = 212 ] && echo 1 || echo 0)"
}

check_map() { model_holds "$1" "$2" "$WORK/chip.log"; }

case $1 in
write_1504) write_case ATF1504AS 211 ;;
write_1508) write_case ATF1508AS 211 ;;
secure_1504 | secure_1508)
    [ "$1" = secure_1504 ] && dev=ATF1504AS || dev=ATF1508AS
    write_case "$dev" 212
    grep -qx 'read protection set' "$WORK/adapter.out" || fail "the adapter did not say read protection set"
    # The bit last and alone: the final program is word 200 with 7.
    [ "$(grep '^program' "$WORK/chip.log" | tail -n 1)" = 'program 200 7' ] || fail "read protection not last"
    ;;
verify_1504 | verify_1508 | read_1504 | read_1508)
    [ "${1#*_}" = 1504 ] && DEV=ATF1504AS || DEV=ATF1508AS
    file=$( [ $DEV = ATF1504AS ] && echo "$S1504" || echo "$S1508")
    start_road "$DEV" --load "$file"
    if [ "${1%_*}" = verify ]; then
        run_headless 'tick 214' 'press 216' "choose $file"
        [ "$BOX" = 'VERIFY SUCCESS' ] || fail "final box: $BOX"
    else
        run_headless 'tick 213' 'press 216' "choose $WORK/back.jed"
        [ "$BOX" = 'READ & SAVE SUCCESS' ] || fail "final box: $BOX"
    fi
    stop_all
    grep -q '^erase' "$WORK/chip.log" && fail "erased on a ${1%_*}"
    grep -q '^program' "$WORK/chip.log" && fail "programmed on a ${1%_*}"
    # What READ wrote is what the JEDEC writer gives for the chip.
    if [ "${1%_*}" = read ]; then cmp "$WORK/back.jed" "$WORK/chip.jed" || fail "READ output differs from the chip"; fi
    ;;
secure_cancelled)
    start_road ATF1504AS
    run_headless 'tick 212' 'press 216' "choose $N1504" 'wait 1010 page 3' 'press 1012'
    [ "$BOX" = 'Abort requested...write not finished.' ] || fail "final box: $BOX"
    stop_all
    grep -q '^program 200' "$WORK/chip.log" && fail "read protection programmed after a cancel"
    grep -q 'read protection NOT set' "$WORK/adapter.out" || fail "the adapter did not say why"
    ;;
no_chip)
    # Another chip, the family's ATF1502AS, which the protocol does not
    # serve, and a silent line (a chip whose design turned its JTAG pins off
    # looks so): no identification reply, nothing erased, the console says
    # why (for the silent line: recover).
    for c in "--idcode 0150603F|IDCODE 0x0150603F: not an ATF1502AS/ATF1504AS/ATF1508AS (an Atmel-like" \
             "--tdo-stuck 1|vrjtag-cli recover --device PART brings it back" \
             "--device ATF1502AS|ATF1502AS found (IDCODE 0x0150203F): not programmable through vrjtag's adapter protocol; program it on the direct route (vrjtag-cli --probe)"; do
        IFS='|' read -r opt text <<< "$c"
        if [ "${opt#--device}" != "$opt" ]; then start_road ATF1502AS; else start_road ATF1508AS $opt; fi
        grep -qF "$text" "$WORK/adapter.out" || fail "start line: $(cat "$WORK/adapter.out")"
        run_headless 'tick 211' 'press 216' "choose $S1508"
        [ "$BOX" = 'Programmer not responding, abort' ] || fail "final box: $BOX"
        stop_all
        grep -q '^erase' "$WORK/chip.log" && fail "erased a chip that was not identified"
        [ "$(grep -cF "$text" "$WORK/adapter.out")" -ge 2 ] || fail "the failed identification was not printed"
        PIDS=()
    done
    ;;
second_device)
    # An undeclared device on the chain, before and after the chip: OpenOCD
    # starts anyway, but no identification is answered and nothing is erased.
    for where in --chain-extra --chain-extra-after; do
        start_road ATF1504AS "$where" 6
        grep -q 'another device on the chain' "$WORK/adapter.out" || fail "$where: start line: $(cat "$WORK/adapter.out")"
        run_headless 'tick 211' 'press 216' "choose $N1504"
        [ "$BOX" = 'Programmer not responding, abort' ] || fail "$where: final box: $BOX"
        stop_all
        grep -q '^erase' "$WORK/chip.log" && fail "$where: erased with another device on the chain"
        grep -q '^program' "$WORK/chip.log" && fail "$where: programmed with another device on the chain"
        PIDS=()
    done
    ;;
cli_probe_fails)
    # OpenOCD cannot use the configuration: exit 1, OpenOCD's reason shown,
    # nothing left running.
    printf 'adapter driver no_such_driver\n' > "$WORK/probe.cfg"
    timeout 60 "$BIN/vrjtag-cli" --probe "$WORK/probe.cfg" verify "$N1504" > "$WORK/cli.out" 2> "$WORK/cli.err"
    rc=$?
    [ $rc = 1 ] || fail "exit status $rc"
    grep -qi 'no_such_driver' "$WORK/cli.err" || fail "OpenOCD's reason not shown: $(cat "$WORK/cli.err")"
    pgrep -f -- "-f $WORK/probe.cfg" > /dev/null && fail "openocd was left running"
    # A profile whose driver this OpenOCD lacks says so before starting it.
    "$BIN/vrjtag-adapter" --probe list > "$WORK/list" || fail "--probe list failed"
    drivers=$(openocd -c 'adapter list' -c shutdown 2>&1 | sed -n 's/^ *[0-9]*: //p')
    while read -r name file driver _; do
        [ -f "/usr/share/openocd/scripts/$file" ] || fail "$name: $file is not in this OpenOCD"
        if ! grep -qx "$driver" <<< "$drivers"; then
            grep "^$name " "$WORK/list" | grep -q 'not usable' || fail "$name: missing driver $driver not said"
            "$BIN/vrjtag-adapter" --probe "$name" "$WORK/link" > "$WORK/p.out" 2>&1 && fail "$name: started without its driver"
            grep -q "without the $driver driver" "$WORK/p.out" || fail "$name: $(cat "$WORK/p.out")"
        fi
    done < "$WORK/list"
    ;;
scan)
    # --scan on one chip, and on a chain that reads all ones.
    start_model chip ATF1508AS
    printf 'adapter driver remote_bitbang\nremote_bitbang host 127.0.0.1\nremote_bitbang port %s\n' "$MODEL_PORT" > "$WORK/probe.cfg"
    "$BIN/vrjtag-adapter" --scan --probe "$WORK/probe.cfg" > "$WORK/scan.out" 2>&1 || fail "one chip: $(cat "$WORK/scan.out")"
    grep -q '^1  atf15xx.tap *IDCODE 0x0150803F  ATF1508AS$' "$WORK/scan.out" || fail "one chip: $(cat "$WORK/scan.out")"
    # The same scan as vrjtag-cli's: the identification and the link test.
    grep -q '^identification: ATF1508AS found' "$WORK/scan.out" && grep -q '^link test: .* 0 bit errors$' "$WORK/scan.out" ||
        fail "one chip: $(cat "$WORK/scan.out")"
    wait_model
    PIDS=()
    start_model chip ATF1508AS --tdo-stuck 1
    printf 'adapter driver remote_bitbang\nremote_bitbang host 127.0.0.1\nremote_bitbang port %s\n' "$MODEL_PORT" > "$WORK/probe.cfg"
    "$BIN/vrjtag-adapter" --scan --probe "$WORK/probe.cfg" > "$WORK/scan.out" 2>&1 && fail "all ones: exit 0"
    grep -q 'all ones' "$WORK/scan.out" && grep -q 'TDI and TDO are not swapped' "$WORK/scan.out" ||
        fail "all ones: $(cat "$WORK/scan.out")"
    ;;
killed_read | killed_write)
    start_road ATF1508AS --load "$S1508"
    if [ "$1" = killed_read ]; then steps=('tick 213' 'press 216' "choose $WORK/back.jed"); at='Reading fuse map'; else
        steps=('tick 211' 'press 216' "choose $S1508"); at='rows 128-223'; fi
    run_headless "${steps[@]}" &
    run=$!
    for i in $(seq 600); do grep -q "$at" "$WORK/transcript" 2> /dev/null && break; sleep 0.1; done
    sleep 1
    kill -9 "$OCD_PID"
    start=$(date +%s)
    wait "$run"
    BOX=$(grep '^WMessageBox' "$WORK/transcript" | cut -f3-)
    [ "$BOX" = 'read fuse map error - com-read timeout' ] || fail "final box: $BOX"
    [ $(($(date +%s) - start)) -lt 60 ] || fail "took too long after OpenOCD went"
    grep -q 'no answer from OpenOCD' "$WORK/adapter.log" || fail "the adapter did not log the lost OpenOCD"
    kill -0 "$ADAPTER_PID" || fail "the adapter died with OpenOCD"
    stop_adapter
    ;;
probe)
    # --probe starts openocd itself: here with a configuration that selects
    # remote_bitbang to the model.
    DEV=ATF1504AS
    start_model chip $DEV --load "$S1504"
    printf 'adapter driver remote_bitbang\nremote_bitbang host 127.0.0.1\nremote_bitbang port %s\n' "$MODEL_PORT" > "$WORK/probe.cfg"
    start_adapter --probe "$WORK/probe.cfg" --speed 20000
    grep -q 'ATF1504AS found (IDCODE 0x0150403F)' "$WORK/adapter.out" || fail "start line: $(cat "$WORK/adapter.out")"
    grep -q '10 MHz' "$WORK/adapter.out" || fail "--speed not capped"
    run_headless 'tick 214' 'press 216' "choose $S1504"
    [ "$BOX" = 'VERIFY SUCCESS' ] || fail "final box: $BOX"
    stop_adapter
    wait_model  # the adapter stopped its openocd, so the model saved and left
    [ -L "$LINK" ] && fail "the link was left behind"
    ;;
erase_reply)
    # Through OpenOCD the erase's "ok" reaches the host in time: the host
    # takes it as the erase's success and goes on (its wait for the reply is
    # the protocol's; how long the reply took is reported, not judged, since
    # a loaded machine may stretch it).
    start_road ATF1504AS
    run_headless 'tick 211' 'press 216' "choose $N1504" 'press 1012'
    stop_all
    awk '$2 == "in" && $3 ~ /#8E/ && !t { t = $1 } $2 == "out" && $3 ~ /^ok/ && t { printf "%.3f\n", $1 - t; exit }' \
        "$WORK/adapter.log" > "$WORK/delay"
    d=$(cat "$WORK/delay")
    [ -n "$d" ] || fail "no erase reply in the log"
    grep -qF 'Erase CPLD failed' "$WORK/transcript" && fail "the host did not take the erase's reply"
    [ "$BOX" = 'Abort requested...write not finished.' ] || fail "final box: $BOX"
    echo "erase reply $d s after #8E"
    ;;
*) fail "unknown case $1" ;;
esac
echo "ok: $1"
