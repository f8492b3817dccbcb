#!/bin/bash
# clang-tidy over the given sources with the build's compile commands. Only
# findings are printed: the count of warnings it left unshown in system
# headers ("N warnings generated.") says nothing about the code.
#   tools/lint.sh BUILD_DIR SOURCES...
set -euo pipefail
build=$1
shift
clang-tidy -p "$build" --quiet "$@" 2>&1 | { grep -v -E '^[0-9]+ warnings? generated\.$' || true; }
