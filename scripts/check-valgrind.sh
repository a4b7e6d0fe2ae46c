#!/usr/bin/env bash
# The ordinary build's test programs under valgrind memcheck, one process per
# program, so that memcheck starts once per program rather than once per
# case. Any report fails the run.
#
#   usage: scripts/check-valgrind.sh BUILD_DIR
#
# Cases that cannot run under memcheck carry a CTest label saying why, and
# are left out by that label: "own-malloc" marks the cases that fail
# allocations through the program's own malloc, which memcheck replaces.
set -euo pipefail

build=$1
tests=$build/tests
LEFT_OUT_LABELS=own-malloc

valgrind=(valgrind -q --error-exitcode=99 --vgdb=no --leak-check=full
  --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect)

# The GoogleTest names of the cases with those labels, as a negative filter.
left_out=$(cd "$build" && ctest -N -L "$LEFT_OUT_LABELS" |
  sed -n 's/^ *Test *#[0-9]*: //p' | paste -sd: -)
filter=()
if [ -n "$left_out" ]; then
  filter=("--gtest_filter=-$left_out")
  echo "check-valgrind: leaving out (label $LEFT_OUT_LABELS): $left_out"
fi

"${valgrind[@]}" "$tests/ktcache_tests" --gtest_brief=1 "${filter[@]}"
"${valgrind[@]}" "$tests/ktcache_fault_tests" --gtest_brief=1 "${filter[@]}"
KTCACHE_RACE_TRIALS=500 "${valgrind[@]}" "$tests/ktcache_stress_tests" --gtest_brief=1 "${filter[@]}"
"${valgrind[@]}" "$tests/ktcache_c_api"
# Every ktcache process that the tool tests start is checked too.
"${valgrind[@]}" --trace-children=yes --trace-children-skip='*/bash,*/sh,*/cmake,*/cc' \
  "$tests/ktcache_tool_tests" --gtest_brief=1 "${filter[@]}"
