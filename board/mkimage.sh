#!/usr/bin/env bash
# Builds the board's image from Debian's armhf packages and this tree's:
#
#   bash board/mkimage.sh OUT PACKAGE_DIR
#
# OUT/vmlinuz     Debian's linux-image-armmp-lpae kernel
# OUT/initrd.gz   a small initramfs made on this machine: static busybox, the
#                 modules for the virtio disk, ext4 and 9p, board/initramfs/init
# OUT/rootfs.img  ext4 root file system: Debian 12 with systemd as init, the
#                 packages of board/packages.txt, avbox and avbox-sim from
#                 PACKAGE_DIR, board/image/ laid over it
# OUT/packages.txt  what the image holds: package, version, installed KiB
#
# Two stages, each kept while its inputs are unchanged:
#   base.tar   Debian's packages only: Debian 12's essential set and
#              board/packages.txt by mmdebstrap (dpkg and the maintainer
#              scripts emulated with qemu-user), then what avbox and avbox-sim
#              depend on (FFmpeg's libraries and programs, about 200
#              packages) by this machine's apt and dpkg into the root (dpkg
#              --root: unpacked natively, only the maintainer scripts run
#              emulated, in the root); the long step
#   rootfs.img the base, avbox and avbox-sim installed the same way, the
#              kernel's modules and board/image/; keyed by the packages'
#              contents, board/ and the kernel's version
# The kernel is unpacked and the initramfs and file system are made
# natively. Packages come from the Debian mirrors this machine's apt uses.
# Run as root.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$(realpath -m "${1:?usage: mkimage.sh OUT PACKAGE_DIR}")
pkgs=$(realpath "${2:?usage: mkimage.sh OUT PACKAGE_DIR}")

say() { printf '\n== %s\n' "$*"; }
list() { grep -vE '^\s*(#|$)' "$1" | sed 's/\s*#.*//; s/\s*$//'; }
candidate() { apt-cache policy "$1" | sed -n 's/^ *Candidate: //p'; }

debs=()
for name in avbox avbox-sim; do
    deb=$(ls "$pkgs/${name}"_*_armhf.deb 2>/dev/null | head -1)
    [[ -n "$deb" ]] || { echo "mkimage: no ${name}_*_armhf.deb in $pkgs" >&2; exit 2; }
    debs+=("$deb")
done

# What avbox and avbox-sim depend on: each first alternative (versions are
# the mirror's: the packages were built against them).
dependencies=$(for deb in "${debs[@]}"; do dpkg-deb -f "$deb" Depends | tr ',' '\n'; done |
               sed 's/|.*//; s/(.*)//; s/\s//g' | grep -vxE 'avbox(-sim)?|' | sort -u | paste -sd' ')

