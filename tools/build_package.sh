#!/bin/sh
# Builds the Debian package from a copy of the source tree, so that nothing
# is written beside the tree and no build folder goes into the source.
#   build_package.sh OUT_DIR [DPKG_BUILDPACKAGE_OPTIONS...]
# Leaves the .deb (and, for a full build, the source package and .changes)
# in OUT_DIR.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
out=$(cd "$1" && pwd)
shift
version=$(cd "$here" && dpkg-parsechangelog -S Version)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tree=$work/zelvo-ivask-$version
mkdir "$tree"
tar -C "$here" --exclude-vcs --exclude='./build' --exclude='./build-*' --exclude='./obj-*' -cf - . | tar -C "$tree" -xf -
(cd "$tree" && dpkg-buildpackage -us -uc "$@" >"$work/log" 2>&1) || {
    tail -40 "$work/log" >&2
    echo "dpkg-buildpackage failed (the last lines of its log above)" >&2
    exit 1
}
find "$work" -maxdepth 1 -type f ! -name log -exec mv {} "$out/" \;
ls "$out"/zelvo-ivask_"$version"_*.deb
