#!/usr/bin/env bash
# The kit a Windows host developer receives, as one zip archive:
#
#   NAME/bin/NAME.dll                     the library, stripped
#   NAME/bin/NAME.pdb                     its symbols
#   NAME/lib/NAME.lib                     import library for MSVC (link.exe, lld-link)
#   NAME/lib/NAME.dll.a                   import library for mingw-w64 (gcc, clang)
#   NAME/lib/NAME.def                     module-definition file
#   NAME/include/ktcache.h, ktcache.hpp   the C interface and its C++ wrapper
#   NAME/docs/windows-hosts.md            code pages, manifest, loading, .NET
#   NAME/examples/...                     the run-time loading host, the
#                                         manifest and the .NET declarations
#   NAME/README.md                        docs/windows-kit-README.md: the kit
#                                         as a Windows developer uses it
#   NAME/CHANGELOG.md, NAME/LICENSE
#
# where NAME is kelvane-kelvanetunes-offline-cache-model(-VERSION-win64 for
# the top directory). Built with CMake's own archiver, so nothing but the
# build's tools is needed.
#
#   usage: windows-kit.sh pack BUILD_DIR ZIP    stages and archives the kit
#          windows-kit.sh check ZIP             lists it; fails if a file is
#                                               missing or the DLL inside fails
#                                               scripts/check-dll.sh (which also
#                                               finds any debug section in it)
set -euo pipefail

LIBRARY=kelvane-kelvanetunes-offline-cache-model
source_dir=$(cd "$(dirname "$0")/.." && pwd)

# Every file of the kit: its place in the archive, and where it comes from
# (BUILD/ for the build directory).
KIT_FILES=(
  "bin/$LIBRARY.dll" "BUILD/$LIBRARY.dll"
  "bin/$LIBRARY.pdb" "BUILD/$LIBRARY.pdb"
  "lib/$LIBRARY.lib" "BUILD/$LIBRARY.lib"
  "lib/$LIBRARY.dll.a" "BUILD/$LIBRARY.dll.a"
  "lib/$LIBRARY.def" "BUILD/$LIBRARY.def"
  include/ktcache.h include/ktcache.h
  include/ktcache.hpp include/ktcache.hpp
  docs/windows-hosts.md docs/windows-hosts.md
  examples/runtime_host.c examples/runtime_host.c
  examples/windows-host.manifest examples/windows-host.manifest
  examples/dotnet/KtCache.cs examples/dotnet/KtCache.cs
  README.md docs/windows-kit-README.md
  CHANGELOG.md CHANGELOG.md
  LICENSE LICENSE
)

fail() { echo "windows-kit: $*" >&2; exit 1; }

# Top directory of the archive, from the archive's file name.
top_of() { basename "$1" .zip; }

pack() {
  local build=$1 zip=$2 top entry from i
  top=$(top_of "$zip")
  stage=$(mktemp -d)
  trap 'rm -rf "$stage"' EXIT
  for ((i = 0; i < ${#KIT_FILES[@]}; i += 2)); do
    entry=${KIT_FILES[i]} from=${KIT_FILES[i + 1]}
    case $from in
      BUILD/*) from=$build/${from#BUILD/} ;;
      *) from=$source_dir/$from ;;
    esac
    mkdir -p "$(dirname "$stage/$top/$entry")"
    cp "$from" "$stage/$top/$entry"
  done
  mkdir -p "$(dirname "$zip")"
  zip=$(cd "$(dirname "$zip")" && pwd)/$(basename "$zip")
  rm -f "$zip"
  (cd "$stage" && cmake -E tar cf "$zip" --format=zip "$top")
  echo "windows-kit: $zip"
}

check() {
  local zip=$1 top listing missing="" i
  top=$(top_of "$zip")
  [ -f "$zip" ] || fail "$zip not found"
  zip=$(cd "$(dirname "$zip")" && pwd)/$(basename "$zip")
  listing=$(cd "$(dirname "$zip")" && cmake -E tar tvf "$(basename "$zip")") ||
    fail "cannot list $zip"
  for ((i = 0; i < ${#KIT_FILES[@]}; i += 2)); do
    grep -q " $top/${KIT_FILES[i]}\$" <<<"$listing" || missing="$missing ${KIT_FILES[i]}"
  done
  [ -z "$missing" ] || fail "$(basename "$zip") lacks:$missing"
  echo "windows-kit: $(basename "$zip") holds:"
  sed 's/^/  /' <<<"$listing"

  # The DLL as shipped, beside the PDB and header shipped with it.
  unpacked=$(mktemp -d)
  trap 'rm -rf "$unpacked"' EXIT
  (cd "$unpacked" && cmake -E tar xf "$zip" "$top/bin" "$top/include/ktcache.h")
  "$source_dir/scripts/check-dll.sh" "$unpacked/$top/bin/$LIBRARY.dll" \
    "$source_dir/src/ktcache.map" "$unpacked/$top/include/ktcache.h"
}

case "${1:-}" in
  pack) [ $# -eq 3 ] || fail "usage: windows-kit.sh pack BUILD_DIR ZIP"; pack "$2" "$3" ;;
  check) [ $# -eq 2 ] || fail "usage: windows-kit.sh check ZIP"; check "$2" ;;
  *) fail "usage: windows-kit.sh pack BUILD_DIR ZIP | check ZIP" ;;
esac
