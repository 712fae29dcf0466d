# The robustness sweep: the fault table of sweep.txt, the adapter vanishing
# mid-run, a full disk under a READ's save, a port held by another program.

# The first ten characters of the emulator's reply for address ADDR (three
# upper-case hex digits), from its log.
reply_start() {
    grep ' out ' "$LOG" | sed -E 's/^[0-9.]+ out (.*) [0-9]+$/\1/' | tr -d '\n' |
        grep -o "r$1d.\{5\}" | head -1
}

# sweep NAME: one line of sweep.txt.
case_sweep() {
    local line name action device fault text sample steps
    line=$(grep "^$1|" "$(dirname "${BASH_SOURCE[0]}")/sweep.txt") || { fail "no sweep case $1"; return; }
    IFS='|' read -r name action device fault text <<< "$line"
    case ${device%% *} in
        1508) sample=$S1508; device_name=ATF1508AS ;;
        1504) sample=$S1504; device_name=ATF1504AS ;;
    esac
    case $action in
        write)  start_sim --device $device_name --fault "$fault"; steps=('tick 211' 'press 216' "choose $sample") ;;
        secure) start_sim --device $device_name --fault "$fault"; steps=('tick 212' 'press 216' "choose $sample") ;;
        verify) start_sim --device $device_name --load "$sample" --fault "$fault"; steps=('tick 214' 'press 216' "choose $sample") ;;
        read)
            if [ "${device#* }" = blank ]; then start_sim --device $device_name --fault "$fault"
            else start_sim --device $device_name --load "$sample" --fault "$fault"; fi
            echo 'old contents' > "$WORK/old.jed"
            steps=('tick 213' 'press 216' "choose $WORK/old.jed" 'answer yes') ;;
    esac
    run_program "${steps[@]}"
    stop_sim
    if [[ $text == *@* ]]; then
        local at=${text#*@} start
        start=$(reply_start "${at:1:3}")
        [ -n "$start" ] || fail "no reply for ${at:1:3} in the log"
        text="${text%@*}$start"
    fi
    expect_box "$text"
    expect_release_last
    if [ $action = read ]; then
        [ "$(cat "$WORK/old.jed")" = 'old contents' ] || fail "the existing file was changed"
    fi
}

# The adapter vanishes (the emulator killed, its pseudo-terminal closed) in
# the middle of a READ, a VERIFY and a WRITE: each run ends with its failure
# text soon after, one message box, no hang.
case_adapter_gone() {
    local -a cases=(
        "read|rows 128-223|read fuse map error - com-read timeout"
        "verify|rows 128-223|read fuse map error - com-read timeout"
        "write|rows 128-223|read fuse map error - com-read timeout"
    )
    for c in "${cases[@]}"; do
        IFS='|' read -r action stage text <<< "$c"
        local steps
        case $action in
            read) start_sim --device ATF1504AS --load "$S1504"; steps=('tick 213' 'press 216' "choose $WORK/gone.jed" 'answer yes') ;;
            verify) start_sim --device ATF1504AS --load "$S1504"; steps=('tick 214' 'press 216' "choose $S1504") ;;
            write) start_sim --device ATF1504AS; steps=('tick 211' 'press 216' "choose $S1504") ;;
        esac
        printf '%s\n' "${steps[@]}" > "$WORK/operator"
        rm -f "$TRANSCRIPT"  # the wait below must see this run's transcript only
        VRJTAG_OPERATOR=$WORK/operator VRJTAG_TRANSCRIPT=$TRANSCRIPT timeout 120 "$BIN/vrjtag-headless" &
        local prog=$!
        for _ in $(seq 600); do grep -qF -- "$stage" "$TRANSCRIPT" 2>/dev/null && break; sleep 0.05; done
        sleep 1
        kill -KILL "$SIM_PID"; wait "$SIM_PID" 2>/dev/null; SIM_PID=
        local killed=$SECONDS
        wait $prog; local rc=$?
        [ $rc = 0 ] || fail "$action: exit status $rc"
        # A write goes on writing the rest of its stage (under 96 rows of
        # 0.11 s) before it reads; a read ends at its next reply.
        local limit=2; [ $action = write ] && limit=13
        [ $((SECONDS - killed)) -le $limit ] || fail "$action: took $((SECONDS - killed)) s after the adapter vanished"
        expect_box "$text"
        [ "$(grep -c '^WMessageBox' "$TRANSCRIPT")" = 1 ] || fail "$action: not exactly one message box"
        [ $action = read ] && [ -s "$WORK/gone.jed" ] && fail "read: the interrupted read wrote its file"
        rm -f "$LOG"
    done
}

# A full disk under a READ's save: the new file cannot be written, the
# existing one keeps its contents. A small tmpfs filled up where the machine
# lets us mount one; else a file-size limit makes the same write fail.
case_full_disk() {
    local disk=$WORK/disk how
    mkdir -p "$disk"
    if mount -t tmpfs -o size=256k tmpfs "$disk" 2> /dev/null; then
        how="full tmpfs"
        trap 'umount "$WORK/disk" 2>/dev/null; cleanup' EXIT
        echo 'old contents' > "$disk/chip.jed"
        dd if=/dev/zero of="$disk/filler" bs=4k 2> /dev/null
    else
        how="file-size limit"
        echo 'old contents' > "$disk/chip.jed"
    fi
    echo "full disk by $how"
    start_sim --device ATF1508AS --load "$S1508"
    if [ "$how" = "full tmpfs" ]; then
        run_program 'tick 213' 'press 216' "choose $disk/chip.jed" 'answer yes'
    else
        # Ignored SIGXFSZ makes a write past the limit fail with EFBIG.
        (trap '' XFSZ; ulimit -f 64; run_program 'tick 213' 'press 216' "choose $disk/chip.jed" 'answer yes')
    fi
    expect_box 'File write error, abort.'
    expect_release_last
    [ "$(cat "$disk/chip.jed")" = 'old contents' ] || fail "the existing file was changed"
    [ -z "$(find "$disk" -name 'chip.jed.*')" ] || fail "a temporary file was left behind"
    umount "$disk" 2>/dev/null
}

# A port another program holds (its lock taken) is refused like one that
# cannot be opened; nothing is written to it.
case_port_held() {
    command -v flock > /dev/null || { echo "flock missing"; fail "flock (util-linux) is needed"; return; }
    start_sim
    exec 9< "$(readlink "$LINK")"
    flock -x 9 || { fail "could not take the port's lock"; return; }
    run_program 'tick 214' 'press 216'
    exec 9<&-
    expect_box 'Comport Open Failed\r\nEdit file "<root>\\varnholme\\jtag.ini" for correct comport.'
    stop_sim
    [ -z "$(adapter_heard)" ] || fail "the held port was written to: $(adapter_heard)"
}
