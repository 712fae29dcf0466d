# Helpers of the end-to-end cases: the emulator program on a pseudo-terminal,
# vrjtag-headless with an operator script, and checks on what they left.
# Needs BIN (the build folder) and DATA (the sample files).
set -u

WORK=$(mktemp -d /tmp/vrjtag-e2e-XXXXXX)
export XDG_CONFIG_HOME=$WORK/cfg
mkdir -p "$XDG_CONFIG_HOME/varnholme"
printf 'sim\r\n' > "$XDG_CONFIG_HOME/varnholme/jtag.ini"
LINK=$XDG_CONFIG_HOME/varnholme/sim
LOG=$WORK/adapter.log
TRANSCRIPT=$WORK/transcript
SIM_PID=
FAILED=0

fail() { echo "FAIL: $*" >&2; FAILED=1; }

cleanup() {
    [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null
    if [ "$FAILED" = 0 ]; then rm -rf "$WORK"; else echo "kept $WORK" >&2; fi
}
trap cleanup EXIT

# start_sim [emulator options]: the emulator, logging, on $LINK.
start_sim() {
    rm -f "$LINK"  # a killed emulator leaves its link behind
    "$BIN/vrjtag-adapter-sim" --log "$LOG" "$@" "$LINK" > "$WORK/sim.out" 2>&1 &
    SIM_PID=$!
    for _ in $(seq 100); do [ -L "$LINK" ] && return 0; sleep 0.05; done
    fail "emulator did not start: $(cat "$WORK/sim.out")"
    exit 1
}

stop_sim() {
    [ -n "$SIM_PID" ] || return 0
    kill -TERM "$SIM_PID"
    wait "$SIM_PID" 2>/dev/null
    SIM_PID=
}

# run_program STEP...: one step per argument.
run_program() {
    printf '%s\n' "$@" > "$WORK/operator"
    VRJTAG_OPERATOR=$WORK/operator VRJTAG_TRANSCRIPT=$TRANSCRIPT timeout 120 "$BIN/vrjtag-headless"
    local rc=$?
    [ $rc = 0 ] || fail "vrjtag-headless exit status $rc"
}

final_text() { grep '^WMessageBox' "$TRANSCRIPT" | cut -f3-; }

expect_box() {
    local got; got=$(final_text)
    [ "$got" = "$1" ] || fail "final box: expected '$1', got '$got'"
    [ "$(grep -c '^WMessageBox' "$TRANSCRIPT")" = 1 ] || fail "not exactly one message box"
    [ "$(tail -n 1 "$TRANSCRIPT")" = WindowClose ] || fail "WindowClose is not the last line"
}

# expect_line LINE: an exact transcript line (tabs as \t in the argument).
expect_line() {
    local line; line=$(printf '%b' "$1")
    grep -qxF -- "$line" "$TRANSCRIPT" || fail "transcript lacks: $1"
}

# expect_in_order PATTERN...: fixed strings found on lines in this order.
expect_in_order() {
    local rest; rest=$(cat "$TRANSCRIPT")
    for p in "$@"; do
        local at; at=$(printf '%s\n' "$rest" | grep -nF -m1 -- "$p" | cut -d: -f1)
        [ -n "$at" ] || { fail "not found in order: $p"; return; }
        rest=$(printf '%s\n' "$rest" | tail -n +$((at + 1)))
    done
}

expect_progress_full() {
    local max last
    max=$(grep -P '^range\t1011\t' "$TRANSCRIPT" | cut -f4)
    last=$(grep -P '^progress\t1011\t' "$TRANSCRIPT" | tail -n 1 | cut -f3)
    [ "$(grep -cP '^range\t1011\t' "$TRANSCRIPT")" = 1 ] || fail "progress range not set exactly once"
    [ "$max" = "$1" ] || fail "progress range: expected $1, got $max"
    [ "$last" = "$1" ] || fail "progress ends at $last, not $1"
}

# What the adapter received, as escaped text of the log.
adapter_heard() { grep ' in ' "$LOG" | sed -E 's/^[0-9.]+ in (.*) [0-9]+$/\1/' | tr -d '\n'; }

# The release command is the last thing on the line in every run.
expect_release_last() {
    stop_sim
    local heard; heard=$(adapter_heard)
    case "$heard" in
        *'#8X\x0D') ;;
        *) fail "the last bytes were not the release command: ...${heard: -40}" ;;
    esac
}

expect_heard_not() {
    adapter_heard | grep -qF -- "$1" && fail "the adapter received $1"
    return 0
}

finish() { [ "$FAILED" = 0 ] && echo PASS; exit "$FAILED"; }
