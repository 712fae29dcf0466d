# The end-to-end cases, one function each; run.sh runs one by name.
S1508=$DATA/atf1508as-harrowm-Simple030-rosco.jed
S1508B=$DATA/atf1508as-jeffsponaugle-roscoe-VIDEOADPT.jed
S1508T=$DATA/atf1508as-teknoman117-BREAKOUT-ATF1508AS-shift-register.jed
S1504=$DATA/atf1504as-harrowm-rosco_verilog-CPUglue.jed
S1504B=$DATA/atf1504as-rosco-m68k-rosco_m68k-tiny_030_glue.jed

steps_1508=(
    'Reading JEDEC file:  ' 'Checking chip type.....' 'Erasing fuse map from chip.....'
    'Writing fuse map to chip....\r\n...rows  12-107 (Logic Blocks A-D product terms)'
    '  Reading fuse map..........\r\n...rows  12-107 (Logic Blocks A-D product terms)'
    'Writing fuse map to chip....\r\n...rows 128-223 (Logic Blocks E-H product terms)'
    'Writing fuse map to chip....\r\n...rows   0- 11 (Configuration Bits)'
    'Writing fuse map to chip....\r\n...rows 224-250 (UIM and OE UIM Bits)'
    'Writing fuse map to chip....\r\n...page 2 (special purpose bits)'
    'Writing fuse map to chip....\r\n...page 3 (Signature Bits)'
    'Writing fuse map to chip....\r\n...page 1 (Device Config Bits)'
    '  Reading fuse map..........\r\n...page 1 (Device Config Bits)'
)

# WRITE of a sample, then the chip holds the sample with the special purpose
# fuses forced to 1 (they are 1011 in this file).
case_write_1508() {
    start_sim --device ATF1508AS --save "$WORK/chip.jed"
    run_program 'tick 211' 'press 216' "choose $S1508T"
    expect_box 'WRITE & VERIFY SUCCESS'
    expect_progress_full 877
    expect_line 'WDialogPutString\t1009\tJEDEC file type is ATF1508\\r\\nchip type is STD-5V-ATF1508\\r\\n...match!....programming...\\r\\n...read-protection will not be set.'
    expect_in_order "${steps_1508[@]}"
    expect_release_last
    "$BIN/vrjtag-jed" inspect "$WORK/chip.jed" > /dev/null || fail "saved chip refused"
    [ "$("$BIN/vrjtag-jed" diff "$S1508T" "$WORK/chip.jed")" = "74115 0 1" ] || fail "chip differs from the file"
}

# The security action: read protection set, the other special fuses 1.
case_write_secure_1504() {
    start_sim --device ATF1504AS --save "$WORK/chip.jed"
    run_program 'tick 212' 'press 216' "choose $S1504"
    expect_box 'WRITE & VERIFY SUCCESS'
    expect_progress_full 823
    expect_line 'WDialogPutString\t1009\tJEDEC file type is ATF1504\\r\\nchip type is STD-5V-ATF1504\\r\\n...match!....programming...\\r\\n...read-protection will be set.'
    expect_line 'WDialogPutString\t1010\tWriting fuse map to chip....\\r\\n...rows  12-107 (Logic Blocks A-B product terms)'
    expect_line 'WDialogPutString\t1010\tWriting fuse map to chip....\\r\\n...rows 128-223 (Logic Blocks C-D product terms)'
    expect_release_last
    [ "$("$BIN/vrjtag-jed" diff "$S1504" "$WORK/chip.jed")" = "34166 1 0" ] || fail "chip differs from the file"
}

case_read_1508() {
    start_sim --device ATF1508AS --load "$S1508"
    run_program 'tick 213' 'press 216' "choose $WORK/back"
    expect_box 'READ & SAVE SUCCESS'
    expect_progress_full 264
    expect_line "selected\t$WORK/back.jed"
    expect_line 'WDialogPutString\t1009\t                          \\r\\nchip type is STD-5V-ATF1508'
    expect_line "WDialogPutString\t1010\tOpening JEDEC file: $WORK/back.jed"
    expect_release_last
    "$BIN/vrjtag-jed" inspect "$WORK/back.jed" > /dev/null || fail "file read back refused"
    "$BIN/vrjtag-jed" diff "$S1508" "$WORK/back.jed" > /dev/null || fail "file read back differs"
}

