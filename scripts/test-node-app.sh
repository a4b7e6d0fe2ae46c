#!/usr/bin/env bash
# An application's first steps with the npm package, in a fresh directory
# and with no environment variable of the package's own:
#
#   scripts/test-node-app.sh TARBALL WORK_DIR
#
# `npm ci` installs TypeScript as bindings/node/test/app/package-lock.json
# pins it, `npm install TARBALL` the package (and koffi, from the registry);
# then a CommonJS script calls every function, and an ES module in
# TypeScript is built with `tsc --strict --module nodenext` and run.
set -euo pipefail

tarball=$(realpath "$1")
app=$2
root=$(cd "$(dirname "$0")/.." && pwd)

rm -rf "$app"
mkdir -p "$app"
cp "$root"/bindings/node/test/app/* "$app/"
cd "$app"
unset KTCACHE_LIBRARY

npm ci --no-audit --no-fund
npm install --no-audit --no-fund "$tarball"
node every-function.cjs
npx --no-install tsc --strict --module nodenext named-imports.mts
node named-imports.mjs
