#!/usr/bin/env bash
# Builds everything three times (g++ release build, clang ASan+UBSan build,
# the box's armhf build) and runs every test in each, the armhf one under
# qemu-user. Then makes the Debian packages of both architectures and checks
# them (lintian, hardening-check, modes, ...), builds the box's programs a
# second time to show the packages come out the same, installs the native
# packages in a throwaway root and runs the demo there, then boots the armhf
# packages on an emulated board and runs the runtime tests there. Installs
# missing Debian packages first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# Each "== stage" header closes the stage before it with its time, so the
# log shows where a run spends its minutes.
stage= stage_start=$SECONDS
stage_done() {
  [[ -n "$stage" ]] && echo "time: $stage: $((SECONDS - stage_start)) s (run so far $SECONDS s)"
  stage=
}
say() { stage_done; stage=$*; stage_start=$SECONDS; printf '\n== %s\n' "$*"; }
jobs=$(nproc)

say "checking Debian packages"
bash scripts/deps.sh

say "configure and build: build/ (g++, optimised)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ >/dev/null
cmake --build build -j "$jobs"

# The counts come from CTest's own results (its JUnit file) of each build.
# A skipped test (exit 77: no namespaces, no tshark) did not run and proves
# nothing: it is counted and named, and under CI (CI=true) it fails the run.
passed=0 failed=0 skipped=0
finish() {
  stage_done
  echo "tests: $passed passed, $failed failed, $skipped skipped"
  exit "$1"
}
tally() {  # tally JUNIT BUILD_DIR
  local p f names s
  [[ -f "$1" ]] || { echo "test.sh: CTest left no results in $2" >&2; finish 1; }
  p=$(grep -c '<testcase .*status="run"' "$1" || true)
  f=$(grep -c '<testcase .*status="fail"' "$1" || true)
  names=$(sed -n 's/.*<testcase name="\([^"]*\)".*status="\(notrun\|disabled\)".*/\1/p' "$1" | paste -sd ' ' -)
  s=$(wc -w <<<"$names")
  passed=$((passed + p)) failed=$((failed + f)) skipped=$((skipped + s))
  echo "$2: $p passed, $f failed, $s skipped${names:+ ($names)}"
  if [[ $s -gt 0 && "${CI:-}" == true ]]; then
    echo "test.sh: under CI a skipped test fails the run: $names" >&2
    finish 1
  fi
}
run_ctest() {
  local junit=$root/$1/ctest-junit.xml status=0
  rm -f "$junit"
  ctest --test-dir "$1" --output-on-failure -j "$jobs" --output-junit "$junit" || status=$?
  tally "$junit" "$1"
  [[ $status -eq 0 ]] || finish 1
}

say "tests: build/"
run_ctest build

say "configure and build: build-asan/ (clang, AddressSanitizer + UBSan)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DAVBOX_SANITIZE=ON \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DAVBOX_FFMPEG_STORE="$root/build/box-ffmpeg" >/dev/null
cmake --build build-asan -j "$jobs"

say "tests: build-asan/"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
run_ctest build-asan

say "fuzz targets: built and run"
bash scripts/fuzz.sh --ci

# Made under umask 000: no mode in a package may come from the packager's
# umask (the checks below find any group- or world-writable entry).
say "packages: build/packages/ (native, made under umask 000)"
start=$SECONDS
(umask 000 && bash scripts/make-debs.sh build)
echo "native packages: $((SECONDS - start)) s"

say "native packages checked: fields, modes, manual pages, debug symbols, hardening-check, lintian"
start=$SECONDS
bash scripts/test-deb-packages.sh build/packages "$(dpkg --print-architecture)"
echo "native package checks: $((SECONDS - start)) s"

# Two builds of one commit make the same bytes: the shipped programs built
# again in another folder, without a compiler cache and under umask 000
# (build and packaging), and packaged; each package must equal the one
# above. (A build/ made through a compiler cache is compared with a second
# such build under umask 022 instead: the cache rewrites paths.) avhub's
# FFmpeg comes from build/'s store, built once.
repro_build() {
    rm -rf "$1"
    CCACHE_DISABLE=1 cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAVBOX_TESTS=OFF \
          -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER_LAUNCHER= \
          -DCMAKE_CXX_COMPILER_LAUNCHER= -DAVBOX_FFMPEG_STORE="$root/build/box-ffmpeg" >/dev/null
    CCACHE_DISABLE=1 cmake --build "$1" -j "$jobs" --target avhub encprobe decprobe ctlprobe tonecue launcher \
          panectl blendset libsocket libsocket_early package_docs >/dev/null
    bash scripts/make-debs.sh "$1" >/dev/null
}
say "reproducible: the box's programs built again in build-repro/ under umask 000, packages compared"
start=$SECONDS
(umask 000 && repro_build build-repro)
reference=build
if grep -q '^CMAKE_CXX_COMPILER_LAUNCHER:.*=.' build/CMakeCache.txt; then
    (umask 022 && repro_build build-repro2)
    reference=build-repro2
fi
for deb in build-repro/packages/*.deb; do
    cmp "$deb" "$reference/packages/$(basename "$deb")" || { echo "not reproducible: $(basename "$deb")"; exit 1; }
    echo "identical: $(basename "$deb") ($reference/ and build-repro/)"
done
rm -rf build-repro build-repro2
echo "reproducibility: $((SECONDS - start)) s"

say "native packages installed in a throwaway root: the demo's five stages"
bash scripts/test-deb-install.sh build/packages --call-seconds 3

# The armhf build, its whole suite under emulation, its packages checked.
start=$SECONDS
rm -f build-armhf/ctest-junit.xml
status=0
bash scripts/cross.sh --test --package --jobs "$jobs" || status=$?
if [[ -f build-armhf/ctest-junit.xml ]]; then tally build-armhf/ctest-junit.xml build-armhf; fi
[[ $status -eq 0 ]] || finish 1
echo "armhf build, emulated suite and packages: $((SECONDS - start)) s"

say "Multi-Arch: same packages of both architectures co-install"
start=$SECONDS
bash scripts/test-deb-multiarch.sh build/packages build-armhf/packages
echo "multiarch check: $((SECONDS - start)) s"

# The box, booted: those armhf packages in a Debian image with systemd,
# under qemu-system-arm, and the runtime tests on the booted board.
log=$(mktemp)
start=$SECONDS
status=0
bash scripts/board.sh test | tee "$log" || status=$?
p=$(sed -n 's/^board: all \([0-9]*\) runtime tests passed.*/\1/p; s/^board: \([0-9]*\) passed, [0-9]* FAILED.*/\1/p' "$log" | tail -1)
f=$(sed -n 's/^board: [0-9]* passed, \([0-9]*\) FAILED.*/\1/p' "$log" | tail -1)
rm -f "$log"
passed=$((passed + ${p:-0})) failed=$((failed + ${f:-0}))
echo "board: image, boot and runtime tests: $((SECONDS - start)) s"
if [[ $status -ne 0 ]]; then
  [[ -n "$f" ]] || failed=$((failed + 1))  # the board never reached its tests
  finish 1
fi

say "every test that ran passed in all three builds and on the board, the packages install and run, every fuzz target ran clean"
finish 0
