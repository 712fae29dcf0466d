#!/usr/bin/env bash
# The direct route: vrjtag-cli --probe starts OpenOCD, which reaches the chip
# model over remote_bitbang, and runs the programming flow itself; or
# (rbb_*) vrjtag-cli --probe remote_bitbang reaches the model itself, with the
# Nano firmware's TAP engine.
# usage: direct.sh CASE (BIN, SRC and DATA set by CTest)
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/family.sh"

# model_for NAME DEVICE [model options] -- REST...: a fresh model (saving to
# $WORK/NAME.jed, logging to $WORK/NAME.log) and $WORK/probe.cfg, OpenOCD's
# way to it (with PROBE_EXTRA's lines); the arguments after -- in REST.
model_for() {
    local name=$1 dev=$2 opts=()
    shift 2
    while [ "$1" != -- ]; do opts+=("$1"); shift; done
    shift
    start_model "$name" "$dev" "${opts[@]}"
    REST=("$@")
    printf 'adapter driver remote_bitbang\nremote_bitbang host 127.0.0.1\nremote_bitbang port %s\n%s\n' "$MODEL_PORT" \
        "${PROBE_EXTRA:-}" > "$WORK/probe.cfg"
}

# step NAME DEVICE [model options] -- CLI ARGS...: model_for's model, one
# vrjtag-cli run on it, the model stopped again. Sets RC and LAST (the final line).
step() {
    local name=$1
    model_for "$@"
    set -- "${REST[@]}"
    if [ "${ROUTE:-}" = rbb ]; then
        # No OpenOCD: vrjtag-cli is the model's remote_bitbang client itself.
        timeout 300 "$BIN/vrjtag-cli" --probe remote_bitbang --port "127.0.0.1:$MODEL_PORT" "$@" \
            > "$WORK/$name.out" 2> "$WORK/$name.err"
        RC=$?
    else
        timeout 300 "$BIN/vrjtag-cli" --probe "$WORK/probe.cfg" "$@" > "$WORK/$name.out" 2> "$WORK/$name.err"
        RC=$?
    fi
    LAST=$(tail -n 1 "$WORK/$name.out")
    # OpenOCD must be gone: the model ends only when its client has left.
    pgrep -f -- "-f $WORK/probe.cfg" > /dev/null && fail "$name: openocd left running"
    wait_model
    PIDS=()
}

# window NAME DEVICE [model options] -- OPERATOR LINES...: model_for's model,
# one run of the windowed program (vrjtag-headless) with jtag.ini reading
# probe=CONFIG (OpenOCD into the model), the model stopped again. Sets BOX
# (the final message box's text).
window() {
    local name=$1
    model_for "$@"
    set -- "${REST[@]}"
    mkdir -p "$WORK/cfg/varnholme"
    printf 'probe=%s\r\n' "$WORK/probe.cfg" > "$WORK/cfg/varnholme/jtag.ini"
    printf '%s\n' "$@" > "$WORK/operator"
    XDG_CONFIG_HOME=$WORK/cfg VRJTAG_OPERATOR=$WORK/operator VRJTAG_TRANSCRIPT=$WORK/$name.transcript \
        timeout 300 "$BIN/vrjtag-headless" > "$WORK/$name.out" 2> "$WORK/$name.err" || fail "$name: vrjtag-headless failed or hung"
    BOX=$(grep '^WMessageBox' "$WORK/$name.transcript" | cut -f3-)
    pgrep -f -- "-f $WORK/probe.cfg" > /dev/null && fail "$name: openocd left running"
    wait_model
    PIDS=()
}

