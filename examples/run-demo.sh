#!/usr/bin/env bash
# `make demo`: starts velocart-sim on the paced wire (bytes at 115200 baud,
# handed over in 1 ms chunks), runs examples/figure_eight.m in octave-cli
# against it and leaves its plot, figure_eight.png, in the repository root.
# The simulator is ended whatever happens.
#   run-demo.sh [BUILD_DIR]     (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
[[ $build == /* ]] || build=$root/$build
mex=$build/octave/VelocartDriver.mex
sim=$build/sim/velocart-sim

for file in "$mex" "$sim"; do
  if [ ! -x "$file" ] && [ ! -f "$file" ]; then
    echo "run-demo: $file is missing; build first (make native; the simulator needs VELOCART_TESTS=ON)" >&2
    exit 1
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/velocart-demo-XXXXXX")
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$sim" --link "$work/robot" --log "$work/sim.log" --wire > "$work/sim.out" 2> "$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do
  grep -q '^ready' "$work/sim.out" 2>/dev/null && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.05
done
if ! grep -q '^ready' "$work/sim.out" 2>/dev/null; then
  echo "run-demo: velocart-sim did not start" >&2
  cat "$work/sim.err" >&2
  exit 1
fi
echo "run-demo: simulated robot on $work/robot"

cd "$root"
status=0
# --no-history: at exit Octave saves the session's commands to
# ~/.local/share/octave/history, and on a fresh machine, where ~/.local/share
# does not exist yet, that fails and ends the demo with "error: ignoring const
# execution_exception& while preparing to exit". The demo has no history to keep.
# --foreground keeps Octave in the terminal's process group, so that Ctrl-C
# reaches it as well as the simulator: in a group of its own it would go on
# driving a dead line.
timeout --foreground 120 octave-cli --no-gui --norc --quiet --no-window-system --no-history \
  --eval "addpath('$build/octave'); port = '$work/robot'; pngFolder = '$root'; run('$root/examples/figure_eight.m');" \
  || status=$?

kill "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
sim_pid=
sed -n 's/^velocart-sim: stopped by signal [0-9]*; /run-demo: simulator counters: /p' "$work/sim.err"
if [ "$status" -ne 0 ]; then
  echo "run-demo: the demo failed (status $status)" >&2
fi
exit "$status"
