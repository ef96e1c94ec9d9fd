#!/usr/bin/env bash
# systemd-analyze verify on the packages' service units, its warnings
# counted as failures (it exits 0 on an unknown key). The programs the
# units name are taken from BIN_DIR and packaging/ (the helper script);
# manual pages are checked by the package tests, where they are installed.
#   verify_units.sh SOURCE_DIR BIN_DIR
set -euo pipefail
src=$1
bin=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for unit in "$src"/packaging/systemd/*.service; do
    sed -e "s|/usr/bin/|$bin/|g" -e "s|/usr/libexec/avbox/|$src/packaging/|g" "$unit" >"$work/$(basename "$unit")"
done
out=$(systemd-analyze verify --man=no "$work"/*.service 2>&1) || { echo "$out"; exit 1; }
if [[ -n "$out" ]]; then
    echo "$out"
    exit 1
fi
echo "units verified: $(cd "$work" && echo *.service)"
