#!/usr/bin/env bash
# Builds the Windows zip with CPack from WINBIN, checks its contents, that
# every program needs only system DLLs, and starts vrjtag-jed.exe from it
# under Wine.
set -u
WORK=$(mktemp -d /tmp/vrjtag-zip-XXXXXX)
FAILED=0
fail() { echo "FAIL: $*" >&2; FAILED=1; }
trap 'WINEPREFIX=$WORK/prefix wineserver -k 2>/dev/null; rm -rf "$WORK"' EXIT
(cd "$WINBIN" && cpack -G ZIP -B "$WORK/out" > "$WORK/cpack.log" 2>&1) || { cat "$WORK/cpack.log"; fail "cpack failed"; exit 1; }
zip=$(ls "$WORK"/out/vrjtag-*.zip)
echo "built $(basename "$zip")"
(cd "$WORK" && cmake -E tar xf "$zip")
dir=$(ls -d "$WORK"/vrjtag-*/)
for f in vrjtag.exe vrjtag-headless.exe vrjtag-jed.exe vrjtag-cli.exe atf15xx.cfg README.md LICENSE-NOTES.txt vrjtag-nano.hex; do
    [ -e "$dir/$f" ] || fail "missing in the zip: $f"
done
for exe in "$dir"/*.exe; do
    extra=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name/ {print tolower($3)}' |
            grep -v -x -E 'kernel32.dll|user32.dll|gdi32.dll|comctl32.dll|comdlg32.dll|msvcrt.dll|advapi32.dll|winmm.dll|ws2_32.dll|setupapi.dll')
    [ -z "$extra" ] || fail "$(basename "$exe") needs $extra"
done
if command -v wine > /dev/null; then
    WINEPREFIX=$WORK/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wine "$dir/vrjtag-jed.exe" --help > "$WORK/help" 2>&1 ||
        fail "vrjtag-jed.exe --help failed under Wine"
    grep -q inspect "$WORK/help" || fail "vrjtag-jed.exe --help does not list inspect"
fi
[ $FAILED = 0 ] && echo PASS
exit $FAILED
