#!/usr/bin/env bash
# The benchmark command: builds the release programs and prints the seven speed figures, each
# beside its bound, and the floor with the three ratios of the whole image to the wire bound.
# Figures, not pass/fail: docs/performance.md explains each.
#   tools/bench.sh [--no-build] [--ratios] [--rounds N]
#   tools/bench.sh [--no-build] --station
# --ratios: only the floor and the three ratios; --rounds: transfers of each host (3); --station:
# only the production station's two figures (8 and 9, about 8 minutes, no display needed). Needs
# Xvfb, openbox, xdotool and GNU time (tools/install-deps.sh installs them).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/build/release/bin
bench_bin=$root/build/release/bench-bin
test_bin=$root/build/release/test-bin
do_build=1
only_ratios=0
only_station=0
rounds=3
while [ $# -gt 0 ]; do
  case "$1" in
    --no-build) do_build=0 ;;
    --ratios) only_ratios=1 ;;
    --station) only_station=1 ;;
    --rounds) rounds=${2:-}; shift ;;
    *) rounds=x ;;
  esac
  shift
done
[[ "$rounds" =~ ^[1-9][0-9]*$ ]] ||
  { echo "usage: tools/bench.sh [--no-build] [--ratios | --station] [--rounds N]" >&2; exit 2; }

say() { echo "bench: $*" >&2; }
fail() { echo "bench: FAILED: $*" >&2; exit 1; }

if [ "$do_build" = 1 ]; then
  say "building the release programs in build/release"
  (cd "$root" && cmake --preset release >/dev/null &&
    cmake --build --preset release -j2 --target vantra vantra-flash vantra-boardsim \
      vantra_serial_bench vantra_floor_host vantra_bare_window vantra_app_probe >/dev/null)
