#!/usr/bin/env bash
# The test command: installs what is needed (as root), builds, and runs every test in the
# normal build and under the sanitizers, then each fuzz target briefly.
#   tools/run-tests.sh            all builds: debug, address+undefined, thread, then fuzz
#   tools/run-tests.sh debug      one build only (debug, asan, tsan or fuzz)
# VANTRA_FUZZ_SECONDS sets each fuzz target's run (default 20).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" = 0 ] && [ "${VANTRA_SKIP_INSTALL:-0}" != 1 ]; then
  tools/install-deps.sh
fi

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(debug asan tsan fuzz)
jobs=$(nproc)

export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1 second_deadlock_stack=1}

# The fuzz targets (clang, libFuzzer, address+undefined) from their seed corpora; new inputs
# go to build/fuzz/corpus, findings (crash-*, leak-*, timeout-*) to build/fuzz/findings.
fuzz() {
  echo "=== fuzz: configure and build"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "$jobs"
  local ok=0
  mkdir -p build/fuzz/findings
  for target in decoder hive sysfs; do
    echo "=== fuzz: $target for ${VANTRA_FUZZ_SECONDS:-20} s"
    mkdir -p "build/fuzz/corpus/$target"
    local log="build/fuzz/$target.log"
    if build/fuzz/test-bin/vantra_fuzz_$target -max_total_time="${VANTRA_FUZZ_SECONDS:-20}" \
      -print_final_stats=1 -artifact_prefix="build/fuzz/findings/$target-" \
      "build/fuzz/corpus/$target" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
      grep -E '^(Done|stat::number_of_executed_units)' "$log" || true
    else
      tail -n 60 "$log"
      ok=1
    fi
  done
  return $ok
}

status=0
for preset in "${presets[@]}"; do
  if [ "$preset" = fuzz ]; then
    fuzz || status=1
    continue
  fi
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset: tests"
  # Most tests wait on a line or a board's pause, so the cores sit half idle: one test more
  # than cores. Not under the thread sanitizer, whose slowdown leaves the timing-bound tests no
  # room for it.
  test_jobs=$jobs
  [ "$preset" = tsan ] || test_jobs=$((jobs + 1))
  if ! ctest --preset "$preset" -j "$test_jobs" --timeout 300; then
    status=1
  fi
done
exit $status
