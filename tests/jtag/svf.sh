#!/usr/bin/env bash
# OpenOCD plays the chip maker's SVF files into vrjtag-chip-model.
# usage: svf.sh CASE (BIN, SRC and DATA set by CTest)
. "$(dirname "$0")/lib.sh"
V=$DATA/jtag

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
*) fail "unknown case $1" ;;
esac
echo "ok: $1"
