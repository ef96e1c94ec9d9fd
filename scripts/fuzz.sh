#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz in build-fuzz/ (clang, libFuzzer,
# AddressSanitizer + UBSan, coverage on every library they reach) and runs
# each one for a bounded time.
#
#   bash scripts/fuzz.sh [--ci] [--seconds N] [--jobs N] [target ...]
#
#   --ci         the CI stage: every target for 15 s, as many at once as
#                there are cores
#   --seconds N  run time per target (default 600)
#   --jobs N     targets run at the same time (default 1)
#   target       run only these (e.g. fuzz_relay); default: all of them
#
# New inputs are kept in build-fuzz/fuzz-corpus/<target>/ and reused by the
# next run; crash inputs land in build-fuzz/fuzz-artifacts/, one log per
# target in build-fuzz/fuzz-logs/. Each target starts from its committed
# seeds (tests/fuzz/corpus/<target>) and regression inputs
# (tests/fuzz/regressions/<target>). Exit status 1 when any target failed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

seconds=600
jobs=1
targets=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    --ci) seconds=15; jobs=$(nproc) ;;
    --seconds) seconds=$2; shift ;;
    --jobs) jobs=$2; shift ;;
    -h|--help) sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1") ;;
  esac
  shift
done

# Absolute paths: a target may change its working directory.
build=$root/build-fuzz
echo "== fuzz: configure and build $build/"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAVBOX_SANITIZE=ON \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
      -DAVBOX_FFMPEG_STORE="$root/build/box-ffmpeg" >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzz_targets

if [[ ${#targets[@]} -eq 0 ]]; then
  for f in "$build"/fuzz/fuzz_*; do targets+=("$(basename "$f")"); done
fi

mkdir -p "$build/fuzz-logs" "$build/fuzz-artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# One target: the work corpus first (libFuzzer adds new inputs to the first
# directory), then the committed inputs, read only.
run_one() {
  local t=$1
  local work="$build/fuzz-corpus/$t" log="$build/fuzz-logs/$t.log"
  local dirs=("$work" "$root/tests/fuzz/corpus/$t")
  [[ -d $root/tests/fuzz/regressions/$t ]] && dirs+=("$root/tests/fuzz/regressions/$t")
  mkdir -p "$work"
  local status=ok
  if ! "$build/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=3 \
       -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$t-" "${dirs[@]}" >"$log" 2>&1; then
    status=FAILED
  fi
  local runs rate
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  printf '%-22s %-6s %10s runs %7s exec/s  corpus %5s  (%s)\n' "$t" "$status" "${runs:-?}" "${rate:-?}" \
         "$(find "$work" -type f | wc -l)" "${log#"$root"/}"
  [[ $status == ok ]]
}

echo "== fuzz: ${#targets[@]} targets, ${seconds} s each, ${jobs} at a time"
failed=0
running=0
for t in "${targets[@]}"; do
  if [[ ! -x $build/fuzz/$t ]]; then echo "fuzz.sh: no target $t" >&2; failed=1; continue; fi
  run_one "$t" &
  running=$((running + 1))
  if [[ $running -ge $jobs ]]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
done
while [[ $running -gt 0 ]]; do
  wait -n || failed=1
  running=$((running - 1))
done

if [[ $failed -ne 0 ]]; then
  echo "== fuzz: FAILED (crash inputs in $build/fuzz-artifacts/, logs in $build/fuzz-logs/)"
  exit 1
fi
echo "== fuzz: every target ran clean"
