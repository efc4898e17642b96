#!/usr/bin/env bash
# Makes a store of KEYS keys (default 2,000,000) the way an operator would:
# `propctl init --size` with room for about half of them, filled by batches
# until the size warns, `propctl grow`, filled to KEYS; then reads every key
# back through `propctl tree`, compares each value, and runs `check`.
# Prints each step's time.  It takes minutes and gigabytes, so no test
# suite runs it.
# Usage: scripts/bigstore.sh [-k KEYS] [-d DIR] [propctl]
#   DIR (default build/bigstore) is emptied first and removed at the end
#   unless --keep is given.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
keys=2000000
dir=$root/build/bigstore
keep=0
propctl=$root/build/tools/propctl
while [ $# -gt 0 ]; do
  case "$1" in
    -k) keys=$2; shift 2 ;;
    -d) dir=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) propctl=$1; shift ;;
  esac
done
per_batch=16000
# A key takes a page of 4 KiB; the first size holds about half the keys
# (and is no smaller than a store can be).
first_mb=$(( keys * 4096 / 2 / 1048576 + 256 ))
[ "$first_mb" -ge 512 ] || first_mb=512
first_size=${first_mb}M
final_size=$(( first_mb * 5 / 2 ))M

rm -rf "$dir"
mkdir -p "$dir"
[ "$keep" = 1 ] || trap 'rm -rf "$dir"' EXIT
p() { "$propctl" --root "$dir/root" "$@"; }
timed() {
  local t0 t1
  t0=$(date +%s.%N)
  "$@"
  t1=$(date +%s.%N)
  printf '  [%.2f s] %s\n' "$(echo "$t1 - $t0" | bc)" "$*" >&2
}
# Key k lives under parent k / 1000 and holds the value "v<k>".
batch() {  # first last
  awk -v a="$1" -v b="$2" 'BEGIN { for (k = a; k < b; k++) printf "set SYSTEM.big.p%04d.k%07d v%d\n", int(k / 1000), k, k }'
}
fill() {  # first last
  local at=$1
  while [ "$at" -lt "$2" ]; do
    local to=$(( at + per_batch < $2 ? at + per_batch : $2 ))
    batch "$at" "$to" | p batch >/dev/null
    at=$to
  done
}

timed p init --size "$first_size" >/dev/null
half=$(( keys / 2 ))
timed fill 0 "$half"
timed p grow "$final_size"
timed fill "$half" "$keys"
timed p status | sed -n '1,4p'
# Every key read back: tree prints "    kNNNNNNN = "vN"" under its parent.
timed p tree SYSTEM.big > "$dir/tree.txt"
bad=$(awk '/^ +k[0-9]+ = / { k = substr($1, 2) + 0; want = "\"v" k "\""; n++; if ($3 != want) bad++ }
           END { if (n != '"$keys"') print "read " n " keys"; else if (bad) print bad " wrong"; }' "$dir/tree.txt")
if [ -n "$bad" ]; then
  echo "bigstore: $bad of $keys" >&2
  exit 1
fi
echo "every one of the $keys keys read back with its value"
timed p check | tail -1
t0=$(date +%s.%N)
p get SYSTEM.big.p0000.k0000000 >/dev/null
echo "open and one get: $(echo "$(date +%s.%N) - $t0" | bc) s"
