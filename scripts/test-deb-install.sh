#!/usr/bin/env bash
# Installs the native avbox packages into a throwaway root and runs the
# demo's five stages there against the installed programs (/usr/bin), never
# a build folder. The root is an overlay of this machine's own file system
# (its Debian packages as they are, changes kept in memory) inside a private
# mount namespace: `apt-get install ./*.deb` resolves the dependencies there
# and nothing reaches the machine itself. Needs root.
#   test-deb-install.sh PACKAGE_DIR [--call-seconds N]
# Exit status: 0 when the packages installed and every stage matched.
set -euo pipefail
pkgs=$(realpath "${1:?usage: test-deb-install.sh PACKAGE_DIR [boxdemo options]}")
shift
arch=$(dpkg --print-architecture)
mapfile -t debs < <(ls "$pkgs"/avbox_*_"$arch".deb "$pkgs"/avbox-dev_*_"$arch".deb "$pkgs"/avbox-sim_*_"$arch".deb)
[[ ${#debs[@]} -eq 3 ]] || { echo "test-deb-install: expected three $arch packages in $pkgs" >&2; exit 1; }

export DEBIAN_FRONTEND=noninteractive
base=$(mktemp -d /tmp/avbox-deb-root.XXXXXX)
trap 'rmdir "$base"' EXIT
repo=$(cd "$(dirname "$0")/.." && pwd)
unshare --mount --propagation private bash -euo pipefail -s -- "$base" "$repo" "$@" "${debs[@]}" <<'INNER'
base=$1
repo=$2
shift 2
n_debs=3
args=("${@:1:$#-$n_debs}")
debs=("${@: -$n_debs}")
mount -t tmpfs tmpfs "$base"
mkdir "$base/upper" "$base/work" "$base/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$base/upper,workdir=$base/work" "$base/root"
r=$base/root
mount --rbind /dev "$r/dev"
mount -t proc proc "$r/proc"
mount --rbind /sys "$r/sys"
mount -t tmpfs tmpfs "$r/tmp"
# The source tree and its build folders are out of sight: only what the
# packages installed can run.
mkdir -p "$r$repo"  # a tree under /tmp is already hidden, and needs its mount point
mount -t tmpfs tmpfs "$r$repo"
mkdir -p "$r/tmp/debs"
cp "${debs[@]}" "$r/tmp/debs/"
for p in /usr/bin/avhub /usr/bin/boxsim /usr/bin/avbox-demo; do
    [[ ! -e "$r$p" ]] || { echo "test-deb-install: $p exists before the install" >&2; exit 1; }
done
echo "== apt-get install ./avbox*.deb (in a throwaway root)"
chroot "$r" sh -c 'cd /tmp/debs && apt-get install -y -q --no-install-recommends ./*.deb' | tail -n 12
chroot "$r" dpkg-query -W avbox avbox-dev avbox-sim
[[ "$(chroot "$r" sh -c 'command -v avhub')" == /usr/bin/avhub ]]
echo "== avbox-demo with the installed programs"
chroot "$r" sh -c 'cd /tmp && AVBOX_DEMO_DIR=/tmp/demo avbox-demo "$@"' avbox-demo "${args[@]}" | tee "$r/tmp/demo.out"
# The run's capture is named with the installed dissector.
grep -q "tshark -X lua_script:/usr/share/avbox/avbox.lua " "$r/tmp/demo.out"
[[ -r "$r/usr/share/avbox/avbox.lua" ]]
INNER