case $1 in
svf_input)
    # The chip maker's SVF files as the files of write and verify: what they
    # program is the design; an SVF that is no programming sequence is
    # refused before anything reaches the chip.
    V=$DATA/jtag
    step svfw ATF1504AS -- write "$V/atf1504as-neogeo-plcc44.svf"
    expect 0 'WRITE & VERIFY SUCCESS' svfw
    grep -q 'from SVF: ATF1504AS, 216 words programmed, read protection: no' "$WORK/svfw.out" || fail "svfw: $(cat "$WORK/svfw.out")"
    holds svfw "$V/atf1504as-neogeo-plcc44.jed"
    step svfv ATF1502AS --load "$V/atf1502as-snes-dejitter-a.jed" -- verify "$V/atf1502as-snes-dejitter-a.svf"
    expect 0 'VERIFY SUCCESS' svfv
    step svfbad ATF1504AS --load "$V/atf1504as-neogeo-plcc44.jed" -- write "$V/atf1504as-erase.svf"
    expect 1 'SVF file refused: the file programs no word of the chip, abort' svfbad
    never svfbad '^enter\|^erase\|^program' 'a refused SVF reached the chip'
    # The SVF's part is the part the chip must be.
    step svfpart ATF1504ASV -- write "$V/atf1504as-neogeo-plcc44.svf"
    expect 1 'ATF1504ASV found, not the ATF1504AS the SVF file is for: nothing was erased, abort' svfpart
    never svfpart '^erase\|^program' 'erased a part the SVF is not for'
    # Our XSVF of a design is a design too.
    "$BIN/vrjtag-jed" xsvf write --device ATF1502ASV "$V/atf1502asv-multi-function.jed" "$WORK/m.xsvf" || fail "xsvf failed"
    step xsvfw ATF1502ASV -- write "$WORK/m.xsvf"
    expect 0 'WRITE & VERIFY SUCCESS' xsvfw
    grep -q 'from XSVF: ATF1502ASV, ' "$WORK/xsvfw.out" || fail "xsvfw: $(cat "$WORK/xsvfw.out")"
    holds xsvfw "$V/atf1502asv-multi-function.jed"
    ;;
window)
    # The windowed program on the direct route, with today's controls (the
    # four boxes 211-214, Continue 216) and final texts, for parts the
    # adapter protocol cannot reach; Cancel during a write leaves
    # programming mode.
    f1504=$(design ATF1504AS) f1508=$(design ATF1508AS) f1502=$(design ATF1502AS)
    window w1504 ATF1504AS -- 'tick 211' 'press 216' "choose $f1504"
    [ "$BOX" = 'WRITE & VERIFY SUCCESS' ] || fail "write 1504: $BOX"
    holds w1504 "$f1504"
    window w1502 ATF1502AS -- 'tick 211' 'press 216' "choose $f1502"
    [ "$BOX" = 'WRITE & VERIFY SUCCESS' ] || fail "write 1502: $BOX"
    grep -q $'^WDialogPutString\t1009\tATF1502AS (5 V) found' "$WORK/w1502.transcript" || fail "the chip not named with its voltage"
    holds w1502 "$f1502"
    window v1508 ATF1508AS --load "$f1508" -- 'tick 214' 'press 216' "choose $f1508"
    [ "$BOX" = 'VERIFY SUCCESS' ] || fail "verify 1508: $BOX"
    # The file dialog lists SVF files too, and takes one.
    window wsvf ATF1502AS -- 'tick 211' 'press 216' "choose $DATA/jtag/atf1502as-snes-dejitter-b.svf"
    [ "$BOX" = 'WRITE & VERIFY SUCCESS' ] || fail "write svf: $BOX"
    grep -q '^WSelectFile.*\*\.jed;\*\.svf' "$WORK/wsvf.transcript" || fail "no *.svf in the file dialog"
    holds wsvf "$DATA/jtag/atf1502as-snes-dejitter-b.jed"
    window r1504 ATF1504AS --load "$f1504" -- 'tick 213' 'press 216' "choose $WORK/back.jed"
    [ "$BOX" = 'READ & SAVE SUCCESS' ] || fail "read 1504: $BOX"
    "$BIN/vrjtag-jed" diff "$f1504" "$WORK/back.jed" > /dev/null || fail "read 1504: the file is not the chip"
    window s1504 ATF1504AS -- 'tick 212' 'press 216' "choose $f1504"
    [ "$BOX" = 'WRITE & VERIFY SUCCESS' ] || fail "secure 1504: $BOX"
    [ "$(grep '^program' "$WORK/s1504.log" | tail -n 1)" = 'program 200 7' ] || fail "secure 1504: no read protection last"
    window cancel ATF1504AS -- 'tick 211' 'press 216' "choose $f1504" 'wait 1010 Writing' 'press 1012'
    [ "$BOX" = 'Abort requested...write not finished.' ] || fail "cancel: $BOX"
    never cancel '^program 200' 'word 200 programmed after Cancel'
    [ "$(tail -n 1 "$WORK/cancel.log")" = 'leave programming mode' ] || fail "cancel: programming mode not left"
    # Erase (asked first) and blank check need no file; RECOVER is offered
    # only with a 12 V switch.
    window e1504 ATF1504AS --load "$f1504" -- 'tick 217' 'press 216' 'answer yes'
    [ "$BOX" = 'ERASE SUCCESS' ] || fail "erase 1504: $BOX"
    [ "$("$BIN/vrjtag-jed" inspect "$WORK/e1504.jed" | sed -n 's/^fuses at 0: //p')" = 6 ] || fail "erase 1504: not blank"
    # Answered no, the probe is never opened (here a port nothing listens on).
    printf 'probe=remote_bitbang:127.0.0.1:1\r\n' > "$WORK/cfg/varnholme/jtag.ini"
    printf 'tick 217\npress 216\nanswer no\n' > "$WORK/operator"
    XDG_CONFIG_HOME=$WORK/cfg VRJTAG_OPERATOR=$WORK/operator VRJTAG_TRANSCRIPT=$WORK/no.transcript \
        timeout 60 "$BIN/vrjtag-headless" > /dev/null 2>&1
    grep -q $'^WMessageBox\t.*\tAction Cancelled...exiting' "$WORK/no.transcript" ||
        fail "erase answered no: $(grep WMessageBox "$WORK/no.transcript")"
    window b1508 ATF1508AS -- 'tick 218' 'press 216'
    [ "$BOX" = 'BLANK CHECK SUCCESS' ] || fail "blank 1508: $BOX"
    grep -q $'^field\t219\t3' "$WORK/b1508.transcript" || fail "RECOVER offered without a 12 V switch"
    # A file whose design takes the JTAG pins: shown, asked, and on "no"
    # nothing reaches the chip.
    jtag_off "$f1504" "$WORK/off.jed"
    window hazard ATF1504AS -- 'tick 211' 'press 216' "choose $WORK/off.jed" 'answer no'
    [[ "$BOX" == 'File hazard (JTAG)'* ]] || fail "hazard: $BOX"
    never hazard '^enter\|^erase\|^program' 'a file with a hazard reached the chip'
    # RECOVER through a probe whose vrjtag_vpp drives SRST (VHH for the
    # model): the part asked, then a file written afterwards.
    PROBE_EXTRA='reset_config srst_only
