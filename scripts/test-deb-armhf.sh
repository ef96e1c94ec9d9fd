#!/usr/bin/env bash
# Checks the armhf packages without a box: each one's name, architecture and
# fields, the files it must carry and must not (the simulator never rides
# in avbox), and that every program in them is a 32-bit hard-float ARM
# executable whose needed libraries all come from Debian armhf packages and
# which opens files with 64-bit offsets (fopen64, open64, ...). Then the
# checks every architecture's packages get (scripts/test-deb-packages.sh:
# fields, modes, manual pages, debug symbols, hardening-check, lintian).
#   test-deb-armhf.sh PACKAGE_DIR
set -euo pipefail
pkgs=$(realpath "${1:?usage: test-deb-armhf.sh PACKAGE_DIR}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
bad() { echo "FAIL: $*"; fail=1; }

# package: its files (one a line), those it must have and must not.
declare -A want=(
    [avbox]="usr/bin/avhub usr/bin/encprobe usr/bin/decprobe usr/bin/ctlprobe usr/bin/tonecue usr/bin/launcher usr/bin/panectl usr/bin/blendset usr/share/doc/avbox/copyright lib/systemd/system/launcher.service"
    [avbox-dev]="usr/lib/arm-linux-gnueabihf/libsocket.a usr/lib/arm-linux-gnueabihf/libsocket_early.a usr/include/libsocket/socket.h usr/include/libsocket/packet.h usr/include/wire/records.hpp usr/share/doc/avbox-dev/copyright"
    [avbox-sim]="usr/bin/boxsim usr/bin/boxdemo usr/bin/avbox-demo usr/libexec/avbox/nsrun usr/lib/arm-linux-gnueabihf/wireshark/plugins/avbox.lua usr/share/doc/avbox-sim/copyright"
)
declare -A banned=([avbox]="boxsim boxdemo nsrun avbox-demo" [avbox-dev]="usr/bin" [avbox-sim]="avhub")
# What a package may depend on at most. avhub carries its own small FFmpeg,
# so the box's programs need the C and C++ runtimes and libevent only, and
# the maintainer scripts deb-systemd-helper (init-system-helpers).
declare -A allowed_deps=([avbox]='^(libc6|libgcc-s1|libstdc\+\+6|libevent(-[a-z]+)?-2\.1-7|init-system-helpers)$')
# 32-bit file offset entry points: a program importing one cannot open or
# grow a file past 2 GiB on the box.
narrow='^(fopen|freopen|open|openat|creat|lseek|fseeko|ftello|truncate|ftruncate|stat|fstat|lstat|fstatat|mmap|pread|pwrite|sendfile|statfs|fstatfs|getrlimit|setrlimit)$'

for pkg in avbox avbox-dev avbox-sim; do
    deb=$(ls "$pkgs/${pkg}"_*_armhf.deb 2>/dev/null | head -1)
    [[ -n "$deb" ]] || { bad "$pkg: no armhf package in $pkgs"; continue; }
    echo "== $(basename "$deb")"
    for field in Package Version Architecture Maintainer Description; do
        value=$(dpkg-deb -f "$deb" "$field")
        [[ -n "$value" ]] || bad "$pkg: no $field"
    done
    [[ "$(dpkg-deb -f "$deb" Architecture)" == armhf ]] || bad "$pkg: architecture is not armhf"
    [[ "$(dpkg-deb -f "$deb" Package)" == "$pkg" ]] || bad "$pkg: named $(dpkg-deb -f "$deb" Package)"
    echo "Depends: $(dpkg-deb -f "$deb" Depends)"
    if [[ -n "${allowed_deps[$pkg]:-}" ]]; then
        for dep in $(dpkg-deb -f "$deb" Depends | tr ',|' '\n\n' | sed 's/(.*//; s/:any//' | tr -d ' '); do
            [[ $dep =~ ${allowed_deps[$pkg]} ]] || bad "$pkg: depends on $dep"
        done
    fi
    list=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./||')
    for f in ${want[$pkg]}; do
        grep -qx "$f" <<<"$list" || bad "$pkg: $f missing"
    done
    for f in ${banned[$pkg]}; do
        ! grep -q "$f" <<<"$list" || bad "$pkg: carries $f"
    done
    dir=$work/$pkg
    dpkg-deb -x "$deb" "$dir"
    while IFS= read -r prog; do
        name=${prog#"$dir"/}
        header=$(readelf -h "$prog")
        grep -q 'Class:.*ELF32' <<<"$header" && grep -q 'Machine:.*ARM' <<<"$header" &&
            grep -q 'Flags:.*hard-float' <<<"$header" || { bad "$name: not a 32-bit hard-float ARM program"; continue; }
        readelf -S "$prog" | grep -q '\.debug_info' && bad "$name: not stripped"
        [[ $(dpkg-deb -f "$deb" Depends) == *libc6* ]] || bad "$pkg: Depends lacks libc6"
        for lib in $(readelf -d "$prog" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
            owner=""
            for d in /usr/lib/arm-linux-gnueabihf /lib/arm-linux-gnueabihf; do
                [[ -e "$d/$lib" ]] && owner=$(dpkg -S "$d/$lib" 2>/dev/null | grep -m1 ':armhf:' | cut -d: -f1) && break
            done
            [[ -n "$owner" ]] || { bad "$name: needs $lib, in no Debian armhf package installed"; continue; }
            dpkg-deb -f "$deb" Depends | grep -q "$owner" ||
                bad "$name: needs $lib ($owner), not in Depends"
        done
        imports=$(readelf --dyn-syms -W "$prog" | awk '$7 == "UND" {sub(/@.*/, "", $8); print $8}')
        if grep -Eq "$narrow" <<<"$imports"; then
            bad "$name: 32-bit file offsets ($(grep -E "$narrow" <<<"$imports" | tr '\n' ' '))"
        fi
        printf '  %-28s ARM ELF32 hard-float, stripped, %8d bytes\n' "$name" "$(stat -c %s "$prog")"
    done < <(find "$dir" -type f -perm -u+x -exec sh -c 'head -c4 "$1" | grep -q ELF' _ {} \; -print | sort)
done
bash "$(dirname "$0")/test-deb-packages.sh" "$pkgs" armhf || fail=1
if [[ $fail -ne 0 ]]; then
    echo "armhf packages: FAILED"
    exit 1
fi
echo "armhf packages: all checks passed"
