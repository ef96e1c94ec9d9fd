#!/usr/bin/env bash
# Builds the box's own FFmpeg libraries: static libavformat, libavcodec and
# libavutil from Debian's FFmpeg source package, with nothing but what
# avhub's clip playback uses (the AVI and MP4/MOV demuxers, the parsers of
# the video codecs it names, the file protocol). avhub links them
# statically, so the box carries no FFmpeg packages; the simulator, the demo
# and the benchmark keep Debian's full shared FFmpeg.
#
#   bash scripts/box-ffmpeg.sh --store DIR --cc CC [--cross TRIPLE]
#        [--ar AR] [--nm NM] [--ranlib RANLIB] [--sysroot DIR]
#        [--launcher CMD] [--version V] [--jobs N]
#
#   --store DIR     keeps the source and every build: DIR/src/ffmpeg-V
#                   (Debian's source, patches applied) and DIR/<arch>-<key>
#                   (an installed build: lib/*.a, include/, lib/pkgconfig)
#   --cc CC         the C compiler; with --cross TRIPLE (arm-linux-gnueabihf)
#                   a cross build for that target, ar/nm/ranlib from the
#                   options or TRIPLE-ar, ...
#   --launcher CMD  put in front of the compiler (ccache); not part of the key
#   --version V     Debian's source version (default: that of the installed
#                   libavformat-dev, so the box and the simulator build on one
#                   FFmpeg release; else the newest the mirror has)
#
# Prints the installed build's folder on stdout, progress on stderr. The
# key is a hash of the source version, the configure flags and the
# compiler's version and target: an installed build whose key matches is
# used again as it is. The source comes from the Debian mirror this machine
# already uses: the script reads its deb entries for this release and asks
# the same mirror for the source package, through an apt configuration of
# its own under DIR/apt (the machine's apt sources stay untouched).
set -euo pipefail

store=""
cc=""
cross=""
ar="" nm="" ranlib="" sysroot="" launcher="" version=""
jobs=$(nproc)
usage() { sed -n '2,28p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [[ $# -gt 0 ]]; do
    case "$1" in
        --store) store=$2; shift ;;
        --cc) cc=$2; shift ;;
        --cross) cross=$2; shift ;;
        --ar) ar=$2; shift ;;
        --nm) nm=$2; shift ;;
        --ranlib) ranlib=$2; shift ;;
        --sysroot) sysroot=$2; shift ;;
        --launcher) launcher=$2; shift ;;
        --version) version=$2; shift ;;
        --jobs) jobs=$2; shift ;;
        *) usage ;;
    esac
    shift
done
[[ -n "$store" && -n "$cc" ]] || usage
say() { printf 'box-ffmpeg: %s\n' "$*" >&2; }
die() { say "$*"; exit 1; }
mkdir -p "$store"
store=$(cd "$store" && pwd)
# One at a time per store (build folders configured side by side).
exec 9>"$store/.lock"
flock 9

# What avhub asks of FFmpeg: open a clip through the file protocol, read its
# stream information (kinds, codec ids, time bases) and its packets. The
# parsers are those the AVI and MOV demuxers put on the video streams of
# the codecs avhub names (H.261, H.263, H.264); they read headers and leave
# the packets as they are. G.711 and G.722 need none. No decoders, encoders,
# filters, devices, network or external libraries.
# - no threads: avhub is one thread, and without decoders FFmpeg has no use
#   for any;
# - no assembly: only the parsers' header reading would use it, and the C
#   code is the same on both architectures;
# - size-optimised, position independent (linked into PIE programs);
# - Debian's hardened toolchain flags, as its own FFmpeg is built;
# - one section per function and object, for the linker to drop what avhub
#   never reaches (it links with --gc-sections).
flags=(
    --disable-everything --disable-autodetect
    --disable-programs --disable-doc
    --disable-avdevice --disable-avfilter --disable-swscale --disable-swresample --disable-postproc
    --disable-network --disable-pthreads --disable-asm
    --enable-demuxer=avi,mov --enable-parser=h261,h263,h264 --enable-protocol=file
    --enable-static --disable-shared --enable-pic --enable-small
    --toolchain=hardened --extra-cflags="-ffunction-sections -fdata-sections"
)

# --- the source version ------------------------------------------------------
if [[ -z "$version" ]]; then
    version=$(dpkg-query -W -f='${source:Version}\n' "libavformat-dev:$(dpkg --print-architecture)" 2>/dev/null | head -1 || true)
fi

# An apt configuration of our own: deb-src entries for the machine's Debian
# mirror (the suites of this release), its own index folders.
apt_dir=$store/apt
apt_opts=(-q -o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
          -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o "APT::Sandbox::User=root")
