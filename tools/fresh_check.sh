#!/bin/sh
# `make check` as a new user meets it: a minimal Debian 12 root made with
# debootstrap --variant=minbase (plus git, make and ca-certificates, what the
# README asks for before the two commands), the project cloned into it at
# /root/p, and `make check` run there as root. Whatever the targets forget to
# install shows here.
#
# Every mount the root needs (the root bound onto itself, so that unshare -m
# works inside; /proc, /sys, /dev, and a tmpfs on /run and /dev/shm) lives in
# a private mount namespace of its own: none outlives the check, and removing
# the root can never reach the host's /dev or /proc.
#   tools/fresh_check.sh WORK_DIR [TARGET...]     (default: demo check)
set -eu
[ "$(id -u)" -eq 0 ] || { echo "fresh-check needs root (debootstrap, chroot, mounts)" >&2; exit 1; }
here=$(cd "$(dirname "$0")/.." && pwd)
work=$1
shift
targets=${*:-demo check}

# The machine's own Debian mirror (deb822 or one-line sources), else the default.
mirror=$(grep -h -E '^URIs:.*/debian/?$' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2; exit}')
[ -n "$mirror" ] || mirror=$(grep -h -E '^deb .*/debian/? ' /etc/apt/sources.list 2>/dev/null | awk '{print $2; exit}')
[ -n "$mirror" ] || mirror=http://deb.debian.org/debian

rm -rf "$work"
mkdir -p "$work"
root=$(cd "$work" && pwd)/root
log=$(cd "$work" && pwd)/log
fail() {
    # The failed test cases with what they reported, then the log's end.
    grep -E -A 12 '^[^ ]+:[0-9]+: Failure$' "$log" | head -n 200 || true
    grep -E '^\[  FAILED  \]' "$log" | sort -u || true
    tail -n 60 "$log"
    echo "fresh-check: $1 (last lines of $log above)" >&2
    exit 1
}

echo "fresh-check: debootstrap bookworm from $mirror into $root"
debootstrap --variant=minbase --include=git,make,ca-certificates bookworm "$root" "$mirror" >"$log" 2>&1 ||
    fail "debootstrap failed"
# What is committed, as a clone elsewhere would get it.
git clone -q "$here" "$root/root/p" >>"$log" 2>&1 || fail "git clone failed"

# Each target as a command of its own, as a new user types them.
echo "fresh-check: make $targets in the new root, as root, from /root/p (log: $log)"
status=0
unshare --mount --propagation private sh -eu -c '
    root=$1
    shift
    mount --bind "$root" "$root"
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs -o mode=0755 tmpfs "$root/run"
    mkdir -p "$root/dev/shm"
    mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
    cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
    exec chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        sh -c "cd /root/p && for target in \"\$@\"; do make \"\$target\" || exit 1; done" make-each "$@" </dev/null
' fresh-check "$root" $targets >>"$log" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "make $targets failed in a minimal Debian 12 root"
# The closing lines of make check: the tests' summary and the skipped cases.
sed -n '/^Skipped test cases/,$p' "$log"
rm -rf "$root"
echo "fresh-check: make $targets passed on a minimal Debian 12 root"
