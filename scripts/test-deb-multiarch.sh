#!/usr/bin/env bash
# Checks that the Multi-Arch: same packages of two architectures can be
# installed side by side, as dpkg allows it only then: every file both
# carry outside their multiarch folders has the same bytes, and neither
# carries such a file the other lacks.
#   test-deb-multiarch.sh PACKAGE_DIR_A PACKAGE_DIR_B
set -euo pipefail
a=$(realpath "${1:?usage: test-deb-multiarch.sh PACKAGE_DIR_A PACKAGE_DIR_B}")
b=$(realpath "${2:?usage: test-deb-multiarch.sh PACKAGE_DIR_A PACKAGE_DIR_B}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
checked=0

# The md5sums of a package's files outside /usr/lib/<triple>/.
shared_sums() {
    local deb=$1 triple
    triple=$(dpkg-architecture -a"$(dpkg-deb -f "$deb" Architecture)" -qDEB_HOST_MULTIARCH 2>/dev/null)
    dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./md5sums | awk '{print $2, $1}' | grep -v "^usr/lib/$triple/" | sort
}

for deb_a in "$a"/*.deb; do
    [[ "$(dpkg-deb -f "$deb_a" Multi-Arch)" == same ]] || continue
    pkg=$(dpkg-deb -f "$deb_a" Package)
    deb_b=$(ls "$b/${pkg}"_*.deb 2>/dev/null | head -1)
    [[ -n "$deb_b" ]] || { echo "FAIL: $pkg: not in $b"; fail=1; continue; }
    [[ "$(dpkg-deb -f "$deb_b" Multi-Arch)" == same ]] || { echo "FAIL: $(basename "$deb_b"): Multi-Arch is not same"; fail=1; }
    [[ "$(dpkg-deb -f "$deb_a" Version)" == "$(dpkg-deb -f "$deb_b" Version)" ]] ||
        { echo "FAIL: $pkg: versions differ"; fail=1; }
    shared_sums "$deb_a" >"$work/a"
    shared_sums "$deb_b" >"$work/b"
    if ! diff -u "$work/a" "$work/b" >"$work/diff"; then
        echo "FAIL: $pkg: shared files differ between $(basename "$deb_a") and $(basename "$deb_b"):"
        grep '^[-+][^-+]' "$work/diff" || true
        fail=1
    fi
    echo "$pkg: $(wc -l <"$work/a") shared files, $(basename "$deb_a") and $(basename "$deb_b")"
    checked=$((checked + 1))
done
[[ $checked -gt 0 ]] || { echo "FAIL: no Multi-Arch: same package in $a"; fail=1; }
if [[ $fail -ne 0 ]]; then
    echo "Multi-Arch: same packages: FAILED"
    exit 1
fi
echo "Multi-Arch: same packages: co-installable"