# apt sources of the image: the Debian mirrors and suites this machine has
# armhf package lists for.
sources=$(apt-cache policy | awk '
    /^ *[0-9]+ [a-z]+:\/\// { uri = $2; split($3, sc, "/"); suite = sc[1]; comp = sc[2]; arch = $4; next }
    /release .*o=Debian/ && arch == "armhf" && uri != "" { print "deb " uri " " suite " " comp; uri = "" }
' | sort -u)
[[ -n "$sources" ]] || { echo "mkimage: apt has no Debian armhf lists (dpkg --add-architecture armhf; apt-get update)" >&2; exit 1; }

# The kernel package the metapackage points at, and the busybox to unpack.
kernel_pkg=$(apt-cache show "linux-image-armmp-lpae:armhf=$(candidate linux-image-armmp-lpae:armhf)" |
             sed -n 's/^Depends: \([^ ,]*\).*/\1/p' | head -1)
[[ -n "$kernel_pkg" ]] || { echo "mkimage: no armhf kernel package in apt's lists" >&2; exit 1; }
kernel_ver=$(candidate "$kernel_pkg:armhf")
busybox_ver=$(candidate busybox-static:armhf)

# How the base is made: no recommends; no manuals, translations or
# documentation but the copyright files.
excludes=('path-exclude=/usr/share/man/*' 'path-exclude=/usr/share/locale/*' 'path-exclude=/usr/share/doc/*'
          'path-include=/usr/share/doc/*/copyright' 'path-exclude=/usr/share/info/*')
base_key=$(printf '%s\n' "$(list "$here/packages.txt")" "$dependencies" "$sources" "$(mmdebstrap --version)" \
                  "${excludes[@]}" "$(sed -n '/^ *# base-recipe-begin/,/^ *# base-recipe-end/p' "$here/mkimage.sh")" |
           sha256sum | cut -c1-16)
# The runtime tests are handed in at each boot (board/runtime-tests), so
# they are not part of the image.
key=$( {
    echo "$base_key"
    sha256sum "${debs[@]}" | cut -d' ' -f1
    (cd "$here" && find . -type f ! -name runtime-tests -print0 | sort -z | xargs -0 sha256sum)
    echo "$kernel_pkg=$kernel_ver busybox-static=$busybox_ver"
} | sha256sum | cut -c1-16)
if [[ -f "$out/key" && "$(cat "$out/key")" == "$key" && -f "$out/rootfs.img" ]]; then
    echo "mkimage: image $key is up to date: $out"
    exit 0
fi
rm -f "$out/key" "$out/rootfs.img"
work=$out/work
# A build that was interrupted inside mmdebstrap leaves its proc, sys and
# dev mounts in the root it was making: unmount them before the folder goes.
{ grep -F " $work/" /proc/mounts || true; } | cut -d' ' -f2 | sort -r | while read -r m; do umount -l "$m"; done
rm -rf --one-file-system "$work"
mkdir -p "$work"
echo "$sources" >"$work/sources.list"

# apt_into ROOT ARGS...: this machine's apt-get on ROOT's package state,
# with the image's sources, installing with this machine's dpkg into ROOT.
# dpkg unpacks natively and runs the maintainer scripts chrooted into ROOT
# (armhf, through qemu-user); the packages are armhf ones, which ROOT's dpkg
# database lists as its native architecture.
apt_into() {
    local root=$1 opt
    shift
    local conf=$work/apt.conf
    mkdir -p "$work/apt.conf.d"
    {
        echo 'APT::Architecture "armhf"; APT::Architectures { "armhf"; };'
        echo "Dir \"$root/\";"
        echo "Dir::Etc::SourceList \"$work/sources.list\"; Dir::Etc::SourceParts \"/dev/null\";"
        echo 'Dir::Etc::Preferences "/dev/null"; Dir::Etc::PreferencesParts "/dev/null";'
        # None of ROOT's apt configuration (debconf's pre-install hook would
        # run this machine's dpkg-preconfigure).
        echo "Dir::Etc::Parts \"$work/apt.conf.d\";"
        echo 'Dir::Etc::TrustedParts "/etc/apt/trusted.gpg.d";'
        [[ -f /usr/share/keyrings/debian-archive-keyring.gpg ]] &&
            echo 'Dir::Etc::Trusted "/usr/share/keyrings/debian-archive-keyring.gpg";'
        echo 'APT::Install-Recommends "false"; APT::Sandbox::User "root"; Dpkg::Use-Pty "0";'
        echo 'Dir::Bin::dpkg "/usr/bin/dpkg";'
        echo "DPkg::Options { \"--root=$root\"; \"--force-unsafe-io\";"
        for opt in "${excludes[@]}"; do echo "  \"--$opt\";"; done
        echo '};'
    } >"$conf"
    APT_CONFIG=$conf DEBIAN_FRONTEND=noninteractive apt-get -q -y "$@"
}

if [[ -f "$out/base.key" && "$(cat "$out/base.key")" == "$base_key" && -f "$out/base.tar" ]]; then
    echo "mkimage: base $base_key is up to date"
else
    rm -f "$out/base.key" "$out/base.tar"
    start=$SECONDS
    base=$work/base
    # base-recipe-begin
    say "base: mmdebstrap, Debian 12 armhf essential set and board/packages.txt (dpkg emulated)"
    mmdebstrap --mode=root --arch=armhf --variant=essential --format=directory \
        --hook-dir=/usr/share/mmdebstrap/hooks/eatmydata \
        --aptopt='Apt::Install-Recommends "false"' "${excludes[@]/#/--dpkgopt=}" \
        --include="$(list "$here/packages.txt" | paste -sd,)" \
        bookworm "$base" "$work/sources.list"
    say "base: what avbox and avbox-sim depend on (this machine's apt and dpkg --root)"
    echo "$dependencies" | fold -s -w 76 | sed 's/^/  /'
    apt_into "$base" update
    apt_into "$base" install $dependencies
    apt_into "$base" clean
    rm -rf "$base/var/lib/apt/lists/"*
    # base-recipe-end
    tar --xattrs --xattrs-include='*' --numeric-owner -cf "$out/base.tar.new" -C "$base" .
    rm -rf "$base"
    mv "$out/base.tar.new" "$out/base.tar"
    echo "$base_key" >"$out/base.key"
    echo "mkimage: base made in $((SECONDS - start)) s"
fi

# Downloads one armhf package into the work folder and unpacks it into DIR.
unpack() {
    local pkg=$1 ver=$2 dir=$3
    (cd "$work" && apt-get download -q "$pkg:armhf=$ver" 2>&1 |
        grep -v '^W: Download is performed unsandboxed' || true)
    dpkg-deb -x "$work/${pkg}_"*"_armhf.deb" "$dir"
}

say "kernel: $kernel_pkg $kernel_ver"
unpack "$kernel_pkg" "$kernel_ver" "$work/kernel"
kdir=$(ls -d "$work/kernel/lib/modules/"*)
kver=$(basename "$kdir")
cp "$work/kernel/boot/vmlinuz-$kver" "$out/vmlinuz"
depmod -b "$work/kernel" "$kver"

# Module files (relative to the kernel's module folder) for the names in
# FILE, each after the modules it depends on, each once.
module_closure() {
    local name path dep
    local -A seen=()
    while read -r name; do
        path=$(grep -E "(^|/)${name}\.ko:" "$kdir/modules.dep" | cut -d: -f1) ||
            { echo "mkimage: no module $name in $kernel_pkg" >&2; return 1; }
        # modules.dep lists a module's dependencies so that the last one
        # loads first.
        for dep in $(grep -E "^${path}:" "$kdir/modules.dep" | cut -d: -f2 | tr ' ' '\n' | tac) "$path"; do
            [[ -n "$dep" && -z "${seen[$dep]:-}" ]] || continue
            seen[$dep]=1
            echo "$dep"
        done
    done < <(list "$1")
}

say "initramfs: busybox-static $busybox_ver and $(list "$here/initramfs/modules" | wc -l) modules"
unpack busybox-static "$busybox_ver" "$work/busybox"
ird=$work/initramfs
mkdir -p "$ird"/{bin,dev,proc,sys,newroot,lib/modules}
cp "$work/busybox/bin/busybox" "$ird/bin/"
for applet in sh mount umount insmod sleep poweroff switch_root; do
    ln -s busybox "$ird/bin/$applet"
done
mknod -m 600 "$ird/dev/console" c 5 1
install -m 755 "$here/initramfs/init" "$ird/init"
module_closure "$here/initramfs/modules" >"$work/initramfs.modules"
while read -r m; do
    cp "$kdir/$m" "$ird/lib/modules/"
    basename "$m"
done <"$work/initramfs.modules" >"$ird/modules.load"
(cd "$ird" && find . | sort | cpio -o -H newc -R 0:0 --quiet | gzip -9) >"$out/initrd.gz"
echo "initrd.gz: $(du -k "$out/initrd.gz" | cut -f1) KiB, modules: $(tr '\n' ' ' <"$ird/modules.load")"

say "root file system: the base, $(basename "${debs[0]}") and $(basename "${debs[1]}")"
rootdir=$work/root
mkdir -p "$rootdir"
tar --xattrs --xattrs-include='*' --numeric-owner -xf "$out/base.tar" -C "$rootdir"
apt_into "$rootdir" install "${debs[@]}"

# Kernel modules for the booted system: the initramfs's and those of
# board/image-modules, with the kernel's own index files.
{ cat "$work/initramfs.modules"; module_closure "$here/image-modules"; } | sort -u |
while read -r m; do
    install -D -m 644 "$kdir/$m" "$rootdir/lib/modules/$kver/$m"
done
cp "$kdir"/modules.{builtin,builtin.modinfo,order} "$rootdir/lib/modules/$kver/"
depmod -b "$rootdir" "$kver"

cp -R "$here/image/." "$rootdir/"
# The units under test are the avbox package's own, enabled by its
# maintainer scripts.
for unit in launcher tonecue avhub; do
    [[ -f "$rootdir/lib/systemd/system/$unit.service" ]] ||
        { echo "mkimage: $(basename "${debs[0]}") ships no $unit.service" >&2; exit 1; }
done
chroot "$rootdir" systemctl enable boxsim.service board-ready-probe.service board-test.service board-console.service
# No udev on this board: the stock serial getty waits for a device unit that
# never comes; board-console.service serves the console instead.
# Nor gettys on virtual terminals (getty-static starts them without logind).
ln -sfn /dev/null "$rootdir/etc/systemd/system/serial-getty@ttyAMA0.service"
ln -sfn /dev/null "$rootdir/etc/systemd/system/getty-static.service"
# A persistent journal: the previous boot's is read after a reboot, and the
# host reads it from the disk when a run hangs.
mkdir -p "$rootdir/var/log/journal"
# Clips for avhub's playback test, made here (the same codecs and
# containers as the box's clips; the box's own clips are not in this tree):
# the black lead-in and trailer at the box's path and a 1280x720 clip.
clip() {
    ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "$2" \
        -f lavfi -i "sine=f=440:r=8000:samples_per_frame=800:d=$3" \
        -c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a pcm_mulaw -ar 8000 -ac 1 -f avi "$1"
}
mkdir -p "$rootdir/mnt/project/Tivane" "$rootdir/var/lib/board"
clip "$rootdir/mnt/project/Tivane/black.avi" "color=c=black:s=320x180:r=25:d=1" 1
clip "$rootdir/var/lib/board/clip.avi" "testsrc2=s=1280x720:r=25:d=3" 3
echo board >"$rootdir/etc/hostname"
printf '127.0.0.1\tlocalhost\n127.0.1.1\tboard\n' >"$rootdir/etc/hosts"

say "root file system: ext4 image"
used_mib=$(du -sm "$rootdir" | cut -f1)
# Room for the tests' records and the demo's runs and clips.
size_mib=$(( used_mib + used_mib / 4 + 768 ))
mke2fs -q -t ext4 -L board -d "$rootdir" "$out/rootfs.img" "${size_mib}M"
dpkg-query --admindir="$rootdir/var/lib/dpkg" -W -f '${Package} ${Version} ${Installed-Size}\n' >"$out/packages.txt"
echo "rootfs.img: ${used_mib} MiB used of ${size_mib} MiB; $(wc -l <"$out/packages.txt") packages"
echo "$kver" >"$out/kernel-version"
rm -rf "$work"
echo "$key" >"$out/key"
echo "mkimage: image $key made: $out"
