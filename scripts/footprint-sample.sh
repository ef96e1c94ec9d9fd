#!/bin/sh
# Resident memory of the box's programs at one moment, read from /proc only:
# plain POSIX sh, no tools beyond the shell, so it runs as it is on the box,
# on an emulated board or on a bench PC.
#
#   sh footprint-sample.sh PHASE [NAME ...]
#
# For every running process whose command name is NAME (default: avhub,
# launcher, tonecue), one line of five tab-separated fields:
#
#   PHASE  NAME  PID  RSS_KIB  PSS_KIB
#
# RSS and PSS come from /proc/PID/smaps_rollup (from /proc/PID/smaps summed
# on kernels without it). A program run by qemu-user on a 64-bit host (the
# armhf build on a PC) is one process with the emulator: its figures are
# then those of the mappings below 4 GiB only, where the emulator keeps the
# 32-bit program's own memory, and the emulator's code, translation cache
# and heap above are left out. PHASE is a free word naming the moment (idle,
# call, clip); scripts/footprint.sh turns such lines into the README's
# table. Exit status 0 when every NAME was found, 1 when one was not (its
# line then reads "-" for PID, RSS and PSS), 2 for a bad command line.
[ $# -ge 1 ] || { echo "usage: footprint-sample.sh PHASE [NAME ...]" >&2; exit 2; }
phase=$1
shift
[ $# -ge 1 ] || set -- avhub launcher tonecue

# rss_pss FILE [low]: "RSS PSS" in KiB, the sums of the Rss: and Pss:
# lines; with "low" only those of mappings that start below 4 GiB (an
# address of at most 8 hex digits).
rss_pss() {
    rss=0
    pss=0
    counted=1
    while read -r key value _; do
        case $key in
            Rss:) [ "$counted" = 1 ] && rss=$((rss + value)) ;;
            Pss:) [ "$counted" = 1 ] && pss=$((pss + value)) ;;
            *-*)
                if [ "${2:-}" = low ]; then
                    start=${key%%-*}
                    counted=0
                    [ ${#start} -le 8 ] && counted=1
                fi
                ;;
        esac
    done <"$1"
    echo "$rss $pss"
}

tab=$(printf '\t')
status=0
for name in "$@"; do
    found=0
    for dir in /proc/[0-9]*; do
        comm=""
        { read -r comm <"$dir/comm"; } 2>/dev/null || continue
        [ "$comm" = "$name" ] || continue
        exe=$(readlink "$dir/exe" 2>/dev/null) || exe=""
        case ${exe##*/} in
            qemu-*) sizes=$(rss_pss "$dir/smaps" low 2>/dev/null) || continue ;;
            *)
                file=$dir/smaps_rollup
                [ -r "$file" ] || file=$dir/smaps
                sizes=$(rss_pss "$file" 2>/dev/null) || continue
                ;;
        esac
        [ "$sizes" != "0 0" ] || continue
        found=1
        echo "$phase$tab$name$tab${dir#/proc/}$tab${sizes% *}$tab${sizes#* }"
    done
    if [ "$found" = 0 ]; then
        echo "$phase$tab$name$tab-$tab-$tab-"
        status=1
    fi
done
exit $status
