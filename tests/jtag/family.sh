# Shared by the direct-route tests (OpenOCD, the Nano in probe mode): a
# design per part, the checks on what the chip model saved, and one round
# of every action on one part, and the recovery's aids. The caller defines step NAME DEVICE [model
# options] -- CLI ARGS..., which sets RC and LAST and leaves the model's
# file in $WORK/NAME.jed and its log in $WORK/NAME.log.

# design DEVICE: a JEDEC file for the part.
design() {
    case $1 in
    ATF1502AS) echo "$DATA/jtag/atf1502as-snes-dejitter-a.jed" ;;
    ATF1502ASV) echo "$DATA/jtag/atf1502asv-multi-function.jed" ;;
    ATF1504AS) echo "$DATA/jtag/atf1504as-neogeo-plcc44.jed" ;;
    ATF1504ASV) echo "$DATA/atf1504as-harrowm-rosco_verilog-CPUglue.jed" ;;
    ATF1508AS) echo "$DATA/atf1508as-harrowm-Simple030-rosco.jed" ;;
    ATF1508ASV) echo "$DATA/atf1508as-jeffsponaugle-roscoe-VIDEOADPT.jed" ;;
    esac
}

expect() { [ "$RC" = "$1" ] && [ "$LAST" = "$2" ] || fail "$3: exit $RC, last line: $LAST $(cat "$WORK/$3.err")"; }

# holds NAME FILE: the model's saved chip equals FILE but for the four special
# purpose fuses (forced to 1: JTAG stays on, no read protection).
holds() {
    local first
    case $("$BIN/vrjtag-jed" inspect "$2" | sed -n 's/^device: //p') in
    ATF1502AS) first=16782 ;; ATF1508AS) first=74114 ;; *) first=34166 ;;
    esac
    "$BIN/vrjtag-jed" diff "$2" "$WORK/$1.jed" > "$WORK/$1.diff"
    [ $? -le 1 ] || fail "$1: saved file refused"
    [ -z "$(awk -v a="$first" '$1 < a || $1 > a + 3' "$WORK/$1.diff")" ] ||
        fail "$1: the chip differs from $2: $(head -3 "$WORK/$1.diff")"
}

never() { ! grep -q "$2" "$WORK/$1.log" || fail "$1: $3"; }

# family_round DEVICE: write, verify, read, blank of a programmed chip,
# secure, erase and blank, each a `step` of the calling script.
family_round() {
    local DEV=$1 file
    file=$(design "$DEV")
    step write "$DEV" -- write "$file"
    expect 0 'WRITE & VERIFY SUCCESS' write
    [ "$(grep -c '^erase$' "$WORK/write.log")" = 1 ] || fail "write: not erased exactly once"
    never write '^program 200 7' 'read protection on a plain write'
    holds write "$file"
    step verify "$DEV" --load "$WORK/write.jed" -- verify "$file"
    expect 0 'VERIFY SUCCESS' verify
    never verify '^erase\|^program' 'a verify changed the chip'
    step read "$DEV" --load "$WORK/write.jed" -- read "$WORK/back.jed"
    expect 0 'READ & SAVE SUCCESS' read
    holds read "$WORK/back.jed"
    "$BIN/vrjtag-jed" diff "$WORK/write.jed" "$WORK/back.jed" > /dev/null || fail "read: the file differs from the chip"
    step blank_full "$DEV" --load "$WORK/write.jed" -- blank
    [ "$RC" = 1 ] && [[ "$LAST" == 'BLANK CHECK FAILED: word 00C is not erased'* ]] || fail "blank of a programmed chip: $LAST"
    step secure "$DEV" -- secure "$file"
    expect 0 'WRITE & VERIFY SUCCESS' secure
    [ "$(grep '^program' "$WORK/secure.log" | tail -n 1)" = 'program 200 7' ] || fail "secure: read protection not last"
    [ "$(grep -c '^program 200 7' "$WORK/secure.log")" = 1 ] || fail "secure: read protection more than once"
    step erase "$DEV" --load "$WORK/secure.jed" -- erase
    expect 0 'ERASE SUCCESS' erase
    step blank "$DEV" --load "$WORK/erase.jed" -- blank
    expect 0 'BLANK CHECK SUCCESS' blank
}

# jtag_off IN OUT [protect]: IN with its JTAG pin bit cleared (and read
# protection set), the checksum mended: a design fitted without JTAG.
jtag_off() {
    python3 - "$@" <<'PY' || fail "cannot make a JTAG-off file"
import re, sys
text = open(sys.argv[1], 'rb').read().decode('latin1')
first = {'1502': 16782, '1504': 34166, '1508': 74114}[re.search(r'ATF(150[248])', text).group(1)]
m = re.search(r'L%d ([01]{4})\*' % first, text)
bits = list(m.group(1))
cleared = [1] + ([0] if len(sys.argv) > 3 else [])
delta = sum(1 << ((first + i) % 8) for i in cleared if bits[i] == '1')
for i in cleared: bits[i] = '0'
text = text[:m.start(1)] + ''.join(bits) + text[m.end(1):]
c = re.search(r'\nC([0-9A-Fa-f]{4})\*', text)
text = text[:c.start(1)] + '%04X' % ((int(c.group(1), 16) - delta) & 0xFFFF) + text[c.end(1):]
open(sys.argv[2], 'wb').write(text.encode('latin1'))
PY
}

# vhh_only_for_erase LOG COUNT: VHH went on COUNT times and off again each
# time, and while it was on the chip was only identified and erased (no word
# programmed or read).
# no_fault NAME [FROM]: no FAULT in $WORK/NAME.log (from line FROM on): no
# pin was driven into a chip whose JTAG pins are user I/O without VHH.
no_fault() {
    local from=${2:-1}
    ! tail -n +"$from" "$WORK/$1.log" | grep -q 'FAULT' || fail "$1: $(tail -n +"$from" "$WORK/$1.log" | grep -m 1 FAULT)"
}
log_lines() { wc -l < "$WORK/$1.log"; }
vhh_only_for_erase() {
    [ "$(grep -c '^VHH on' "$WORK/$1.log")" = "$2" ] || fail "$1: VHH on $(grep -c '^VHH on' "$WORK/$1.log") times"
    [[ "$(grep '^VHH' "$WORK/$1.log" | tail -n 1)" == 'VHH off'* ]] || fail "$1: VHH left on"
    sed -n '/^VHH on/,/^VHH off/p' "$WORK/$1.log" | grep -q '^program\|^read' && fail "$1: a word programmed or read with VHH on"
    return 0
}
