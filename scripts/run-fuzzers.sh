#!/usr/bin/env bash
# Runs fuzz targets for a bounded time each, two at a time (one a core).
#
#   scripts/run-fuzzers.sh BUILD_DIR SECONDS TARGET...
#
# Each target first replays its committed corpus (fuzz/corpus/TARGET: seeds
# and every input that ever found a problem), then explores. New inputs are
# kept in BUILD_DIR/fuzz-runs/TARGET, never in the source tree. Exits nonzero
# when any target finds a problem, after printing its log and the input.
set -uo pipefail

build=${1:?build directory}
seconds=${2:?seconds per target}
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
work=$build/fuzz-runs
mkdir -p "$work"

run_one() {
    local name=$1
    mkdir -p "$work/$name"
    rm -f "$work/$name"-crash-* "$work/$name"-leak-* "$work/$name"-timeout-* "$work/$name"-oom-*
    "$build/fuzz/${name}_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$work/$name-" \
        "$work/$name" "$root/fuzz/corpus/$name" >"$work/$name.log" 2>&1
}

report() {
    local name=$1 status=$2
    local runs
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$name.log")
    if [ "$status" -eq 0 ]; then
        echo "fuzz $name: ${runs:-?} inputs in ${seconds} s, no finding"
        return 0
    fi
    echo "fuzz $name: FAILED (exit $status); end of $work/$name.log:"
    grep -v '^#[0-9]' "$work/$name.log" | tail -40
    for input in "$work/$name"-*-*; do
        [ -f "$input" ] || continue
        echo "finding saved as $input"
        echo "once fixed, keep it as a regression case: cp '$input' '$root/fuzz/corpus/$name/'"
    done
    return 1
}

failed=0
while [ $# -gt 0 ]; do
    first=$1
    second=${2:-}
    run_one "$first" &
    pid_first=$!
    if [ -n "$second" ]; then
        run_one "$second" &
        pid_second=$!
    fi
    wait "$pid_first"
    report "$first" $? || failed=1
    if [ -n "$second" ]; then
        wait "$pid_second"
        report "$second" $? || failed=1
        shift 2
    else
        shift 1
    fi
done
exit $failed