proc vrjtag_vpp {on} { if {$on} { adapter assert srst } else { adapter deassert srst } }'
    window rec ATF1504AS --load "$WORK/off.jed" -- 'tick 219' 'press 216' 'tick 222' 'press 216' 'answer yes' "choose $f1504"
    [ "$BOX" = 'WRITE & VERIFY SUCCESS' ] || fail "recover: $BOX"
    vhh_only_for_erase rec 1
    holds rec "$f1504"
    PROBE_EXTRA=
    # A probe= line with a mistake is refused before anything is done.
    mkdir -p "$WORK/cfg/varnholme"
    printf 'probe=remote_bitbang:nowhere\r\n' > "$WORK/cfg/varnholme/jtag.ini"
    printf 'tick 211\npress 216\n' > "$WORK/operator"
    XDG_CONFIG_HOME=$WORK/cfg VRJTAG_OPERATOR=$WORK/operator VRJTAG_TRANSCRIPT=$WORK/bad.transcript \
        timeout 60 "$BIN/vrjtag-headless" > /dev/null 2>&1
    grep -q '^WMessageBox.*HOST:PORT' "$WORK/bad.transcript" || fail "bad probe= line: $(grep WMessageBox "$WORK/bad.transcript")"
    ;;
connect)
    # The connection window (vrjtag --connect): an OpenOCD configuration file
    # chosen, Test shows the chain and the link test, Save writes jtag.ini.
    model_for chip ATF1508ASV --
    mkdir -p "$WORK/cfg/varnholme"
    printf 'ttyUSB7\r\n' > "$WORK/cfg/varnholme/jtag.ini"
    printf 'press 263\npress 261\nchoose %s\npress 263\npress 264\n' "$WORK/probe.cfg" > "$WORK/operator"
    XDG_CONFIG_HOME=$WORK/cfg VRJTAG_OPERATOR=$WORK/operator VRJTAG_TRANSCRIPT=$WORK/c.transcript \
        timeout 120 "$BIN/vrjtag-headless" --connect > /dev/null 2>&1 || fail "vrjtag --connect failed or hung"
    wait_model
    t=$WORK/c.transcript
    grep -q $'^WDialogPutString\t262\tjtag.ini reads: ttyUSB7' "$t" || fail "jtag.ini not shown"
    grep -q $'^WDialogPutString\t24[0-9]\tft232h: ' "$t" || fail "no probe profiles listed"
    grep -q $'^WDialogPutString\t262\tChoose a port or a probe first.' "$t" || fail "Test without a choice"
    grep $'^WDialogPutString\t262\t1  atf15xx.tap' "$t" | grep -q 'IDCODE 0x0151803F  ATF1508ASV.*link test: .* 0 bit errors.*Test passed' ||
        fail "Test: $(grep $'^WDialogPutString\t262' "$t" | tail -n 2)"
    [ "$(head -n 1 "$WORK/cfg/varnholme/jtag.ini")" = "probe=$WORK/probe.cfg"$'\r' ] || fail "Save: $(cat "$WORK/cfg/varnholme/jtag.ini")"
    ;;
