#!/usr/bin/env bash
# Checks the shipped Windows DLL from its PE headers, as a loader sees it:
#   - a 64-bit (PE32+) image that calls itself by its own file name;
#   - its export table holds exactly the functions listed in the linker map
#     (the list the Linux build exports), under their plain names,
#     each exported by name, nothing else (no ordinal-only entries; lld
#     numbers ordinals from 0 and leaves the slot of ordinal 0 empty, which
#     exports nothing);
#   - it imports from Windows system DLLs only: the GCC runtime, the C++
#     library and winpthread are linked in, so no libgcc_s*, libstdc++* or
#     libwinpthread* DLL may appear. A new system DLL is a deliberate
#     addition to SYSTEM_DLLS below;
#   - its version resource gives the header's version as FileVersion and
#     ProductVersion (text and numbers), a FileDescription, and its own file
#     name as OriginalFilename;
#   - it carries no debug sections (the DWARF of the static runtime, which
#     no Windows debugger reads): it is the stripped DLL that ships;
#   - from its symbols: the last-error text is native TLS inside the image's
#     TLS template, and the only emulated thread-local variables are the C++
#     runtime's, listed in RUNTIME_EMUTLS below (emulated TLS allocates at a
#     thread's first use and aborts when that fails). The symbols are those
#     of the PDB beside the DLL (DLL with .pdb for .dll), which must be the
#     DLL's own: the GUID and age that the DLL records are the PDB's. A DLL
#     linked with a symbol table of its own is read from that instead.
#
#   usage: check-dll.sh DLL LINKER_MAP HEADER
set -euo pipefail

dll=$1
map=$2
header=$3
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
windres=${WINDRES:-x86_64-w64-mingw32-windres}
pdbutil=${PDBUTIL:-llvm-pdbutil}
# ntdll: the scan opens, renames and deletes entries relative to the
# directory handle it holds (NtCreateFile, NtSetInformationFile), which no
# kernel32 call does.
SYSTEM_DLLS="kernel32.dll msvcrt.dll ntdll.dll"
# libstdc++'s per-thread exception record (__cxa_get_globals).
RUNTIME_EMUTLS="_ZZN12_GLOBAL__N_110get_globalEvE6global"

fail() { echo "check-dll: $*" >&2; exit 1; }

[ -f "$dll" ] || fail "$dll not found"
headers=$("$objdump" -p "$dll") || fail "$objdump cannot read $dll"

grep -q '^Magic.*(PE32+)' <<<"$headers" || fail "$dll is not a 64-bit (PE32+) image"

expected=$(sed -n 's/^[[:space:]]*\(ktcache_[a-z_0-9]*\);.*/\1/p' "$map" | LC_ALL=C sort)
[ -n "$expected" ] || fail "no ktcache_ function in $map"
count=$(wc -l <<<"$expected")

