#!/usr/bin/env bash
# run.sh TARGET CORPUS SECONDS REGRESSIONS MAX_LEN: replays every kept crash
# input of this target, then fuzzes for SECONDS from a copy of CORPUS (the
# committed corpus is never changed), inputs cut at MAX_LEN bytes. The JEDEC
# reader's corpus also takes the sample files, the SVF importer's the chip
# maker's SVF files (their first MAX_LEN bytes).
# Prints the executions reached and their rate.
set -u
target=$1 corpus=$2 seconds=$3 regressions=$4 max_len=${5:-4096}
name=$(basename "$target")
work=$(mktemp -d /tmp/vrjtag-fuzz-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus" "$work/artifacts"
cp "$corpus"/* "$work/corpus/" 2>/dev/null
[ "$name" = fuzz_readj ] && cp "$(dirname "$corpus")"/../data/*.jed "$work/corpus/"
[ "$name" = fuzz_svf ] && cp "$(dirname "$corpus")"/../data/jtag/*.svf "$work/corpus/"

shopt -s nullglob
kept=("$regressions/$name"-*)
if [ ${#kept[@]} -gt 0 ]; then
    "$target" "${kept[@]}" || { echo "FAIL: a kept crash input fails again"; exit 1; }
fi

# Leak detection needs ptrace, which some sandboxes refuse.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
"$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=1024 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "$work/corpus" > "$work/log" 2>&1
rc=$?
grep -E '^(Done|stat::number_of_executed_units)' "$work/log"
grep -o 'exec/s: [0-9]*' "$work/log" | tail -n 1
if [ $rc != 0 ]; then
    tail -40 "$work/log"
    keep=${VRJTAG_FUZZ_KEEP:-$PWD}
    cp "$work"/artifacts/* "$keep/" 2>/dev/null && echo "crash input copied to $keep"
    exit 1
fi
