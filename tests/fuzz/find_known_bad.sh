#!/usr/bin/env bash
# find_known_bad.sh TARGET CORPUS RUNS MAX_LEN: fuzzes a known-bad copy of
# the protocol server from a copy of CORPUS for at most RUNS inputs; passes
# only when the fuzzer itself finds an input that breaks a safety rule.
# Prints how many runs that took.
set -u
target=$1 corpus=$2 runs=$3 max_len=$4
work=$(mktemp -d /tmp/vrjtag-find-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus" "$work/artifacts"
cp "$corpus"/* "$work/corpus/" 2>/dev/null
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
"$target" -runs="$runs" -max_len="$max_len" -timeout=10 -rss_limit_mb=1024 -print_final_stats=1 -seed=1 \
    -artifact_prefix="$work/artifacts/" "$work/corpus" > "$work/log" 2>&1
rc=$?
if [ $rc != 0 ] && grep -q 'safety rule broken' "$work/log"; then
    grep -m1 'safety rule broken' "$work/log"
    grep -o '^#[0-9]*' "$work/log" | tail -n 1 | sed 's/^#/found after about /; s/$/ runs/'
    exit 0
fi
tail -20 "$work/log"
echo "FAIL: the fuzzer did not find the known-bad server's fault within $runs runs (exit $rc)"
exit 1
