#!/usr/bin/env bash
# Builds propreg with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the tests that are not slow (the sampled crash suite among them).
# Usage: scripts/sanitize.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-sanitize}
"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPROPREG_SANITIZE=ON -DPROPREG_BENCH=OFF
cmake --build "$build" --parallel
cd "$build"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1
ctest --output-on-failure --parallel 2 -LE 'full|sweep'
