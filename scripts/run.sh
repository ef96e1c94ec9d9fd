#!/usr/bin/env bash
# Builds the programs and runs a session of the box in a private namespace.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
exec build/tests/nsrun --keep "$root" -- /bin/bash "$root/scripts/demo.sh" "$root"
