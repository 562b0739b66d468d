#!/usr/bin/env bash
# The benchmark command: builds the release programs and prints the six speed figures, each
# beside its bound. Figures, not pass/fail: docs/performance.md explains each.
#   tools/bench.sh [--no-build]
# Needs Xvfb, openbox, xdotool and GNU time (tools/install-deps.sh installs them).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/build/release/bin
bench_bin=$root/build/release/bench-bin
test_bin=$root/build/release/test-bin
do_build=1
case "${1:-}" in
  --no-build) do_build=0 ;;
  '') ;;
  *) echo "usage: tools/bench.sh [--no-build]" >&2; exit 2 ;;
esac

say() { echo "bench: $*" >&2; }
fail() { echo "bench: FAILED: $*" >&2; exit 1; }

if [ "$do_build" = 1 ]; then
  say "building the release programs in build/release"
  (cd "$root" && cmake --preset release >/dev/null &&
    cmake --build --preset release -j2 --target vantra vantra-boardsim vantra_serial_bench \
      vantra_bare_window vantra_app_probe >/dev/null)
fi
for tool in Xvfb openbox xdotool xprop /usr/bin/time; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (tools/install-deps.sh installs it)"
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vantra-bench.XXXXXX")
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT

now_ns() { date +%s%N; }

# Starts the simulated board at baud $1 with a hive in $2, its trace in $2.trace; waits until it
# names its port.
start_board() {
  "$bin/vantra-boardsim" --baud "$1" --registry "$2" --trace >"$2.out" 2>"$2.trace" &
  pids+=($!)
  for ((i = 0; i < 100; i++)); do
    [ -s "$2" ] && return 0
    sleep 0.1
  done
  fail "the simulated board did not start"
}

# Milliseconds from starting "$@" until a visible window named $title exists, into $window_ms;
# the program is left running, its pid in $started_pid. Polled every few milliseconds.
title=""
started_pid=""
window_ms=""
time_to_window() {
  local t0 id=""
  t0=$(now_ns)
  "$@" >/dev/null 2>&1 &
  started_pid=$!
  pids+=("$started_pid")
  while [ -z "$id" ]; do
    kill -0 "$started_pid" 2>/dev/null || fail "$1 ended before showing its window"
    id=$(xdotool search --onlyvisible --name "$title" 2>/dev/null | head -n 1 || true)
  done
  window_ms=$((($(now_ns) - t0) / 1000000))
}

# CPU nanoseconds and context switches (each one a wake-up or a preemption) of every thread.
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { print s + 0 }'; }
switches() {
  cat /proc/"$1"/task/*/status 2>/dev/null |
    awk '/^(non)?voluntary_ctxt_switches/ { s += $2 } END { print s + 0 }'
}

# --- Figures 1, 2 and 6: the wire --------------------------------------------------------------
say "figures 1, 2, 6: the wire against vantra-boardsim (about 30 s)"
"$bench_bin/vantra_serial_bench" >"$tmp/wire.txt" 2>"$tmp/wire.log" ||
  fail "vantra_serial_bench: $(cat "$tmp/wire.txt" "$tmp/wire.log")"

# --- A display for figures 3 to 5 --------------------------------------------------------------
for ((n = 90; n < 190; n++)); do
  [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
  Xvfb ":$n" -screen 0 640x480x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  for ((i = 0; i < 100; i++)); do
    [ -e "/tmp/.X11-unix/X$n" ] && break
    sleep 0.1
  done
  kill -0 "$xvfb" 2>/dev/null && [ -e "/tmp/.X11-unix/X$n" ] && { pids+=("$xvfb"); break; }
  xvfb=""
done
[ -n "${xvfb:-}" ] || fail "no virtual X server could be started"
export DISPLAY=:$n QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY
openbox --sm-disable >/dev/null 2>&1 &
pids+=($!)
for ((i = 0; i < 50; i++)); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  sleep 0.1
done

# --- Figure 3: start-up ------------------------------------------------------------------------
say "figure 3: start-up (about 10 s)"
title=vantra-bare-window
time_to_window "$bench_bin/vantra_bare_window"
bare_ms=$window_ms
kill "$started_pid"
start_board 38400 "$tmp/startup.reg"
title='^Vantra'
export VANTRA_REGISTRY=$tmp/startup.reg
time_to_window "$bin/vantra"
unset VANTRA_REGISTRY
app_ms=$window_ms
app=$started_pid

# --- Figure 4: idle ----------------------------------------------------------------------------
say "figure 4: the running program idle for 10 s"
sleep 2  # the start-up's exchange is over by now; the board stays idle
cpu0=$(cpu_ns "$app")
sw0=$(switches "$app")
t0=$(now_ns)
sleep 10
cpu1=$(cpu_ns "$app")
sw1=$(switches "$app")
t1=$(now_ns)
kill "$app"

# --- Figure 5, and figure 1 through the window: a full transfer in the application -------------
say "figure 5: peak memory through a full transfer at 38400 baud (about 30 s)"
start_board 38400 "$tmp/transfer.reg"
VANTRA_REGISTRY=$tmp/transfer.reg /usr/bin/time -f '%M' -o "$tmp/rss.txt" \
  "$test_bin/vantra_app_probe" transfer >"$tmp/probe.txt" 2>/dev/null || true
grep -q '^probe round1-outcome Transfer Complete\.' "$tmp/probe.txt" ||
  fail "the transfer for figure 5 did not complete: $(cat "$tmp/probe.txt")"

# --- The figures -------------------------------------------------------------------------------
echo "Vantra figures, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(uname -sr)"
sed -n '1p' "$tmp/wire.txt"
# The board's trace stamps each block frame in milliseconds: first to last is 535 block times.
awk '/ frame FB / { if (!n++) first = $2; last = $2 }
  END { s = (last - first) / 1000; b = (n - 1) * 144 * 10 / 38400
        printf "   the same through the application window (LOAD pressed in vantra_app_probe): " \
          "%.2f s for the %d gaps from first to last block; wire bound %.2f s; ratio %.3f\n",
          s, n - 1, b, s / b }' "$tmp/transfer.reg.trace"
sed -n '2p' "$tmp/wire.txt"
echo "3. start-up to the window shown, less the 8000 ms of designed pauses: $((app_ms - 8000)) ms;" \
  "a bare Qt window on the same display: $bare_ms ms"
awk -v c=$((cpu1 - cpu0)) -v s=$((sw1 - sw0)) -v t=$((t1 - t0)) 'BEGIN {
  printf "4. idle, board quiet, over %.1f s: %.3f %% of one core, %.1f wake-ups a second; bound 0\n",
    t / 1e9, 100 * c / t, s / (t / 1e9) }'
echo "5. peak resident memory through a full transfer (the application with its test observers):" \
  "$(($(cat "$tmp/rss.txt") / 1024)) MB"
sed -n '3p' "$tmp/wire.txt"
