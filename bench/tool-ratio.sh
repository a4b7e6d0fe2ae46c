#!/usr/bin/env bash
# The ktcache command's table against its --json output on one directory of
# the benchmark's mix: alternating runs of `ktcache scan DIR` and
# `ktcache scan --json DIR` (output to /dev/null, so no terminal is timed),
# the median wall time of each, and their ratio. The table validates only the
# files that the report leaves out, so it should stay within 1.5 times the
# JSON time.
#
#   bench/tool-ratio.sh [BUILD_DIR [N [ROUNDS]]]   (defaults: build-bench 10000 15)
set -euo pipefail

build=${1:-build-bench}
files=${2:-10000}
rounds=${3:-15}
bench="$build/bench/ktcache_bench"
tool="$build/ktcache"

for program in "$bench" "$tool"; do
    [ -x "$program" ] || { echo "$program not found: run make bench first" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/ktcache-tool-ratio-XXXXXX")
trap 'rm -rf "$work"' EXIT
"$bench" --make-cache "$files" "$work/mix" >/dev/null

# Wall time of one run in microseconds.
run_us() {
    local start end
    start=$(date +%s%N)
    "$tool" "$@" >/dev/null 2>&1
    end=$(date +%s%N)
    echo $(((end - start) / 1000))
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# One warm-up run of each mode, so that both find the directory cached.
run_us scan "$work/mix" >/dev/null
run_us scan --json "$work/mix" >/dev/null
table=() json=()
for ((i = 0; i < rounds; i++)); do
    table+=("$(run_us scan "$work/mix")")
    json+=("$(run_us scan --json "$work/mix")")
done
table_us=$(printf '%s\n' "${table[@]}" | median)
json_us=$(printf '%s\n' "${json[@]}" | median)
awk -v files="$files" -v rounds="$rounds" -v t="$table_us" -v j="$json_us" 'BEGIN {
    printf "ktcache scan on %d files, median of %d alternating runs\n", files, rounds
    printf "  table   %8.1f ms\n  --json  %8.1f ms\n", t / 1000, j / 1000
    printf "  table/json ratio %.2f (target: at most 1.50)\n", t / j
}'