fi
# --- Figures 8 and 9: the production station ---------------------------------------------------
if [ "$only_station" = 1 ]; then
  tmp=$(mktemp -d "${TMPDIR:-/tmp}/vantra-bench.XXXXXX")
  pids=()
  trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$tmp"' EXIT
  image=$root/build/release/firmware/firmware-144.bin
  load() { cut -d ' ' -f 1 /proc/loadavg; }
  # Starts a simulated board with "$@", its port in $port.
  board() {
    local out=$tmp/sim.$RANDOM
    "$bin/vantra-boardsim" "$@" >"$out" 2>/dev/null &
    pids+=($!)
    port=""
    for ((i = 0; i < 100; i++)); do
      port=$(head -n 1 "$out" 2>/dev/null || true)
      [ -n "$port" ] && return 0
      sleep 0.1
    done
    fail "the simulated board did not start"
  }
  # Runs a station on the ports given until $1 verdicts, then Ctrl-C; events in $tmp/events.
  station() {
    local want=$1
    shift
    "$bin/vantra-flash" --station --yes --json "$@" >"$tmp/events" 2>"$tmp/station.err" &
    local pid=$!
    pids+=("$pid")
    while [ "$(grep -c '"event":"verdict"' "$tmp/events" 2>/dev/null || true)" -lt "$want" ]; do
      kill -0 "$pid" 2>/dev/null || fail "the station ended: $(cat "$tmp/station.err")"
      sleep 0.5
    done
    station_pid=$pid
  }
  stop_station() {
    kill -INT "$station_pid"
    wait "$station_pid" 2>/dev/null || true
  }
  # Each board's transfer in seconds, from its outcome event's port and elapsed against its
  # transfer event's: "port seconds" a line.
  transfers() {
    awk -F'"' '{ for (i = 2; i < NF; i += 2) v[$i] = $(i + 2); e = v["event"]
      match($0, /"elapsed":[0-9.]+/); t = substr($0, RSTART + 10, RLENGTH - 10)
      if (e == "transfer") s[v["port"]] = t
      if (e == "outcome") printf "%s %.2f\n", v["port"], t - s[v["port"]] }' "$tmp/events"
  }
  median() { sort -n | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

  say "figure 8: ten boards in turn on one cable at 38400 baud (about 4 minutes, load $(load))"
  board --boards 10 --expect "$image"
  sim_port=$port
  station 10 --port "$sim_port"
  stop_station
  kill -INT "${pids[0]}" 2>/dev/null || true
  wait "${pids[0]}" 2>/dev/null || true
  ready=$(grep -o 'ready_ms=[0-9-]*' "$tmp"/sim.* | cut -d= -f2 | grep -v -- -1 | sort -n | tr '\n' ' ')
  ready_median=$(echo "$ready" | tr ' ' '\n' | grep . | median)

  say "figure 9: one board alone, then twelve sockets at once, 38400 baud (about 2 minutes)"
  board
  station 1 --port "$port"
  stop_station
  alone=$(transfers | awk '{ print $2 }')
  ports=()
  for ((n = 0; n < 12; n++)); do
    board
    ports+=(--port "$port")
  done
  station 12 "${ports[@]}"
  twelve=$(transfers | awk '{ print $2 }' | sort -n | tr '\n' ' ')
  # Then the station waits for its boards to leave: its own CPU over 10 s, and its sockets'.
  own() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
  tick=$(getconf CLK_TCK)
  kids=$(pgrep -P "$station_pid" | tr '\n' ' ')
  p0=$(own "$station_pid")
  c0=0; for k in $kids; do c0=$((c0 + $(own "$k"))); done
  sleep 10
  p1=$(own "$station_pid")
  c1=0; for k in $kids; do c1=$((c1 + $(own "$k"))); done
  stop_station

  echo "Vantra station figures, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(load)"
  echo "8. a new board's first block after its first answer, one cable, 10 boards at 38400 baud:" \
    "median ${ready_median} ms (each: ${ready}ms); bound 1500 ms"
  echo "9. twelve sockets at 38400 baud: each board's transfer ${twelve}s; one board alone" \
    "${alone} s; waiting, the station's own process" \
    "$(awk -v t="$((p1 - p0))" -v h="$tick" 'BEGIN { printf "%.2f", t / h / 10 * 100 }') % of one core," \
    "its 12 sockets together" \
    "$(awk -v t="$((c1 - c0))" -v h="$tick" 'BEGIN { printf "%.2f", t / h / 10 * 100 }') %; bound 5 %"
  exit 0
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

load() { cut -d ' ' -f 1 /proc/loadavg; }

# --- Figures 1, 2, 6 and 7: the wire --------------------------------------------------------------
if [ "$only_ratios" = 0 ]; then
  say "figures 1, 2, 6, 7: the wire against vantra-boardsim (about 40 s, load $(load))"
  "$bench_bin/vantra_serial_bench" >"$tmp/wire.txt" 2>"$tmp/wire.log" ||
    fail "vantra_serial_bench: $(cat "$tmp/wire.txt" "$tmp/wire.log")"
fi

# --- A display for the window and figures 3 to 5 --------------------------------------------------------------
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

# --- The floor and the three ratios; figure 5 -------------------------------------------------
# One host against a fresh board at 38400 baud: $1 is floor, window or flash, $2 the round. The
# board's trace stamps each block frame as it arrives whole (in ms): first to last is the 535
# block gaps, on one clock for every host. The seconds go to $kind.s, the load to $kind.load.
# The board also traces each turnaround (us from its acknowledgement written to the host's next
# bytes): the host's own time a block, free of the board's paced sleeps. Their median, to $kind.t,
# is the usual block; their mean below 2.5 ms, to $kind.u, adds work done only now and then (the
# bar's repaint) but leaves out the kernel's late wake-ups (a tick, 4 ms, or two, on this VM),
# which land on any host at random and move the totals from round to round.
ratio_run() {
  local kind=$1 reg=$tmp/ratio-$1-$2.reg board port ok=0
  echo "$(load)" >>"$tmp/$kind.load"
  start_board 38400 "$reg"
  board=${pids[-1]}
  port=$(head -n 1 "$reg.out")
  case $kind in
    floor)
      "$bench_bin/vantra_floor_host" "$port" >"$reg.host" 2>&1 && ok=1 ;;
    window)
      # The first round also gives figure 5: the peak memory through a full transfer.
      local timed=()
      [ "$2" = 1 ] && timed=(/usr/bin/time -f '%M' -o "$tmp/rss.txt")
      VANTRA_REGISTRY=$reg "${timed[@]}" "$test_bin/vantra_app_probe" transfer >"$reg.host" \
        2>/dev/null || true
      grep -q '^probe round1-outcome Transfer Complete\.' "$reg.host" && ok=1 ;;
    flash)
      "$bin/vantra-flash" --port "$port" --yes >"$reg.host" 2>&1 && ok=1 ;;
  esac
  kill "$board" 2>/dev/null || true
  wait "$board" 2>/dev/null || true
  [ "$ok" = 1 ] || fail "the $kind transfer did not complete: $(cat "$reg.host")"
  awk '/ frame FB / { if (!n++) first = $2; last = $2 }
    END { if (n != 536) exit 1; printf "%.3f\n", (last - first) / 1000 }' "$reg.trace" \
    >>"$tmp/$kind.s" || fail "the $kind transfer's trace does not hold 536 blocks"
  # A turnaround counts when a block's acknowledgement came before it and a block follows it.
  awk '$3 == "frame" { if ($4 == "FB" && held != "") print held; held = ""; fb = $4 == "FB" }
    $3 == "turnaround" { held = fb ? $4 : "" }' "$reg.trace" | sort -n |
    awk -v u="$tmp/$kind.u" '{ v[NR] = $1; if ($1 < 2500) { sum += $1; ++n } }
      END { if (NR != 535) exit 1; print v[268]; printf "%.1f\n", sum / n >>u }' >>"$tmp/$kind.t" ||
    fail "the $kind transfer's trace does not hold 535 turnarounds"
}

