#!/usr/bin/env bash
# Runs inside the private namespaces made by nsrun: a short session of the box.
set -euo pipefail
root=$1
bin=$root/build/bin
echo "demo: programs built in $bin:"
ls "$bin" 2>/dev/null || true
