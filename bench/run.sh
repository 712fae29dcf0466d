#!/usr/bin/env bash
# The benchmark: every action on each device against the adapter emulator
# (paced at 115200 baud), the windowed program's processor use while it waits
# in the action dialog, and the JEDEC reader and writer in process. Prints one
# table at the end.
#
# The protocol floor of a run is computed from the emulator's log of that run:
# the commands it received say which waits the protocol requires (0.11 s after
# every row and page write, a 0.11 s pause and a 500 ms drain before each stage
# and before the identification that starts the transfers, a drain before
# every release except the one the erase sends, a drain after the erase's
# reply, a pause before the last release), and the bytes the adapter sent take
# 10 bits each at 115200 baud. The program's own bytes travel during the pause
# that follows them.
#
# The direct route (vrjtag-cli --probe: the flow runs in the CLI, OpenOCD
# drives the chip model over remote_bitbang) is measured against the chip's
# own floor: the vendor waits of the flow (read from the model's log of the
# run) plus its bits at the probe's clock (1 MHz). Its wall time is the whole
# command's, OpenOCD's start and stop included.
#
# The direct route through the Nano in probe mode (vrjtag-cli --probe nano on
# vrjtag-firmware-sim, fast line) is measured against the same floor.
#
# With arguments (emulator, openocd, firmware, direct, probe) it runs only those roads;
# BENCH_DEVICES, BENCH_ACTIONS and BENCH_USB narrow the probe road's runs.
#
# Installs the Debian packages it needs when they are missing (as root).
set -euo pipefail
roads=${*:-emulator openocd firmware direct probe}
road() { [[ " $roads " == *" $1 "* ]]; }
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/packages.sh"
need cmake make g++ libfltk1.3-dev time xvfb openocd gcc-avr avr-libc binutils-avr simavr libsimavr-dev libelf-dev pkg-config
cmake -S "$root" -B "$root/build" > /dev/null
cmake --build "$root/build" -j"$(nproc)" --target vrjtag vrjtag-headless vrjtag-cli vrjtag-adapter-sim vrjtag-adapter vrjtag-chip-model vrjtag-bench-jedec firmware vrjtag-firmware-sim > /dev/null
bin=$root/build
data=$root/tests/data
work=$(mktemp -d /tmp/vrjtag-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/cfg
mkdir -p "$XDG_CONFIG_HOME/varnholme"
printf 'sim\r\n' > "$XDG_CONFIG_HOME/varnholme/jtag.ini"
link=$XDG_CONFIG_HOME/varnholme/sim

start_sim() {
    rm -f "$link"
    "$bin/vrjtag-adapter-sim" --log "$work/log" "$@" "$link" > /dev/null 2>&1 &
    sim=$!
    for _ in $(seq 100); do [ -L "$link" ] && return 0; sleep 0.05; done
    echo "the emulator did not start" >&2; exit 1
}
stop_sim() { kill "$sim"; wait "$sim" 2>/dev/null || true; }

# floor LOG: the protocol floor in seconds, and the counts it is made of.
floor() {
    awk '
    function transfer(c) { return c ~ /^#8W/ || c ~ /^#8[abcd123]\\x0D/ }
    function ident(c) { return c ~ /^#8(I|4)\\x0D/ }
    $2 == "in" {
        # one log line may carry several commands: split after each CR
        s = $3
        while ((i = index(s, "\\x0D")) > 0) { cmd[n++] = substr(s, 1, i + 3); s = substr(s, i + 4) }
    }
    $2 == "out" { out += $4 }
    END {
        for (k = 0; k < n; k++) {
            c = cmd[k]; p = k > 0 ? cmd[k - 1] : ""; q = k + 1 < n ? cmd[k + 1] : ""
            if (c ~ /^#8W/) pauses++
            if (c ~ /^#8W/ && p !~ /^#8W/) { pauses++; drains++ }      # a write stage starts
            if (c ~ /^#8[abcd123]\\x0D/) { pauses++; drains++ }        # a read stage starts
            if (ident(c) && transfer(q)) { pauses++; drains++ }         # the transfers start
            if (c ~ /^#8X/ && p !~ /^#8E/) drains++                     # release
            if (c ~ /^#8E/) drains++                                    # after the erase reply
        }
        if (n > 0 && cmd[n - 1] ~ /^#8X/) pauses++                      # the end sequence
        printf "%.3f %d %d %d\n", pauses * 0.11 + drains * 0.5 + out * 10 / 115200, pauses, drains, out
    }' "$1"
}

# run_road START DEVICE ACTION: one headless run against the adapter that
# START starts (start_sim or start_jtag); sets wall, user, sys, box and the
# floor figures fl, pauses, drains, bytes.
run_road() {
    local start=$1 device=$2 action=$3 sample steps
    case $device in
        ATF1508AS) sample=$data/atf1508as-harrowm-Simple030-rosco.jed ;;
        ATF1504AS) sample=$data/atf1504as-harrowm-rosco_verilog-CPUglue.jed ;;
    esac
    rm -f "$work/log" "$work/out.jed"
    case $action in
        write)  $start --device $device; steps="tick 211|press 216|choose $sample" ;;
        secure) $start --device $device; steps="tick 212|press 216|choose $sample" ;;
        read)   $start --device $device --load "$sample"; steps="tick 213|press 216|choose $work/out.jed|answer yes" ;;
        verify) $start --device $device --load "$sample"; steps="tick 214|press 216|choose $sample" ;;
    esac
    tr '|' '\n' <<< "$steps" > "$work/operator"
    VRJTAG_OPERATOR=$work/operator VRJTAG_TRANSCRIPT=$work/transcript \
        /usr/bin/time -f "%e %U %S" -o "$work/time" "$bin/vrjtag-headless"
    case $start in start_sim) stop_sim ;; start_fw) stop_fw ;; *) stop_jtag ;; esac
    box=$(grep '^WMessageBox' "$work/transcript" | cut -f3)
    read -r wall user sys < "$work/time"
    read -r fl pauses drains bytes < <(floor "$work/log")
}

