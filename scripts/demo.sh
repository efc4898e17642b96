#!/usr/bin/env bash
# Builds propctl and runs its demo: a two-location mirrored store in a
# fresh directory, a small tree written and read back, the store's info.
# Usage: scripts/demo.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target propctl --parallel
"$build/tools/propctl" demo
