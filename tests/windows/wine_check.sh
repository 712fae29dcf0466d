#!/usr/bin/env bash
# The Windows programs under Wine, against the adapter emulator:
#   verify_read — a VERIFY and a READ of an ATF1504AS through
#                 vrjtag-headless.exe on COM5 (a Wine port linked to the
#                 emulator's pseudo-terminal), each compared with the Linux
#                 program's run on the same chip: transcripts equal apart from
#                 paths, the files read back byte for byte equal;
#   gui         — vrjtag.exe under Xvfb: the action dialog, a screenshot of
#                 it, Cancel, the final message box;
#   gui_verify  — vrjtag.exe under Xvfb through a whole VERIFY, the file
#                 picked in the Windows file selection; screenshots of it, of
#                 the progress dialog mid-run and of the final box;
#   gui_direct  — vrjtag.exe with jtag.ini naming a probe: the direct route's
#                 action dialog, the recovery's part dialog, Cancel; then
#                 vrjtag.exe --connect, the connection window.
# Each run uses a Wine prefix of its own. Exits 77 (skipped, saying why) when
# Wine, Xvfb or xdotool are missing, or when Wine cannot drive the
# pseudo-terminal as a serial port.
# Needs BIN (Linux build), WINBIN (Windows build), DATA and ARTIFACTS.
set -u
case_name=$1
here=$(cd "$(dirname "$0")" && pwd)
skip() { echo "SKIPPED: $*"; exit 77; }
command -v wine > /dev/null || skip "wine is not installed (scripts/test.sh installs it as root)"
[ -x "$BIN/vrjtag-adapter-sim" ] || skip "no Linux build of the emulator in $BIN"

WORK=$(mktemp -d /tmp/vrjtag-wine-XXXXXX)
export WINEPREFIX=$WORK/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
SIM_PID= XVFB_PID= FAILED=0
fail() { echo "FAIL: $*" >&2; FAILED=1; }
cleanup() {
    [ -n "$SIM_PID" ] && kill "$SIM_PID" 2> /dev/null
    wineserver -k 2> /dev/null
    # Xvfb gone for good (its display's socket removed) before another test
    # may start one on the same display number.
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2> /dev/null && wait "$XVFB_PID" 2> /dev/null
    if [ $FAILED = 0 ]; then rm -rf "$WORK"; else echo "kept $WORK" >&2; fi
}
trap cleanup EXIT

if [ $case_name != verify_read ]; then
    for tool in Xvfb xdotool import; do
        command -v $tool > /dev/null || skip "$tool is not installed"
    done
    Xvfb -displayfd 3 -screen 0 1600x900x24 -nolisten tcp 3> "$WORK/display" 2> /dev/null &
    XVFB_PID=$!
    for _ in $(seq 100); do [ -s "$WORK/display" ] && break; sleep 0.05; done
    export DISPLAY=:$(cat "$WORK/display")
    for _ in $(seq 100); do xdpyinfo > /dev/null 2>&1 && break; sleep 0.05; done
else
    unset DISPLAY  # the scripted program needs no display
fi
wineboot -i > "$WORK/wineboot.log" 2>&1 || { cat "$WORK/wineboot.log"; fail "wineboot failed"; exit 1; }

SAMPLE=$DATA/atf1504as-harrowm-rosco_verilog-CPUglue.jed
LINK=$WORK/cfg/varnholme/sim
mkdir -p "$WORK/cfg/varnholme" "$WORK/run"
printf 'sim\r\n' > "$WORK/cfg/varnholme/jtag.ini"
if [ "$case_name" = firmware_verify ]; then
    # The Windows route to a real chip: the Nano adapter (its firmware in simavr) on a COM port.
    [ -x "$BIN/vrjtag-firmware-sim" ] && [ -f "${FIRMWARE:-}" ] || skip "the Nano firmware or its simulator was not built"
    "$BIN/vrjtag-firmware-sim" --device ATF1504AS --load "$SAMPLE" --log "$WORK/adapter.log" "$FIRMWARE" "$LINK" > "$WORK/sim.out" 2>&1 &
