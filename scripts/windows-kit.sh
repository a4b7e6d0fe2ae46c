#!/usr/bin/env bash
# The kit a Windows host developer receives, as one zip archive: the install
# tree of the Windows build (cmake/windows-kit.cmake lists what it adds to
# the library's install) under one top directory, NAME-VERSION-win64, where
# NAME and VERSION are the build's (BUILD_DIR/ktcache-build.env):
#
#   bin/NAME.dll, bin/NAME.pdb        the library, stripped, and its symbols
#   lib/NAME.lib, lib/NAME.dll.a      import libraries for MSVC and mingw-w64
#   lib/NAME.def                      the module-definition file
#   lib/cmake/ktcache/, lib/pkgconfig the CMake package and the pkg-config file
#   include/ktcache.h, ktcache.hpp    the C interface and its C++ wrapper
#   docs/, examples/                  the guide and the examples for Windows hosts
#   README.md                         docs/windows-kit-README.md
#   CHANGELOG.md, LICENSE
#
# The archive depends on the files' bytes alone: entries in byte order of
# their names, each with the mode 0644 and the time of the last commit
# (SOURCE_DATE_EPOCH), without the owner or any other extra field.
#
#   usage: windows-kit.sh pack BUILD_DIR DIST_DIR    installs and archives the
#                                                    kit as DIST_DIR/TOP.zip and
#                                                    records its SHA-256 in
#                                                    DIST_DIR/SHA256SUMS
#          windows-kit.sh check BUILD_DIR DIST_DIR   lists it; fails if a file a
#                                                    host needs is missing, if
#                                                    the DLL inside fails
#                                                    scripts/check-dll.sh, or if
#                                                    a CMake project cross-built
#                                                    against the unpacked kit
#                                                    with find_package(ktcache)
#                                                    fails to build or to run
#                                                    under Wine
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)

fail() { echo "windows-kit: $*" >&2; exit 1; }

# Reads the build's facts and names the archive: $top and $zip.
locate() {
  local build=$1 dist=$2
  [ -f "$build/ktcache-build.env" ] || fail "$build is not a configured build"
  # shellcheck source=/dev/null
  . "$build/ktcache-build.env"
  top=$KTCACHE_LIBRARY_NAME-$KTCACHE_VERSION-win64
  mkdir -p "$dist"
  zip=$(cd "$dist" && pwd)/$top.zip
}

pack() {
  local epoch
  locate "$1" "$2"
  epoch=${SOURCE_DATE_EPOCH:-$(git -C "$source_dir" log -1 --format=%ct)}
  stage=$(mktemp -d)
  trap 'rm -rf "$stage"' EXIT
  cmake --install "$1" --prefix "$stage/$top" >"$stage/install.log" ||
    { cat "$stage/install.log"; fail "cmake --install $1 failed"; }
  find "$stage/$top" -type d -exec chmod 0755 {} + -o -type f -exec chmod 0644 {} +
  find "$stage/$top" -exec touch -d "@$epoch" {} +
  rm -f "$zip"
  (cd "$stage" && find "$top" -type f | LC_ALL=C sort | TZ=UTC zip -q -X -D "$zip" -@)
  "$source_dir/scripts/sha256sums.sh" "$zip"
  echo "windows-kit: $zip"
}

check() {
  local build=$1 listing missing="" entry wine
  locate "$1" "$2"
  [ -f "$zip" ] || fail "$zip not found"
  listing=$(cd "$(dirname "$zip")" && cmake -E tar tvf "$(basename "$zip")") ||
    fail "cannot list $zip"
  for entry in "bin/$KTCACHE_LIBRARY_NAME.dll" "bin/$KTCACHE_LIBRARY_NAME.pdb" \
    "lib/$KTCACHE_LIBRARY_NAME.lib" "lib/$KTCACHE_LIBRARY_NAME.dll.a" \
    "lib/$KTCACHE_LIBRARY_NAME.def" lib/cmake/ktcache/ktcacheConfig.cmake \
    include/ktcache.h include/ktcache.hpp README.md LICENSE; do
    grep -q " $top/$entry\$" <<<"$listing" || missing="$missing $entry"
  done
  [ -z "$missing" ] || fail "$(basename "$zip") lacks:$missing"
  echo "windows-kit: $(basename "$zip") holds:"
  sed 's/^/  /' <<<"$listing"

  # The DLL as shipped, beside the PDB and header shipped with it.
  unpacked=$(mktemp -d)
  trap 'rm -rf "$unpacked"' EXIT
  (cd "$unpacked" && cmake -E tar xf "$zip")
  local kit=$unpacked/$top
  "$source_dir/scripts/check-dll.sh" "$kit/bin/$KTCACHE_LIBRARY_NAME.dll" \
    "$source_dir/src/ktcache.map" "$kit/include/ktcache.h"

  # A Windows developer's CMake project, which sets no C++ standard (clang
  # 14's default is C++14), finds the kit with find_package(ktcache) and
  # runs beside the DLL. Its own runtime is linked in, as the DLL's is.
  local consumer=$unpacked/consumer
  LDFLAGS=-static cmake -S "$source_dir/tests/package/cmake_consumer" -B "$consumer" \
    -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
    -Dktcache_DIR="$kit/lib/cmake/ktcache" >"$unpacked/consumer.log" 2>&1 &&
    cmake --build "$consumer" >>"$unpacked/consumer.log" 2>&1 ||
    { cat "$unpacked/consumer.log"; fail "a CMake project cannot build against the kit"; }
  cp "$kit/bin/$KTCACHE_LIBRARY_NAME.dll" "$consumer/"
  wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
  export WINEPREFIX=$(cd "$build" && pwd)/wine-prefix WINEDEBUG=-all \
    WINEDLLOVERRIDES=mscoree,mshtml= DISPLAY= LC_ALL=C.UTF-8
  output=$(cd "$consumer" && "$wine" consumer.exe </dev/null) ||
    fail "the CMake project built against the kit fails under Wine"
  "$(dirname "$wine")/wineserver" --wait 2>/dev/null || true
  [[ $output == "cmake consumer: ktcache $KTCACHE_VERSION,"* ]] ||
    fail "the CMake project built against the kit printed: $output"
  echo "windows-kit: a CMake project finds the kit with find_package(ktcache): $output"
}

case "${1:-}" in
  pack | check)
    [ $# -eq 3 ] || fail "usage: windows-kit.sh $1 BUILD_DIR DIST_DIR"
    "$1" "$2" "$3"
    ;;
  *) fail "usage: windows-kit.sh pack|check BUILD_DIR DIST_DIR" ;;
esac
