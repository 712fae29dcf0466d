#!/usr/bin/env bash
# run.sh TARGET CORPUS SECONDS REGRESSIONS: replays every kept crash input of
# this target, then fuzzes for SECONDS from a copy of CORPUS (the committed
# corpus is never changed). The JEDEC reader's corpus also takes the sample
# files. Prints the executions reached.
set -u
target=$1 corpus=$2 seconds=$3 regressions=$4
name=$(basename "$target")
work=$(mktemp -d /tmp/vrjtag-fuzz-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus" "$work/artifacts"
cp "$corpus"/* "$work/corpus/" 2>/dev/null
[ "$name" = fuzz_readj ] && cp "$(dirname "$corpus")"/../data/*.jed "$work/corpus/"

shopt -s nullglob
kept=("$regressions/$name"-*)
if [ ${#kept[@]} -gt 0 ]; then
    "$target" "${kept[@]}" || { echo "FAIL: a kept crash input fails again"; exit 1; }
fi

# Leak detection needs ptrace, which some sandboxes refuse.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "$work/corpus" > "$work/log" 2>&1
rc=$?
grep -E '^(Done|stat::number_of_executed_units)' "$work/log"
if [ $rc != 0 ]; then
    tail -40 "$work/log"
    keep=${VRJTAG_FUZZ_KEEP:-$PWD}
    cp "$work"/artifacts/* "$keep/" 2>/dev/null && echo "crash input copied to $keep"
    exit 1
fi
