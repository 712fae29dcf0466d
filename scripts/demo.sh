#!/usr/bin/env bash
# Builds the programs and starts the programmer.
#
# With an adapter configured (~/.config/varnholme/jtag.ini naming a port that
# exists) vrjtag runs against it. Otherwise, or with --emulator, it runs
# against the adapter emulator: an ATF1508AS holding a sample design, on a
# pseudo-terminal, with a temporary configuration home of its own so nothing
# of yours is touched. The sample files are copied into the demo's folder,
# where the file chooser opens. Without a display the same demo runs the
# scripted program through a VERIFY and prints what it showed.
#
# Installs the Debian packages it needs when they are missing (as root).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/packages.sh"
need cmake make g++ libfltk1.3-dev

cmake -S "$root" -B "$root/build" > /dev/null
cmake --build "$root/build" -j"$(nproc)" --target vrjtag-headless vrjtag-jed vrjtag-adapter-sim
[ -n "${DISPLAY:-}" ] && cmake --build "$root/build" -j"$(nproc)" --target vrjtag
bin=$root/build

# An adapter of the user's own?
config=${XDG_CONFIG_HOME:-$HOME/.config}/varnholme
if [ "${1:-}" != --emulator ] && [ -n "${DISPLAY:-}" ] && [ -r "$config/jtag.ini" ]; then
    port=$(head -n1 "$config/jtag.ini" | tr -d '\r' | cut -c1-6 | sed 's/ *$//')
    if [ -n "$port" ] && { [ -e "$config/$port" ] || [ -e "/dev/$port" ]; }; then
        echo "using the adapter on $port (from $config/jtag.ini); --emulator runs the demo instead"
        exec "$bin/vrjtag"
    fi
fi

demo=$(mktemp -d /tmp/vrjtag-demo-XXXXXX)
export XDG_CONFIG_HOME=$demo/config
mkdir -p "$XDG_CONFIG_HOME/varnholme"
printf 'sim\r\n' > "$XDG_CONFIG_HOME/varnholme/jtag.ini"
cp "$root"/tests/data/*.jed "$demo/"
sample=$demo/atf1508as-harrowm-Simple030-rosco.jed

"$bin/vrjtag-adapter-sim" --device ATF1508AS --load "$sample" --save "$demo/chip-after-demo.jed" \
    "$XDG_CONFIG_HOME/varnholme/sim" &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null' EXIT
for _ in $(seq 100); do [ -L "$XDG_CONFIG_HOME/varnholme/sim" ] && break; sleep 0.05; done

echo "adapter emulator: an ATF1508AS holding $(basename "$sample")"
echo "demo folder (samples, and what you read or save): $demo"
cd "$demo"
if [ -n "${DISPLAY:-}" ]; then
    "$bin/vrjtag"
else
    echo "no display: a scripted VERIFY of $(basename "$sample") instead"
    printf 'tick 214\npress 216\nchoose %s\n' "$sample" > operator
    VRJTAG_OPERATOR=operator VRJTAG_TRANSCRIPT=transcript "$bin/vrjtag-headless"
    grep -E '^(WDialogPutString	10(09|10)|WMessageBox)' transcript | cut -f2- | tr '\t' ' '
fi
