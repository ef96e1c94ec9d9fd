#!/usr/bin/env bash
# Installs the native avbox packages into a throwaway root and runs the
# demo's five stages there against the installed programs (/usr/bin), never
# a build folder. Also checks there what the maintainer scripts did (units
# enabled, avhub's not), systemd-analyze verify on the installed units,
# that tshark decodes the demo's capture with the installed dissector alone
# (and with it named twice), and that a purge leaves nothing behind. The root is an overlay of this machine's own file system
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
echo "== service units as installed"
wants=$r/etc/systemd/system/multi-user.target.wants
for unit in launcher.service tonecue.service; do
    [[ -L "$wants/$unit" ]] || { echo "test-deb-install: $unit is not enabled" >&2; exit 1; }
done
[[ ! -e "$wants/avhub.service" ]] || { echo "test-deb-install: avhub.service is enabled" >&2; exit 1; }
out=$(chroot "$r" systemd-analyze verify /lib/systemd/system/avhub.service /lib/systemd/system/launcher.service \
      /lib/systemd/system/tonecue.service 2>&1) || { echo "$out"; exit 1; }
[[ -z "$out" ]] || { echo "$out"; echo "test-deb-install: systemd-analyze verify warned" >&2; exit 1; }
version=$(chroot "$r" dpkg-query -W -f='${Version}' avbox)
for prog in launcher tonecue; do
    [[ "$(chroot "$r" "$prog" --version)" == "$prog (avbox) $version" ]] ||
        { echo "test-deb-install: $prog --version is not $version" >&2; exit 1; }
done
echo "launcher and tonecue enabled, avhub not; units verified; version $version"

echo "== avbox-demo with the installed programs"
chroot "$r" sh -c 'cd /tmp && AVBOX_DEMO_DIR=/tmp/demo avbox-demo "$@"' avbox-demo "${args[@]}" | tee "$r/tmp/demo.out"
# The source tree is gone: the run's capture is opened with the installed
# dissector, which tshark loads by itself.
capture=$(sed -n 's/^  tshark -2 -r //p' "$r/tmp/demo.out")
[[ -n "$capture" ]] || { echo "test-deb-install: the demo names no plain tshark command" >&2; exit 1; }
plugin=$(chroot "$r" sh -c 'ls /usr/lib/*/wireshark/plugins/avbox.lua')
echo "== tshark -r on the demo's capture, dissector from $plugin"
plain=$(chroot "$r" tshark -n -r "$capture" -Y avbox 2>&1)
twice=$(chroot "$r" tshark -n -X "lua_script:$plugin" -r "$capture" -Y avbox 2>&1)
records=$(grep -c . <<<"$plain" || true)
[[ $records -gt 100 ]] || { echo "$plain" | head; echo "test-deb-install: tshark decoded $records records" >&2; exit 1; }
grep -q 'Lua: Error' <<<"$twice$plain" && { echo "$twice" | head; echo "test-deb-install: Lua error" >&2; exit 1; }
[[ "$twice" == "$plain" ]] || { echo "test-deb-install: loading the dissector twice changes the view" >&2; exit 1; }
echo "$records frames decoded by name without -X; the same with the dissector named again"

echo "== apt-get purge"
chroot "$r" apt-get purge -y -q avbox avbox-dev avbox-sim >/dev/null
for f in /usr/bin/avhub /etc/default/avhub "${wants#"$r"}/launcher.service" "${wants#"$r"}/tonecue.service" "$plugin"; do
    [[ ! -e "$r$f" && ! -L "$r$f" ]] || { echo "test-deb-install: $f left after purge" >&2; exit 1; }
done
echo "nothing left"
INNER