# run_case DEVICE ACTION: one run against the emulator; prints the table row.
run_case() {
    run_road start_sim "$1" "$2"
    awk -v d=$1 -v a=$2 -v w=$wall -v u=$user -v s=$sys -v f=$fl -v p=$pauses \
        -v dr=$drains -v b=$bytes -v box="$box" 'BEGIN {
        printf "| %s | %s | %.2f | %.2f (%d pauses, %d drains, %d bytes) | %.4f | %.2f %% | %s |\n",
            d, a, w, f, p, dr, b, w / f, 100 * (u + s) / w, box }'
}

# The road to a real chip without one: vrjtag-adapter -> openocd (its Tcl
# server) -> remote_bitbang -> vrjtag-chip-model. The floor adds the chip's
# own time to the protocol floor: per word read, 20 ms less the serial time
# of its reply (never below 0); per erase, 210 ms. Writes add nothing (their
# 30 ms pass inside the host's 0.11 s pause).
start_jtag() {
    rm -f "$link" "$work/model.log"
    "$bin/vrjtag-chip-model" --port 0 --log "$work/model.log" "$@" > "$work/model.out" 2>&1 &
    model=$!
    for _ in $(seq 100); do grep -q listening "$work/model.out" 2>/dev/null && break; sleep 0.05; done
    local mport tport
    mport=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/model.out")
    openocd -c "adapter driver remote_bitbang; remote_bitbang host 127.0.0.1; remote_bitbang port $mport" \
        -f "$root/packaging/openocd/atf15xx.cfg" -c "bindto 127.0.0.1; tcl_port 0; gdb_port disabled; telnet_port disabled" \
        > "$work/openocd.out" 2>&1 &
    ocd=$!
    for _ in $(seq 100); do
        tport=$(sed -n 's/.*Listening on port \([0-9]*\) for tcl connections.*/\1/p' "$work/openocd.out")
        [ -n "$tport" ] && break
        sleep 0.05
    done
    "$bin/vrjtag-adapter" --openocd "127.0.0.1:$tport" --log "$work/log" "$link" > "$work/adapter.out" 2>&1 &
    sim=$!
    for _ in $(seq 100); do [ -L "$link" ] && return 0; sleep 0.05; done
    echo "vrjtag-adapter did not start" >&2; exit 1
}
stop_jtag() { kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; kill "$ocd"; wait "$ocd" 2>/dev/null; wait "$model" 2>/dev/null || true; }

