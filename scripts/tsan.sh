#!/usr/bin/env bash
# CI stage: builds with ThreadSanitizer only the test programs whose tests
# run threads, and runs those tests: the mirror workers, the key cache read
# beside a writer, several threads on one context, a batch with threads
# waiting for it, a context terminated while a call runs on it, the
# backup's reader and writer, the error table and the configuration store,
# and propregd (its connection and store threads, run by the daemon tests as
# a child process that inherits TSAN_OPTIONS).  Any report fails the stage.
# Usage: scripts/tsan.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-tsan}
"$root/scripts/deps.sh"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" \
  -DPROPREG_TSAN=ON -DPROPREG_BENCH=OFF >/dev/null
# program and the tests of it that run threads
runs=(
  "cache_test *"
  "io_test *"
  "keys_test ThreadsTest.*:DeleteTest.AtTheCachingLevel*"
  "lifecycle_test Reboot.*:Terminate.*"
  "backup_test *"
  "core_test ErrorTest.*"
  "env_test ConfigStore.*"
  "platform_test *"
  "daemon_test DaemonKeys.*:DaemonGroupCommit.*:DaemonWatch.*:DaemonCrash.*"
)
programs=()
for r in "${runs[@]}"; do programs+=("${r%% *}"); done
cmake --build "$build" --parallel --target "${programs[@]}"
export TSAN_OPTIONS="halt_on_error=1 abort_on_error=1 second_deadlock_stack=1"
for r in "${runs[@]}"; do
  program=${r%% *}
  filter=${r#* }
  start=$SECONDS
  "$build/tests/$program" --gtest_filter="$filter" --gtest_brief=1
  echo "tsan: $program ($filter) in $((SECONDS - start)) s"
done