rbb_recover)
    # VPP as SRST, which the model takes as VHH on OE1.
    ROUTE=rbb
    file=$(design ATF1508AS)
    jtag_off "$file" "$WORK/off.jed"
    step dead ATF1508AS --load "$WORK/off.jed" -- write "$file"
    [ "$RC" = 1 ] && [[ "$(cat "$WORK/dead.out")" == *'vrjtag-cli recover --device PART'* ]] || fail "no hint: $LAST"
    step recovered ATF1508AS --load "$WORK/off.jed" -- recover --device ATF1508AS "$file"
    expect 0 'WRITE & VERIFY SUCCESS' recovered
    no_fault recovered  # 12 V (SRST) before the first pin
    vhh_only_for_erase recovered 1
    holds recovered "$file"
    ;;
rbb_scan)
    ROUTE=rbb
    step scan ATF1504ASV -- scan
    [ "$RC" = 0 ] || fail "scan: exit $RC: $(cat "$WORK/scan.out")"
    grep -q '^1  IDCODE 0x0151403F  ATF1504ASV$' "$WORK/scan.out" || fail "scan: $(cat "$WORK/scan.out")"
    grep -q '0 bit errors; BYPASS pattern shifted 100 times, 0 bit errors' "$WORK/scan.out" || fail "link test: $(cat "$WORK/scan.out")"
    ;;
rbb_*)
    # The family round with the firmware's TAP sequencing instead of OpenOCD's.
    ROUTE=rbb
    family_round "${1#rbb_}"
    ;;
family_*)
    # Each part: write, verify, read, secure, erase, blank.
    family_round "${1#family_}"
    ;;
stuck_fuse)
    # A fuse that will not program: the verify failure names the region and
    # the word, and read protection is never programmed.
    file=$(design ATF1504AS)
    step stuck ATF1504AS --stuck-fuse 18 -- secure "$file"
    expect 1 'Verify failure rows 12-107, write aborted.' stuck
    grep -q 'word 01E read back with 1 bit differing' "$WORK/stuck.out" || fail "the word is not named: $(cat "$WORK/stuck.out")"
    never stuck '^program 200 7' 'read protection programmed after a verify failure'
    [ "$(tail -n 1 "$WORK/stuck.log")" = 'leave programming mode' ] || fail "programming mode not left"
    ;;
