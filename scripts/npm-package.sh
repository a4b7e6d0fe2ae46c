#!/usr/bin/env bash
# Packs the npm package of bindings/node with the libraries it loads:
#
#   scripts/npm-package.sh LINUX_BUILD_DIR WINDOWS_BUILD_DIR DIST_DIR
#
# The package's files are copied to a directory of their own with LICENSE,
# the Linux x64 library of the first build (without its symbol table; the
# build's file is left as it is) and the Windows x64 DLL of the second, as
# the Windows build ships it, under prebuilds/<platform>-<arch>/ by the file
# names the package looks for; `npm pack` there takes what package.json's
# "files" lists, with fixed times and modes, and writes DIST_DIR/NAME-VERSION.tgz.
# Its SHA-256 goes into DIST_DIR/SHA256SUMS. Prints the tarball's contents.
set -euo pipefail

linux_build=$1
windows_build=$2
dist=$3
root=$(cd "$(dirname "$0")/.." && pwd)

fail() { echo "npm-package: $*" >&2; exit 1; }

# shellcheck source=/dev/null
windows_dll=$(. "$windows_build/ktcache-build.env" && echo "$KTCACHE_LIBRARY")
# shellcheck source=/dev/null
. "$linux_build/ktcache-build.env"

package_version=$(sed -n 's/^  "version": "\(.*\)",$/\1/p' "$root/bindings/node/package.json")
[ "$package_version" = "$KTCACHE_VERSION" ] ||
  fail "bindings/node/package.json gives version $package_version, the library $KTCACHE_VERSION"

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

tar -C "$root/bindings/node" --exclude=./node_modules --sort=name -cf - . | tar -C "$stage" -xf -
cp "$root/LICENSE" "$stage/"
mkdir -p "$stage/prebuilds/linux-x64" "$stage/prebuilds/win32-x64"
strip --strip-unneeded -o "$stage/prebuilds/linux-x64/$KTCACHE_LIBRARY_SONAME" "$KTCACHE_LIBRARY"
cp "$windows_dll" "$stage/prebuilds/win32-x64/$KTCACHE_LIBRARY_NAME.dll"
find "$stage" -type d -exec chmod 0755 {} + -o -type f -exec chmod 0644 {} +

packed=$(cd "$stage" && npm pack --silent)
mkdir -p "$dist"
mv "$stage/$packed" "$dist/$packed"
"$root/scripts/sha256sums.sh" "$dist/$packed"

echo "npm-package: $dist/$packed, $(stat -c %s "$dist/$packed") bytes:"
tar -tzvf "$dist/$packed" | awk '{ printf "  %10s  %s\n", $3, $6 }'
