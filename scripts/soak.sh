#!/usr/bin/env bash
# Soak run: avhub from the sanitizer build, in private namespaces, against
# boxsim as codec servers, remote bridge, UI application and quad display.
# It repeats a cycle for the chosen time: a call whose video goes to the
# bridge while the bridge sends video back, a clip played with its lead-in
# and trailer, and the bridge dropped and connected again. At the start and
# at the end it reports resident memory, open descriptors and log line
# counts of avhub and boxsim; nothing of them may keep growing.
#
#   bash scripts/soak.sh [--minutes N] [--build DIR]
#
# N defaults to 10; DIR to build-asan (configured and built with clang,
# AddressSanitizer and UBSan when avhub is missing there). Exit status 0
# when avhub survived and ended cleanly with no sanitizer report, 1
# otherwise, 2 for a bad command line.
set -euo pipefail

minutes=10
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-asan
inside=0
while [ $# -gt 0 ]; do
    case $1 in
        --minutes) minutes=${2:?}; shift 2 ;;
        --build) build=$(cd "${2:?}" && pwd); shift 2 ;;
        --inside) inside=1; shift ;;
        -h|--help) sed -n '2,15s/^# \{0,1\}//p' "$0"; exit 0 ;;
        *) echo "soak: unknown argument $1" >&2; exit 2 ;;
    esac
done
case $minutes in ''|*[!0-9]*) echo "soak: --minutes takes a whole number" >&2; exit 2 ;; esac

if [ "$inside" = 0 ]; then
    if [ ! -x "$build/bin/avhub" ] || [ ! -x "$build/tests/nsrun" ]; then
        cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DAVBOX_SANITIZE=ON \
              -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
              -DAVBOX_FFMPEG_STORE="$root/build/box-ffmpeg" >/dev/null
    fi
    cmake --build "$build" -j 2 --target avhub boxsim panectl nsrun >/dev/null
    exec "$build/tests/nsrun" --keep "$root" --keep "$build" -- \
        /bin/bash "$root/scripts/soak.sh" --inside --minutes "$minutes" --build "$build"
fi

# --- inside the namespaces ---------------------------------------------------
bin=$build/bin
work=/tmp/soak
rec=$work/records
mkdir -p "$work" "$rec" /mnt/project/Tivane
cd "$work"
export PATH=$bin:$PATH
# A small quarantine, so that resident memory shows what the program holds
# rather than what the sanitizer keeps back from reuse.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:quarantine_size_mb=8}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

say() { printf 'soak: %s\n' "$*"; }
fail() {
    say "FAILED: $*"
    for f in "$work/avhub.out" "$work/avhub.err" "$work/boxsim.out"; do
        [ -s "$f" ] && { echo "--- last lines of $f"; tail -n 15 "$f"; }
    done
    exit 1
}

clip() {  # path rate seconds
    ffmpeg -nostdin -hide_banner -loglevel error -y \
        -f lavfi -i "color=c=black:s=176x144:r=$2:d=$3" \
        -f lavfi -i "sine=f=440:r=8000:samples_per_frame=800:d=$3" \
        -c:v libx264 -preset ultrafast -g 10 -c:a pcm_mulaw -ar 8000 -ac 1 "$1"
}
clip /mnt/project/Tivane/black.avi 25 0.4
clip "$work/clip.avi" 25 3

# Waits up to $2 seconds for a line matching $1 in file $3 beyond line $4.
wait_line() {
    local end=$((SECONDS + $2))
    while [ $SECONDS -lt $end ]; do
        tail -n +"$(($4 + 1))" "$3" 2>/dev/null | grep -q -- "$1" && return 0
        sleep 0.1
    done
    return 1
}
ctl() {
    local reply
    reply=$(printf '%s\n' "$*" | socat -t 5 - UNIX-CONNECT:/tmp/boxsim.ctl)
    case $reply in ok*) printf '%s\n' "${reply#ok}" ;; *) fail "boxsim: $* -> $reply" ;; esac
}
lines() { wc -l < "$1"; }
# One command into avhub's FIFO, and the wait until avhub has read it, so
# that no two commands share a read.
fifo() {
    local before
    before=$(grep -c 'fifo \[' "$work/avhub.out" || true)
    printf '%s' "$1" > /dev/avhub
    local end=$((SECONDS + 30))
    while [ "$(grep -c 'fifo \[' "$work/avhub.out" || true)" -le "$before" ]; do
        [ $SECONDS -lt $end ] || fail "avhub did not read '$1'"
        sleep 0.05
    done
}

