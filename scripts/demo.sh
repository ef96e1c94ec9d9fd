#!/usr/bin/env bash
# Runs inside the private namespaces made by nsrun: one whole session of the
# box. The run folder (every log and record) and the clip cache live in the
# build folder, outside the namespace's private /tmp, so they outlast the run.
#   demo.sh BUILD_DIR [boxdemo options]
set -euo pipefail
build=$1
shift
runs=$build/demo-runs
run_dir=$runs/$(date +%Y%m%d-%H%M%S)
mkdir -p "$run_dir"
ln -sfn "$(basename "$run_dir")" "$runs/latest"
exec "$build/bin/boxdemo" --run-dir "$run_dir" --cache-dir "$build/demo-cache" "$@"