say "the floor and the three ratios: $rounds rounds of the floor, the window and vantra-flash" \
  "(about $((rounds * 75 / 60)) minutes, load $(load))"
for ((round = 1; round <= rounds; round++)); do
  for kind in floor window flash; do ratio_run "$kind" "$round"; done
done

# --- Figure 3: start-up ------------------------------------------------------------------------
if [ "$only_ratios" = 0 ]; then
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

  # --- Figure 4: idle --------------------------------------------------------------------------
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
fi

# --- The figures -------------------------------------------------------------------------------
echo "Vantra figures, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(uname -sr)," \
  "load $(load) at the end"
[ "$only_ratios" = 0 ] && sed -n '1p' "$tmp/wire.txt"
# Each host's median of its three rounds against the wire bound of the 535 gaps (138-byte block
# frame and 6-byte acknowledgement at 10 bits a byte), and its excess over the floor's median.
bound_s=$(awk 'BEGIN { printf "%.4f", 535 * 144 * 10 / 38400 }')
median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio_line() {
  local m t u
  m=$(median "$tmp/$1.s")
  t=$(median "$tmp/$1.t")
  u=$(median "$tmp/$1.u")
  awk -v what="$2" -v m="$m" -v t="$t" -v u="$u" -v floor="${3:-}" -v floor_t="${4:-}" \
    -v floor_u="${5:-}" -v bound="$bound_s" \
    -v rounds="$(tr '\n' ' ' <"$tmp/$1.s")" -v loads="$(tr '\n' ' ' <"$tmp/$1.load")" \
    -v turnarounds="$(tr '\n' ' ' <"$tmp/$1.t")" 'BEGIN {
      n = split(rounds, s, " ")
      printf "   %s: %.2f s, ratio %.3f (rounds", what, m, m / bound
      for (i = 1; i <= n; ++i) printf " %.3f", s[i] / bound
      printf " at load %s)", substr(loads, 1, length(loads) - 1)
      if (floor != "") printf ", %+.2f ms a block over the floor", (m - floor) * 1000 / 535
      n = split(turnarounds, s, " ")
      printf "; turnaround %.3f ms a block (rounds", t / 1000
      for (i = 1; i <= n; ++i) printf " %.3f", s[i] / 1000
      printf ")"
      if (floor_t != "") printf ", %+.3f over the floor", (t - floor_t) / 1000
      printf "; mean below 2.5 ms %.3f", u / 1000
      if (floor_u != "") printf ", %+.3f over the floor", (u - floor_u) / 1000
      printf "\n"
    }'
}
echo "   the image's 535 block gaps at 38400 baud, first to last block on the board's clock, median of" \
  "$rounds rounds; wire bound $bound_s s; turnaround: the board's answer out to the host's next" \
  "block in, of the 535 the median and the mean below 2.5 ms, each the median of the rounds:"
ratio_line floor "the floor (vantra_floor_host: blocking write, blocking read to the end marker)"
floor=("$(median "$tmp/floor.s")" "$(median "$tmp/floor.t")" "$(median "$tmp/floor.u")")
ratio_line window "the window (vantra_app_probe, LOAD pressed)" "${floor[@]}"
ratio_line flash "vantra-flash --yes" "${floor[@]}"
[ "$only_ratios" = 1 ] && exit 0
sed -n '2p' "$tmp/wire.txt"
echo "3. start-up to the window shown, less the 8000 ms of designed pauses: $((app_ms - 8000)) ms;" \
  "a bare Qt window on the same display: $bare_ms ms"
awk -v c=$((cpu1 - cpu0)) -v s=$((sw1 - sw0)) -v t=$((t1 - t0)) 'BEGIN {
  printf "4. idle, board quiet, over %.1f s: %.3f %% of one core, %.1f wake-ups a second; bound 0\n",
    t / 1e9, 100 * c / t, s / (t / 1e9) }'
echo "5. peak resident memory through a full transfer (the application with its test observers):" \
  "$(($(cat "$tmp/rss.txt") / 1024)) MB"
sed -n '3,4p' "$tmp/wire.txt"
