#!/usr/bin/env bash
# System calls per directory entry of one report-only scan, of the naive floor,
# of the loop of the scan's own four calls and of libmagic: strace -c -f of one
# pass over a directory of N files in the benchmark's mix, minus one pass over
# an empty directory, divided by N.
#
#   bench/count-syscalls.sh [BUILD_DIR [N]]      (defaults: build-bench 1000)
set -euo pipefail

build=${1:-build-bench}
files=${2:-1000}
bench="$build/bench/ktcache_bench"

if ! command -v strace >/dev/null; then
    echo "strace is not installed (Debian: apt-get install strace)" >&2
    exit 1
fi
if [ ! -x "$bench" ]; then
    echo "$bench not found: run make bench first" >&2
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/ktcache-syscalls-XXXXXX")
trap 'rm -rf "$work"' EXIT
"$bench" --make-cache "$files" "$work/mix"
mkdir "$work/empty"

probes=()
for probe in scan floor four-calls libmagic; do
    if "$bench" --probe "$probe" "$work/empty" >/dev/null 2>&1; then
        strace -f -c -o "$work/$probe.full" "$bench" --probe "$probe" "$work/mix" >/dev/null
        strace -f -c -o "$work/$probe.empty" "$bench" --probe "$probe" "$work/empty" >/dev/null
        probes+=("$probe")
    fi
done

# strace -c lines: % time, seconds, usecs/call, calls, [errors,] syscall.
awk -v files="$files" -v probes="${probes[*]}" -v work="$work" '
    function count(file, sign, probe,    line, f, n, name) {
        while ((getline line < file) > 0) {
            n = split(line, f)
            if (n < 5 || f[1] !~ /^[0-9.]+$/ || f[n] == "total") continue
            name = f[n]
            calls[name, probe] += sign * f[4]
            seen[name] = 1
        }
        close(file)
    }
    BEGIN {
        np = split(probes, p, " ")
        for (i = 1; i <= np; i++) {
            count(work "/" p[i] ".full", 1, p[i])
            count(work "/" p[i] ".empty", -1, p[i])
        }
        printf "system calls per entry, %d files (mean over the mix)\n", files
        printf "%-16s", "syscall"
        for (i = 1; i <= np; i++) printf "%12s", p[i]
        printf "\n"
        for (name in seen) {
            shown = 0
            line = sprintf("%-16s", name)
            for (i = 1; i <= np; i++) {
                per = calls[name, p[i]] / files
                total[p[i]] += per
                if (per >= 0.0005 || per <= -0.0005) shown = 1
                line = line sprintf("%12.3f", per)
            }
            if (shown) print line | "sort"
        }
        close("sort")
        printf "%-16s", "total"
        for (i = 1; i <= np; i++) printf "%12.3f", total[p[i]]
        printf "\n"
    }'
