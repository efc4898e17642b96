#!/usr/bin/env bash
# Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/ from
# the stores of the crash workload (inputs kept there as regressions, named
# regress-*, are left alone).
# Usage: scripts/fuzz-seeds.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-fuzz}
"$root/scripts/fuzz-build.sh" "$build" fuzz_seeds
"$build/fuzz/fuzz_seeds" "$root/fuzz/corpus"
du -sh "$root/fuzz/corpus"
