#!/usr/bin/env bash
# The windowed program under Xvfb, driven with xdotool against the adapter
# emulator on a pseudo-terminal:
#   cancel  — the action dialog shows, a box is ticked, Cancel ends the run
#             with one message box and the release command on the line;
#   verify  — a complete VERIFY of the sample the emulator holds, through
#             FLTK's own file chooser, ending in "VERIFY SUCCESS";
#   direct  — jtag.ini naming a probe: the direct route's action dialog with
#             ERASE, BLANK CHECK and RECOVER, the recovery's part dialog,
#             Cancel; then the connection window (vrjtag --connect).
# Screenshots go to $ARTIFACTS. Exits 77 (skipped, and says why) when Xvfb,
# xdotool, ImageMagick or the windowed program are missing.
# Needs BIN (the build folder), DATA (the sample files) and ARTIFACTS.
set -u
case_name=$1
skip() { echo "SKIPPED: $*"; exit 77; }
for tool in Xvfb xdotool import; do
    command -v $tool > /dev/null || skip "$tool is not installed (scripts/test.sh installs it as root)"
done
[ -x "$BIN/vrjtag" ] || skip "vrjtag was not built (FLTK missing)"
mkdir -p "$ARTIFACTS"

WORK=$(mktemp -d /tmp/vrjtag-gui-XXXXXX)
XVFB_PID= SIM_PID= PROG_PID=
FAILED=0
fail() { echo "FAIL: $*" >&2; FAILED=1; }
cleanup() {
    for p in $PROG_PID $SIM_PID $XVFB_PID; do kill "$p" 2>/dev/null; done
    # Xvfb gone for good before the next test starts one: a server still
    # shutting down removes its display's socket, which a new server on the
    # same display number may already have made again.
    for p in $PROG_PID $SIM_PID $XVFB_PID; do wait "$p" 2>/dev/null; done
    if [ $FAILED = 0 ]; then rm -rf "$WORK"; else echo "kept $WORK" >&2; fi
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3> "$WORK/display" 2> "$WORK/xvfb.log" &
XVFB_PID=$!
for _ in $(seq 100); do [ -s "$WORK/display" ] && break; sleep 0.05; done
[ -s "$WORK/display" ] || { cat "$WORK/xvfb.log"; skip "Xvfb did not start"; }
export DISPLAY=:$(cat "$WORK/display")
# The server accepts clients (on a loaded machine a moment after it named
# its display).
for _ in $(seq 100); do xdpyinfo > /dev/null 2>&1 && break; sleep 0.05; done

export XDG_CONFIG_HOME=$WORK/cfg
mkdir -p "$XDG_CONFIG_HOME/varnholme"
printf 'sim\r\n' > "$XDG_CONFIG_HOME/varnholme/jtag.ini"
SAMPLE=$DATA/atf1508as-harrowm-Simple030-rosco.jed
"$BIN/vrjtag-adapter-sim" --device ATF1508AS --load "$SAMPLE" --log "$WORK/adapter.log" \
    "$XDG_CONFIG_HOME/varnholme/sim" > "$WORK/sim.out" 2>&1 &
SIM_PID=$!
for _ in $(seq 100); do [ -L "$XDG_CONFIG_HOME/varnholme/sim" ] && break; sleep 0.05; done

# A probe nothing listens on: the dialogs only, the probe never opened.
[ $case_name = direct ] && printf 'probe=remote_bitbang:127.0.0.1:1\r\n' > "$XDG_CONFIG_HOME/varnholme/jtag.ini"
export VRJTAG_PLAIN_CHOOSER=1  # FLTK's own chooser: the same on every machine
cp "$SAMPLE" "$WORK/chip.jed"
(cd "$WORK" && exec "$BIN/vrjtag") > "$WORK/vrjtag.out" 2>&1 &
PROG_PID=$!

. "$(dirname "${BASH_SOURCE[0]}")/xdo.sh"
shot() { screenshot "$ARTIFACTS/$case_name-$1.png"; }
click() { click_du "$@"; }

if [ $case_name != direct ]; then
    action=$(wait_window "^Varnholme Research ATF1504/ATF1508 JTAG Programmer$" 15) ||
        { fail "the action dialog did not appear"; cat "$WORK/vrjtag.out"; exit 1; }
fi

case $case_name in
direct)
    direct_dialogs shot || exit 1
    ;;
cancel)
    click "$action" 46 62   # the READ box
    shot action-dialog
    click "$action" 100 97  # Cancel
    ;;
verify)
    click "$action" 46 74   # the VERIFY box
    click "$action" 300 97  # Continue
    # The chooser opens in the program's folder with that folder in its
    # file name field, the cursor at its end: typing the name completes it.
    sleep 1.5
    shot file-chooser
    xdotool type --delay 20 "chip.jed"
    sleep 0.3
    xdotool key Return
    progress=$(wait_window "JTAG Programmer v04" 10) || fail "the progress dialog did not appear"
    sleep 4
    shot progress-dialog
    ;;
esac

box=$(wait_window "^Varnholme Research JTAG Tool$" 90) || fail "no final message box"
sleep 0.5
shot final-box
xdotool key --window "$box" Return
for _ in $(seq 50); do kill -0 $PROG_PID 2>/dev/null || break; sleep 0.1; done
if kill -0 $PROG_PID 2>/dev/null; then fail "vrjtag still running after its message box"
else wait $PROG_PID; rc=$?; [ $rc = 0 ] || fail "vrjtag exit status $rc"; PROG_PID=; fi

if [ $case_name = direct ]; then
    connect_window shot "$BIN/vrjtag" --connect
    [ $FAILED = 0 ] && echo "PASS: $case_name"
    exit $FAILED
fi

# What the adapter received last is the release command.
kill $SIM_PID; wait $SIM_PID 2>/dev/null; SIM_PID=
heard=$(grep ' in ' "$WORK/adapter.log" | sed -E 's/^[0-9.]+ in (.*) [0-9]+$/\1/' | tr -d '\n')
case "$heard" in
    *'#8X\x0D') ;;
    *) fail "the last bytes to the adapter were not the release command: ...${heard: -40}" ;;
esac
if [ $case_name = verify ]; then
    case "$heard" in *'#8d'*) ;; *) fail "block d was never read" ;; esac
fi
[ $FAILED = 0 ] && echo "PASS: $case_name"
exit $FAILED
