#!/usr/bin/env bash
# Makes the Debian packages of one build folder, native or the box's armhf
# build, into BUILD_DIR/packages/:
#   avbox, avbox-dev, avbox-sim   the install components of the build
#   avbox-dbgsym, avbox-sim-dbgsym  the debug information of their programs,
#                                 under /usr/lib/debug/.build-id/
#
#   make-debs.sh BUILD_DIR
#
# Each package is staged with `cmake --install --component` (prefix /usr),
# its programs stripped as debhelper strips them, its control file made by
# dpkg-gencontrol from packaging/control and packaging/changelog (the
# version must be the build's project version), Depends by dpkg-shlibdeps,
# and built by dpkg-deb. Modes are set here and by the install rules, never
# taken from the packager's umask; every time stamp is the source date the
# build was configured with (SOURCE_DATE_EPOCH), so two builds of one commit
# make the same packages.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:?usage: make-debs.sh BUILD_DIR}")
[[ -f "$build/CMakeCache.txt" ]] || { echo "make-debs: $build is not a configured build folder" >&2; exit 1; }

cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt" | head -1; }
triple=$(cache AVBOX_MULTIARCH)
arch=$(dpkg-architecture -qDEB_HOST_ARCH -t"$triple" 2>/dev/null || true)
[[ -n "$triple" && -n "$arch" ]] || { echo "make-debs: no architecture in $build (configure it again)" >&2; exit 1; }
version=$(cache CMAKE_PROJECT_VERSION)
objcopy=$(cache CMAKE_OBJCOPY)
strip=$(cache CMAKE_STRIP)
export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(cache AVBOX_SOURCE_DATE_EPOCH)
changelog_version=$(dpkg-parsechangelog -l "$root/packaging/changelog" -S Version)
if [[ "$version" != "$changelog_version" ]]; then
    echo "make-debs: the build is version $version, packaging/changelog's newest entry $changelog_version" >&2
    exit 1
fi
# The tools below take the target architecture from here.
eval "$(dpkg-architecture -a"$arch" -s 2>/dev/null)"

out=$build/packages
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$out"
install -d -m 0755 "$out" "$work/debian"
# dpkg-gencontrol and dpkg-shlibdeps work from a debian/ folder.
cp "$root/packaging/control" "$root/packaging/changelog" "$work/debian/"

is_elf() { [[ "$(head -c4 "$1" | od -An -c | tr -d ' ')" == '177ELF' ]]; }

# strip_to_dbgsym STAGE DBGSTAGE IDS: strips every program in STAGE, its
# debug information kept as DBGSTAGE/usr/lib/debug/.build-id/xx/rest.debug,
# and writes the build ids to the file IDS. Static libraries lose their
# debug information only.
strip_to_dbgsym() {
    local stage=$1 dbg=$2 ids=$3 f id dir
    : >"$ids"
    while IFS= read -r -d '' f; do
        is_elf "$f" || continue
        id=$(readelf -n "$f" | sed -n 's/^ *Build ID: *\([0-9a-f]*\)$/\1/p')
        [[ -n "$id" ]] || { echo "make-debs: $f has no build id" >&2; exit 1; }
        dir=$dbg/usr/lib/debug/.build-id/${id:0:2}
        install -d -m 0755 "$dir"
        "$objcopy" --only-keep-debug --compress-debug-sections "$f" "$dir/${id:2}.debug"
        chmod 0644 "$dir/${id:2}.debug"
        "$strip" --remove-section=.comment --remove-section=.note --strip-unneeded "$f"
        echo "$id" >>"$ids"
    done < <(find "$stage" -type f -perm -u+x ! -name '*.a' -print0 | sort -z)
    while IFS= read -r -d '' f; do
        "$strip" --strip-debug --remove-section=.comment --remove-section=.note \
                 --enable-deterministic-archives "$f"
    done < <(find "$stage" -type f -name '*.a' -print0 | sort -z)
}

# finish STAGE: the control area's own files (md5sums, conffiles) and the
# package itself.
finish() {
    local stage=$1 pkg
    pkg=$(sed -n 's/^Package: //p' "$stage/DEBIAN/control")
    (cd "$stage" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | LC_ALL=C sort -z |
         xargs -0r md5sum) >"$stage/DEBIAN/md5sums"
    if [[ -d "$stage/etc" ]]; then
        (cd "$stage" && find etc -type f -printf '/%p\n' | LC_ALL=C sort) >"$stage/DEBIAN/conffiles"
    fi
    chmod 0644 "$stage"/DEBIAN/*
    for script in preinst postinst prerm postrm; do
        [[ -f "$stage/DEBIAN/$script" ]] && chmod 0755 "$stage/DEBIAN/$script"
    done
    dpkg-deb --root-owner-group -Zxz --build "$stage" "$out/${pkg}_${version}_${arch}.deb" >/dev/null
    echo "$out/${pkg}_${version}_${arch}.deb"
}

for pair in box:avbox dev:avbox-dev sim:avbox-sim; do
    component=${pair%%:*}
    pkg=${pair#*:}
    stage=$work/$pkg
    dbg=$work/$pkg-dbgsym
    install -d -m 0755 "$stage" "$dbg"
    DESTDIR=$stage cmake --install "$build" --component "$component" --prefix /usr >/dev/null
    [[ -n "$(find "$stage" -type f -print -quit)" ]] || continue  # no simulator in this build
    strip_to_dbgsym "$stage" "$dbg" "$work/ids"
    mapfile -t ids <"$work/ids"

    install -d -m 0755 "$stage/DEBIAN"
    for script in postinst prerm postrm; do
        [[ -f "$root/packaging/$pkg.$script" ]] && install -m 0755 "$root/packaging/$pkg.$script" "$stage/DEBIAN/$script"
    done
    mapfile -t programs < <(find "$stage" -type f -perm -u+x ! -name '*.a' -print | sort |
                                while read -r f; do is_elf "$f" && echo "$f"; done)
    : >"$work/debian/substvars"
    if [[ ${#programs[@]} -gt 0 ]]; then
        (cd "$work" && dpkg-shlibdeps -Tdebian/substvars "${programs[@]}")
    fi
    (cd "$work" && dpkg-gencontrol -p"$pkg" -P"$stage" -Tdebian/substvars -fdebian/files)
    finish "$stage"

    [[ ${#ids[@]} -gt 0 ]] || continue
    install -d -m 0755 "$dbg/DEBIAN" "$dbg/usr/share/doc"
    ln -s "$pkg" "$dbg/usr/share/doc/$pkg-dbgsym"
    (cd "$work" && dpkg-gencontrol -p"$pkg" -P"$dbg" -fdebian/files \
         -DPackage="$pkg-dbgsym" -DSection=debug -DPriority=optional \
         -DDepends="$pkg (= $version)" -DAuto-Built-Package=debug-symbols \
         -DBuild-Ids="${ids[*]}" -DDescription="debug symbols for $pkg" \
         -UMulti-Arch -URecommends -USuggests -UEnhances -UPre-Depends -UBreaks -UConflicts -UReplaces \
         -UProvides)
    finish "$dbg"
done