case_read_1504() {
    start_sim --device ATF1504AS --load "$S1504B"
    run_program 'tick 213' 'press 216' "choose $WORK/back.jed"
    expect_box 'READ & SAVE SUCCESS'
    expect_progress_full 246
    expect_release_last
    "$BIN/vrjtag-jed" diff "$S1504B" "$WORK/back.jed" > /dev/null || fail "file read back differs"
}

case_verify_1508() {
    start_sim --device ATF1508AS --load "$S1508B"
    run_program 'tick 214' 'press 216' "choose $S1508B"
    expect_box 'VERIFY SUCCESS'
    expect_progress_full 369
    expect_line 'WDialogPutString\t1009\tJEDEC file type is ATF1508\\r\\nchip type is STD-5V-ATF1508\\r\\n...match!....verifying...'
    expect_release_last
    expect_heard_not '#8W'
    expect_heard_not '#8E'
}

case_verify_1504() {
    start_sim --device ATF1504AS --load "$S1504"
    run_program 'tick 214' 'press 216' "choose $S1504"
    expect_box 'VERIFY SUCCESS'
    expect_progress_full 351
    expect_release_last
}

# An ATF1504AS file on an ATF1508AS chip: identified, nothing erased.
case_mismatch() {
    start_sim --device ATF1508AS
    run_program 'tick 211' 'press 216' "choose $S1504"
    expect_box 'File type and chip type mismatch...abort'
    expect_line 'WDialogPutString\t1009\tJEDEC file type is ATF1504\\r\\nchip type is STD-5V-ATF1508\\r\\n...mis-matched...aborting!'
    expect_release_last
    [ "$(adapter_heard)" = '#8X\x0D#84\x0D#8X\x0D#8X\x0D' ] || fail "unexpected bytes: $(adapter_heard)"
}

# A file naming neither programmable device, and a real ATF1502AS design
# (which the tools accept): the adapter hears only the release.
case_unknown_type() {
    printf '\002JEDEC file for: ATF1502AS\r\n*\r\nL0 1*\r\n\0030000\r\n' > "$WORK/other.jed"
    for file in "$WORK/other.jed" "$DATA/jtag/atf1502as-snes-dejitter-a.jed"; do
        start_sim
        run_program 'tick 211' 'press 216' "choose $file"
        expect_box 'File type unknown, abort'
        expect_release_last
        [ "$(adapter_heard)" = '#8X\x0D' ] || fail "the adapter heard more than the release"
        stop_sim
        rm -f "$LOG"
    done
    "$BIN/vrjtag-jed" inspect "$DATA/jtag/atf1502as-snes-dejitter-a.jed" > "$WORK/inspect" || fail "inspect refused the ATF1502AS file"
    grep -qx 'device: ATF1502AS' "$WORK/inspect" || fail "inspect: $(cat "$WORK/inspect")"
    grep -q 'the adapter protocol does not serve this device: program it with vrjtag-cli --probe' "$WORK/inspect" || fail "inspect does not say how to program it"
}

case_erase_fail() {
    start_sim --fault erase-fail
    run_program 'tick 211' 'press 216' "choose $S1508"
    expect_box 'Erase CPLD failed.  Write aborted.'
    expect_release_last
    expect_heard_not '#8W'
}

case_no_id() {
    start_sim --fault no-id
    run_program 'tick 211' 'press 216' "choose $S1508"
    expect_box 'Programmer not responding, abort'
    expect_release_last
    expect_heard_not '#8E'
}

