#!/usr/bin/env bash
# Runs one fuzz target for a while over its seed corpus and what earlier runs
# found, and prints the executions and the coverage reached.  New inputs go
# to <build-dir>/fuzz-work/TARGET/corpus, crashes beside it.
# Usage: scripts/fuzz.sh TARGET [SECONDS (default 600)] [build-dir]
#   TARGET: store, backup, records, config or exports
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
target=${1:?usage: scripts/fuzz.sh TARGET [SECONDS] [build-dir]}
seconds=${2:-600}
build=${3:-$root/build-fuzz}
"$root/scripts/fuzz-build.sh" "$build" "fuzz_$target"
work=$build/fuzz-work/$target
mkdir -p "$work/corpus"
# An input must finish well within a second; the limit leaves room for a
# machine shared with other work.
exec "$build/fuzz/fuzz_$target" -dict="$root/fuzz/propreg.dict" -max_total_time="$seconds" \
  -timeout=5 -rss_limit_mb=3072 -print_final_stats=1 -artifact_prefix="$work/" \
  "$work/corpus" "$root/fuzz/corpus/$target"