wrong_file)
    # An ATF1504AS file against an ATF1508AS chip; --device naming another
    # part; another device on the chain: refused, nothing erased.
    step mismatch ATF1508AS -- write "$(design ATF1504AS)"
    expect 1 'File type and chip type mismatch...abort' mismatch
    grep -q 'the file is for the ATF1504AS, the chip is an ATF1508AS' "$WORK/mismatch.out" || fail "mismatch: parts not named"
    never mismatch '^erase\|^program' 'erased or programmed a mismatched chip'
    # A design that takes the JTAG pins: stopped before the chip is reached,
    # unless --force.
    jtag_off "$(design ATF1504AS)" "$WORK/off.jed"
    step hazard ATF1504AS -- write "$WORK/off.jed"
    expect 1 'File hazard (JTAG): nothing was written; --force writes it anyway, abort' hazard
    grep -q '^hazard: JTAG' "$WORK/hazard.out" || fail "hazard: not shown: $(cat "$WORK/hazard.out")"
    never hazard '^enter\|^erase\|^program' 'a file with a hazard reached the chip'
    step forced ATF1504AS -- --force write "$WORK/off.jed"
    expect 0 'WRITE & VERIFY SUCCESS' forced
    step device ATF1508AS -- --device ATF1508ASV erase
    expect 1 'ATF1508AS found, not the ATF1508ASV named by --device, abort' device
    never device '^erase' 'erased the wrong part'
    for where in --chain-extra --chain-extra-after; do
        step chain ATF1504AS "$where" 6 -- write "$(design ATF1504AS)"
        expect 1 'another device on the chain: vrjtag needs the chip alone on its chain, or (through OpenOCD) every other device declared in its configuration, abort' chain
        never chain '^erase\|^program' "$where: erased with another device on the chain"
    done
    ;;
interrupt)
    # Ctrl-C during a write: the Cancel text, programming mode left, OpenOCD gone.
    start_model int ATF1508AS
    printf 'adapter driver remote_bitbang\nremote_bitbang host 127.0.0.1\nremote_bitbang port %s\n%s\n' "$MODEL_PORT" \
        "${PROBE_EXTRA:-}" > "$WORK/probe.cfg"
    timeout 300 "$BIN/vrjtag-cli" --probe "$WORK/probe.cfg" write "$(design ATF1508AS)" > "$WORK/int.out" 2> "$WORK/int.err" &
    cli=$!
    for i in $(seq 300); do grep -q 'Writing fuse map' "$WORK/int.out" 2> /dev/null && break; sleep 0.1; done
    sleep 1
    ocd=$(pgrep -f -- "-f $WORK/probe.cfg")
    [ -n "$ocd" ] || fail "openocd not seen running"
    kill -INT $cli
    wait $cli
    rc=$?
    [ $rc = 1 ] || fail "exit status $rc"
    [ "$(tail -n 1 "$WORK/int.out")" = 'Abort requested...write not finished.' ] || fail "last line: $(tail -n 1 "$WORK/int.out")"
    kill -0 "$ocd" 2> /dev/null && fail "openocd $ocd left running"
    wait_model
    [ "$(tail -n 1 "$WORK/int.log")" = 'leave programming mode' ] || fail "programming mode not left: $(tail -n 2 "$WORK/int.log")"
    ;;
cross_route)
    # Written through the direct route, verified through the adapter protocol
    # (vrjtag-adapter and the programmer), and the other way round.
    file=$DATA/atf1508as-jeffsponaugle-roscoe-VIDEOADPT.jed
    step direct_write ATF1508AS -- write "$file"
    expect 0 'WRITE & VERIFY SUCCESS' direct_write
    start_model chip ATF1508AS --load "$WORK/direct_write.jed"
    start_openocd
    start_adapter --openocd "127.0.0.1:$OCD_PORT"
    run_headless 'tick 214' 'press 216' "choose $file"
    [ "$BOX" = 'VERIFY SUCCESS' ] || fail "protocol verify of a direct write: $BOX"
    run_headless 'tick 211' 'press 216' "choose $file"
    [ "$BOX" = 'WRITE & VERIFY SUCCESS' ] || fail "protocol write: $BOX"
    stop_all
    PIDS=()
    step direct_verify ATF1508AS --load "$WORK/chip.jed" -- verify "$file"
    expect 0 'VERIFY SUCCESS' direct_verify
    ;;
recover)
    # A recovery probe through OpenOCD: its configuration's vrjtag_vpp
    # drives SRST, which the model takes as VHH on OE1 (as ft232h-vpp drives
    # its AD4). Without such a procedure recover does nothing.
    file=$(design ATF1504AS)
    jtag_off "$file" "$WORK/off.jed"
    step novpp ATF1504AS --load "$WORK/off.jed" -- recover --device ATF1504AS
    [ "$RC" = 1 ] && [[ "$LAST" == *'recover needs a probe that switches 12 V onto OE1'* ]] || fail "no VPP: $LAST"
    never novpp '^erase\|^VHH' 'worked on without a VPP switch'
    PROBE_EXTRA='reset_config srst_only
