#!/usr/bin/env bash
# What the box's programs cost: the installed size of the avbox package and
# of everything it pulls in on armhf, and the resident memory (RSS and PSS)
# of each resident program idle, during a 1280x720 call and during a clip.
# Prints the footprint table; --write-readme puts it into README.md.
#
#   bash scripts/footprint.sh [--parts LIST] [--board FILE] [--boot-seconds S]
#                             [--write-readme]
#
#   --parts LIST    comma separated, default installed,native,emulated:
#                   installed  Installed-Size of build-armhf/packages' avbox
#                              and of its runtime closure, as apt resolves it
#                              from the armhf package index on an empty system
#                   native     a session of build/bin's programs against
#                              boxsim, inside private namespaces (nsrun)
#                   emulated   the same session with build-armhf/bin's
#                              programs under qemu-user; the emulator's own
#                              memory is left out (see footprint-sample.sh)
#   --board FILE    lines of scripts/footprint-sample.sh taken on the booted
#                   board (phases idle, call, clip), added as its own rows
#   --boot-seconds S  the board's boot-to-ready time in guest seconds
#   --write-readme  replace the table between the footprint markers of
#                   README.md instead of printing it
#
# The session: boxsim (codec servers with real media, bridge, user-interface
# application, quad display), then launcher, tonecue and avhub with the call
# settings 54 1280 720 30 8000 1 3600 0 0. "idle" is sampled once avhub
# serves its FIFO, "call" every second of an 8-second call after "start",
# "clip" every half second while a 1280x720 clip plays with its black
# lead-in and trailer; each figure is the largest sample of its phase.
# Exit status 0 when every part ran, 1 when one could not, 2 for a bad
# command line.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sampler=$root/scripts/footprint-sample.sh
hub_args=(54 1280 720 30 8000 1 3600 0 0)

