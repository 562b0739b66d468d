#!/usr/bin/env bash
# The run command: builds Vantra, starts the simulated board and runs the utility against it.
# With a display the window opens for you; without one it runs under Xvfb, presses LOAD itself
# and leaves four screenshots. See README.md, "The two commands".
set -euo pipefail

usage() {
  cat <<'EOF'
usage: tools/demo.sh [options]
  --build-dir DIR   build folder to use (default: build)
  --no-build        use the programs already in DIR/bin: no install, no build
  --out DIR         folder for the screenshots (default: artifacts/demo; or VANTRA_DEMO_OUT)
  --baud N          the simulated board's line speed, 0 = full speed
                    (default 38400, the real line speed; or VANTRA_DEMO_BAUD)
  --headless        run under Xvfb even when a display is available
Environment: VANTRA_SKIP_INSTALL=1 skips installing packages when run as root.
EOF
}

root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$root/build
do_build=1
out_dir=${VANTRA_DEMO_OUT:-$root/artifacts/demo}
baud=${VANTRA_DEMO_BAUD:-38400}
headless=0
[ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && headless=1

while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir=${2:?--build-dir needs a folder}; shift 2 ;;
    --no-build) do_build=0; shift ;;
    --out) out_dir=${2:?--out needs a folder}; shift 2 ;;
    --baud) baud=${2:?--baud needs a number}; shift 2 ;;
    --headless) headless=1; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "demo: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
done
case "$baud" in ''|*[!0-9]*) echo "demo: --baud wants a number, not '$baud'" >&2; exit 2 ;; esac
build_dir=$(mkdir -p "$build_dir" && cd "$build_dir" && pwd)

say() { echo "demo: $*"; }
fail() { echo "demo: FAILED: $*" >&2; exit 1; }

# --- Install and build ---------------------------------------------------------------------
if [ "$do_build" = 1 ]; then
  if [ "$(id -u)" = 0 ] && [ "${VANTRA_SKIP_INSTALL:-0}" != 1 ]; then
    say "installing packages (tools/install-deps.sh)"
    "$root/tools/install-deps.sh" >/dev/null
  fi
  say "building in $build_dir"
  # The programs only: no test or benchmark libraries are needed to run them.
  cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DVANTRA_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build_dir" -j "$(nproc)" --target vantra vantra-boardsim >/dev/null
fi

vantra=$build_dir/bin/vantra
boardsim=$build_dir/bin/vantra-boardsim
firmware=$build_dir/firmware/firmware-144.bin
for f in "$vantra" "$boardsim" "$firmware"; do
  [ -e "$f" ] || fail "$f is missing; build first or drop --no-build"
done

# --- Cleanup on every way out ------------------------------------------------------------------
tmp=$(mktemp -d "${TMPDIR:-/tmp}/vantra-demo.XXXXXX")
sim_pid=""
app_pid=""
xvfb_pid=""
wm_pid=""

# Waits up to $2 tenths of a second for process $1 to end.
wait_gone() {
  local i
  for ((i = 0; i < $2; i++)); do
    kill -0 "$1" 2>/dev/null || return 0
    sleep 0.1
  done
  return 1
}

