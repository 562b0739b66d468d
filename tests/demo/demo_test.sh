#!/usr/bin/env bash
# demo_test.sh SOURCE_DIR BUILD_DIR OUT_DIR CHECKER: runs the run command headless against an
# existing build, then checks its screenshots. Exit 77 (skipped) without Xvfb or xdotool.
set -euo pipefail
src=$1 build=$2 out=$3 checker=$4
for tool in Xvfb xdotool import convert; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool is not installed"
    exit 77
  fi
done
# At six times the real line speed, about 3.5 s for the transfer: the bar must still be seen
# moving while the transfer holds the program busy (at full speed the whole transfer is over
# before a screenshot can be taken), and the verdict must be legible the moment it is shown.
"$src/tools/demo.sh" --headless --no-build --build-dir "$build" --out "$out" --baud 230400
"$checker" "$out/warning.png" "$out/progress.png" "$out/outcome.png" "$out/warning-2x.png"