else
    "$BIN/vrjtag-adapter-sim" --device ATF1504AS --load "$SAMPLE" --log "$WORK/adapter.log" "$LINK" > "$WORK/sim.out" 2>&1 &
fi
SIM_PID=$!
for _ in $(seq 100); do [ -L "$LINK" ] && break; sleep 0.05; done
# COM5 of the prefix is the emulator's link (which names a fresh
# pseudo-terminal after every program's run); C:\varnholme\jtag.ini names it.
ln -sfn "$LINK" "$WINEPREFIX/dosdevices/com5"
mkdir -p "$WINEPREFIX/drive_c/varnholme"
printf 'COM5\r\n' > "$WINEPREFIX/drive_c/varnholme/jtag.ini"
cp "$SAMPLE" "$WORK/run/chip.jed"
cd "$WORK/run"

# run_both NAME STEP...: the same script through the Linux and the Windows
# program; transcripts NAME.linux and NAME.windows.
run_both() {
    local name=$1; shift
    printf '%s\n' "$@" > "$name.operator"
    rm -f "$name.jed"
    XDG_CONFIG_HOME=$WORK/cfg VRJTAG_OPERATOR=$name.operator VRJTAG_TRANSCRIPT=$name.linux \
        timeout 120 "$BIN/vrjtag-headless" || fail "$name: Linux exit status $?"
    [ -f "$name.jed" ] && mv "$name.jed" "$name.linux.jed"
    # Wine itself sometimes fails to start a program on a loaded machine
    # (status 1, nothing written, not even the transcript): one more try then.
    local try
    for try in 1 2; do
        rm -f "$name.windows"
        VRJTAG_OPERATOR=$name.operator VRJTAG_TRANSCRIPT=$name.windows \
            timeout 120 wine "$WINBIN/vrjtag-headless.exe" > "$name.wine.out" 2>&1
        local rc=$?
        [ $rc != 0 ] && [ ! -e "$name.windows" ] && [ $try = 1 ] && { echo "$name: wine did not start the program, again"; continue; }
        [ $rc = 0 ] || fail "$name: Windows exit status $rc"
        break
    done
    [ -f "$name.jed" ] && mv "$name.jed" "$name.windows.jed"
    if grep -q 'Comport Open Failed' "$name.windows" && ! grep -q 'Comport Open Failed' "$name.linux"; then
        echo "Wine could not open the pseudo-terminal as COM5:"; cat "$name.windows"
        skip "Wine's serial layer cannot drive a pseudo-terminal here"
    fi
    # Paths differ: /tmp/... on Linux, Z:\tmp\... under Wine (each
    # backslash escaped as \\ in the transcript).
    local linux windows win_dir
    linux=$(< "$name.linux")
    windows=$(< "$name.windows")
    win_dir="Z:${PWD//\//\\\\}"
    linux=${linux//"$PWD/"/DIR/}
    windows=${windows//"$win_dir\\\\"/DIR/}
    printf '%s\n' "$linux" > "$name.linux.cmp"
    printf '%s\n' "$windows" > "$name.windows.cmp"
    if ! diff "$name.linux.cmp" "$name.windows.cmp" > "$name.diff"; then
        fail "$name: the transcripts differ"; head -20 "$name.diff"
    fi
    echo "$name: $(grep '^WMessageBox' "$name.windows" | cut -f3)"
}

case $case_name in
verify_read)
    run_both verify 'tick 214' 'press 216' 'choose chip.jed'
    grep -q 'VERIFY SUCCESS' verify.windows || fail "verify: no success under Wine"
    run_both read 'tick 213' 'press 216' 'choose read.jed' 'answer yes'
    grep -q 'READ & SAVE SUCCESS' read.windows || fail "read: no success under Wine"
    cmp read.linux.jed read.windows.jed || fail "read: the files differ"
    "$BIN/vrjtag-jed" diff "$SAMPLE" read.windows.jed > /dev/null || fail "read: the file differs from the chip"
    ;;
firmware_verify)
    run_both verify 'tick 214' 'press 216' 'choose chip.jed'
    grep -q 'VERIFY SUCCESS' verify.windows || fail "verify: no success under Wine"
    ;;
