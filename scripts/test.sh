#!/usr/bin/env bash
# Builds propreg and runs every test.
# Usage: scripts/test.sh [--quick] [build-dir]
#   --quick  skips the slow tests (CTest label "full")
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
labels=()
if [ "${1:-}" = "--quick" ]; then
  labels=(-LE full)
  shift
fi
build=${1:-$root/build}
"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --parallel
cd "$build"
ctest --output-on-failure --parallel 2 "${labels[@]}"