# The Nano road: vrjtag-firmware-sim runs the firmware in simavr against
# the chip model in process; its log holds both the line's bytes and the
# model's operations.
start_fw() {
    rm -f "$link" "$work/model.log"
    "$bin/vrjtag-firmware-sim" --log "$work/log" "$@" "$bin/firmware/vrjtag-nano.elf" "$link" > "$work/fw.out" 2>&1 &
    sim=$!
    for _ in $(seq 100); do [ -L "$link" ] && return 0; sleep 0.05; done
    echo "vrjtag-firmware-sim did not start" >&2; exit 1
}
stop_fw() { kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; cp "$work/log" "$work/model.log"; }

# chip_time DEVICE: seconds the chip itself adds, from the model's log.
chip_time() {
    awk -v big=$([ "$1" = ATF1508AS ] && echo 1 || echo 0) '
    $1 == "erase" { t += 0.26 }  # the pulse, then 50 ms in Test-Logic-Reset
    $1 == "read" {
        digits = $2 ~ /^0/ ? (big ? 82 : 42) : ($2 == "100" ? 8 : ($2 == "200" ? 1 : 4))
        s = 0.020 - (digits + 7) * 10 / 115200
        if (s > 0) t += s
    }
    END { printf "%.3f\n", t }' "$work/model.log"
}

run_jtag_case() {
    run_road start_jtag "$1" "$2"
    local chip
    chip=$(chip_time "$1")
    awk -v d=$1 -v a=$2 -v w=$wall -v f=$fl -v c=$chip -v box="$box" 'BEGIN {
        printf "| %s | %s | %.2f | %.2f + %.2f = %.2f | %.4f | %s |\n", d, a, w, f, c, f + c, w / (f + c), box }'
}

# idle_cpu: percent of one core vrjtag uses in the action dialog over 10 s.
idle_cpu() {
    start_sim --device ATF1508AS
    Xvfb :93 -screen 0 1024x768x24 -nolisten tcp > /dev/null 2>&1 &
    local xvfb=$!
    sleep 1
    DISPLAY=:93 "$bin/vrjtag" > /dev/null 2>&1 &
    local prog=$!
    sleep 2
    local t0 t1 hz
    hz=$(getconf CLK_TCK)
    t0=$(awk '{print $14 + $15}' /proc/$prog/stat)
    sleep 10
    t1=$(awk '{print $14 + $15}' /proc/$prog/stat)
    kill $prog $xvfb 2>/dev/null || true
    wait $prog $xvfb 2>/dev/null || true
    stop_sim
    awk -v a=$t0 -v b=$t1 -v hz=$hz 'BEGIN { printf "%.2f", 100 * (b - a) / hz / 10 }'
}

# direct_floor LOG WORDBITS ERASES: the flow's vendor waits and its bits at
# 1 MHz, from the model's log: per erase 210 ms plus 50 ms in Test-Logic-
# Reset, per program 30 ms, per read 20 ms, per leave 10 ms, and 50 ms after
# each of the flow's resets (two, four with an erase); bits: each scan's
# length plus six clocks to reach and leave its shift state.
direct_floor() {
    awk -v w=$2 -v e=$3 '
    $1 == "erase" { t += 0.260002; bits += 3 * 16 }
    $1 == "program" { t += 0.030001; bits += 4 * 16 + 17 + (w_of($2)) }
    $1 == "read" { t += 0.020001; bits += 3 * 16 + 17 + (w_of($2)) }
    $1 == "leave" { t += 0.010001; bits += 16 + 16 }
    $1 == "enter" { bits += 16 + 16 + 16 + 38 }
    function w_of(a) { return a == "100" ? 38 : a == "200" ? 10 : a == "300" ? 22 : w + 6 }
    END { printf "%.3f\n", t + (e ? 4 : 2) * 0.050021 + bits / 1e6 }' "$1"
}

direct_design() {
    case $1 in
        ATF1502AS) echo "$data/jtag/atf1502as-snes-dejitter-a.jed" ;;
        ATF1504AS) echo "$data/atf1504as-harrowm-rosco_verilog-CPUglue.jed" ;;
        ATF1508AS) echo "$data/atf1508as-harrowm-Simple030-rosco.jed" ;;
    esac
}

# direct_args DEVICE ACTION: the CLI's arguments (args) and the chip's
# starting file (load) for one direct-route run.
direct_args() {
    local design
    design=$(direct_design "$1")
    load=()
    case $2 in write | secure) args=("$2" "$design") ;;
        verify) args=(verify "$design"); load=(--load "$design") ;;
        read) args=(read "$work/out.jed"); load=(--load "$design"); rm -f "$work/out.jed" ;;
        erase) args=(erase); load=(--load "$design") ;;
        blank) args=(blank) ;;
    esac
}

