#!/usr/bin/env bash
# The kit a Windows host developer receives, as one zip archive:
#
#   NAME/bin/NAME.dll                     the library
#   NAME/lib/NAME.lib                     import library for MSVC (link.exe, lld-link)
#   NAME/lib/NAME.dll.a                   import library for mingw-w64 (gcc, clang)
#   NAME/lib/NAME.def                     module-definition file
#   NAME/include/ktcache.h, ktcache.hpp   the C interface and its C++ wrapper
#   NAME/docs/windows-hosts.md            code pages, manifest, loading, .NET
#   NAME/examples/...                     the manifest and the .NET declaration
#   NAME/README.md, NAME/LICENSE
#
# where NAME is kelvane-kelvanetunes-offline-cache-model(-VERSION-win64 for
# the top directory). Built with CMake's own archiver, so nothing but the
# build's tools is needed.
#
#   usage: windows-kit.sh pack BUILD_DIR ZIP    stages and archives the kit
#          windows-kit.sh check ZIP             lists it; fails if a file is missing
set -euo pipefail

LIBRARY=kelvane-kelvanetunes-offline-cache-model
source_dir=$(cd "$(dirname "$0")/.." && pwd)

fail() { echo "windows-kit: $*" >&2; exit 1; }

# Top directory of the archive, from the archive's file name.
top_of() { basename "$1" .zip; }

pack() {
  local build=$1 zip=$2 top
  top=$(top_of "$zip")
  stage=$(mktemp -d)
  trap 'rm -rf "$stage"' EXIT
  mkdir -p "$stage/$top"/{bin,lib,include,docs,examples/dotnet}
  cp "$build/$LIBRARY.dll" "$stage/$top/bin/"
  cp "$build/$LIBRARY.lib" "$build/$LIBRARY.dll.a" "$build/$LIBRARY.def" "$stage/$top/lib/"
  cp "$source_dir/include/ktcache.h" "$source_dir/include/ktcache.hpp" "$stage/$top/include/"
  cp "$source_dir/docs/windows-hosts.md" "$stage/$top/docs/"
  cp "$source_dir/examples/windows-host.manifest" "$stage/$top/examples/"
  cp "$source_dir/examples/dotnet/KtCache.cs" "$stage/$top/examples/dotnet/"
  cp "$source_dir/README.md" "$source_dir/LICENSE" "$stage/$top/"
  mkdir -p "$(dirname "$zip")"
  zip=$(cd "$(dirname "$zip")" && pwd)/$(basename "$zip")
  rm -f "$zip"
  (cd "$stage" && cmake -E tar cf "$zip" --format=zip "$top")
  echo "windows-kit: $zip"
}

check() {
  local zip=$1 top listing missing=""
  top=$(top_of "$zip")
  [ -f "$zip" ] || fail "$zip not found"
  listing=$(cd "$(dirname "$zip")" && cmake -E tar tf "$(basename "$zip")") ||
    fail "cannot list $zip"
  for entry in "bin/$LIBRARY.dll" "lib/$LIBRARY.lib" "lib/$LIBRARY.dll.a" "lib/$LIBRARY.def" \
    include/ktcache.h include/ktcache.hpp docs/windows-hosts.md \
    examples/windows-host.manifest examples/dotnet/KtCache.cs README.md LICENSE; do
    grep -qxF "$top/$entry" <<<"$listing" || missing="$missing $entry"
  done
  [ -z "$missing" ] || fail "$(basename "$zip") lacks:$missing"
  echo "windows-kit: $(basename "$zip") holds:"
  sed 's/^/  /' <<<"$listing"
}

case "${1:-}" in
  pack) [ $# -eq 3 ] || fail "usage: windows-kit.sh pack BUILD_DIR ZIP"; pack "$2" "$3" ;;
  check) [ $# -eq 2 ] || fail "usage: windows-kit.sh check ZIP"; check "$2" ;;
  *) fail "usage: windows-kit.sh pack BUILD_DIR ZIP | check ZIP" ;;
esac
