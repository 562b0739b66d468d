#!/usr/bin/env bash
# The test command: installs what is needed (as root), builds, and runs every test in the
# normal build and under the sanitizers.
#   tools/run-tests.sh            all builds: debug, address+undefined, thread
#   tools/run-tests.sh debug      one build only (debug, asan or tsan)
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" = 0 ] && [ "${VANTRA_SKIP_INSTALL:-0}" != 1 ]; then
  tools/install-deps.sh
fi

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(debug asan tsan)
jobs=$(nproc)

export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp}

status=0
for preset in "${presets[@]}"; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset: tests"
  if ! ctest --preset "$preset" -j "$jobs" --timeout 300; then
    status=1
  fi
done
exit $status