# run_direct DEVICE ACTION: one vrjtag-cli --probe run; prints the table row.
run_direct() {
    local device=$1 action=$2 mport bits
    direct_args "$device" "$action"
    rm -f "$work/model.log"
    "$bin/vrjtag-chip-model" --device "$device" --port 0 --log "$work/model.log" "${load[@]}" > "$work/model.out" 2>&1 &
    model=$!
    for _ in $(seq 100); do grep -q listening "$work/model.out" 2>/dev/null && break; sleep 0.05; done
    mport=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/model.out")
    printf 'adapter driver remote_bitbang\nremote_bitbang host 127.0.0.1\nremote_bitbang port %s\n' "$mport" > "$work/probe.cfg"
    /usr/bin/time -f "%e" -o "$work/time" "$bin/vrjtag-cli" --probe "$work/probe.cfg" "${args[@]}" > "$work/cli.out" 2>&1 || true
    wait "$model" 2>/dev/null || true
    bits=$(case $device in ATF1502AS) echo 86 ;; ATF1504AS) echo 166 ;; *) echo 326 ;; esac)
    local fl wall last
    fl=$(direct_floor "$work/model.log" "$bits" $([[ $action == write || $action == secure || $action == erase ]] && echo 1 || echo 0))
    wall=$(cat "$work/time")
    last=$(tail -n 1 "$work/cli.out")
    awk -v d=$device -v a=$action -v w=$wall -v f=$fl -v box="$last" 'BEGIN {
        printf "| %s | %s | %.2f | %.2f | %.4f | %s |\n", d, a, w, f, w / f, box }'
}

# run_probe DEVICE ACTION USB: one vrjtag-cli --probe nano run through the
# firmware in simavr with a USB serial chip's behaviour on the line (--usb);
# prints the table row: the host's session in simulated time (what a real
# 16 MHz Nano takes, from the simulator's log at the hang-up) and in wall
# time, each against the chip's floor.
run_probe() {
    local device=$1 action=$2 usb=$3 bits fl sim_s wall last
    direct_args "$device" "$action"
    start_fw --device "$device" --usb "$usb" "${load[@]}"
    "$bin/vrjtag-cli" --probe nano --port "$link" --boot-wait 0 "${args[@]}" > "$work/cli.out" 2>&1 || true
    for _ in $(seq 40); do grep -q 'hangup' "$work/log" 2>/dev/null && break; sleep 0.05; done
    stop_fw
    bits=$(case $device in ATF1502AS) echo 86 ;; ATF1504AS) echo 166 ;; *) echo 326 ;; esac)
    fl=$(direct_floor "$work/model.log" "$bits" $([[ $action == write || $action == secure || $action == erase ]] && echo 1 || echo 0))
    read -r sim_s wall < <(sed -n 's/.*session \([0-9.]*\) s simulated, \([0-9.]*\) s wall.*/\1 \2/p' "$work/log" | tail -n 1)
    last=$(tail -n 1 "$work/cli.out")
    awk -v d=$device -v a=$action -v u=$usb -v s=${sim_s:-0} -v w=${wall:-0} -v f=$fl -v box="$last" 'BEGIN {
        printf "| %s | %s | %s | %.2f | %.2f | %.2f | %.3f | %.3f | %s |\n", d, a, u, s, w, f, s / f, w / f, box }'
}

rows=()
road emulator && for device in ATF1508AS ATF1504AS; do
    for action in write secure read verify; do
        echo "running $action on $device ..." >&2
        rows+=("$(run_case $device $action)")
    done
done
jtag_rows=()
road openocd && for device in ATF1508AS ATF1504AS; do
    for action in write secure read verify; do
        echo "running $action on $device through vrjtag-adapter and openocd ..." >&2
        jtag_rows+=("$(run_jtag_case $device $action)")
    done
done
fw_rows=()
road firmware && for device in ATF1508AS ATF1504AS; do
    for action in write secure read verify; do
        echo "running $action on $device through the Nano firmware in simavr ..." >&2
        run_road start_fw "$device" "$action"
        chip=$(chip_time "$device")
        fw_rows+=("$(awk -v d=$device -v a=$action -v w=$wall -v f=$fl -v c=$chip -v box="$box" 'BEGIN {
            printf "| %s | %s | %.2f | %.2f + %.2f = %.2f | %.4f | %s |\n", d, a, w, f, c, f + c, w / (f + c), box }')")
    done
