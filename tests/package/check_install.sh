#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds two tiny consumers
# against it, one through find_package(ktcache) and one through pkg-config,
# then runs them and the installed tool.
#
#   usage: check_install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

build=$1
source=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/ktcache-package-XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

fail() { echo "check_install: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log"

# What an integrator expects to find.
for header in ktcache.h ktcache.hpp; do
  [ -f "$prefix/include/$header" ] || fail "missing include/$header"
done
lib=$(find "$prefix" -name 'libkelvane-kelvanetunes-offline-cache-model.so.1.0.0' -type f)
[ -n "$lib" ] || fail "missing the versioned shared library"
libdir=$(dirname "$lib")
[ -L "$libdir/libkelvane-kelvanetunes-offline-cache-model.so.1" ] || fail "missing the SONAME link"
[ -L "$libdir/libkelvane-kelvanetunes-offline-cache-model.so" ] || fail "missing the development link"
soname=$(objdump -p "$lib" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = "libkelvane-kelvanetunes-offline-cache-model.so.1" ] || fail "SONAME is '$soname'"
[ -f "$libdir/cmake/ktcache/ktcacheConfig.cmake" ] || fail "missing the CMake package"
[ -f "$libdir/pkgconfig/ktcache.pc" ] || fail "missing the pkg-config file"

# The installed tool finds the installed library by itself.
[ "$("$prefix/bin/ktcache" version)" = "ktcache 1.0.0 (interface 1)" ] || fail "installed tool"

# find_package(ktcache) and the imported target ktcache::ktcache.
cmake -S "$source/tests/package/cmake_consumer" -B "$work/cmake-consumer" \
  -DCMAKE_PREFIX_PATH="$prefix" >"$work/consumer-configure.log" || { cat "$work/consumer-configure.log"; fail "find_package"; }
cmake --build "$work/cmake-consumer" >"$work/consumer-build.log" || { cat "$work/consumer-build.log"; fail "CMake consumer build"; }
"$work/cmake-consumer/consumer"

# pkg-config, from a moved copy of the prefix: the .pc file is relocatable.
mv "$prefix" "$work/moved"
prefix="$work/moved"
libdir=${libdir/$work\/prefix/$prefix}
export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ "$(pkg-config --modversion ktcache)" = "1.0.0" ] || fail "pkg-config version"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$work/pc-consumer" \
  "$source/tests/package/pkgconfig_consumer.c" $(pkg-config --cflags --libs ktcache) \
  -Wl,-rpath,"$libdir"
"$work/pc-consumer"

echo "check_install: package installs and both consumers run"
