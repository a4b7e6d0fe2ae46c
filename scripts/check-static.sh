#!/usr/bin/env bash
# Runs clang-tidy (the checks of .clang-tidy) over what ships: the library,
# in both of its ways of reaching files, and the ktcache command, with the
# compile commands of a configured build. Exits nonzero on any finding, or
# when clang-tidy cannot run, with what it said.
#
#   usage: scripts/check-static.sh BUILD_DIR JOBS
set -uo pipefail

build=${1:?build directory}
jobs=${2:-2}
cd "$(dirname "$0")/.." || exit 1
if [ ! -f "$build/compile_commands.json" ]; then
  echo "check-static: no $build/compile_commands.json: configure the build first" >&2
  exit 1
fi

# One source file, with any extra compiler arguments after it. clang-tidy's
# count of the warnings it did not show is left out; its errors are not.
tidy() {
  local source=$1
  shift
  clang-tidy -p "$build" --quiet "${@/#/--extra-arg=}" "$source" 2>&1 |
    grep -v ' generated\.$'
  [ "${PIPESTATUS[0]}" -eq 0 ] || { echo "== clang-tidy failed on $source $*"; return 1; }
}
export -f tidy
export build

{
  echo "src/ktcache.cpp"
  echo "src/ktcache.cpp -DKTCACHE_PORTABLE_FILE_ACCESS=1"
  for source in tools/ktcache/*.cpp; do echo "$source"; done
} | xargs -P "$jobs" -L 1 bash -c 'tidy "$@"' tidy || exit 1
echo "clang-tidy: no findings"