done
direct_rows=()
road direct && for device in ATF1508AS ATF1504AS ATF1502AS; do
    for action in write secure verify read erase blank; do
        echo "running $action on $device through vrjtag-cli --probe (the direct route) ..." >&2
        direct_rows+=("$(run_direct $device $action)")
    done
done
probe_rows=()
road probe && for device in ${BENCH_DEVICES:-ATF1508AS ATF1504AS ATF1502AS}; do
    for action in ${BENCH_ACTIONS:-write secure verify read erase blank}; do
        for usb in ${BENCH_USB:-ft232r:16 ch340}; do
            echo "running $action on $device through vrjtag-cli --probe nano, a $usb and the firmware in simavr ..." >&2
            probe_rows+=("$(run_probe $device $action $usb)")
        done
    done
done
# The simulator's processor use in a VERIFY of the ATF1508AS (the firmware
# mostly bit-banging or waiting).
fw_speed=-
if road firmware; then
    echo "measuring the simulator's processor use ..." >&2
    start_fw --device ATF1508AS --load "$data/atf1508as-harrowm-Simple030-rosco.jed"
    printf '%s\n' 'tick 214' 'press 216' "choose $data/atf1508as-harrowm-Simple030-rosco.jed" > "$work/operator"
    VRJTAG_OPERATOR=$work/operator VRJTAG_TRANSCRIPT=$work/transcript "$bin/vrjtag-headless"
    fw_cpu=$(awk '{print $14 + $15}' /proc/$sim/stat)
    fw_wall=$(awk -v s=$(awk '{print $22}' /proc/$sim/stat) -v hz=$(getconf CLK_TCK) -v up=$(cut -d' ' -f1 /proc/uptime) 'BEGIN { printf "%.2f", up - s / hz }')
    stop_fw
    fw_speed=$(awk -v c=$fw_cpu -v w=$fw_wall -v hz=$(getconf CLK_TCK) 'BEGIN { printf "%.0f %%", 100 * c / hz / w }')
fi

echo "measuring vrjtag idle in the action dialog ..." >&2
idle=$(idle_cpu)
largest=$(ls -S "$data"/*.jed | head -1)
read -r read_us write_us < <("$bin/vrjtag-bench-jedec" "$largest" 200)

echo
echo "| device | action | wall s | protocol floor s | wall / floor | CPU / wall | final box |"
echo "|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
echo
echo "Through vrjtag-adapter, openocd and the chip model (goals: writes at most 1.03, READ and VERIFY 1.06 × the floor):"
echo
echo "| device | action | wall s | floor s (protocol + chip) | wall / floor | final box |"
echo "|---|---|---|---|---|---|"
printf '%s\n' "${jtag_rows[@]}"
echo
echo "Through the Nano firmware in simavr (vrjtag-firmware-sim) and the chip model:"
echo
echo "| device | action | wall s | floor s (protocol + chip) | wall / floor | final box |"
echo "|---|---|---|---|---|---|"
printf '%s\n' "${fw_rows[@]}"
echo
echo "The direct route: vrjtag-cli --probe, openocd and the chip model (the whole command, OpenOCD's start included;"
echo "goals: write and secure at most 1.06, the read-only actions 1.08 × the floor):"
echo
echo "| device | action | wall s | floor s (vendor waits + bits at 1 MHz) | wall / floor | final line |"
echo "|---|---|---|---|---|---|"
printf '%s\n' "${direct_rows[@]}"
echo
echo "The direct route through the Nano in probe mode: vrjtag-cli --probe nano, the firmware in simavr and the chip model:"
echo
echo "| device | action | USB chip | simulated s | wall s | floor s (vendor waits + bits at 1 MHz) | simulated / floor | wall / floor | final line |"
echo "|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${probe_rows[@]}"
echo
echo "vrjtag-firmware-sim's processor use while it keeps simulated time to wall-clock time: $fw_speed of one core"
echo
echo "vrjtag idle in the action dialog (10 s under Xvfb): $idle % of one core"
echo "JEDEC file $(basename "$largest"): read $read_us µs, write $write_us µs (mean of 200)"
