#!/usr/bin/env bash
# Builds everything three times (g++ release build, clang ASan+UBSan build,
# the box's armhf build) and runs every test in each, the armhf one under
# qemu-user. Then makes the Debian packages of both architectures, installs
# the native ones in a throwaway root and runs the demo there, and checks the
# armhf ones. Installs missing Debian packages first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

say() { printf '\n== %s\n' "$*"; }
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

bash scripts/fuzz.sh --ci

say "packages: build/packages/ (native)"
rm -rf build/packages
(cd build && cpack -G DEB >/dev/null)
ls build/packages/*.deb
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

say "every test that ran passed in all three builds, the packages install and run, every fuzz target ran clean"
finish 0