gui_direct)
    mkdir -p "$ARTIFACTS"
    # A probe nothing listens on: the dialogs only, the probe never opened.
    printf 'probe=remote_bitbang:127.0.0.1:1\r\n' > "$WINEPREFIX/drive_c/varnholme/jtag.ini"
    wine "$WINBIN/vrjtag.exe" > wine-gui.out 2>&1 &
    prog=$!
    . "$here/../gui/xdo.sh"
    shot() { screenshot "$ARTIFACTS/wine-$1.png"; }
    direct_dialogs shot || exit 1
    box=$(wait_window "^Varnholme Research JTAG Tool$" 60) || fail "no final message box"
    sleep 0.5
    xdotool key --window "$box" Return
    for _ in $(seq 100); do kill -0 $prog 2> /dev/null || break; sleep 0.1; done
    kill -0 $prog 2> /dev/null && fail "vrjtag.exe still running after its message box"
    connect_window shot wine "$WINBIN/vrjtag.exe" --connect
    ;;
gui | gui_verify)
    mkdir -p "$ARTIFACTS"
    wine "$WINBIN/vrjtag.exe" > wine-gui.out 2>&1 &
    prog=$!
    . "$here/../gui/xdo.sh"
    shot() { screenshot "$ARTIFACTS/wine-$1.png"; }
    click() { click_du "$action" "$@"; }
    action=$(wait_window "^Varnholme Research ATF1504/ATF1508 JTAG Programmer$" 60) ||
        { fail "the action dialog did not appear"; exit 1; }
    sleep 1
    if [ $case_name = gui ]; then
        click 46 62  # READ
        shot action-dialog
        click 100 97  # Cancel
    else
        click 46 74  # VERIFY
        click 300 97  # Continue
        chooser=$(wait_window "select an existing Jedec file" 30) || { fail "no file selection"; exit 1; }
        sleep 1
        shot file-selection
        # Keys go to the window under the pointer; the name field has the focus.
        eval "$(xdotool getwindowgeometry --shell "$chooser")"
        xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2))
        xdotool type --delay 20 chip.jed
        xdotool key Return
        wait_window "JTAG Programmer v04" 30 > /dev/null || fail "no progress dialog"
        sleep 3
        shot progress-dialog
    fi
    box=$(wait_window "^Varnholme Research JTAG Tool$" 60) || fail "no final message box"
    sleep 0.5
    shot final-box
    xdotool key --window "$box" Return
    for _ in $(seq 100); do kill -0 $prog 2> /dev/null || break; sleep 0.1; done
    kill -0 $prog 2> /dev/null && fail "vrjtag.exe still running after its message box"
    kill "$SIM_PID"; wait "$SIM_PID" 2> /dev/null; SIM_PID=
    heard=$(grep ' in ' "$WORK/adapter.log" | sed -E 's/^[0-9.]+ in (.*) [0-9]+$/\1/' | tr -d '\n')
    if [ $case_name = gui ]; then
        [ "$heard" = '#8X\x0D' ] || fail "the adapter heard '$heard', not the release alone"
    else
        case "$heard" in
            *'#8d\x0D'*'#8X\x0D') ;;
            *) fail "the VERIFY did not read the chip and release it: ...${heard: -60}" ;;
        esac
    fi
    ;;
esac
[ $FAILED = 0 ] && echo "PASS: $case_name"
exit $FAILED
