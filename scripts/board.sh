#!/usr/bin/env bash
# The box, booted: builds a Debian 12 armhf image with systemd as init and
# this tree's armhf packages, boots it under qemu-system-arm with Debian's
# armhf kernel and runs the runtime tests on the booted board.
#
#   bash scripts/board.sh [test|build|shell] [--packages DIR] [--timeout SECONDS]
#
#   test   (default) build the image when its inputs changed, boot it, run
#          the runtime tests (board/runtime-tests) and print one line per
#          test; exit 0 when every test passed, 1 otherwise
#   build  only build the image (build-board/image/)
#   shell  boot the image with a root shell on the serial console, without
#          the tests (Ctrl-a x ends the emulator)
#
# --packages DIR: the armhf packages (default build-armhf/packages, made by
# `scripts/cross.sh --package` when missing). --timeout: the wall-clock
# bound of the whole boot-and-test run (default 900 s); past it the emulator
# is killed and the run fails with what the guest left behind. Each run's
# console log, results, journals and records are kept in
# build-board/runs/<time>/ (`latest` links to the newest). Run as root.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

mode=test
pkgs=build-armhf/packages
limit=900
while [[ $# -gt 0 ]]; do
    case "$1" in
        test|build|shell) mode=$1 ;;
        --packages) pkgs=$2; shift ;;
        --timeout) limit=$2; shift ;;
        *) echo "usage: board.sh [test|build|shell] [--packages DIR] [--timeout SECONDS]" >&2; exit 2 ;;
    esac
    shift
done
[[ $(id -u) -eq 0 ]] || { echo "board: run as root (the image is made with mmdebstrap --mode=root)" >&2; exit 2; }

say() { printf '\n== %s\n' "$*"; }
out=$root/build-board
image=$out/image

say "checking Debian packages"
bash scripts/deps.sh

# mmdebstrap runs the image's armhf dpkg and maintainer scripts through
# binfmt_misc and qemu-arm-static.
if [[ ! -e /proc/sys/fs/binfmt_misc/status ]]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
fi
update-binfmts --enable qemu-arm >/dev/null 2>&1 || true
grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-arm ||
    { echo "board: qemu-arm is not registered with binfmt_misc; the image cannot be built" >&2; exit 1; }

if ! ls "$pkgs"/avbox_*_armhf.deb "$pkgs"/avbox-sim_*_armhf.deb >/dev/null 2>&1; then
    say "no armhf packages in $pkgs: building them"
    bash scripts/cross.sh --package
fi

start=$SECONDS
bash board/mkimage.sh "$image" "$pkgs"
echo "board: image ready in $((SECONDS - start)) s"
[[ $mode == build ]] && exit 0

kernel_args="console=ttyAMA0 root=/dev/vda rw panic=-1"
qemu=(qemu-system-arm -M virt -cpu cortex-a15 -smp 2 -m 1024 -nodefaults -no-user-config
      -display none -nic none
      -kernel "$image/vmlinuz" -initrd "$image/initrd.gz")

# Earlier runs keep their logs and records; only the newest keeps its disk.
shopt -s nullglob
for old in "$out"/runs/2*/; do rm -f "$old/disk.img"; done
shopt -u nullglob
run=$out/runs/$(date +%Y%m%d-%H%M%S)
mkdir -p "$run/share"
ln -sfn "$(basename "$run")" "$out/runs/latest"
# Each run boots a copy: the image stays as built, the run's disk is kept
# for reading after the run.
cp --sparse=always "$image/rootfs.img" "$run/disk.img"
qemu+=(-drive "if=none,id=disk,file=$run/disk.img,format=raw"
       -device virtio-blk-device,drive=disk)

if [[ $mode == shell ]]; then
    say "booting $run/disk.img; log in on the console, Ctrl-a x ends the emulator"
    exec "${qemu[@]}" -serial mon:stdio -append "$kernel_args board.shell"
fi