# The export directory: its name, the functions of its address table (objdump
# lists the slots that hold one), then the name table with each name's slot.
name=$(sed -n 's/^Name[[:space:]]*[0-9a-f]* \(.*\)$/\1/p' <<<"$headers")
[ "$name" = "$(basename "$dll")" ] || fail "export directory names '$name', not $(basename "$dll")"
table() {
  awk -v title="$1" 'index($0, title) == 1 { on = 1; next }
                     on && /^[[:space:]]*\[/ { print; next }
                     on { exit }' <<<"$headers"
}
slots=$(table "Export Address Table --" | sed -n 's/^[[:space:]]*\[ *\([0-9]*\)\].*/\1/p' | sort -n)
names=$(table "[Ordinal/Name Pointer] Table")
exported=$(awk '{ print $NF }' <<<"$names" | LC_ALL=C sort)
named_slots=$(sed -n 's/^[[:space:]]*\[ *\([0-9]*\)\].*/\1/p' <<<"$names" | sort -n)
if [ "$exported" != "$expected" ]; then
  echo "check-dll: exports differ from $map (< expected, > exported):" >&2
  diff <(echo "$expected") <(echo "$exported") >&2 || true
  exit 1
fi
[ "$slots" = "$named_slots" ] ||
  fail "the export address table holds $(wc -l <<<"$slots") functions, not the $count named ones"

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

debug_sections=$("$objdump" -h "$dll" | awk '$2 ~ /^\.debug/ { printf " %s", $2 }')
[ -z "$debug_sections" ] || fail "$dll carries debug sections:$debug_sections"

# Symbol addresses as section:offset (COFF symbol table: section numbers from
# objdump -t; PDB: the records of llvm-pdbutil), so either source compares.
symbols=$("$objdump" -t "$dll")
pdb=${dll%.dll}.pdb
if ! grep -q '^no symbols' <<<"$symbols"; then
  source="symbol table"
  address() {
    local found
    found=$(awk -v name="$1" '$NF == name && match($0, /\(sec +[0-9]+\)/) {
      print substr($0, RSTART + 4, RLENGTH - 5) + 0, $(NF - 1); exit }' <<<"$symbols")
    [ -z "$found" ] || echo "${found% *}:$((16#${found#* 0x}))"
  }
  last_error=$(address _ZN12_GLOBAL__N_110g_last_errE)
  tls_start=$(address _tls_start)
  tls_end=$(address _tls_end)
  emulated_symbols=$symbols
elif [ -f "$pdb" ]; then
  source=$(basename "$pdb")
  recorded=$("$objdump" -p "$dll" | sed -n 's/.*format RSDS signature \([0-9a-f]*\) age \([0-9]*\) pdb \(.*\))$/\1 \2 \3/p')
  summary=$("$pdbutil" dump -summary "$pdb") || fail "$pdbutil cannot read $pdb"
  guid=$(sed -n 's/^ *GUID: {\(.*\)}$/\1/p' <<<"$summary" | tr -d '-' | tr '[:upper:]' '[:lower:]')
  age=$(sed -n 's/^ *Age: //p' <<<"$summary")
  [ "$recorded" = "$guid $age $(basename "$pdb")" ] ||
    fail "$dll records the PDB '$recorded', not $(basename "$pdb") with GUID $guid, age $age"
  pdb_symbols=$("$pdbutil" dump -publics -symbols "$pdb") || fail "$pdbutil cannot read $pdb"
  # A record's name line, then its line "... addr = SECTION:OFFSET".
  address() {
    awk -v name="$1" 'found && match($0, /addr = [0-9]+:[0-9]+/) {
      split(substr($0, RSTART + 7, RLENGTH - 7), a, ":"); printf "%d:%d\n", a[1], a[2]; exit }
      index($0, name) { found = 1 }' <<<"$pdb_symbols"
  }
  last_error=$(address "::g_last_err\`")
  tls_start=$(address "\`_tls_start\`")
  tls_end=$(address "\`_tls_end\`")
  emulated_symbols=$pdb_symbols
else
  fail "no symbols to check the thread-local storage: neither a symbol table nor $pdb"
fi
emulated=$({ grep -o '__emutls_v\.[A-Za-z0-9_]*' <<<"$emulated_symbols" || true; } |
  sed 's/^__emutls_v\.//' | LC_ALL=C sort -u)
for variable in $emulated; do
  case " $RUNTIME_EMUTLS " in
    *" $variable "*) ;;
    *) fail "$variable is emulated thread-local storage" ;;
  esac
done
[ -n "$last_error" ] && [ -n "$tls_start" ] && [ -n "$tls_end" ] ||
  fail "the last-error text or the TLS template's bounds are not among the symbols ($source)"
section() { echo "${1%%:*}"; }
offset() { echo "${1#*:}"; }
[ "$(section "$last_error")" = "$(section "$tls_start")" ] &&
  [ "$(section "$tls_end")" = "$(section "$tls_start")" ] &&
  (( $(offset "$tls_start") <= $(offset "$last_error") )) &&
  (( $(offset "$last_error") + 256 <= $(offset "$tls_end") )) ||
  fail "the last-error text ($last_error) lies outside the TLS template ($tls_start to $tls_end)"
tls="the last-error text is native TLS ($source)"

echo "check-dll: $(basename "$dll"): exports the $count functions of $(basename "$map") and nothing else;" \
  "imports $(echo $imports); version $version; $tls"
