#!/usr/bin/env bash
# OpenOCD plays the chip maker's SVF files into vrjtag-chip-model.
# usage: svf.sh CASE (BIN, SRC and DATA set by CTest)
. "$(dirname "$0")/lib.sh"
V=$DATA/jtag
# OpenOCD 0.12's SVF player sends the bytes before and after a RUNTEST over
# remote_bitbang with none of its time between them: the model cannot time
# SVF playback, so these cases leave its clock off.
MODEL_CLOCK=--no-clock

# program FILE DEVICE: plays FILE.svf into an erased model; 0 errors, and the
# model then holds exactly FILE.jed's fuses.
program() {
    start_model chip "$2"
    play_svf "$V/$1.svf"
    [ "$SVF_ERRORS" = 0 ] || fail "$SVF_ERRORS TDO check errors"
    "$BIN/vrjtag-jed" diff "$V/$1.jed" "$WORK/chip.jed" > "$WORK/diff" || fail "model differs: $(head -5 "$WORK/diff")"
    [ "$(grep -c '^erase$' "$WORK/chip.log")" = 1 ] || fail "not erased exactly once"
}

case $1 in
neogeo_plcc44) program atf1504as-neogeo-plcc44 ATF1504AS ;;
neogeo_tqfp44) program atf1504as-neogeo-tqfp44 ATF1504AS ;;
snes_a) program atf1502as-snes-dejitter-a ATF1502AS ;;
snes_b) program atf1502as-snes-dejitter-b ATF1502AS ;;
multi_asv) program atf1502asv-multi-function ATF1502ASV ;;
erase_1502 | erase_1502asv)
    [ "$1" = erase_1502 ] && dev=ATF1502AS || dev=ATF1502ASV
    start_model chip "$dev" --load "$V/atf1502as-snes-dejitter-a.jed"
    play_svf "$V/${dev,,}-erase.svf"
    [ "$SVF_ERRORS" = 0 ] || fail "$SVF_ERRORS TDO check errors"
    [ "$("$BIN/vrjtag-jed" inspect "$WORK/chip.jed" | sed -n 's/^fuses at 0: //p')" = 6 ] || fail "not blank"
    ;;
export_1502)
    # Our write and verify files of each ATF1502 design, into a model holding
    # another one: the model then holds the design.
    for c in "atf1502as-snes-dejitter-a ATF1502AS atf1502as-snes-dejitter-b" \
             "atf1502asv-multi-function ATF1502ASV atf1502as-snes-dejitter-a"; do
        read -r name dev old <<< "$c"
        "$BIN/vrjtag-jed" svf write --device "$dev" "$V/$name.jed" "$WORK/out.svf" || fail "export failed"
        "$BIN/vrjtag-jed" svf verify --device "$dev" "$V/$name.jed" "$WORK/verify.svf" || fail "export failed"
        start_model chip "$dev" --load "$V/$old.jed"
        play_svf "$WORK/out.svf" "$WORK/verify.svf"
        [ "$SVF_ERRORS" = 0 ] || fail "$name: $SVF_ERRORS TDO check errors"
        "$BIN/vrjtag-jed" diff "$V/$name.jed" "$WORK/chip.jed" > "$WORK/diff" || fail "$name: model differs: $(head -3 "$WORK/diff")"
        PIDS=()
    done
    ;;
mo5)
    # No JEDEC file was published: the file's own read-back checks the model.
    start_model chip ATF1508AS
    play_svf "$V/atf1508as-mo5-gate-array.svf"
    [ "$SVF_ERRORS" = 0 ] || fail "$SVF_ERRORS TDO check errors"
    [ "$(grep -c '^program ' "$WORK/chip.log")" -gt 200 ] || fail "too few words programmed"
    ;;
erase_1504 | erase_1508)
    # A model holding a design: the erase file erases it and passes its blank check.
    if [ "$1" = erase_1504 ]; then dev=ATF1504AS; jed=$V/atf1504as-neogeo-plcc44.jed; else
        dev=ATF1508AS; jed=$DATA/atf1508as-harrowm-Simple030-rosco.jed; fi
    start_model chip "$dev" --load "$jed"
    play_svf "$V/${dev,,}-erase.svf"
    [ "$SVF_ERRORS" = 0 ] || fail "$SVF_ERRORS TDO check errors"
    ;;
