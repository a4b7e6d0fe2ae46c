#!/usr/bin/env bash
# Runs CTest in a build directory, showing the output of every test that
# fails, then names every GoogleTest case that was skipped with the reason
# it gave, so that a green run also says what it did not check.
#
#   usage: scripts/run-ctest.sh BUILD_DIR [CTEST_ARGUMENT...]
set -uo pipefail

build=$1
shift
(cd "$build" && ctest --output-on-failure "$@")
status=$?

# LastTest.log holds each test's output, after a line "N/M Testing: NAME".
# A case skipped with GTEST_SKIP() prints "FILE:LINE: Skipped", its message,
# then "[  SKIPPED ] CASE"; a CTest test may be one case or a whole program.
log=$build/Testing/Temporary/LastTest.log
[ -f "$log" ] && awk '
  /^[0-9]+\/[0-9]+ Testing: / { test = $3; next }
  /^\[ RUN      \] / { gcase = $4; reason = ""; next }
  /:[0-9]+: Skipped$/ { inside = 1; next }
  inside && /^\[  SKIPPED \] / {
    inside = 0
    name = (test == gcase || substr(test, length(test) - length(gcase)) == "." gcase) \
      ? test : test " (" gcase ")"
    lines[++count] = "  " name ": " (reason == "" ? "no reason given" : reason)
    next
  }
  inside { reason = reason (reason == "" ? "" : " ") $0 }
  END {
    if (count == 0) exit
    print "Skipped, with the reason each gave:"
    for (i = 1; i <= count; i++) print lines[i]
  }' "$log"
exit $status
