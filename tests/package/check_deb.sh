#!/usr/bin/env bash
# Builds the .deb with CPack from the build folder BIN, unpacks it into a
# scratch root and starts its programs from there; checks its dependencies.
# With VRJTAG_INSTALL_PACKAGE=1, as root (CI's fresh machine), it also
# installs the package with apt, runs it from the system and removes it.
set -u
WORK=$(mktemp -d /tmp/vrjtag-deb-XXXXXX)
FAILED=0 XVFB_PID=
fail() { echo "FAIL: $*" >&2; FAILED=1; }
trap '[ -n "$XVFB_PID" ] && kill $XVFB_PID 2>/dev/null; rm -rf "$WORK"' EXIT

(cd "$BIN" && cpack -G DEB -B "$WORK/out" > "$WORK/cpack.log" 2>&1) || { cat "$WORK/cpack.log"; fail "cpack failed"; exit 1; }
deb=$(ls "$WORK"/out/vrjtag_*.deb)
echo "built $(basename "$deb")"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
[[ $depends == *libfltk1.3* ]] || fail "no dependency on the FLTK runtime"

root=$WORK/root
dpkg-deb -x "$deb" "$root"
for f in usr/bin/vrjtag usr/bin/vrjtag-headless usr/bin/vrjtag-jed usr/bin/vrjtag-adapter-sim \
         usr/share/applications/vrjtag.desktop usr/share/applications/vrjtag-connection.desktop usr/share/icons/hicolor/scalable/apps/vrjtag.svg \
         usr/share/doc/vrjtag/README.md usr/share/doc/vrjtag/LICENSE-NOTES.txt usr/share/vrjtag/firmware/vrjtag-nano.hex; do
    [ -e "$root/$f" ] || fail "missing in the package: /$f"
done
grep -q '^Exec=vrjtag$' "$root/usr/share/applications/vrjtag.desktop" || fail "desktop entry does not start vrjtag"
grep -q '^Exec=vrjtag --connect$' "$root/usr/share/applications/vrjtag-connection.desktop" ||
    fail "the connection entry does not start vrjtag --connect"

"$root/usr/bin/vrjtag-jed" --help > "$WORK/help" || fail "vrjtag-jed --help failed"
grep -q inspect "$WORK/help" || fail "vrjtag-jed --help does not list inspect"
"$root/usr/bin/vrjtag-adapter-sim" --help > /dev/null || fail "vrjtag-adapter-sim --help failed"
env -u VRJTAG_OPERATOR -u VRJTAG_TRANSCRIPT "$root/usr/bin/vrjtag-headless" 2> /dev/null
[ $? = 2 ] || fail "vrjtag-headless without its script did not exit 2"

# The windowed program starts and shows its action dialog.
if command -v Xvfb > /dev/null && command -v xdotool > /dev/null; then
    Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3> "$WORK/display" 2> /dev/null &
    XVFB_PID=$!
    for _ in $(seq 100); do [ -s "$WORK/display" ] && break; sleep 0.05; done
    export DISPLAY=:$(cat "$WORK/display")
    # The server accepts clients a moment after it named its display (longer
    # on a loaded machine); a program started before that finds no display.
    for _ in $(seq 200); do xdotool getdisplaygeometry > /dev/null 2>&1 && break; sleep 0.05; done
    mkdir -p "$WORK/cfg/varnholme"
    XDG_CONFIG_HOME=$WORK/cfg "$root/usr/bin/vrjtag" > "$WORK/vrjtag.out" 2>&1 &
    prog=$!
    . "$(dirname "${BASH_SOURCE[0]}")/../gui/xdo.sh"
    found=
    wait_window "JTAG Programmer" 30 > /dev/null && found=1
    kill -0 $prog 2> /dev/null || echo "vrjtag ended early" >&2
    kill $prog 2> /dev/null
    kill $XVFB_PID 2> /dev/null
    wait $prog $XVFB_PID 2> /dev/null
    [ -n "$found" ] || { cat "$WORK/vrjtag.out" >&2; fail "vrjtag from the package showed no window"; }
else
    echo "no Xvfb: the windowed program's start is not checked"
fi

if [ "${VRJTAG_INSTALL_PACKAGE:-0}" = 1 ] && [ "$(id -u)" = 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" > "$WORK/apt.log" 2>&1 || { cat "$WORK/apt.log"; fail "apt install failed"; }
    /usr/bin/vrjtag-jed --help > /dev/null || fail "the installed vrjtag-jed does not start"
    DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq vrjtag > "$WORK/apt.log" 2>&1 || fail "apt remove failed"
    [ ! -e /usr/bin/vrjtag-jed ] || fail "files left after removal"
    echo "installed with apt, started, removed"
fi
[ $FAILED = 0 ] && echo PASS
exit $FAILED
