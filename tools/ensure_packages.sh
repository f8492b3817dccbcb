#!/bin/sh
# Makes sure the Debian packages named as arguments are installed: as root,
# installs the missing ones with apt-get; otherwise names them and fails.
set -eu
missing=""
for pkg in "$@"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
    [ "$status" = "installed" ] || missing="$missing $pkg"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
    # sudo is not on a minimal system: name the command to run as root.
    echo "missing Debian packages:$missing (as root: apt-get install$missing)" >&2
    exit 1
fi
echo "installing Debian packages:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq </dev/null
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing </dev/null
