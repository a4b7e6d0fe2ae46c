#!/usr/bin/env bash
# Packs the npm package of bindings/node with the libraries it loads:
#
#   scripts/npm-package.sh LINUX_LIBRARY WINDOWS_DLL OUTPUT.tgz
#
# The package's files are copied to a directory of their own with LICENSE,
# the Linux x64 library (without its symbol table; the build's file is left
# as it is) and the Windows x64 DLL as the Windows build ships it, under
# prebuilds/<platform>-<arch>/; `npm pack` there takes what package.json's
# "files" lists. Prints the tarball's contents and size.
set -euo pipefail

linux_library=$1
windows_dll=$2
output=$3
root=$(cd "$(dirname "$0")/.." && pwd)
library=kelvane-kelvanetunes-offline-cache-model

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

tar -C "$root/bindings/node" --exclude=./node_modules -cf - . | tar -C "$stage" -xf -
cp "$root/LICENSE" "$stage/"
mkdir -p "$stage/prebuilds/linux-x64" "$stage/prebuilds/win32-x64"
strip --strip-unneeded -o "$stage/prebuilds/linux-x64/lib$library.so.1" "$linux_library"
cp "$windows_dll" "$stage/prebuilds/win32-x64/$library.dll"

packed=$(cd "$stage" && npm pack --silent)
mkdir -p "$(dirname "$output")"
mv "$stage/$packed" "$output"

echo "npm-package: $output, $(stat -c %s "$output") bytes:"
tar -tzvf "$output" | awk '{ printf "  %10s  %s\n", $3, $6 }'