# --- inside the namespaces: one session, samples on stdout -------------------
if [[ ${1:-} == --session ]]; then
    bin=$2
    sim_bin=$3
    work=/tmp/footprint
    mkdir -p "$work/rec" /mnt/project/Tivane
    cd "$work"
    fail() { echo "footprint: session: $*" >&2; tail -n 5 "$work"/*.out >&2 2>/dev/null || true; exit 1; }
    wait_line() {  # pattern seconds file
        local end=$((SECONDS + $2))
        until grep -q -- "$1" "$3" 2>/dev/null; do
            [[ $SECONDS -lt $end ]] || return 1
            sleep 0.1
        done
    }
    fifo() {  # one command, and the wait until avhub has read it
        local before
        before=$(grep -c 'fifo \[' avhub.out || true)
        printf '%s' "$1" >/dev/avhub
        local end=$((SECONDS + 60))
        until [[ $(grep -c 'fifo \[' avhub.out || true) -gt $before ]]; do
            [[ $SECONDS -lt $end ]] || fail "avhub did not read '$1'"
            sleep 0.05
        done
    }
    clip() {  # path size seconds
        ffmpeg -nostdin -hide_banner -loglevel error -y \
            -f lavfi -i "testsrc2=s=$2:r=25:d=$3" -f lavfi -i "sine=f=440:r=8000:samples_per_frame=800:d=$3" \
            -c:v libx264 -preset ultrafast -g 25 -c:a pcm_mulaw -ar 8000 -ac 1 "$1"
    }
    clip /mnt/project/Tivane/black.avi 320x180 1
    clip "$work/clip.avi" 1280x720 6

    "$sim_bin/boxsim" --roles codec,bridge,ui_app,quad_display --real-media --record "$work/rec" >boxsim.out 2>&1 &
    sim_pid=$!
    wait_line 'boxsim: ready' 30 boxsim.out || fail "boxsim did not come up"
    "$bin/launcher" >launcher.out 2>&1 &
    daemons=($!)
    "$bin/tonecue" >tonecue.out 2>&1 &
    daemons+=($!)
    "$bin/avhub" "${hub_args[@]}" >avhub.out 2>avhub.err &
    wait_line '==================waiting' 120 avhub.out || fail "avhub did not come up"
    for f in /tmp/launcher.skt /dev/tonecue_in; do
        end=$((SECONDS + 60))
        until [[ -e $f ]]; do [[ $SECONDS -lt $end ]] || fail "no $f"; sleep 0.1; done
    done
    sleep 1
    sh "$sampler" idle || fail "a program is missing"

    fifo start
    for _ in 1 2 3 4 5 6 7 8; do
        sleep 1
        sh "$sampler" call avhub
    done
    grep -q '^ev=chunk.ep=T_DecStrm' rec/events.tsv || fail "no video reached the video decoder during the call"
    sh "$sampler" call launcher tonecue
    fifo stop

    fifo "play $work/clip.avi"
    end=$((SECONDS + 120))
    until grep -q '^ev=ui' rec/events.tsv; do
        [[ $SECONDS -lt $end ]] || fail "the clip never finished"
        sh "$sampler" clip avhub
        sleep 0.5
    done
    sh "$sampler" clip launcher tonecue
    fifo close
    kill "${daemons[@]}" 2>/dev/null || true
    kill "$sim_pid" 2>/dev/null || true
    wait || true
    exit 0
fi

# --- on the host ----------------------------------------------------------------
parts=installed,native,emulated
board=""
boot=""
write_readme=0
while [[ $# -gt 0 ]]; do
    case $1 in
        --parts) parts=${2?}; shift ;;
        --board) board=$(realpath "${2:?}"); shift ;;
        --boot-seconds) boot=${2:?}; shift ;;
        --write-readme) write_readme=1 ;;
        -h|--help) sed -n '2,32s/^# \{0,1\}//p' "$0"; exit 0 ;;
        *) echo "footprint: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done
for part in ${parts//,/ }; do
    case $part in installed|native|emulated) ;; *) echo "footprint: unknown part $part" >&2; exit 2 ;; esac
done
cd "$root"
has() { [[ ",$parts," == *",$1,"* ]]; }
say() { printf 'footprint: %s\n' "$*" >&2; }
status=0
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

# Installed sizes on armhf: the package's own, and that of every package
# apt installs with it on a system that has nothing yet. That system is a
# Debian 12 one, its /usr merged from the start: init-system-helpers (which
# the units' maintainer scripts need) asks for "usrmerge | usr-is-merged",
# and such a system carries usr-is-merged, not the tool that converts an
# old layout (usrmerge, which pulls in perl, about 57 MiB more).
installed_rows=""
if has installed; then
    deb=$(ls build-armhf/packages/avbox_*_armhf.deb 2>/dev/null | head -1 || true)
    if [[ -z $deb ]]; then
        say "installed: no build-armhf/packages/avbox_*_armhf.deb (bash scripts/cross.sh --package)"
        status=1
    else
        own=$(dpkg-deb -f "$deb" Installed-Size)
        : >"$tmp/status"
        apt-get -s -q -o Dir::State::status="$tmp/status" -o APT::Architecture=armhf \
            -o APT::Architectures::=armhf -o Debug::NoLocking=1 --no-install-recommends \
            install "$(realpath "$deb")" usr-is-merged >"$tmp/sim" 2>&1 || { cat "$tmp/sim" >&2; status=1; }
        total=0
        names=()
        while read -r name version; do
            [[ $name == avbox ]] && { total=$((total + own)); continue; }
            size=$(apt-cache -o APT::Architecture=armhf show "$name:armhf=$version" 2>/dev/null |
                   sed -n 's/^Installed-Size: //p' | head -1)
            [[ -n $size ]] || { say "installed: no size for $name $version"; status=1; continue; }
            total=$((total + size))
            names+=("$name")
        done < <(sed -n 's/^Inst \([^ :]*\)\(:armhf\)\{0,1\} (\([^ ]*\) .*/\1 \3/p' "$tmp/sim")
        installed_rows+="| \`avbox\` (armhf) | $(mib "$own") MiB | |"$'\n'
        installed_rows+="| \`avbox\` and its runtime closure: ${names[*]} | $(mib "$total") MiB | at most 20 MiB |"$'\n'
    fi
fi

# One session inside nsrun; samples into $tmp/<where>.tsv.
session() {  # where bin sim_bin
    say "$1: session with $2"
    local build=${2%/bin}
    if ! build/tests/nsrun --keep "$root" --keep "$build" -- /bin/bash "$0" --session "$2" "$3" >"$tmp/$1.tsv"; then
        say "$1: the session failed"
        status=1
        return 1
    fi
}
if has native; then
    [[ -x build/bin/avhub && -x build/tests/nsrun ]] || { say "native: build/ is not built"; status=1; }
    [[ -x build/bin/avhub ]] && session native "$root/build/bin" "$root/build/bin" || true
fi
if has emulated; then
    if [[ -x build-armhf/bin/avhub && -x build/bin/boxsim ]]; then
        session emulated "$root/build-armhf/bin" "$root/build/bin" || true
    else
        say "emulated: build-armhf/ or build/ is not built"
        status=1
    fi
fi
[[ -n $board ]] && cp "$board" "$tmp/board.tsv"

# Largest RSS and PSS per program and phase, one row per program and place.
memory_rows() {  # file label
    awk -F '\t' -v where="$2" '
        $3 != "-" { k = $2 SUBSEP $1; if ($4 > rss[k]) rss[k] = $4; if ($5 > pss[k]) pss[k] = $5; seen[$2] = 1 }
        function cell(p, ph,   k) { k = p SUBSEP ph; return (k in rss) ? sprintf("%.1f / %.1f", rss[k] / 1024, pss[k] / 1024) : "-" }
        END {
            n = split("avhub launcher tonecue", order, " ")
            for (i = 1; i <= n; i++) if (order[i] in seen)
                printf "| `%s` | %s | %s | %s | %s |\n", order[i], where, cell(order[i], "idle"), cell(order[i], "call"), cell(order[i], "clip")
        }' "$1"
}
{
    if [[ -n $installed_rows ]]; then
        echo "| package | installed | target |"
        echo "|---|---:|---|"
        printf '%s' "$installed_rows"
        echo
    fi
    echo "| program | where | RSS / PSS idle (MiB) | during a call | during a clip |"
    echo "|---|---|---:|---:|---:|"
    [[ -s $tmp/board.tsv ]] && memory_rows "$tmp/board.tsv" "armhf board (qemu-system-arm)"
    [[ -s $tmp/emulated.tsv ]] && memory_rows "$tmp/emulated.tsv" "armhf, qemu-user"
    [[ -s $tmp/native.tsv ]] && memory_rows "$tmp/native.tsv" "amd64"
    echo
    echo "Target: \`avhub\`'s PSS at most 8 MiB during a call on the board."
    [[ -n $boot ]] && echo "Boot to ready on the board: $boot s of guest time (emulated)."
    echo "Measured $(date -u +%Y-%m-%d) by \`bash scripts/footprint.sh\`."
} >"$tmp/table.md"

if [[ $write_readme -eq 1 ]]; then
    begin='<!-- footprint table: scripts/footprint.sh --write-readme -->'
    end='<!-- end of footprint table -->'
    grep -qxF "$begin" README.md && grep -qxF "$end" README.md ||
        { say "README.md has no footprint markers"; exit 1; }
    awk -v b="$begin" -v e="$end" -v t="$tmp/table.md" '
        $0 == b { print; while ((getline line < t) > 0) print line; skip = 1; next }
        $0 == e { skip = 0 }
        !skip' README.md >"$tmp/README.md"
    cat "$tmp/README.md" >README.md
    say "README.md: footprint table updated"
else
    cat "$tmp/table.md"
fi
exit $status
