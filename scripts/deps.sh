#!/usr/bin/env bash
# Installs the Debian packages listed in scripts/packages.txt that are not
# installed yet. Safe to run again: with nothing missing it does nothing.
set -u
here=$(cd "$(dirname "$0")" && pwd)
mapfile -t wanted < <(grep -vE '^\s*(#|$)' "$here/packages.txt")

missing=()
for pkg in "${wanted[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done

if [[ ${#missing[@]} -eq 0 ]]; then
    echo "deps: all ${#wanted[@]} packages present"
    exit 0
fi

echo "deps: installing ${missing[*]}"
if [[ $(id -u) -ne 0 ]]; then
    sudo=sudo
else
    sudo=
fi
export DEBIAN_FRONTEND=noninteractive
# A mirror caught in the middle of a sync can fail one index while the others
# refresh; go on and let the install itself decide.
$sudo apt-get update -q || echo "deps: apt-get update reported errors, trying the install anyway"
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