say "booting the board: runtime tests (run folder $run)"
cp board/runtime-tests "$run/share/runtime-tests"
# The footprint sampler, run on the board at the tests' idle, call and clip
# moments.
[[ -f scripts/footprint-sample.sh ]] && cp scripts/footprint-sample.sh "$run/share/"
echo 1 >"$run/share/phase"
qemu+=(-fsdev "local,id=board,path=$run/share,security_model=none"
       -device virtio-9p-device,fsdev=board,mount_tag=board
       -serial "file:$run/console.log")
start=$SECONDS
status=0
# The guest powers itself off when the tests are done (after one reboot);
# a guest that hangs is killed at the deadline.
timeout --kill-after=10 "$limit" "${qemu[@]}" -append "$kernel_args board.test" \
    >"$run/qemu.log" 2>&1 || status=$?
wall=$((SECONDS - start))
case $status in
    0) echo "board: the guest powered off after ${wall} s" ;;
    124|137) echo "board: FAIL: the guest did not finish within ${limit} s; the emulator was killed" ;;
    *) echo "board: FAIL: the emulator ended with status $status after ${wall} s"; cat "$run/qemu.log" ;;
esac

# One line per test the guest planned: ok, FAIL, or FAIL for no result.
say "runtime tests on the booted board"
results=$run/share/results.tsv
touch "$results"
failed=0
passed=0
while IFS= read -r name; do
    line=$(awk -F'\t' -v n="$name" '$1 == n { l = $0 } END { print l }' "$results")
    if [[ -z "$line" ]]; then
        printf '%-28s FAIL  no result (the board stopped or hung before it ran)\n' "$name"
        failed=$((failed + 1))
        continue
    fi
    IFS=$'\t' read -r _ verdict detail <<<"$line"
    printf '%-28s %-5s %s\n' "$name" "$verdict" "$detail"
    if [[ $verdict == ok ]]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done < <(cat "$run/share/plan" 2>/dev/null || echo "guest_started")
[[ -s "$run/share/plan" ]] || failed=$((failed + 1))
# Results of no planned test (the board restarted by itself).
while IFS=$'\t' read -r name verdict detail; do
    grep -qxF "$name" "$run/share/plan" 2>/dev/null && continue
    printf '%-28s %-5s %s\n' "$name" "$verdict" "$detail"
    failed=$((failed + 1))
done <"$results"

if [[ -f "$run/share/times" ]]; then
    say "times (guest seconds are emulated)"
    cat "$run/share/times"
fi
echo "board: wall time from power-on to power-off: ${wall} s"
if [[ -s "$run/share/footprint.tsv" ]]; then
    echo "board: footprint samples in $run/share/footprint.tsv; for the README's table:"
    echo "  bash scripts/footprint.sh --board $run/share/footprint.tsv --boot-seconds $(cat "$run/share/ready-seconds.boot1" 2>/dev/null) --write-readme"
fi

if [[ $failed -ne 0 || $status -ne 0 ]]; then
    say "guest journal"
    # The guest writes its journal into the shared folder at each phase's
    # end; when it never got there, the journal is read from the disk.
    shopt -s nullglob
    journals=("$run"/share/journal.boot*.txt)
    if [[ ${#journals[@]} -eq 0 ]] && command -v journalctl >/dev/null; then
        mkdir -p "$run/journal"
        debugfs -R "rdump /var/log/journal $run/journal" "$run/disk.img" >/dev/null 2>&1 || true
        journalctl -D "$run/journal" -o short-monotonic --no-pager >"$run/journal.txt" 2>&1 || true
        journals=("$run/journal.txt")
    fi
    for j in "${journals[@]}"; do
        echo "--- $j (last 150 lines)"
        tail -n 150 "$j"
    done
    echo "--- console: $run/console.log (last 40 lines)"
    tail -n 40 "$run/console.log"
    echo "board: $passed passed, $failed FAILED; logs in $run"
    exit 1
fi
echo "board: all $passed runtime tests passed; logs in $run"
