#!/usr/bin/env bash
# Builds the release artefacts twice, in two clones of the last commit at
# two different paths, and compares them byte for byte: the Windows kit's
# zip, the npm tarball and their SHA256SUMS, the DLL, its PDB, import
# libraries and module-definition file, and the Linux library. Only what
# ships is built (no tests, tools or benchmarks), both clones at once.
#
#   usage: scripts/check-reproducible.sh [JOBS]
#
# Uncommitted changes are not part of the check. On a difference the clones
# and their build logs are kept for a closer look (diffoscope, cmp -l).
set -euo pipefail

jobs=${1:-2}
root=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$root" rev-parse HEAD)
work=$(mktemp -d "${TMPDIR:-/tmp}/ktcache-reproducible-XXXXXX")
# Paths of different lengths, so that no artefact can hide its build path
# in a field of fixed width.
first=$work/a
second=$work/second/clone/of/ktcache
per_side=$(( jobs > 1 ? jobs / 2 : 1 ))

build() {
  local clone=$1
  mkdir -p "$(dirname "$clone")"
  git clone -q --shared --no-checkout "$root" "$clone"
  git -C "$clone" checkout -q --detach "$commit"
  make -C "$clone" --no-print-directory dist-windows npm-package JOBS="$per_side" \
    CMAKE_FLAGS="-DKTCACHE_BUILD_TESTS=OFF -DKTCACHE_BUILD_TOOLS=OFF -DKTCACHE_BUILD_BENCHMARKS=OFF" \
    >"$clone.log" 2>&1 || { echo "check-reproducible: the build in $clone failed:" >&2; tail -30 "$clone.log" >&2; return 1; }
}

echo "check-reproducible: building $(git -C "$root" log -1 --format='%h (%cd)' --date=short) twice"
build "$first" &
first_build=$!
build "$second" &
second_build=$!
status=0
wait "$first_build" || status=1
wait "$second_build" || status=1
[ "$status" -eq 0 ] || exit 1

# shellcheck source=/dev/null
linux=$(. "$first/build/ktcache-build.env" && echo "${KTCACHE_LIBRARY#"$first/"}")
# shellcheck source=/dev/null
name=$(. "$first/build-windows/ktcache-build.env" && echo "$KTCACHE_LIBRARY_NAME")
artefacts=("$linux")
for suffix in dll pdb lib dll.a def; do artefacts+=("build-windows/$name.$suffix"); done
artefacts+=(dist/SHA256SUMS)
while read -r _ file; do artefacts+=("dist/$file"); done <"$first/dist/SHA256SUMS"

differ=0
for artefact in "${artefacts[@]}"; do
  if cmp -s "$first/$artefact" "$second/$artefact"; then
    printf '  same  %s  %s\n' "$(sha256sum <"$first/$artefact" | cut -c1-16)" "$artefact"
  else
    printf '  DIFFERENT  %s (from %s on)\n' "$artefact" \
      "$(cmp "$first/$artefact" "$second/$artefact" 2>&1 | sed -n 's/.* differ: \(byte [0-9]*\).*/\1/p')"
    differ=1
  fi
done
if [ "$differ" -ne 0 ]; then
  echo "check-reproducible: the artefacts differ; the clones are kept in $work" >&2
  exit 1
fi
rm -rf "$work"
echo "check-reproducible: ${#artefacts[@]} artefacts, the same bytes from two folders"
