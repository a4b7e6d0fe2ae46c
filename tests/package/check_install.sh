#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds two tiny consumers
# against it, one through find_package(ktcache) and one through README's
# pkg-config recipe exactly as written there, then runs them, the installed
# tool and its manual page.
#
#   usage: check_install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

build=$1
source=$2
. "$build/ktcache-build.env"
work=$(mktemp -d "${TMPDIR:-/tmp}/ktcache-package-XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

fail() { echo "check_install: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log"

# What an integrator expects to find.
for header in ktcache.h ktcache.hpp; do
  [ -f "$prefix/include/$header" ] || fail "missing include/$header"
done
lib=$(find "$prefix" -name "$(basename "$KTCACHE_LIBRARY")" -type f)
[ -n "$lib" ] || fail "missing the versioned shared library"
libdir=$(dirname "$lib")
[ -L "$libdir/$KTCACHE_LIBRARY_SONAME" ] || fail "missing the SONAME link"
[ -L "$libdir/lib$KTCACHE_LIBRARY_NAME.so" ] || fail "missing the development link"
soname=$(objdump -p "$lib" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = "$KTCACHE_LIBRARY_SONAME" ] || fail "SONAME is '$soname'"
[ -f "$libdir/cmake/ktcache/ktcacheConfig.cmake" ] || fail "missing the CMake package"
[ -f "$libdir/pkgconfig/ktcache.pc" ] || fail "missing the pkg-config file"
# The imported target names the include directory once.
includes=$(sed -n 's/^ *INTERFACE_INCLUDE_DIRECTORIES "\(.*\)"$/\1/p' "$libdir/cmake/ktcache/ktcacheTargets.cmake")
[ "$includes" = '${_IMPORT_PREFIX}/include' ] || fail "the target's include directories are '$includes'"

# The installed tool finds the installed library by itself.
interface=$(sed -n 's/^#define KTCACHE_ABI_VERSION //p' "$prefix/include/ktcache.h")
[ "$("$prefix/bin/ktcache" version)" = "ktcache $KTCACHE_VERSION (interface $interface)" ] || fail "installed tool"
[ "$("$prefix/bin/ktcache" --version)" = "ktcache $KTCACHE_VERSION (interface $interface)" ] || fail "ktcache --version"

# The manual page renders without a warning; the license and the changelog
# come with the documentation.
page="$prefix/share/man/man1/ktcache.1"
[ -f "$page" ] || fail "missing share/man/man1/ktcache.1"
man --warnings -l "$page" >"$work/man.txt" 2>"$work/man.err" || fail "man -l failed"
[ ! -s "$work/man.err" ] || { cat "$work/man.err"; fail "man -l warned"; }
grep -q "ktcache - inspect and purge the offline audio cache" "$work/man.txt" || fail "man page text"
cmp -s "$source/LICENSE" "$prefix/share/doc/ktcache/LICENSE" || fail "missing share/doc/ktcache/LICENSE"
[ -f "$prefix/share/doc/ktcache/CHANGELOG.md" ] || fail "missing share/doc/ktcache/CHANGELOG.md"

# find_package(ktcache) and the imported target ktcache::ktcache, in a
# project that sets no C++ standard, with a compiler whose default is C++14
# (as clang 14's is): the target brings C++17, which ktcache.hpp needs.
cmake -S "$source/tests/package/cmake_consumer" -B "$work/cmake-consumer" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_FLAGS=-std=c++14 \
  >"$work/consumer-configure.log" || { cat "$work/consumer-configure.log"; fail "find_package"; }
cmake --build "$work/cmake-consumer" >"$work/consumer-build.log" || { cat "$work/consumer-build.log"; fail "CMake consumer build"; }
"$work/cmake-consumer/consumer"

# README's pkg-config recipe, as written there but for the prefix, from a
# moved copy of the install (the .pc file is relocatable) and with no library
# search path in the environment: the program must start by itself.
mv "$prefix" "$work/moved"
prefix="$work/moved"
recipe=$(awk '/^### With pkg-config/ { found = 1 } found && /^```sh/ { inside = 1; next }
              inside && /^```/ { exit } inside { print }' "$source/README.md")
[ -n "$recipe" ] || fail "no pkg-config recipe in README.md"
case "$recipe" in *./host*) ;; *) fail "the README recipe does not run the program" ;; esac
mkdir "$work/pc-consumer"
cp "$source/tests/package/pkgconfig_consumer.c" "$work/pc-consumer/host.c"
(cd "$work/pc-consumer" && env -u LD_LIBRARY_PATH bash -euo pipefail -c \
  "${recipe//\/opt\/ktcache/$prefix}") >"$work/recipe.log" 2>&1 || { cat "$work/recipe.log"; fail "README's pkg-config recipe"; }
grep -q "^pkg-config consumer: ktcache $KTCACHE_VERSION" "$work/recipe.log" || { cat "$work/recipe.log"; fail "pkg-config consumer output"; }
runpath=$(objdump -p "$work/pc-consumer/host" | awk '$1 == "RUNPATH" || $1 == "RPATH" { print $2 }')
# The run path is the library's directory, spelt plainly.
moved_libdir="$prefix/${libdir#"$work/prefix/"}"
[ "$runpath" = "$moved_libdir" ] ||
  fail "README's pkg-config recipe gives the run path '$runpath', not '$moved_libdir'"
cat "$work/recipe.log"

echo "check_install: package installs and both consumers run"
