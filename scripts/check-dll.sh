#!/usr/bin/env bash
# Checks the shipped Windows DLL from its PE headers, as a loader sees it:
#   - a 64-bit (PE32+) image that calls itself by its own file name;
#   - its export table holds exactly the twelve functions listed in the
#     linker map (the list the Linux build exports), under their plain names,
#     each exported by name, nothing else (no ordinal-only entries);
#   - it imports from Windows system DLLs only: the GCC runtime, the C++
#     library and winpthread are linked in, so no libgcc_s*, libstdc++* or
#     libwinpthread* DLL may appear. A new system DLL is a deliberate
#     addition to SYSTEM_DLLS below.
#
#   usage: check-dll.sh DLL LINKER_MAP
set -euo pipefail

dll=$1
map=$2
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
SYSTEM_DLLS="kernel32.dll msvcrt.dll"

fail() { echo "check-dll: $*" >&2; exit 1; }

[ -f "$dll" ] || fail "$dll not found"
headers=$("$objdump" -p "$dll") || fail "$objdump cannot read $dll"

grep -q '^Magic.*(PE32+)' <<<"$headers" || fail "$dll is not a 64-bit (PE32+) image"

expected=$(sed -n 's/^[[:space:]]*\(ktcache_[a-z_0-9]*\);.*/\1/p' "$map" | LC_ALL=C sort)
[ "$(wc -l <<<"$expected")" -eq 12 ] || fail "expected twelve functions in $map"

# The export directory: its name, its two counts, then the name table.
name=$(sed -n 's/^Name[[:space:]]*[0-9a-f]* \(.*\)$/\1/p' <<<"$headers")
[ "$name" = "$(basename "$dll")" ] || fail "export directory names '$name', not $(basename "$dll")"
address_count_hex=$(awk '/^Number in:/ { getline; print $NF }' <<<"$headers")
address_count=$((16#${address_count_hex:-0}))
exported=$(awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
                on && /^[[:space:]]*\[/ { print $NF; next }
                on { exit }' <<<"$headers" | LC_ALL=C sort)
if [ "$exported" != "$expected" ]; then
  echo "check-dll: exports differ from $map (< expected, > exported):" >&2
  diff <(echo "$expected") <(echo "$exported") >&2 || true
  exit 1
fi
[ "$address_count" = 12 ] || fail "$address_count entries in the export address table, not 12"

imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
[ -n "$imports" ] || fail "no import table found"
while read -r import; do
  lower=$(tr '[:upper:]' '[:lower:]' <<<"$import")
  case " $SYSTEM_DLLS " in
    *" $lower "*) ;;
    *) fail "imports $import, which is not a Windows system DLL" ;;
  esac
done <<<"$imports"

echo "check-dll: $(basename "$dll"): exports the twelve functions and nothing else;" \
  "imports $(echo $imports)"
