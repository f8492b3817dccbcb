#!/bin/sh
# Runs a command in a private mount namespace in which /etc/zelvo, /opt/zelvo,
# /tmp and /run are the folders etc/, opt/, tmp/ and run/ of ROOT, and ROOT itself is
# /mnt (ROOT may lie under /tmp, which the namespace replaces). Needs root.
#   in_private_root.sh ROOT [--full-tmp] [--dev-log SOCKET] COMMAND ARGS...
# --full-tmp: ROOT/tmp is a tiny file system that is already full.
# --dev-log: /dev/log is SOCKET, in an overlay of /dev (where SOCKET does not
# exist, /dev/log is an empty file: there is no syslog socket).
set -eu
# The folders made here stand in for /etc and /opt, which everyone may
# traverse, whatever the caller's umask.
umask 022
if [ -z "${ZELVO_PRIVATE_ROOT:-}" ]; then
    ZELVO_PRIVATE_ROOT=1 exec unshare -m "$0" "$@"
fi
unset ZELVO_PRIVATE_ROOT
root=$1
shift
full_tmp=no
if [ "$1" = --full-tmp ]; then
    full_tmp=yes
    shift
fi
dev_log=
if [ "$1" = --dev-log ]; then
    dev_log=$2
    shift 2
fi

mount --make-rprivate /
mount --bind "$root" /mnt
mkdir -p "$root/scratch"
mount -t tmpfs -o size=1m zelvo-scratch "$root/scratch"
# A missing mount point is made in an overlay of its parent, so the host's
# own /etc and /opt stay untouched.
for pair in /etc/zelvo:etc /opt/zelvo:opt; do
    dir=${pair%%:*}
    source=$root/${pair#*:}
    if [ ! -d "$dir" ]; then
        parent=$(dirname "$dir")
        name=$(basename "$parent")
        mkdir -p "$root/scratch/$name.upper" "$root/scratch/$name.work"
        mount -t overlay overlay \
            -o "lowerdir=$parent,upperdir=$root/scratch/$name.upper,workdir=$root/scratch/$name.work" "$parent"
        mkdir "$dir"
    fi
    mount --bind "$source" "$dir"
done
if [ -n "$dev_log" ]; then
    mkdir -p "$root/scratch/dev.upper" "$root/scratch/dev.work"
    mount -t overlay overlay -o "lowerdir=/dev,upperdir=$root/scratch/dev.upper,workdir=$root/scratch/dev.work" /dev
    rm -f /dev/log
    touch /dev/log
    if [ -e "$dev_log" ]; then
        mount --bind "$dev_log" /dev/log
    fi
fi
if [ "$full_tmp" = yes ]; then
    mount -t tmpfs -o size=16k zelvo-full "$root/tmp"
    dd if=/dev/zero of="$root/tmp/filler" bs=1024 2>/dev/null || true
fi
mkdir -p "$root/run"
mount --bind "$root/run" /run
mount --bind "$root/tmp" /tmp
exec "$@"
