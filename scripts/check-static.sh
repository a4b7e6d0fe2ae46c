#!/usr/bin/env bash
# Runs clang-tidy (the checks of .clang-tidy) over what ships: the library,
# in both of its ways of reaching files, and the ktcache command, with the
# compile commands of a configured build. Exits nonzero on any finding.
#
#   usage: scripts/check-static.sh BUILD_DIR JOBS
set -uo pipefail

build=${1:?build directory}
jobs=${2:-2}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root" || exit 1

# One line a run: the source file, then any extra compiler argument.
{
  echo "src/ktcache.cpp"
  echo "src/ktcache.cpp -DKTCACHE_PORTABLE_FILE_ACCESS=1"
  for source in tools/ktcache/*.cpp; do echo "$source"; done
} | xargs -P "$jobs" -L 1 sh -c '
  source=$1
  shift
  extra=""
  [ $# -gt 0 ] && extra="--extra-arg=$1"
  clang-tidy -p "'"$build"'" --quiet $extra "$source" 2>/dev/null ||
    { echo "== clang-tidy: findings in $source $*"; exit 1; }
' sh
status=$?
[ $status -eq 0 ] && echo "clang-tidy: no findings"
[ $status -eq 0 ]
