#!/usr/bin/env bash
# Builds propreg and runs the tests.
# Usage: scripts/test.sh [--quick | --sweep] [build-dir]
#   (none)   every test but the full crash sweep (CTest label "sweep")
#   --quick  leaves out the slow tests too (CTest label "full")
#   --sweep  every test, the full crash sweep included
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
labels=(-LE sweep)
case "${1:-}" in
  --quick) labels=(-LE 'full|sweep'); shift ;;
  --sweep) labels=(); shift ;;
esac
build=${1:-$root/build}
"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --parallel
cd "$build"
ctest --output-on-failure --parallel 2 "${labels[@]}"
