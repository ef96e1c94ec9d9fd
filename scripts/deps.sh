#!/usr/bin/env bash
# Installs the Debian packages listed in scripts/packages.txt that are not
# installed yet. Safe to run again: with nothing missing it does nothing.
#
# A plain name means the machine's own architecture; NAME:ARCH names another
# one (the box's armhf libraries), and that architecture is added to dpkg
# first. Each is checked for its own architecture: a package that has no
# Multi-Arch field (libevent-dev) can be installed for only one at a time, and
# the other one must not count as present.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# Checked first: a failure inside the process substitution below would not
# stop the script, and an unreadable list would pass as an empty one.
[[ -r "$here/packages.txt" ]] || { echo "deps: cannot read $here/packages.txt" >&2; exit 1; }
mapfile -t wanted < <(grep -vE '^\s*(#|$)' "$here/packages.txt" | sed 's/\s*#.*//; s/\s*$//')
native=$(dpkg --print-architecture)

if [[ $(id -u) -ne 0 ]]; then
    sudo=sudo
else
    sudo=
fi

# installed NAME ARCH: true when NAME is installed for ARCH (or as arch "all").
installed() {
    local a status
    for a in "$2" all; do
        status=$(dpkg-query -W -f='${Status}' "$1:$a" 2>/dev/null || true)
        [[ "$status" == "install ok installed" ]] && return 0
    done
    return 1
}

missing=()
foreign=()
for entry in "${wanted[@]}"; do
    name=${entry%%:*}
    arch=$native
    if [[ "$entry" == *:* ]]; then
        arch=${entry#*:}
    fi
    if installed "$name" "$arch"; then
        continue
    fi
    missing+=("$name:$arch")
    if [[ "$arch" != "$native" ]]; then
        foreign+=("$arch")
    fi
done

if [[ ${#missing[@]} -eq 0 ]]; then
    echo "deps: all ${#wanted[@]} packages present"
    exit 0
fi

# Read whole first: grep -q stopping early would make the pipeline fail.
present=$(dpkg --print-foreign-architectures)
for arch in $(printf '%s\n' "${foreign[@]}" | sort -u); do
    if ! grep -qx "$arch" <<<"$present"; then
        echo "deps: adding architecture $arch"
        $sudo dpkg --add-architecture "$arch"
    fi
done

echo "deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# A mirror caught in the middle of a sync can fail one index while the others
# refresh; go on and let the install itself decide.
$sudo apt-get update -q || echo "deps: apt-get update reported errors, trying the install anyway"
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