stop_pid() {  # pid signal tenths: signal, wait, then kill for good
  [ -n "$1" ] || return 0
  kill "-$2" "$1" 2>/dev/null || true
  wait_gone "$1" "$3" || kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

cleanup() {
  stop_pid "$app_pid" TERM 50
  stop_pid "$sim_pid" INT 50
  stop_pid "$wm_pid" TERM 50
  stop_pid "$xvfb_pid" TERM 50
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Stops the simulator and prints its one-line summary; true when the image arrived intact.
finish_board() {
  stop_pid "$sim_pid" INT 100
  sim_pid=""
  local summary
  summary=$(grep '^boardsim:' "$tmp/sim.out" | tail -n 1 || true)
  [ -n "$summary" ] || summary="boardsim: (no summary; see the trace below)"
  echo "$summary"
  case " $summary " in *" expect=match "*) return 0 ;; esac
  return 1
}

# --- The simulated board -----------------------------------------------------------------------
speed="$baud baud"
[ "$baud" = 0 ] && speed="full speed"
say "starting the simulated board ($speed)"
"$boardsim" --baud "$baud" --expect "$firmware" --trace \
  >"$tmp/sim.out" 2>"$tmp/sim.trace" &
sim_pid=$!
for ((i = 0; i < 100; i++)); do
  [ -s "$tmp/sim.out" ] && break
  kill -0 "$sim_pid" 2>/dev/null || fail "the simulator ended at once: $(cat "$tmp/sim.trace")"
  sleep 0.1
done
[ -s "$tmp/sim.out" ] || fail "the simulator did not report its port within 10 s"
board_port=$(head -n 1 "$tmp/sim.out")
say "board on $board_port"

# --- With a display: the person drives ---------------------------------------------------------
if [ "$headless" = 0 ]; then
  say "opening the window: press LOAD, wait for \"Transfer Complete.\", then close the window"
  "$vantra" --port "$board_port" || say "vantra exited with status $?"
  say "window closed; the board's summary:"
  finish_board
  exit $?
fi

# --- Without one: Xvfb, and the script presses the buttons ----------------------------------
for tool in Xvfb xdotool import convert identify; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (tools/install-deps.sh installs it)"
done
mkdir -p "$out_dir"
out_dir=$(cd "$out_dir" && pwd)
rm -f "$out_dir/warning.png" "$out_dir/progress.png" "$out_dir/outcome.png" "$out_dir/warning-2x.png"

# The server picks a free display itself and names it once it accepts connections, so two runs
# starting together cannot meet on one server. Room for the window at twice its size too.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$tmp/display" >"$tmp/xvfb.log" 2>&1 &
xvfb_pid=$!
for ((i = 0; i < 100; i++)); do
  grep -q '^[0-9][0-9]*$' "$tmp/display" 2>/dev/null && break  # written once it is ready
  kill -0 "$xvfb_pid" 2>/dev/null || break
  sleep 0.1
done
n=$(head -n 1 "$tmp/display" 2>/dev/null)
[ -n "$n" ] && kill -0 "$xvfb_pid" 2>/dev/null || fail "no virtual X server could be started"
export DISPLAY=:$n
unset WAYLAND_DISPLAY
say "virtual X server on $DISPLAY"

# A window manager, as on a desktop: it decorates and maps windows the usual way and carries
# out the minimise that ends the program.
if command -v openbox >/dev/null; then
  openbox --sm-disable >"$tmp/wm.log" 2>&1 &
  wm_pid=$!
  for ((i = 0; i < 50; i++)); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.1
  done
  say "window manager: openbox"
fi

QT_QPA_PLATFORM=xcb "$vantra" --port "$board_port" >"$tmp/vantra.log" 2>&1 &
app_pid=$!
started=$SECONDS

blocks_received() { grep -c ' frame FB ' "$tmp/sim.trace" || true; }
app_alive() { kill -0 "$app_pid" 2>/dev/null; }
# Fraction (0..1) of a screenshot's pixels that are the view's yellow text.
yellow_share() { convert "$1" -fuzz 25% -fill black +opaque yellow -fill white -opaque yellow -format '%[fx:mean]' info:; }
visible_windows() { xdotool search --onlyvisible --name . 2>/dev/null || true; }

# The start-up takes about 8 s: the port settles, then the board is asked for its version and
# serial number. The warning screen is ready once the serial query ($2-th since the board
# started) has gone out and the window shows its yellow text; it is then saved as $1.
main_win=""
await_warning() {
  local begun=$SECONDS
  main_win=""
  while :; do
    app_alive || fail "vantra ended during start-up: $(tail -n 5 "$tmp/vantra.log")"
    [ $((SECONDS - begun)) -lt 60 ] || fail "no warning screen within 60 s"
    sleep 0.5
    [ -n "$main_win" ] || main_win=$(xdotool search --onlyvisible --name 'Vantra' 2>/dev/null | head -n 1 || true)
    [ -n "$main_win" ] || continue
    [ "$(grep -c ' frame 02 ' "$tmp/sim.trace" || true)" -ge "$2" ] || continue
    import -window "$main_win" "$tmp/shot.png" 2>/dev/null || continue
    awk -v s="$(yellow_share "$tmp/shot.png")" 'BEGIN { exit !(s > 0.01) }' || continue
    break
  done
  sleep 0.5  # one more paint settles; then the picture is taken for keeps
  import -window "$main_win" "$1" || fail "could not take the warning screen's picture"
}

# Closes the window as a person would and waits for the program to end.
close_app() {
  xdotool windowminimize "$main_win" 2>/dev/null || true
  if wait_gone "$app_pid" 30; then
    say "minimised: vantra closed the port and ended"
  else
    say "the window was not minimised; closing vantra with Ctrl+Q"
    xdotool mousemove --window "$main_win" 20 100 key ctrl+q 2>/dev/null || true
  fi
  if wait_gone "$app_pid" 150; then
    status=0
    wait "$app_pid" || status=$?
    app_pid=""
    say "vantra closed (status $status)"
  else
    fail "vantra did not end within 15 s of being closed"
  fi
}

say "waiting for the warning screen (the start-up takes about 8 s)"
await_warning "$out_dir/warning.png" 1
say "$(grep -m 1 'trying port' "$tmp/vantra.log" || echo 'vantra did not say which port it tried')"
say "warning screen up after $((SECONDS - started)) s: $out_dir/warning.png"

# Finds LOAD in the screenshot rather than trusting a fixed position: a column a quarter of the
# way across crosses, from the bottom up, the progress bar and then the button (both light grey
# or white on the black view).
read -r win_w win_h < <(identify -format '%w %h\n' "$out_dir/warning.png")
column=$((win_w / 4))
read -r load_top load_bottom < <(
  convert "$out_dir/warning.png" -crop "1x${win_h}+${column}+0" +repage -depth 8 txt:- |
    awk -F'[ ,:()]+' 'NR > 1 { y = $2; light[y] = ($3 > 150 && $4 > 150 && $5 > 150) }
      END {
        runs = 0; inrun = 0
        for (y = '"$win_h"' - 1; y >= 0; y--) {
          if (light[y] && !inrun) { inrun = 1; bottom = y; runs++ }
          if (!light[y] && inrun) { inrun = 0; if (runs == 2) { print y + 1, bottom; exit } }
        }
      }')
[ -n "${load_top:-}" ] || fail "could not find the LOAD button in $out_dir/warning.png"
click_x=$((win_w / 2))
click_y=$(((load_top + load_bottom) / 2))
say "pressing LOAD at ($click_x,$click_y) in the window"
xdotool mousemove --window "$main_win" "$click_x" "$click_y" click 1

# Part-way: a third of the 536 blocks acknowledged.
transfer_started=$SECONDS
while [ "$(blocks_received)" -lt 180 ]; do
  app_alive || fail "vantra ended during the transfer"
  [ $((SECONDS - transfer_started)) -lt 60 ] || fail "the transfer did not get going (blocks: $(blocks_received))"
  sleep 0.1
done
import -window "$main_win" "$out_dir/progress.png" || fail "could not take the progress bar's picture"
say "progress bar part-way ($(blocks_received) of 536 blocks): $out_dir/progress.png"

# The outcome box is a new top-level window.
box=""
while [ -z "$box" ]; do
  app_alive || fail "vantra ended before showing the outcome"
  [ $((SECONDS - transfer_started)) -lt 180 ] || fail "no outcome box within 180 s of pressing LOAD"
  sleep 0.3
  for w in $(visible_windows); do
    [ "$w" != "$main_win" ] && { box=$w; break; }
  done
done
sleep 0.2  # the verdict must be legible at once, not after a while
import -window "$box" "$out_dir/outcome.png" || fail "could not take the outcome box's picture"
say "outcome box \"$(xdotool getwindowname "$box" 2>/dev/null || true)\" after $((SECONDS - transfer_started)) s: $out_dir/outcome.png"

# OK is the box's default button and the box has the focus.
xdotool mousemove --window "$box" 5 5
xdotool key Return
for ((i = 0; i < 100; i++)); do
  visible_windows | grep -qx "$box" || break
  sleep 0.1
done
visible_windows | grep -qx "$box" && fail "the outcome box did not close on Return"
say "pressed OK"

# Minimising closes the port and ends the program (the window manager carries it out); without
# one, the program's own Exit key (Ctrl+Q) closes it instead.
close_app

# A high-density screen: the same warning screen at twice the size, against the same board.
QT_SCALE_FACTOR=2 QT_QPA_PLATFORM=xcb "$vantra" --port "$board_port" >"$tmp/vantra.log" 2>&1 &
app_pid=$!
say "again at QT_SCALE_FACTOR=2, waiting for the warning screen"
await_warning "$out_dir/warning-2x.png" 2
say "warning screen at twice the size: $out_dir/warning-2x.png"
close_app

say "the board's summary:"
if ! finish_board; then
  echo "demo: the board did not receive the image intact; its trace ends:" >&2
  tail -n 5 "$tmp/sim.trace" >&2
  exit 1
fi
for f in warning progress outcome warning-2x; do
  [ -s "$out_dir/$f.png" ] || fail "$out_dir/$f.png is missing"
done
say "done in $((SECONDS - started)) s; screenshots in $out_dir: warning.png progress.png outcome.png warning-2x.png"
