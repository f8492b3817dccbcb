#!/bin/sh
# Runs a command as pid 1 of a PID namespace of its own, with its own /proc,
# so that whatever it signals, by design or by a fault, is inside. As root
# the namespace needs nothing else; other users get it inside a user
# namespace that maps them to themselves. Where neither can be made, the
# command runs as it is, and the tests that need the namespace skip.
#   in_own_pid_namespace.sh COMMAND ARGS...
set -eu
for way in "" "--user --map-current-user"; do
    # shellcheck disable=SC2086
    if unshare $way --pid --fork --mount-proc --kill-child true 2>/dev/null; then
        # shellcheck disable=SC2086
        exec unshare $way --pid --fork --mount-proc --kill-child "$@"
    fi
done
echo "no PID namespace could be made here: the tests that need one skip" >&2
exec "$@"