# Each read failure text, on a READ (the reply of an early row is damaged).
case_read_faults() {
    local t='read fuse map error - '
    local -a cases=(
        "stall-row=13|${t}com-read timeout"
        "wrong-address=12|${t}row reported out of order(a)"
        "bad-hex=12|${t}format error parsing hex data r00Cd3FF00"
        "nul-row=14|${t}com-read timeout"
        "no-r=12|${t}format, \"r\" missing"
        "no-d=13|${t}format, \"d\" missing"
        "no-e=12|${t}format, \"e\" missing"
        "crlf|${t}format, \"r\" missing"
    )
    for c in "${cases[@]}"; do
        local fault=${c%%|*} text=${c#*|}
        start_sim --device ATF1508AS --load "$S1508" --fault "$fault"
        echo 'old contents' > "$WORK/old.jed"
        run_program 'tick 213' 'press 216' "choose $WORK/old.jed" 'answer yes'
        expect_box "$text"
        expect_release_last
        [ "$(cat "$WORK/old.jed")" = 'old contents' ] || fail "$fault: the existing file was changed"
        rm -f "$LOG"
    done
}

# A write whose first row is lost fails its stage; a verify of another design
# fails at the first stage; a verify of a read-protected chip reads zeros.
case_verify_failures() {
    start_sim --device ATF1508AS --fault drop-write=12
    run_program 'tick 211' 'press 216' "choose $S1508"
    expect_box 'Verify failure rows 12-107, write aborted.'
    expect_release_last
    rm -f "$LOG"

    start_sim --device ATF1508AS --load "$S1508"
    run_program 'tick 214' 'press 216' "choose $S1508B"
    expect_box 'Verify failure rows 12-107, write aborted.'
    expect_release_last
    rm -f "$LOG"

    sed 's/^L74114 1111\*/L74114 0111*/' "$S1508" | grep -av '^C[0-9A-F]\{4\}\*' > "$WORK/protected.jed"
    start_sim --device ATF1508AS --load "$WORK/protected.jed"
    run_program 'tick 214' 'press 216' "choose $WORK/protected.jed"
    expect_box 'Verify failure rows 12-107, write aborted.'
    expect_release_last
}

# A stuck fuse in page 1 fails the last stage of a write of the smaller chip.
case_verify_failure_page() {
    start_sim --device ATF1504AS --fault stuck-fuse=34140
    grep -av '^C[0-9A-F]\{4\}\*' "$S1504" | sed 's/^L34134 \(......\)1/L34134 \10/' > "$WORK/page1.jed"
    "$BIN/vrjtag-jed" inspect "$WORK/page1.jed" > /dev/null || fail "test file refused"
    run_program 'tick 211' 'press 216' "choose $WORK/page1.jed"
    expect_box 'Verify failure page 1, write aborted.'
    expect_release_last
}

# Cancel while a stage runs takes effect at the next poll; during the erase,
# before the first write.
case_cancel() {
    start_sim --device ATF1504AS --load "$S1504"
    run_program 'tick 214' 'press 216' "choose $S1504" 'wait 1010 rows 128-223' 'press 1012'
    expect_box 'Abort requested...write not finished.'
    expect_line 'WDialogPutString\t1010\t  Reading fuse map..........\\r\\n...rows 128-223 (Logic Blocks C-D product terms)'
    grep -qF 'rows   0- 11' "$TRANSCRIPT" && fail "went on after the cancel"
    expect_release_last
    rm -f "$LOG"

    # Steps are taken at the polls only, so a press queued now is seen by the
    # first poll after the erase, as a press made during the erase would be.
    start_sim --device ATF1504AS
    run_program 'tick 211' 'press 216' "choose $S1504" 'press 1012'
    expect_box 'Abort requested...write not finished.'
    expect_line 'WDialogPutString\t1010\tErasing fuse map from chip.....'
    expect_release_last
    adapter_heard | grep -qF '#8E' || fail "the erase was not sent"
    expect_heard_not '#8W'
    rm -f "$LOG"

    # A cancelled read writes nothing, and leaves no empty new file behind.
    start_sim --device ATF1504AS --load "$S1504"
    run_program 'tick 213' 'press 216' "choose $WORK/new.jed" 'press 1012'
    expect_box 'Abort requested...write not finished.'
    expect_release_last
    [ -e "$WORK/new.jed" ] && fail "the cancelled read left its file behind"
}

case_file_open_error() {
    start_sim
    run_program 'tick 213' 'press 216' "choose $WORK/no/such/folder/x.jed"
    expect_box 'File open error, abort.'
    expect_release_last
    [ "$(adapter_heard)" = '#8X\x0D' ] || fail "the adapter heard more than the release"
}

# Start-up without a configuration, and with a port that is not a terminal.
case_configuration() {
    rm "$XDG_CONFIG_HOME/varnholme/jtag.ini"
    run_program 'tick 213' 'press 215'
    expect_box 'file "<root>\\varnholme\\jtag.ini" was not found.'
    printf 'null\n' > "$XDG_CONFIG_HOME/varnholme/jtag.ini"
    run_program 'tick 213' 'press 215'
    expect_box 'Comport Open Failed\r\nEdit file "<root>\\varnholme\\jtag.ini" for correct comport.'
}

# The cancel of the action dialog, with the release bytes on the line.
case_action_cancel() {
    start_sim
    run_program 'tick 213' 'press 215'
    expect_box 'Action Cancelled...exiting'
    expect_release_last
    [ "$(adapter_heard)" = '#8X\x0D' ] || fail "expected exactly the release, got $(adapter_heard)"
}

# The emulator replaces only a symbolic link (or nothing) as its LINK; an
# operator script that ends while the action dialog waits closes it.
case_link_and_script_end() {
    printf 'keep me\n' > "$WORK/precious"
    "$BIN/vrjtag-adapter-sim" "$WORK/precious" > "$WORK/refused.out" 2>&1 &&
        fail "a regular file was taken as LINK"
    [ "$(cat "$WORK/precious")" = 'keep me' ] || fail "the file given as LINK was touched"
    start_sim
    run_program 'tick 213'
    [ "$(tail -n 1 "$TRANSCRIPT")" = WindowClose ] || fail "the run did not end"
    expect_release_last
}

# The emulator program itself: a map written and read through it, then --save.
case_emulator_program() {
    "$BIN/vrjtag-adapter-sim" --help | grep -q -- '--fault' || fail "--help lacks --fault"
    for opt in --device --id --load --save --log --no-pacing no-id erase-fail crlf stall-row wrong-address \
               bad-hex nul-row no-r no-d no-e stuck-fuse drop-write; do
        "$BIN/vrjtag-adapter-sim" --help | grep -q -- "$opt" || fail "--help lacks $opt"
    done
    "$BIN/vrjtag-adapter-sim" --fault bogus "$LINK" 2> /dev/null && fail "an unknown fault was accepted"
    start_sim --device ATF1504AS --save "$WORK/chip.jed"
    run_program 'tick 211' 'press 216' "choose $S1504B"
    expect_box 'WRITE & VERIFY SUCCESS'
    expect_release_last
    local out; out=$("$BIN/vrjtag-jed" inspect "$WORK/chip.jed")
    echo "$out" | grep -q '^accepted$' || fail "saved file refused"
    [ "$(echo "$out" | grep 'file checksum')" = "$(echo "$out" | grep 'computed checksum' | sed 's/computed/file/')" ] \
        || fail "saved checksum does not match its fuses"
}

# One chip through WRITE, VERIFY and READ of the same design: the file read
# back holds the design's fuses apart from the special purpose fuses
# (74114-74117), which the write forces to 1. The design has a 0 among them,
# so the check sees a forced fuse.
case_write_verify_read() {
    start_sim --device ATF1508AS
    run_program 'tick 211' 'press 216' "choose $S1508T"
    expect_box 'WRITE & VERIFY SUCCESS'
    run_program 'tick 214' 'press 216' "choose $S1508T"
    expect_box 'VERIFY SUCCESS'
    run_program 'tick 213' 'press 216' "choose $WORK/back.jed" 'answer yes'
    expect_box 'READ & SAVE SUCCESS'
    expect_release_last
    "$BIN/vrjtag-jed" diff "$S1508T" "$WORK/back.jed" > "$WORK/diff"
    [ $? -le 1 ] || fail "diff refused a file"
    # Lines: fuse, value in the design, value read back.
    while read -r fuse _ back; do
        if [ "$fuse" -lt 74114 ] || [ "$fuse" -gt 74117 ] || [ "$back" != 1 ]; then
            fail "fuse $fuse differs outside the forced special purpose fuses"
        fi
    done < "$WORK/diff"
    [ -s "$WORK/diff" ] || fail "the forced special purpose fuse was not seen"
    echo "differing fuses (all forced special purpose fuses): $(wc -l < "$WORK/diff")"
}

# vrjtag-cli: run_cli ARGUMENTS..., output in cli.out and cli.err, status in CLI_RC.
run_cli() {
    timeout 120 "$BIN/vrjtag-cli" "$@" > "$WORK/cli.out" 2> "$WORK/cli.err"
    CLI_RC=$?
}

# cli_wire ACTION TICK: the bytes on the wire are those of the windowed
# program (headless) for the same action and chip.
cli_wire() {
    local action=$1 tick=$2 load=() file=$S1504 headless_file=$S1504
    if [ "$action" = read ] || [ "$action" = verify ]; then load=(--load "$S1504"); fi
    [ "$action" = read ] && { file=$WORK/cli.jed; headless_file=$WORK/headless.jed; }
    start_sim --device ATF1504AS "${load[@]}"
    run_program "tick $tick" 'press 216' "choose $headless_file"
    expect_release_last
    adapter_heard > "$WORK/headless.wire"
    rm -f "$LOG"
    start_sim --device ATF1504AS "${load[@]}"
    run_cli "$action" "$file"
    expect_release_last
    adapter_heard > "$WORK/cli.wire"
    cmp -s "$WORK/headless.wire" "$WORK/cli.wire" || fail "wire bytes differ from the headless program's"
    [ "$CLI_RC" = 0 ] || fail "exit status $CLI_RC: $(tail -n 1 "$WORK/cli.out")"
    [ "$action" = read ] && { cmp -s "$WORK/cli.jed" "$WORK/headless.jed" || fail "READ files differ"; }
    # Not a terminal: plain lines only, no control characters but line feeds.
    LC_ALL=C grep -q $'[\x01-\x09\x0b-\x1f\x7f]' "$WORK/cli.out" && fail "control characters in the output"
    return 0
}
case_cli_write() { cli_wire write 211; [ "$(tail -n 1 "$WORK/cli.out")" = 'WRITE & VERIFY SUCCESS' ] || fail "final line"; }
case_cli_secure() { cli_wire secure 212; }
case_cli_read() { cli_wire read 213; [ "$(tail -n 1 "$WORK/cli.out")" = 'READ & SAVE SUCCESS' ] || fail "final line"; }
case_cli_verify() { cli_wire verify 214; }

case_cli_status() {
    # A usage error: exit 2, nothing sent.
    start_sim --device ATF1504AS
    run_cli frobnicate "$S1504"
    [ "$CLI_RC" = 2 ] || fail "unknown action: exit $CLI_RC"
    touch "$WORK/exists.jed"
    run_cli read "$WORK/exists.jed"
    [ "$CLI_RC" = 2 ] || fail "READ over an existing file without --force: exit $CLI_RC"
    run_cli verify "$WORK/$(printf 'x%.0s' $(seq 130)).jed"
    [ "$CLI_RC" = 2 ] || fail "a path longer than 128 characters: exit $CLI_RC"
    # A file whose design takes the JTAG pins: the hazard on stderr, exit 1,
    # nothing sent.
    run_cli write "$S1508T"
    [ "$CLI_RC" = 1 ] && grep -q '^vrjtag-cli: hazard: JTAG' "$WORK/cli.err" || fail "JTAG-off file: exit $CLI_RC: $(cat "$WORK/cli.err")"
    stop_sim
    [ -s "$LOG" ] && grep -q ' in ' "$LOG" && fail "a usage error or a hazard sent something"
    # A failure text: exit 1, the text last. --port names the line directly.
    rm -f "$LOG"
    start_sim --device ATF1504AS
    XDG_CONFIG_HOME=/nonexistent run_cli --port "$LINK" verify "$S1504"
    [ "$CLI_RC" = 1 ] || fail "verify of an erased chip: exit $CLI_RC"
    [ "$(tail -n 1 "$WORK/cli.out")" = 'Verify failure rows 12-107, write aborted.' ] || fail "final line: $(tail -n 1 "$WORK/cli.out")"
    expect_release_last
}

case_cli_interrupt() {
    # Ctrl-C mid-stage is the Cancel button: the release goes out, the cancel
    # text is printed; a second Ctrl-C does not cut that short.
    start_sim --device ATF1504AS --load "$S1504"
    "$BIN/vrjtag-cli" verify "$S1504" > "$WORK/cli.out" 2> "$WORK/cli.err" &
    local pid=$! i
    for i in $(seq 200); do grep -q 'rows 128-223' "$WORK/cli.out" 2> /dev/null && break; sleep 0.05; done
    kill -INT $pid
    sleep 0.05
    kill -INT $pid
    wait $pid
    local rc=$?
    [ $rc = 1 ] || fail "exit status $rc"
    [ "$(tail -n 1 "$WORK/cli.out")" = 'Abort requested...write not finished.' ] || fail "final line: $(tail -n 1 "$WORK/cli.out")"
    expect_release_last
}

case_cli_terminal() {
    # On a terminal the bar redraws in place and reaches 100 %.
    # script(1) comes with util-linux; without it the case is skipped, and
    # said so (a skip fails a strict run).
    command -v script > /dev/null || { echo "no script(1): skipped"; exit 77; }
    start_sim --device ATF1504AS --load "$S1504"
    script -qec "'$BIN/vrjtag-cli' verify '$S1504'" /dev/null > "$WORK/tty.out" < /dev/null
    tr '\r' '\n' < "$WORK/tty.out" | grep -q '\] 100% ' || fail "the bar did not reach 100 %"
    grep -q 'VERIFY SUCCESS' "$WORK/tty.out" || fail "no final text"
    expect_release_last
}

# A host killed in the middle of a secure write, while it held the port
# exclusively (TIOCEXCL, cleared only at a clean close): the adapter sees the
# hang-up, drops the pending read protection and serves a fresh
# pseudo-terminal, so the same user's next run works. Run as an unprivileged
# user where we are root: root is not refused by TIOCEXCL.
case_host_killed() {
    local as=()
    if [ "$(id -u)" = 0 ]; then
        as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
        chmod -R a+rwX "$WORK"
    fi
    rm -f "$LINK"
    "${as[@]}" "$BIN/vrjtag-adapter-sim" --device ATF1504AS --log "$LOG" --save "$WORK/chip.jed" "$LINK" > "$WORK/sim.out" 2>&1 &
    SIM_PID=$!
    for _ in $(seq 100); do [ -L "$LINK" ] && break; sleep 0.05; done
    local first
    first=$(readlink "$LINK")
    printf '%s\n' 'tick 212' 'press 216' "choose $S1504" > "$WORK/operator"
    VRJTAG_OPERATOR=$WORK/operator VRJTAG_TRANSCRIPT=$TRANSCRIPT "${as[@]}" "$BIN/vrjtag-headless" &
    local prog=$!
    for _ in $(seq 1200); do grep -qF -- 'page 3' "$TRANSCRIPT" 2>/dev/null && break; sleep 0.05; done
    kill -KILL $prog; wait $prog 2>/dev/null
    # The adapter has taken the hang-up once the link names a fresh pseudo-terminal.
    for _ in $(seq 200); do [ "$(readlink "$LINK")" != "$first" ] && break; sleep 0.05; done
    grep -q hangup "$LOG" || fail "the adapter did not see the host go"
    grep -q 'read protection NOT set: the host closed the port' "$LOG" || fail "pending read protection not dropped"
    [ "$(readlink "$LINK")" != "$first" ] || fail "the link still names the old pseudo-terminal"
    printf '%s\n' 'tick 213' 'press 216' "choose $WORK/back.jed" > "$WORK/operator"
    VRJTAG_OPERATOR=$WORK/operator VRJTAG_TRANSCRIPT=$TRANSCRIPT timeout 120 "${as[@]}" "$BIN/vrjtag-headless" ||
        fail "second run failed"
    expect_box 'READ & SAVE SUCCESS'
    stop_sim
    [ "$("$BIN/vrjtag-jed" inspect "$WORK/chip.jed" | grep -c 'read protection is set')" = 0 ] || fail "the chip was locked"
}
