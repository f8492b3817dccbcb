#!/bin/sh
# The product version is written in three places: CMakeLists.txt (the
# program's version line), the manual page's .TH line and debian/changelog.
# Fails when either of the last two differs from the first.
#   versions_agree.sh VERSION SOURCE_DIR
set -eu
version=$1
src=$2
status=0
man=$(sed -n 's/^\.TH [^"]*"[^"]*" "zelvo-ivask \([^"]*\)".*/\1/p' "$src/man/zelvo-ivask.1")
changelog=$(sed -n '1s/^zelvo-ivask (\([^)]*\)).*/\1/p' "$src/debian/changelog")
for pair in "manual page:$man" "debian/changelog:$changelog"; do
    if [ "${pair#*:}" != "$version" ]; then
        echo "${pair%%:*} says version '${pair#*:}', CMakeLists.txt says '$version'"
        status=1
    fi
done
exit $status
