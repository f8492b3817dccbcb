#!/bin/sh
# What an operator gets: the installed files, the manual page, the .deb.
#   package_test.sh BUILD_DIR SOURCE_DIR VERSION
set -eu
build=$1
source=$2
version=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
version_line="zelvo-ivask for Linux, version $version"

# Installation: exactly the program and its manual page.
DESTDIR="$scratch/root" cmake --install "$build" --prefix /usr >/dev/null
installed=$(cd "$scratch/root" && find . -type f | sort | tr '\n' ' ')
[ "$installed" = "./usr/bin/zelvo-ivask ./usr/share/man/man1/zelvo-ivask.1.gz " ] ||
    fail "installed files: $installed"
[ "$("$scratch/root/usr/bin/zelvo-ivask" -V)" = "$version_line" ] || fail "installed program's version line"

# The manual page is clean for groff's checks.
if command -v groff >/dev/null; then
    warnings=$(groff -man -ww -z -t "$source/man/zelvo-ivask.1" 2>&1)
    [ -z "$warnings" ] || fail "groff: $warnings"
fi

# The package.
if ! command -v dpkg-shlibdeps >/dev/null || ! command -v dpkg-deb >/dev/null; then
    echo "SKIP: no dpkg-dev to build the package"
    exit 77
fi
(cd "$build" && cpack -B "$scratch/pkg" >/dev/null)
deb=$(ls "$scratch"/pkg/*.deb)
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
[ "$(dpkg-deb -f "$deb" Package)" = "zelvo-ivask" ] || fail "package name"
depends=$(dpkg-deb -f "$deb" Depends)
echo "$depends" | grep -q 'libc6' || fail "Depends lacks libc6: $depends"
others=$(echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | grep -v -x -e libc6 -e libstdc++6 || true)
[ -z "$others" ] || fail "unexpected dependencies: $others"
[ -n "$(dpkg-deb -f "$deb" Description)" ] || fail "no description"
dpkg -x "$deb" "$scratch/unpacked"
[ "$("$scratch/unpacked/usr/bin/zelvo-ivask" -V)" = "$version_line" ] || fail "packaged program's version line"
[ -f "$scratch/unpacked/usr/share/man/man1/zelvo-ivask.1.gz" ] || fail "packaged manual page"
echo "package ok: $(basename "$deb"), Depends: $depends"
