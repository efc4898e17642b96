#!/usr/bin/env bash
# CI stage: builds the fuzz targets and runs each over its corpus (every
# seed and every kept regression first) for a short fixed number of
# mutations with a fixed seed, about a minute in all.  Any finding fails.
# Usage: scripts/fuzz-ci.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-fuzz}
"$root/scripts/fuzz-build.sh" "$build"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Runs per target, sized by how fast each goes on a small machine.
declare -A runs=([store]=1500 [backup]=600 [records]=2000 [config]=10000 [exports]=3000 [wire]=20000)
for target in store backup records config exports wire; do
  [ -d "$root/fuzz/corpus/$target" ] || continue
  mkdir -p "$work/$target"
  start=$SECONDS
  "$build/fuzz/fuzz_$target" -dict="$root/fuzz/propreg.dict" -runs="${runs[$target]}" -seed=1 -timeout=5 \
    -rss_limit_mb=3072 -artifact_prefix="$work/" -print_final_stats=1 "$work/$target" "$root/fuzz/corpus/$target" \
    >"$work/$target.log" 2>&1 || {
    cat "$work/$target.log"
    mkdir -p "$build/fuzz-findings" && cp "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$build/fuzz-findings/" 2>/dev/null || true
    echo "fuzz: $target failed; its input is in $build/fuzz-findings"
    exit 1
  }
  echo "fuzz: $target: ${runs[$target]} runs in $((SECONDS - start)) s," \
    "$(grep -o 'cov: [0-9]*' "$work/$target.log" | tail -1 | cut -d' ' -f2) edges"
done
