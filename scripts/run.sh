#!/usr/bin/env bash
# Builds the programs (installing missing Debian packages first) and runs one
# whole session of the box in private namespaces: boxsim plays the codec
# servers, the bridge, the user-interface application and the quad display
# server; avhub is driven through /dev/avhub. Extra arguments go to boxdemo
# (for example --call-seconds 5). AVBOX_BUILD_DIR picks another build folder
# than build/.
# Exit status: boxdemo's (0 when every stage matched), or the failing step's.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=$(realpath -m "${AVBOX_BUILD_DIR:-build}")

say() { printf '== %s\n' "$*"; }

say "checking Debian packages"
bash scripts/deps.sh
say "configure and build: $build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# Every program of the box, the simulator, the demo driver and nsrun; the
# tests are built by scripts/test.sh.
cmake --build "$build" --target avhub encprobe decprobe ctlprobe tonecue launcher panectl blendset \
      boxsim boxdemo nsrun
say "running the box in private namespaces (nsrun)"
status=0
"$build/tests/nsrun" --keep "$root" --keep "$build" -- /bin/bash "$root/scripts/demo.sh" "$build" "$@" || status=$?
if [[ $status -eq 77 ]]; then
    echo "run.sh: the private namespaces could not be made (run as root, with unshare allowed)" >&2
fi
exit "$status"
