#!/usr/bin/env bash
# Checks the shipped Windows DLL from its PE headers, as a loader sees it:
#   - a 64-bit (PE32+) image that calls itself by its own file name;
#   - its export table holds exactly the twelve functions listed in the
#     linker map (the list the Linux build exports), under their plain names,
#     each exported by name, nothing else (no ordinal-only entries);
#   - it imports from Windows system DLLs only: the GCC runtime, the C++
#     library and winpthread are linked in, so no libgcc_s*, libstdc++* or
#     libwinpthread* DLL may appear. A new system DLL is a deliberate
#     addition to SYSTEM_DLLS below;
#   - its version resource gives the header's version as FileVersion and
#     ProductVersion (text and numbers), a FileDescription, and its own file
#     name as OriginalFilename;
#   - from its symbol table, when it has one: the last-error text is native
#     TLS inside the image's TLS template, and the only emulated thread-local
#     variables are the C++ runtime's, listed in RUNTIME_EMUTLS below
#     (emulated TLS allocates at a thread's first use and aborts when that
#     fails).
#
#   usage: check-dll.sh DLL LINKER_MAP HEADER
set -euo pipefail

dll=$1
map=$2
header=$3
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
windres=${WINDRES:-x86_64-w64-mingw32-windres}
SYSTEM_DLLS="kernel32.dll msvcrt.dll"
# libstdc++'s per-thread exception record (__cxa_get_globals).
RUNTIME_EMUTLS="_ZZN12_GLOBAL__N_110get_globalEvE6global"

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

version=$(sed -n 's/^#define KTCACHE_VERSION_STRING "\(.*\)"$/\1/p' "$header")
[ -n "$version" ] || fail "no KTCACHE_VERSION_STRING in $header"
resources=$("$windres" -i "$dll" -O rc) || fail "$windres cannot read the resources of $dll"
numbers="${version//./, }, 0"
for line in "FILEVERSION $numbers" "PRODUCTVERSION $numbers" \
  "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\"" \
  "VALUE \"OriginalFilename\", \"$(basename "$dll")\""; do
  grep -qF -- "$line" <<<"$resources" || fail "version resource lacks: $line"
done
grep -q 'VALUE "FileDescription", "[^"]' <<<"$resources" || fail "version resource lacks a FileDescription"

symbols=$("$objdump" -t "$dll")
if grep -q '^no symbols' <<<"$symbols"; then
  tls="thread-local storage not checked (no symbol table)"
else
  emulated=$(grep -o '__emutls_v\.[A-Za-z0-9_]*' <<<"$symbols" | sed 's/^__emutls_v\.//' | LC_ALL=C sort -u)
  for variable in $emulated; do
    case " $RUNTIME_EMUTLS " in
      *" $variable "*) ;;
      *) fail "$variable is emulated thread-local storage" ;;
    esac
  done
  address() { awk -v name="$1" '$NF == name { print $(NF - 1); exit }' <<<"$symbols"; }
  last_error=$(address _ZN12_GLOBAL__N_110g_last_errE)
  tls_end=$(address ___tls_end__)
  [ -n "$last_error" ] && [ -n "$tls_end" ] || fail "the last-error text is not in the TLS template"
  (( 16#${last_error#0x} + 256 <= 16#${tls_end#0x} )) ||
    fail "the last-error text lies beyond the end of the TLS template"
  tls="the last-error text is native TLS"
fi

echo "check-dll: $(basename "$dll"): exports the twelve functions and nothing else;" \
  "imports $(echo $imports); version $version; $tls"
