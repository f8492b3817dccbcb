#!/bin/sh
# What an operator gets: the hardened program, `cmake --install`, and the
# Debian package, built in full (source and binary), lintian-clean, unpacked
# into a scratch root.
#   package_test.sh BUILD_DIR SOURCE_DIR VERSION
set -eu
build=$1
source=$2
version=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
version_line="zelvo-ivask for Linux, version $version"
for tool in dpkg-buildpackage dh lintian hardening-check mandoc groff; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

# Stack clash protection and control flow integrity cannot be read off a
# Debian 12 binary (see README); the other five must say yes.
hardened() {
    report=$(hardening-check "$1" || true)
    for check in "Position Independent Executable" "Stack protected" "Fortify Source functions" \
        "Read-only relocations" "Immediate binding"; do
        echo "$report" | grep -q "^ $check: yes" || fail "$1 is not hardened: $report"
    done
}
hardened "$build/zelvo-ivask"

# The manual page is clean for both formatters' checks.
[ -z "$(mandoc -T lint "$source/man/zelvo-ivask.1" 2>&1)" ] || fail "mandoc: $(mandoc -T lint "$source/man/zelvo-ivask.1" 2>&1)"
[ -z "$(groff -man -ww -z -t "$source/man/zelvo-ivask.1" 2>&1)" ] || fail "groff: $(groff -man -ww -z -t "$source/man/zelvo-ivask.1" 2>&1)"

# cmake --install: exactly the program and its manual page.
DESTDIR="$scratch/root" cmake --install "$build" --prefix /usr >/dev/null
installed=$(cd "$scratch/root" && find . -type f | sort | tr '\n' ' ')
[ "$installed" = "./usr/bin/zelvo-ivask ./usr/share/man/man1/zelvo-ivask.1.gz " ] || fail "installed files: $installed"

# The Debian package: no lintian error or warning, Depends exactly what
# dpkg-shlibdeps computes for the program (the shared C++ runtime among it),
# the program, its manual page, copyright and changelog.
sh "$source/tools/build_package.sh" "$scratch/pkg" >/dev/null
tags=$(lintian --pedantic --fail-on error,warning "$scratch/pkg/zelvo-ivask_${version}_"*.changes 2>&1) ||
    fail "lintian: $tags"
deb=$(ls "$scratch/pkg/zelvo-ivask_${version}_"*.deb)
dpkg -x "$deb" "$scratch/unpacked"
mkdir -p "$scratch/shlibs/debian"
cp "$source/debian/control" "$scratch/shlibs/debian/"
computed=$(cd "$scratch/shlibs" && dpkg-shlibdeps -O "$scratch/unpacked/usr/bin/zelvo-ivask" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
depends=$(dpkg-deb -f "$deb" Depends)
[ -n "$computed" ] && [ "$depends" = "$computed" ] || fail "Depends: $depends; dpkg-shlibdeps computes: $computed"
echo "$depends" | grep -q 'libstdc++6' || fail "the C++ runtime is not a shared library: Depends: $depends"
files=$(cd "$scratch/unpacked" && find . -type f | sort | tr '\n' ' ')
[ "$files" = "./usr/bin/zelvo-ivask ./usr/share/doc/zelvo-ivask/changelog.gz ./usr/share/doc/zelvo-ivask/copyright ./usr/share/man/man1/zelvo-ivask.1.gz " ] ||
    fail "packaged files: $files"
[ "$("$scratch/unpacked/usr/bin/zelvo-ivask" -V)" = "$version_line" ] || fail "packaged program's version line"
hardened "$scratch/unpacked/usr/bin/zelvo-ivask"
echo "package ok: $(basename "$deb"), Depends: $(dpkg-deb -f "$deb" Depends)"