apt_setup() {
    local codename
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [[ -n "$codename" ]] || die "no VERSION_CODENAME in /etc/os-release"
    mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
    # One-line entries: each deb line of this release becomes a deb-src line.
    { cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true; } |
        awk -v rel="$codename" '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ "^" rel "([-/]|$)") { $1 = "deb-src"; print; break } }' \
        >"$apt_dir/sources.list"
    # deb822 stanzas: those of type deb with a suite of this release, copied
    # whole (a Signed-By key block too) as type deb-src.
    { cat /etc/apt/sources.list.d/*.sources 2>/dev/null || true; } |
        awk -v rel="$codename" '
            function flush() {
                if (stanza != "" && deb && ours && !off) { sub(/^Types:[^\n]*/, "Types: deb-src", stanza); printf "%s\n", stanza }
                stanza = ""; deb = 0; ours = 0; off = 0
            }
            /^[ \t]*$/ { flush(); next }
            /^#/ { next }
            {
                stanza = stanza $0 "\n"
                if ($1 == "Types:") for (i = 2; i <= NF; i++) if ($i == "deb") deb = 1
                if ($1 == "Suites:") for (i = 2; i <= NF; i++) if ($i ~ "^" rel "([-/]|$)") ours = 1
                if ($1 == "Enabled:" && $2 == "no") off = 1
            }
            END { flush() }' >"$apt_dir/sources.list.d/debian-src.sources"
    [[ -s "$apt_dir/sources.list" || -s "$apt_dir/sources.list.d/debian-src.sources" ]] ||
        die "no Debian '$codename' entry in /etc/apt/sources.list*: cannot name a mirror for the source"
    say "source index from the machine's Debian mirror"
    apt-get "${apt_opts[@]}" -qq update >&2 || say "apt-get update reported errors; trying the source anyway"
}

# Paths carry the version without its epoch: make takes a colon for a rule.
src_ready() { [[ -n "$version" && -f "$store/src/ffmpeg-${version#*:}/.complete" ]]; }
if ! src_ready; then
    apt_setup
    if [[ -n "$version" ]] && ! grep -qx "Version: $version" <<<"$(apt-cache "${apt_opts[@]}" showsrc ffmpeg 2>/dev/null)"; then
        say "source $version is not on the mirror; taking the newest it has"
        version=""
    fi
    if [[ -z "$version" ]]; then
        version=$(apt-cache "${apt_opts[@]}" showsrc ffmpeg | sed -n 's/^Version: //p' | sort -V | tail -1)
        [[ -n "$version" ]] || die "no ffmpeg source package on the mirror"
    fi
fi
upstream=${version#*:}
upstream=${upstream%-*}
revision=${version##*-}
src=$store/src/ffmpeg-${version#*:}

# --- the key and a build of that key ------------------------------------------
if [[ -n "$cross" ]]; then
    arch=${cross%%-*}
    flags+=(--enable-cross-compile --target-os=linux --arch="$arch"
            --ar="${ar:-$cross-ar}" --nm="${nm:-$cross-nm}" --ranlib="${ranlib:-$cross-ranlib}")
    [[ -n "$sysroot" ]] && flags+=(--sysroot="$sysroot")
else
    arch=$(uname -m)
fi
cc_id="$("$cc" -dumpmachine) $("$cc" --version | head -1)"
key=$(printf '%s\n' "$version" "$cc_id" "${flags[@]}" | sha256sum | cut -c1-12)
prefix=$store/$arch-$key

if [[ -f "$prefix/.complete" ]]; then
    say "FFmpeg $version for $arch: kept build $prefix"
    echo "$prefix"
    exit 0
fi

start=$SECONDS
if ! src_ready; then
    say "Debian source ffmpeg $version"
    dl=$store/src/download
    rm -rf "$dl" "$src"
    mkdir -p "$dl"
    (cd "$dl" && apt-get "${apt_opts[@]}" -qq source --download-only "ffmpeg=$version" >/dev/null)
    # apt checked the files against the signed index; dpkg-source unpacks the
    # upstream tarball and applies Debian's patches.
    dpkg-source --no-check -x "$dl/ffmpeg_${version#*:}.dsc" "$src" >/dev/null
    rm -rf "$dl" "$src/debian/.pc"
    touch "$src/.complete"
    say "source ready in $((SECONDS - start)) s"
fi

work=$store/work-$arch-$key
rm -rf "$work" "$prefix"
mkdir -p "$work"
cc_cmd=$cc
[[ -n "$launcher" ]] && cc_cmd="$launcher $cc"
say "configure for $arch ($cc_id)"
(cd "$work" && "$src/configure" --prefix="$prefix" --cc="$cc_cmd" --extra-version="$revision" "${flags[@]}" \
     >configure.log 2>&1) || { tail -20 "$work/configure.log" >&2; die "configure failed: $work/ffbuild/config.log"; }
say "build ($jobs jobs)"
make -C "$work" -j "$jobs" >"$work/make.log" 2>&1 || { tail -30 "$work/make.log" >&2; die "build failed: $work/make.log"; }
make -C "$work" install >>"$work/make.log" 2>&1 || { tail -30 "$work/make.log" >&2; die "install failed"; }
# Written last: a build cut short is never taken for a whole one.
printf '%s\n' "version $version" "upstream $upstream" "compiler $cc_id" "${flags[@]}" >"$prefix/flags.txt"
touch "$prefix/.complete"
times >"$work/times"
cpu=$(tail -1 "$work/times")
rm -rf "$work"
say "FFmpeg $version for $arch built in $((SECONDS - start)) s (processor time of configure and build: user ${cpu% *}, system ${cpu#* }): $prefix"
echo "$prefix"
