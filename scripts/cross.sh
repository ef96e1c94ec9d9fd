#!/usr/bin/env bash
# Builds every program and test for the box (Debian 12 armhf) into
# build-armhf/, then optionally runs the whole test suite under qemu-user and
# makes the Debian packages.
#
#   bash scripts/cross.sh [--test] [--package] [--jobs N]
#
# Installs what it needs (scripts/packages.txt); the native build keeps
# working beside it. The box's libevent-dev cannot be installed next to the
# native one, so it is unpacked from Debian's package into
# build-armhf/overlay and found there through the toolchain file.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

say() { printf '\n== %s\n' "$*"; }
jobs=$(nproc)
run_tests=0
make_packages=0
while [[ $# -gt 0 ]]; do
    case "$1" in
        --test) run_tests=1 ;;
        --package) make_packages=1 ;;
        --jobs) jobs=$2; shift ;;
        *) echo "usage: cross.sh [--test] [--package] [--jobs N]" >&2; exit 2 ;;
    esac
    shift
done

build=build-armhf
overlay=$root/$build/overlay
triple=arm-linux-gnueabihf

say "checking Debian packages"
bash scripts/deps.sh

# Unpacks NAME:armhf (the version whose runtime library is installed) into
# the overlay, points its .pc files at the overlay and its .so links at the
# installed multiarch libraries.
unpack_overlay() {
    local pkg=$1 ver stamp dl
    ver=$(apt-cache policy "$pkg:armhf" | sed -n 's/^ *Candidate: //p')
    stamp=$overlay/.stamp-$pkg
    [[ -f "$stamp" && "$(cat "$stamp")" == "$ver" ]] && return 0
    dl=$(mktemp -d)
    (cd "$dl" && apt-get download -q "$pkg:armhf=$ver" 2>&1 | grep -v '^W: Download is performed unsandboxed' || true)
    dpkg -x "$dl"/*.deb "$overlay"
    rm -rf "$dl"
    sed -i "s|^prefix=/usr\$|prefix=$overlay/usr|" "$overlay/usr/lib/$triple"/pkgconfig/*.pc
    local link
    for link in "$overlay/usr/lib/$triple"/*.so; do
        [[ -L "$link" ]] || continue
        ln -sfn "/usr/lib/$triple/$(readlink "$link")" "$link"
        [[ -e "$link" ]] || { echo "cross: $link points at a missing library" >&2; exit 1; }
    done
    echo "$ver" >"$stamp"
}

say "armhf overlay: $overlay"
mkdir -p "$overlay"
unpack_overlay libevent-dev

# The one widening factor for the tests run under emulation: every CTest
# timeout of this build and every bounded wait of the test harness are
# multiplied by it (tests/CMakeLists.txt, AVBOX_TIME_FACTOR). Native builds
# keep 1. Emulated programs run about 3 to 10 times slower than native ones
# on this machine's 2 cores; most waits are for events, so only a failing
# test pays the full widened deadline.
time_factor=3

say "configure and build: $build/ (arm-linux-gnueabihf-g++)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/armhf-toolchain.cmake" \
      -DAVBOX_ARMHF_OVERLAY="$overlay" -DAVBOX_TIME_FACTOR=$time_factor \
      -DAVBOX_FFMPEG_STORE="$root/build/box-ffmpeg" >/dev/null
cmake --build "$build" -j "$jobs"

if [[ $run_tests -eq 1 ]]; then
    say "armhf suite under emulation: binfmt_misc"
    # Programs the tests start (avhub, the launcher's children, panectl
    # through /bin/sh) are armhf: the kernel hands them to qemu-arm-static.
    if [[ ! -e /proc/sys/fs/binfmt_misc/status ]]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    fi
    update-binfmts --enable qemu-arm >/dev/null 2>&1 || true
    grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-arm ||
        { echo "cross: qemu-arm is not registered with binfmt_misc; the armhf suite cannot run" >&2; exit 1; }
    say "tests: $build/ (under qemu-arm-static)"
    # Its results also as JUnit: scripts/test.sh counts them from there.
    ctest --test-dir "$build" --output-on-failure -j "$jobs" --output-junit "$root/$build/ctest-junit.xml"
fi

if [[ $make_packages -eq 1 ]]; then
    say "packages: $build/packages/"
    start=$SECONDS
    bash scripts/make-debs.sh "$build"
    echo "armhf packages: $((SECONDS - start)) s"
    say "armhf packages checked"
    start=$SECONDS
    bash scripts/test-deb-armhf.sh "$build/packages"
    echo "armhf package checks: $((SECONDS - start)) s"
fi
