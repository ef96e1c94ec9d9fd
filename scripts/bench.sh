#!/usr/bin/env bash
# Builds an optimised tree (build-bench/) and runs the benchmark inside
# private namespaces: relay latency beside socat and a one-hop relay,
# sustained throughput, clip pacing, and avhub's CPU and memory beside a
# bare 1 ms poll loop. Prints a table; the JSON file, the per-sample files,
# their plots (PNG and SVG, gnuplot) and boxsim's records are kept in
# build-bench/bench-out/ (or $BENCH_OUT).
#
#   bash scripts/bench.sh [--frames N] [--sustain-s S] [--call-s S] [--idle-s S]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh
# -O2: g++ 12 at -O3 reports a false restrict overlap in one simulator file.
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
      -DAVBOX_FFMPEG_STORE="$root/build/box-ffmpeg" >/dev/null
cmake --build build-bench -j2 --target avbench hoprelay pollfloor avhub boxsim nsrun
out=${BENCH_OUT:-$root/build-bench/bench-out}
mkdir -p "$out"
echo "bench: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at start"
rc=0
build-bench/tests/nsrun --keep "$root" -- "$root/build-bench/bin/avbench" --out "$out" "$@" || rc=$?
echo "bench: load average $(cut -d' ' -f1-3 /proc/loadavg) at the end; results in $out/bench.json"
# Plots of what ran: latency curves, clip pacing, the long call's cost.
bash bench/plot.sh "$out" || rc=1
exit "$rc"