flipped)
    # One read-back bit of the model flipped: the blank check must fail.
    start_model chip ATF1504AS --flip-read 0C
    play_svf "$V/atf1504as-erase.svf"
    [ "$SVF_ERRORS" -gt 0 ] || fail "a flipped bit was not reported"
    ;;
export_write | export_secure)
    # Our own files: the model, holding another design, ends up holding the file
    # (special purpose fuses 1, or read protection alone for secure).
    if [ "$1" = export_write ]; then dev=ATF1504AS; jed=$V/atf1504as-neogeo-plcc44.jed; old=$DATA/atf1504as-harrowm-rosco_verilog-CPUglue.jed; act=write; else
        dev=ATF1508AS; jed=$DATA/atf1508as-harrowm-Simple030-rosco.jed; old=$DATA/atf1508as-jeffsponaugle-roscoe-VIDEOADPT.jed; act=secure; fi
    "$BIN/vrjtag-jed" svf $act "$jed" "$WORK/out.svf" || fail "export failed"
    "$BIN/vrjtag-jed" svf verify "$jed" "$WORK/verify.svf" || fail "export failed"
    start_model chip "$dev" --load "$old"
    if [ $act = write ]; then play_svf "$WORK/out.svf" "$WORK/verify.svf"; else play_svf "$WORK/out.svf"; fi
    [ "$SVF_ERRORS" = 0 ] || fail "$SVF_ERRORS TDO check errors"
    "$BIN/vrjtag-jed" svf2jed "$WORK/out.svf" "$WORK/expected.jed" 2> /dev/null || fail "svf2jed refused our file"
    "$BIN/vrjtag-jed" diff "$WORK/expected.jed" "$WORK/chip.jed" > /dev/null || fail "the model does not hold the file"
    spf=$([ $dev = ATF1504AS ] && echo 34166 || echo 74114)
    "$BIN/vrjtag-jed" diff "$jed" "$WORK/chip.jed" | awk -v a=$spf '$1 < a || $1 > a + 3' | grep -q . &&
        fail "the model differs from the file outside the special purpose fuses"
    if [ $act = secure ]; then
        [ "$(grep '^program' "$WORK/chip.log" | tail -n 1)" = 'program 200 7' ] || fail "read protection not last"
        "$BIN/vrjtag-jed" inspect "$WORK/chip.jed" | grep -q 'read protection is set' || fail "read protection not set"
    fi
    ;;
export_erase)
    "$BIN/vrjtag-jed" svf erase ATF1508AS "$WORK/erase.svf" || fail "export failed"
    start_model chip ATF1508AS --load "$DATA/atf1508as-harrowm-Simple030-rosco.jed"
    play_svf "$WORK/erase.svf"
    [ "$SVF_ERRORS" = 0 ] || fail "$SVF_ERRORS TDO check errors"
    [ "$("$BIN/vrjtag-jed" inspect "$WORK/chip.jed" | sed -n 's/^fuses at 0: //p')" = 2 ] || fail "not blank"
    ;;
export_verify_other)
    # A verify file played into a model holding another design reports errors.
    "$BIN/vrjtag-jed" svf verify "$V/atf1504as-neogeo-plcc44.jed" "$WORK/verify.svf" || fail "export failed"
    start_model chip ATF1504AS --load "$DATA/atf1504as-harrowm-rosco_verilog-CPUglue.jed"
    play_svf "$WORK/verify.svf"
    [ "$SVF_ERRORS" -gt 0 ] || fail "a different design verified"
    ;;
export_wrong_idcode)
    # Played into another chip, our file stops before the erase.
    "$BIN/vrjtag-jed" svf write "$V/atf1504as-neogeo-plcc44.jed" "$WORK/out.svf" || fail "export failed"
    start_model chip ATF1504AS --idcode 0150203F
    play_svf "$WORK/out.svf"
    [ "$SVF_ERRORS" -gt 0 ] || fail "no IDCODE error"
    grep -q '^erase' "$WORK/chip.log" && fail "the erase reached the model"
    ;;