proc vrjtag_vpp {on} { if {$on} { adapter assert srst } else { adapter deassert srst } }'
    step recovered ATF1504AS --load "$WORK/off.jed" -- recover --device ATF1504AS "$file"
    expect 0 'WRITE & VERIFY SUCCESS' recovered
    vhh_only_for_erase recovered 1
    holds recovered "$file"
    ;;
scan)
    # The chain and the link test; a dead line fails both.
    step scan ATF1502ASV -- scan
    [ "$RC" = 0 ] || fail "scan: exit $RC: $(cat "$WORK/scan.out")"
    grep -q '^1  atf15xx.tap *IDCODE 0x0151203F  ATF1502ASV$' "$WORK/scan.out" || fail "scan: $(cat "$WORK/scan.out")"
    grep -q 'read 100 times, 0 bit errors; BYPASS pattern shifted 100 times, 0 bit errors' "$WORK/scan.out" ||
        fail "link test: $(cat "$WORK/scan.out")"
    # A configuration that declares the chip's TAP itself: atf15xx.cfg is
    # not loaded a second time, and --tap names it.
    start_model decl ATF1508AS
    printf 'adapter driver remote_bitbang\nremote_bitbang host 127.0.0.1\nremote_bitbang port %s\ntransport select jtag\njtag newtap board cpld -irlen 10 -ircapture 0x059 -irmask 0x3ff -expected-id 0x0150803f\n' \
        "$MODEL_PORT" > "$WORK/probe.cfg"
    timeout 120 "$BIN/vrjtag-cli" --probe "$WORK/probe.cfg" --tap board.cpld scan > "$WORK/decl.out" 2>&1 ||
        fail "own TAP declaration: $(cat "$WORK/decl.out")"
    grep -q '^1  board.cpld *IDCODE 0x0150803F  ATF1508AS$' "$WORK/decl.out" || fail "own TAP declaration: $(cat "$WORK/decl.out")"
    wait_model
    PIDS=()
    step dead ATF1502ASV --tdo-stuck 1 -- scan
    [ "$RC" = 1 ] || fail "dead line: exit $RC"
    grep -q '^identification: TDO stuck at 1' "$WORK/dead.out" || fail "dead line: $(cat "$WORK/dead.out")"
    ;;
faults)
    # What a user meets when things go wrong, each refused or reported as it
    # should be.
    # A misspelt option is a usage error, never a file name.
    timeout 60 "$BIN/vrjtag-cli" --probe "$WORK/none.cfg" read --forse "$WORK/forse.jed" > "$WORK/opt.out" 2>&1
    rc=$?
    [ $rc = 2 ] || fail "misspelt option: exit $rc: $(cat "$WORK/opt.out")"
    grep -q 'unknown option --forse' "$WORK/opt.out" || fail "misspelt option: $(cat "$WORK/opt.out")"
    [ -e "$WORK/--forse" ] || [ -e "$WORK/forse.jed" ] && fail "misspelt option: a file was made"
    # A READ that fails leaves no file behind, so the next one is not refused.
    step deadread ATF1504AS --tdo-stuck 1 -- read "$WORK/read.jed"
    [ "$RC" = 1 ] || fail "failed read: exit $RC"
    [ -e "$WORK/read.jed" ] && fail "a failed READ left $WORK/read.jed behind"
    step read ATF1504AS --load "$(design ATF1504AS)" -- read "$WORK/read.jed"
    expect 0 'READ & SAVE SUCCESS' read
    # recover with a file of another part: refused before 12 V or an erase.
    PROBE_EXTRA='reset_config srst_only
proc vrjtag_vpp {on} { if {$on} { adapter assert srst } else { adapter deassert srst } }'
    step wrongpart ATF1508AS -- recover --device ATF1508AS "$(design ATF1504AS)"
    [ "$RC" = 1 ] && [[ "$LAST" == *'the file is for the ATF1504AS, not the ATF1508AS named by --device: nothing was switched on or erased'* ]] ||
        fail "recover with another part's file: $LAST"
    never wrongpart '^VHH\|^erase' 'switched 12 V or erased for another part'
    # A VPP switch that does not go off is said, not passed over.
    PROBE_EXTRA='reset_config srst_only
