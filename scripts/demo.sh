#!/usr/bin/env bash
# Runs inside the private namespaces made by nsrun: one whole session of the
# box. The run folder (every log and record) and the clip cache live in the
# build tree, outside the namespace's private /tmp, so they outlast the run.
#   demo.sh ROOT [boxdemo options]
set -euo pipefail
root=$1
shift
runs=$root/build/demo-runs
run_dir=$runs/$(date +%Y%m%d-%H%M%S)
mkdir -p "$run_dir"
ln -sfn "$(basename "$run_dir")" "$runs/latest"
exec "$root/build/bin/boxdemo" --run-dir "$run_dir" --cache-dir "$root/build/demo-cache" "$@"
