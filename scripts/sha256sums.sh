#!/usr/bin/env bash
# Records FILE's SHA-256 in SHA256SUMS beside it (the format `sha256sum -c`
# reads), in place of any earlier line for the same name; the other lines
# stay, so that each release artefact keeps its own.
#
#   usage: scripts/sha256sums.sh FILE
set -euo pipefail

dir=$(dirname "$1")
name=$(basename "$1")
sums=$dir/SHA256SUMS
{
  [ ! -f "$sums" ] || awk -v name="$name" '$2 != name' "$sums"
  (cd "$dir" && sha256sum "$name")
} | LC_ALL=C sort -k 2 >"$sums.new"
mv "$sums.new" "$sums"