proc vrjtag_vpp {on} { if {$on} { adapter assert srst } else { error "the switch is stuck" } }'
    step stuck ATF1504AS -- recover --device ATF1504AS
    [ "$RC" = 1 ] && [[ "$LAST" == *'12 V may still be on OE1: unplug the probe'* ]] || fail "VPP stuck on: $LAST"
    PROBE_EXTRA=
    # An OpenOCD that never opens its Tcl port: given up after 30 s, saying
    # what it printed.
    printf '#!/bin/sh\necho "Info : starting"\necho "Error: the probe does not answer"\nexec sleep 300\n' > "$WORK/openocd-stuck"
    chmod +x "$WORK/openocd-stuck"
    start=$(date +%s)
    timeout 120 "$BIN/vrjtag-cli" --openocd-exe "$WORK/openocd-stuck" --probe "$WORK/probe.cfg" scan > "$WORK/stuck.out" 2>&1
    rc=$?
    [ $rc = 1 ] && grep -q 'did not start within 30 s.*the probe does not answer' "$WORK/stuck.out" ||
        fail "stuck OpenOCD: exit $rc: $(cat "$WORK/stuck.out")"
    [ $(($(date +%s) - start)) -lt 60 ] || fail "stuck OpenOCD: no deadline"
    pgrep -f -- "$WORK/openocd-stuck" > /dev/null && fail "stuck OpenOCD left running"
    # scan with a second device: named, with no link test to mislead.
    step chain ATF1504AS --chain-extra-after 6 -- scan
    [ "$RC" = 1 ] && grep -q '^identification: another device on the chain' "$WORK/chain.out" ||
        fail "scan with another device: $(cat "$WORK/chain.out")"
    grep -q 'link test' "$WORK/chain.out" && fail "a link test through another device"
    ROUTE=rbb step rbbchain ATF1504AS --chain-extra 6 -- scan
    [ "$RC" = 1 ] && grep -q '^identification: another device on the chain' "$WORK/rbbchain.out" ||
        fail "remote_bitbang scan with another device: $(cat "$WORK/rbbchain.out")"
    grep -q -- '--speed' "$WORK/rbbchain.out" && fail "--speed advised where it does not apply"
    ;;
openocd_killed)
    # OpenOCD killed in the middle of a secure write: a quick failure naming
    # OpenOCD, no read protection, and the chip taken out of programming mode
    # through an OpenOCD started once more.
    start_model killed ATF1504AS
    printf 'adapter driver remote_bitbang\nremote_bitbang host 127.0.0.1\nremote_bitbang port %s\n' "$MODEL_PORT" > "$WORK/probe.cfg"
    timeout 300 "$BIN/vrjtag-cli" --probe "$WORK/probe.cfg" secure "$(design ATF1504AS)" > "$WORK/killed.out" 2>&1 &
    cli=$!
    for _ in $(seq 300); do grep -q 'Writing fuse map' "$WORK/killed.out" 2> /dev/null && break; sleep 0.1; done
    sleep 1
    ocd=$(pgrep -f -- "-f $WORK/probe.cfg")
    [ -n "$ocd" ] || fail "openocd not seen running"
    kill -9 $ocd
    start=$(date +%s)
    wait $cli
    rc=$?
    [ $rc = 1 ] || fail "exit status $rc"
    [ $(($(date +%s) - start)) -lt 60 ] || fail "took too long after OpenOCD went"
    last=$(tail -n 1 "$WORK/killed.out")
    [[ "$last" == *OpenOCD*'the chip was taken out of programming mode'* ]] || fail "last line: $last"
    pgrep -f -- "-f $WORK/probe.cfg" > /dev/null && fail "openocd left running"
    wait_model
    never killed 'read protection programmed' 'read protection after OpenOCD went'
    [ "$(tail -n 1 "$WORK/killed.log")" = 'leave programming mode' ] || fail "programming mode not left: $(tail -n 2 "$WORK/killed.log")"
    ;;
*) fail "unknown case $1" ;;
esac
echo "ok: $1"
