# Shared by the tests of the roads to a chip (OpenOCD, the Nano firmware): a
# work folder removed on success, the programs started in it stopped on
# exit, the programmer's configuration naming the adapter's link, a headless
# run, and what the chip model holds afterwards. Needs BIN.
set -uo pipefail
WORK=$(mktemp -d /tmp/vrjtag-road-XXXXXX)
PIDS=()
cleanup() {
    local rc=$?
    for p in "${PIDS[@]}"; do kill "$p" 2> /dev/null || true; done
    wait 2> /dev/null || true
    if [ $rc -eq 0 ]; then rm -rf "$WORK"; else echo "kept $WORK" >&2; fi
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The programmer's side: a configuration home whose jtag.ini names the link.
export XDG_CONFIG_HOME=$WORK/cfg
mkdir -p "$XDG_CONFIG_HOME/varnholme"
printf 'jtag\r\n' > "$XDG_CONFIG_HOME/varnholme/jtag.ini"
LINK=$XDG_CONFIG_HOME/varnholme/jtag

# run_headless STEP...: one run of the program with this operator script;
# the final box's text in BOX.
run_headless() {
    printf '%s\n' "$@" > "$WORK/operator"
    VRJTAG_OPERATOR=$WORK/operator VRJTAG_TRANSCRIPT=$WORK/transcript timeout 300 "$BIN/vrjtag-headless" ||
        fail "vrjtag-headless failed or hung"
    BOX=$(grep '^WMessageBox' "$WORK/transcript" | cut -f3-)
}

# model_holds FILE SECURE LOG: the model (its file in $WORK/chip.jed, its
# operations in LOG), erased once, holds FILE's fuses except the four special
# purpose fuses, which are 1 (word 200 never programmed) or, for a secure
# write, 0111 (word 200 programmed last, alone, with 7).
model_holds() {
    local first
    first=$("$BIN/vrjtag-jed" inspect "$1" | grep -q 'device: ATF1508AS' && echo 74114 || echo 34166)
    [ "$(grep -c '^erase$' "$3")" = 1 ] || fail "not erased exactly once"
    "$BIN/vrjtag-jed" diff "$1" "$WORK/chip.jed" > "$WORK/diff"
    [ $? -le 1 ] || fail "saved file refused"
    [ -z "$(awk -v a="$first" '$1 < a || $1 > a + 3' "$WORK/diff")" ] ||
        fail "model differs from the file: $(head -3 "$WORK/diff")"
    if [ "$2" = 1 ]; then
        [ "$(grep '^program' "$3" | tail -n 1)" = 'program 200 7' ] || fail "word 200 not programmed last, alone, with 7"
        [ "$(grep -c '^program 200' "$3")" = 1 ] || fail "word 200 programmed more than once"
    else
        grep -q '^program 200' "$3" && fail "word 200 programmed on a plain write"
    fi
    return 0
}
