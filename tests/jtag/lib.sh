# Shared by the JTAG tests: the chip model as a remote_bitbang server and
# OpenOCD connected to it, both on 127.0.0.1 only and both stopped on exit.
# Needs BIN (the build folder) and SRC (the source tree).
. "$(dirname "${BASH_SOURCE[0]}")/../road.sh"

TAP_CFG="$SRC/packaging/openocd/atf15xx.cfg"
command -v openocd > /dev/null || { echo "openocd is not installed" >&2; exit 77; }

# start_model NAME DEVICE [options]: the model in $WORK/NAME.{jed,log,out};
# sets MODEL_PORT and MODEL_PID. It times every wait by the wall clock unless
# MODEL_CLOCK says --no-clock.
start_model() {
    local name=$1 device=$2
    shift 2
    "$BIN/vrjtag-chip-model" --device "$device" --port 0 --save "$WORK/$name.jed" --log "$WORK/$name.log" \
        ${MODEL_CLOCK:-} "$@" \
        > "$WORK/$name.out" 2>&1 &
    MODEL_PID=$!
    PIDS+=("$MODEL_PID")
    local i
    for i in $(seq 600); do
        grep -q '^listening on' "$WORK/$name.out" 2> /dev/null && break
        sleep 0.05
    done
    MODEL_PORT=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$WORK/$name.out")
    [ -n "$MODEL_PORT" ] || fail "the chip model did not start: $(cat "$WORK/$name.out")"
}

# The OpenOCD arguments that reach the model over remote_bitbang.
bitbang_args() {
    echo -c "adapter driver remote_bitbang; remote_bitbang host 127.0.0.1; remote_bitbang port $MODEL_PORT"
}

# wait_model: waits for the model to save and exit (after OpenOCD quit).
wait_model() {
    local i
    for i in $(seq 600); do
        kill -0 "$MODEL_PID" 2> /dev/null || { wait "$MODEL_PID" || fail "the chip model failed"; return 0; }
        sleep 0.05
    done
    fail "the chip model did not stop"
}

# play COMMAND FILE...: OpenOCD plays the files, in one session, into the
# model with COMMAND (its svf or xsvf command, %s standing for the file); its
# output is in $WORK/openocd.out.
play() {
    local cmd=$1 plays=() f
    shift
    for f in "$@"; do
        plays+=(-c "if {[catch {${cmd//%s/$f}} msg]} {echo \"failed: \$msg\"} else {echo \$msg}")
    done
    openocd -c "adapter driver remote_bitbang; remote_bitbang host 127.0.0.1; remote_bitbang port $MODEL_PORT" \
        -f "$TAP_CFG" -c "gdb_port disabled; telnet_port disabled; tcl_port disabled; init" \
        "${plays[@]}" -c shutdown > "$WORK/openocd.out" 2>&1 ||
        fail "openocd failed: $(tail -5 "$WORK/openocd.out")"
    wait_model
}

# play_svf FILE...: the count of TDO check errors in SVF_ERRORS (0 only when
# every file ended with 0 errors).
play_svf() {
    play "svf -tap atf15xx.tap -quiet {%s}" "$@"
    if [ "$(grep -c 'svf file programmed successfully for [0-9]* commands with 0 errors' "$WORK/openocd.out")" = $# ]; then
        SVF_ERRORS=0
    else
        SVF_ERRORS=$(grep -c 'tdo check error' "$WORK/openocd.out" || true)
        [ "$SVF_ERRORS" -gt 0 ] || fail "no verdict from openocd: $(tail -5 "$WORK/openocd.out")"
    fi
}

# play_xsvf FILE...: XSVF_FAILED counts the files that did not end
# "programmed successfully".
play_xsvf() {
    play "xsvf atf15xx.tap {%s} quiet" "$@"
    XSVF_FAILED=$(( $# - $(grep -c 'XSVF file programmed successfully' "$WORK/openocd.out") ))
}

# start_openocd: OpenOCD connected to the model, its Tcl server on a free
# local port; sets OCD_PORT and OCD_PID. Output in $WORK/openocd.out.
start_openocd() {
    openocd -c "adapter driver remote_bitbang; remote_bitbang host 127.0.0.1; remote_bitbang port $MODEL_PORT" \
        -f "$TAP_CFG" -c "bindto 127.0.0.1; tcl_port 0; gdb_port disabled; telnet_port disabled" \
        > "$WORK/openocd.out" 2>&1 &
    OCD_PID=$!
    PIDS+=("$OCD_PID")
    local i
    for i in $(seq 600); do
        OCD_PORT=$(sed -n 's/.*Listening on port \([0-9]*\) for tcl connections.*/\1/p' "$WORK/openocd.out")
        [ -n "$OCD_PORT" ] && return 0
        sleep 0.05
    done
    fail "openocd did not start: $(tail -5 "$WORK/openocd.out")"
}

# start_adapter OPTIONS...: vrjtag-adapter on $LINK, logging to $WORK/adapter.log.
start_adapter() {
    "$BIN/vrjtag-adapter" --log "$WORK/adapter.log" "$@" "$LINK" > "$WORK/adapter.out" 2>&1 &
    ADAPTER_PID=$!
    PIDS+=("$ADAPTER_PID")
    local i
    for i in $(seq 600); do
        grep -q 'serving on' "$WORK/adapter.out" 2> /dev/null && return 0
        kill -0 "$ADAPTER_PID" 2> /dev/null || break
        sleep 0.05
    done
    fail "vrjtag-adapter did not start: $(cat "$WORK/adapter.out")"
}

stop_adapter() {
    kill -TERM "$ADAPTER_PID" 2> /dev/null || true
    wait "$ADAPTER_PID" 2> /dev/null || true
}

# stop_all: adapter (leaves programming mode), then OpenOCD (the model then
# saves and exits).
stop_all() {
    stop_adapter
    kill -TERM "$OCD_PID" 2> /dev/null || true
    wait "$OCD_PID" 2> /dev/null || true
    wait_model
}
