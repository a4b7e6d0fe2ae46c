#!/usr/bin/env bash
# The Windows scan under Wine (make bench-windows), on a cache of N entries
# of the Windows mix (bench/cache_mix.h) under a user's AppData in a Wine
# prefix of its own:
#   1. the scan against the least loop of Windows file calls, in alternating
#      passes for SECONDS seconds (ktcache_bench_windows --time);
#   2. the ntdll file calls of one scan and of one pass of the least loop,
#      from Wine's relay log: WINEDEBUG=+relay with RelayInclude naming the
#      calls below and RelayFromExclude naming nothing (so that the calls
#      made through kernel32 are logged too), counted on the thread that
#      printed the markers of --count, between them.
# Each figure is printed with its target; a missed target does not fail the
# run. The cache is removed at exit.
#
#   usage: bench/windows-bench.sh BUILD_DIR [N [SECONDS]]   (defaults: 10000, 30)
set -euo pipefail

build=${1:?usage: bench/windows-bench.sh BUILD_DIR [N [SECONDS]]}
files=${2:-10000}
seconds=${3:-30}
bench="$build/ktcache_bench_windows.exe"
[ -f "$bench" ] || { echo "$bench not found: run make bench-windows" >&2; exit 1; }

wine=$(sed -n 's/^KTCACHE_WINE:FILEPATH=//p' "$build/CMakeCache.txt")
[ -x "$wine" ] || { echo "Wine not found in $build/CMakeCache.txt" >&2; exit 1; }
wineserver=$(dirname "$wine")/wineserver
export WINEPREFIX=$(cd "$build" && pwd)/wine-prefix-bench
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY= LC_ALL=C.UTF-8

# The calls counted, and the targets of the scan.
CALLS="NtCreateFile NtOpenFile NtQueryVolumeInformationFile NtQueryDirectoryFile
NtQueryDirectoryFileEx NtQueryInformationFile NtQueryAttributesFile
NtQueryFullAttributesFile NtReadFile NtClose"
# One open per regular file, besides the directory's: the least loop's.
OPENS_PER_REGULAR_FILE_TARGET=1.0
VOLUME_QUERIES_PER_ENTRY_TARGET=0.01 # none per entry: a few per scan at most

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating the Wine prefix $WINEPREFIX"
  "$wine" wineboot --init >/dev/null 2>&1
fi
"$wineserver" -w # the prefix's set-up writes the registry until it ends
include=$(for call in $CALLS; do printf 'ntdll.%s;' "$call"; done)
"$wine" reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ /d "${include%;}" /f >/dev/null
"$wine" reg add 'HKCU\Software\Wine\Debug' /v RelayFromExclude /t REG_SZ /d ktcache-bench-none \
  /f >/dev/null

# C:\users\listener\AppData\Local\Kelvane\KelvaneTunes\Cache\offline-N
parent="$WINEPREFIX/drive_c/users/listener/AppData/Local/Kelvane/KelvaneTunes/Cache"
cache_dir="C:\\users\\listener\\AppData\\Local\\Kelvane\\KelvaneTunes\\Cache\\offline-$files"
work=$(mktemp -d "${TMPDIR:-/tmp}/ktcache-bench-windows-XXXXXX")
trap 'rm -rf "$parent/offline-$files" "$work"' EXIT
rm -rf "$parent/offline-$files"
mkdir -p "$parent"

"$wine" "$bench" --make-cache "$files" "$cache_dir"
echo
"$wine" "$bench" --time "$files" "$cache_dir" "$seconds"
echo
WINEDEBUG=+relay,+debugstr "$wine" "$bench" --count "$files" "$cache_dir" \
  >"$work/count.out" 2>"$work/relay.log"
read -r _ entries _ valid <"$work/count.out"

awk -v calls="$CALLS" -v entries="$entries" -v valid="$valid" \
  -v opens_target="$OPENS_PER_REGULAR_FILE_TARGET" -v volume_target="$VOLUME_QUERIES_PER_ENTRY_TARGET" '
  # Marker lines: TID:warn:debugstr:OutputDebugStringA "ktcache-bench: scan begins"
  /OutputDebugStringA "ktcache-bench: / {
    split($0, f, ":"); tid = f[1]
    what = $0; sub(/.*ktcache-bench: /, "", what); sub(/ (begins|ends)"$/, "", what)
    if ($0 ~ /begins"$/) { pass = what; pass_tid = tid } else pass = ""
    next
  }
  pass != "" && index($0, pass_tid ":Call ntdll.") == 1 {
    name = substr($0, length(pass_tid ":Call ntdll.") + 1); sub(/\(.*/, "", name)
    count[pass, name]++
  }
  function row(label, scan, loop) { printf "  %-44s %10s %12s\n", label, scan, loop }
  function verdict(value, target) { return value <= target ? "met" : "NOT MET" }
  END {
    n = split(calls, names, /[ \n]+/)
    printf "ntdll calls of one pass, %d entries (%d valid), from the relay log:\n", entries, valid
    row("", "scan", "least loop")
    for (i = 1; i <= n; i++)
      if (count["scan", names[i]] + count["least loop", names[i]] > 0)
        row(names[i], count["scan", names[i]] + 0, count["least loop", names[i]] + 0)
    scan_opens = count["scan", "NtCreateFile"] + count["scan", "NtOpenFile"]
    loop_opens = count["least loop", "NtCreateFile"] + count["least loop", "NtOpenFile"]
    # The least loop opens the directory once and every regular file once.
    regular = loop_opens - 1
    printf "\n"
    row("opens (NtCreateFile + NtOpenFile)", scan_opens, loop_opens)
    row("  per regular file, besides the directory", sprintf("%.3f", (scan_opens - 1) / regular),
        sprintf("%.3f", (loop_opens - 1) / regular))
    row("  per valid file", sprintf("%.3f", scan_opens / valid), sprintf("%.3f", loop_opens / valid))
    volume = count["scan", "NtQueryVolumeInformationFile"]
    row("NtQueryVolumeInformationFile per entry", sprintf("%.3f", volume / entries),
        sprintf("%.3f", count["least loop", "NtQueryVolumeInformationFile"] / entries))
    printf "\nTargets of the scan:\n"
    printf "  opens per regular file (%d), besides the directory, %.3f, target <= %s: %s\n",
           regular, (scan_opens - 1) / regular, opens_target,
           verdict((scan_opens - 1) / regular, opens_target)
    printf "  volume queries per entry %.3f (%d in all), target: none per entry: %s\n",
           volume / entries, volume, verdict(volume / entries, volume_target)
  }' "$work/relay.log"
"$wineserver" -w
