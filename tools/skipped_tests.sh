#!/bin/sh
# Lists the test cases that the last ctest runs in the given build folders
# skipped, each with its reason: a case skipped inside a test program (gtest's
# GTEST_SKIP) counts as passed for ctest and would not be seen otherwise.
#   tools/skipped_tests.sh BUILD_DIR...
set -eu
list=$(for build in "$@"; do
    log=$build/Testing/Temporary/LastTest.log
    [ -f "$log" ] || continue
    awk -v build="$build" '
        /^"[^"]*" start time:/ { test = $0; sub(/^"/, "", test); sub(/" start time:.*/, "", test) }
        /: Skipped$/ { reason = ""; taking = 1; next }
        taking && /^\[  SKIPPED \] / {
            name = $4
            printf "  %s: %s (%s)\n", name, reason, build
            taking = 0
            next
        }
        taking && NF { reason = reason (reason == "" ? "" : " ") $0 }
        /^SKIP: / { reason = $0; sub(/^SKIP: /, "", reason); printf "  %s: %s (%s)\n", test, reason, build }
    ' "$log"
done | sort -u)
if [ -z "$list" ]; then
    echo "Skipped test cases: none"
else
    echo "Skipped test cases, and why:"
    echo "$list"
fi
