#!/usr/bin/env bash
# Builds propreg and runs its benchmark: the device limit, SQLite and
# propreg side by side on one file system, printed as one table.
# Usage: scripts/bench.sh [build-dir] [-- propreg_bench options]
#   the stores live in <build-dir>/bench-run unless --dir names another
#   directory (the file system measured is the one that holds it)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-bench
if [ $# -gt 0 ] && [ "$1" != "--" ]; then
  build=$1
  shift
fi
[ "${1:-}" = "--" ] && shift
"$root/scripts/deps.sh"
# The numbers are only worth having from an optimised build.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPROPREG_TESTS=OFF >/dev/null
cmake --build "$build" --target propreg_bench
exec "$build/bench/propreg_bench" --dir "$build/bench-run" "$@"