export_secure_mismatch)
    # A read-back that does not match stops the player before read protection.
    "$BIN/vrjtag-jed" svf secure "$V/atf1504as-neogeo-plcc44.jed" "$WORK/out.svf" || fail "export failed"
    start_model chip ATF1504AS --flip-read 100
    play_svf "$WORK/out.svf"
    [ "$SVF_ERRORS" -gt 0 ] || fail "no read-back error"
    grep -q '^program 200 7' "$WORK/chip.log" && fail "read protection reached the model"
    ;;
xsvf_ATF1502AS | xsvf_ATF1502ASV | xsvf_ATF1504AS | xsvf_ATF1504ASV | xsvf_ATF1508AS | xsvf_ATF1508ASV)
    # Our XSVF write and verify files, played by OpenOCD's xsvf command into a
    # model holding another design: the model then holds the design, and
    # xsvf2jed reads the write file back exactly as svf2jed reads its SVF.
    dev=${1#xsvf_}
    case $dev in
    ATF1502AS*) jed=$V/atf1502as-snes-dejitter-a.jed; old=$V/atf1502as-snes-dejitter-b.jed ;;
    ATF1504AS*) jed=$V/atf1504as-neogeo-plcc44.jed; old=$DATA/atf1504as-harrowm-rosco_verilog-CPUglue.jed ;;
    *) jed=$DATA/atf1508as-harrowm-Simple030-rosco.jed; old=$DATA/atf1508as-jeffsponaugle-roscoe-VIDEOADPT.jed ;;
    esac
    for a in write verify; do
        "$BIN/vrjtag-jed" xsvf $a --device "$dev" "$jed" "$WORK/$a.xsvf" || fail "xsvf $a failed"
    done
    start_model chip "$dev" --load "$old"
    play_xsvf "$WORK/write.xsvf" "$WORK/verify.xsvf"
    [ "$XSVF_FAILED" = 0 ] || fail "the player failed: $(grep -i 'mismatch\|failed' "$WORK/openocd.out" | head -3)"
    "$BIN/vrjtag-jed" diff "$jed" "$WORK/chip.jed" > "$WORK/diff" || fail "model differs: $(head -3 "$WORK/diff")"
    [ "$(grep -c '^erase$' "$WORK/chip.log")" = 1 ] || fail "not erased exactly once"
    "$BIN/vrjtag-jed" xsvf2jed "$WORK/write.xsvf" "$WORK/x.jed" > "$WORK/x.out" || fail "xsvf2jed refused our file"
    grep -q "^from XSVF: $dev, " "$WORK/x.out" || fail "xsvf2jed said: $(cat "$WORK/x.out")"
    "$BIN/vrjtag-jed" svf write --device "$dev" "$jed" "$WORK/write.svf" || fail "svf write failed"
    "$BIN/vrjtag-jed" svf2jed "$WORK/write.svf" "$WORK/s.jed" > /dev/null || fail "svf2jed refused our file"
    cmp -s "$WORK/x.jed" "$WORK/s.jed" || fail "xsvf2jed and svf2jed differ"
    ;;
xsvf_guards)
    # Played into another chip, our XSVF stops before the erase; a read-back
    # that does not match stops it before read protection (XREPEAT 0: no retry).
    "$BIN/vrjtag-jed" xsvf secure "$V/atf1504as-neogeo-plcc44.jed" "$WORK/out.xsvf" || fail "export failed"
    start_model chip ATF1504AS --idcode 0150203F
    play_xsvf "$WORK/out.xsvf"
    [ "$XSVF_FAILED" = 1 ] || fail "no IDCODE mismatch"
    grep -q '^erase' "$WORK/chip.log" && fail "the erase reached the model"
    start_model chip ATF1504AS --flip-read 100
    play_xsvf "$WORK/out.xsvf"
    [ "$XSVF_FAILED" = 1 ] || fail "no read-back mismatch"
    [ "$(grep -c 'XSDRTDO mismatch' "$WORK/openocd.out")" = 1 ] || fail "the mismatch was not reported once"
    grep -q '^program 200 7' "$WORK/chip.log" && fail "read protection reached the model"
    ;;
*) fail "unknown case $1" ;;
esac
echo "ok: $1"