boxsim --roles codec,bridge,ui_app,quad_display --record "$rec" >"$work/boxsim.out" 2>&1 &
sim_pid=$!
wait_line 'boxsim: ready' 15 "$work/boxsim.out" 0 || fail "boxsim did not come up"
avhub 54 1280 720 30 1024 1 0 0 0 >"$work/avhub.out" 2>"$work/avhub.err" &
hub_pid=$!
wait_line '==================waiting' 20 "$work/avhub.out" 0 || fail "avhub did not come up"

# One cycle of the box's work; about 15 seconds.
cycle() {
    local vcmd vbs mark
    mark=$(lines "$work/avhub.out")
    fifo "vcb_start"
    # The command connection first, so that the call start sends it its
    # request; the bitstream connection then ends the wait.
    vcmd=$(ctl bridge connect vcmd)
    wait_line 'Accept Vdo Cmd' 15 "$work/avhub.out" "$mark" || fail "the bridge command connection was not taken"
    vbs=$(ctl bridge connect vbs)
    vbs=${vbs# }
    wait_line 'start_test' 15 "$work/avhub.out" "$mark" || fail "the bridge call did not start"
    ctl bridge video "$vbs" 0 3000 60 25 >/dev/null
    sleep 2
    fifo "vcb_start"   # one service step: forwards what the bridge sent
    sleep 2
    fifo "stop"
    fifo "vcb_stop"
    mark=$(wc -l < "$rec/events.tsv")
    fifo "play $work/clip.avi"
    local end=$((SECONDS + 30))
    until tail -n +"$((mark + 1))" "$rec/events.tsv" | grep -q '^ev=ui'; do
        [ $SECONDS -lt $end ] || fail "the clip never finished"
        sleep 0.2
    done
    fifo "start"
    sleep 3
    fifo "stop"
}

# Resident memory (kB), open descriptors and log lines of one process.
report() {  # label
    local p
    for p in avhub:$hub_pid boxsim:$sim_pid; do
        local name=${p%%:*} pid=${p#*:}
        local rss fds
        rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")
        fds=$(ls "/proc/$pid/fd" | wc -l)
        say "$1 $name rss_kb=$rss fds=$fds"
    done
    say "$1 logs avhub_stdout=$(lines "$work/avhub.out") avhub_stderr=$(lines "$work/avhub.err") boxsim_events=$(lines "$rec/events.tsv")"
}

fds_of() { ls "/proc/$1/fd" | wc -l; }

cycle   # warm-up: buffers of first use are made here
report start
start_fds=$(fds_of "$hub_pid")
start_lines=$(lines "$work/avhub.out")
cycles=1
deadline=$((SECONDS + minutes * 60))
while [ $SECONDS -lt $deadline ]; do
    cycle
    cycles=$((cycles + 1))
    kill -0 "$hub_pid" 2>/dev/null || fail "avhub is gone"
    if [ $((cycles % 10)) = 0 ]; then report "cycle $cycles"; fi
done
report end
end_fds=$(fds_of "$hub_pid")
[ "$end_fds" -le "$start_fds" ] || fail "avhub holds $end_fds descriptors, $start_fds at the start"
say "cycles=$cycles avhub_lines_per_cycle=$(( ($(lines "$work/avhub.out") - start_lines) / (cycles - 1 > 0 ? cycles - 1 : 1) ))"

printf 'close' > /dev/avhub
status=0
wait "$hub_pid" || status=$?
kill -TERM "$sim_pid" 2>/dev/null || true
wait "$sim_pid" || true
say "avhub exit status $status"
if grep -q -e 'Sanitizer' -e 'runtime error' "$work/avhub.err"; then
    grep -m 20 -e 'ERROR' -e 'runtime error' -e 'SUMMARY' "$work/avhub.err"
    fail "sanitizer report from avhub"
fi
[ "$status" = 0 ] || fail "avhub ended with status $status"
say "passed"
