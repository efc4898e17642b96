#!/usr/bin/env bash
# Builds the fuzz targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer
# and the fuzzer's coverage): the library and fuzz/, nothing else.
# Usage: scripts/fuzz-build.sh [build-dir] [target...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-fuzz}
shift || true
"$root/scripts/deps.sh"
cxx=$(command -v clang++-14 || command -v clang++)
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" \
  "${launcher[@]}" -DPROPREG_FUZZ=ON >/dev/null
cmake --build "$build" --parallel --target "${@:-fuzz_all}"
