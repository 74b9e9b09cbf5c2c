#!/usr/bin/env bash
# VelocartRobot in octave-cli against simulated robots on the paced wire:
# one to move, two more for several robots at once, one that falls silent;
# then the examples, Ctrl-C during a move, and a recording of a
# robot that streams.
#   run_robot_test.sh MEX_FILE SIM_EXECUTABLE
set -euo pipefail
mex=$1
sim=$2
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
source "$root/tests/support/simulators.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/velocart-robot-XXXXXX")
trap 'stop_sims; rm -rf "$work"' EXIT
start_sim main --wire
start_sim second --wire
start_sim third --wire
start_sim silent --wire --fault-silent-after 5

# A second copy of the module under another name drives the second robot.
mkdir "$work/copies"
cp "$mex" "$work/copies/RobotB.mex"

cd "$work"
VELOCART_ROBOT_DIR=$work timeout 300 octave-cli --no-gui --norc --quiet --no-window-system \
  --eval "addpath('$here'); addpath('$root/matlab'); addpath('$work/copies');
          addpath('$(dirname "$mex")');
          velocart_robot_test" 2>&1

# The examples one after another in one session: each writes its own plot
# (a PNG file), whatever the one before left in the workspace.
start_sim recorded --wire
timeout 300 octave-cli --no-gui --norc --quiet --no-window-system \
  --eval "addpath('$root/matlab'); addpath('$(dirname "$mex")'); port = '$work/recorded';
          pngFolder = '$work'; run('$root/examples/figure_eight.m');
          run('$root/examples/square.m'); run('$root/examples/record_square.m');
          run('$root/examples/live_plot.m');" 2>&1
[ "$(head -n 1 "$work/live_plot.csv")" = time,sent,code,x,y,heading,v,w,aux1,aux2 ] ||
  { echo "FAIL: examples/live_plot.m wrote no log"; exit 1; }
for example in figure_eight square record_square live_plot; do
  [ "$(head -c 8 "$work/$example.png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] ||
    { echo "FAIL: examples/$example.m wrote no PNG of its own"; exit 1; }
done

# Ctrl-C in a script stops the robot while the session, and the object in
# its workspace, live on (--persist; at exit delete would stop it anyway),
# within 0.5 s of the last command: during travel (the object stops it), and
# in a loop of drive, pause and m-code, where the module's watchdog, on by
# default, stops it. The session's commands come from a pipe held open.
mkfifo "$work/commands"
case=0
for script in "travel(r, 2, 0.2);" \
    "while true, drive(r, 0.2, 0); pause(0.01); x = sum(cumsum(rand(1, 2e5))); end"; do
  case=$((case + 1))
  start_sim interrupted$case --wire
  printf "addpath('%s', '%s');\nr = VelocartRobot('%s');\n%s\n" \
    "$(dirname "$mex")" "$root/matlab" "$work/interrupted$case" "$script" >"$work/interrupted.m"
  octave-cli --no-gui --norc --quiet --no-window-system --persist interrupted.m \
    <"$work/commands" >"$work/interrupted.out" 2>&1 &
  session=$!
  exec 3>"$work/commands"
  for _ in $(seq 600); do [ "$(told interrupted$case)" = drive ] && break; sleep 0.05; done
  sleep 0.5
  kill -INT $session
  for _ in $(seq 100); do [[ "$(told interrupted$case)" == stop* ]] && break; sleep 0.05; done
  result=$(told interrupted$case)
  if [[ $result != stop* ]] || [ "${result#stop }" -gt 500 ]; then
    echo "FAIL: Ctrl-C in '$script' left the robot driving: $result"
    show_sim_logs interrupted$case
    cat "$work/interrupted.out"
    exit 1
  fi
  exec 3>&-
  wait $session || true
  stop_sims
  echo "Ctrl-C in '$script' stopped the robot ${result#stop } ms after its last command"
done

# The recording case runs last, in a session of its own, with a robot that
# streams at the line's rate started for it alone: left streaming unread
# through the rest, beside Wine in other tests, it held up the other
# simulators' ptys past their replies' 0.1 s.
start_sim streaming --wire --stream 380
VELOCART_ROBOT_DIR=$work timeout 120 octave-cli --no-gui --norc --quiet --no-window-system \
  --eval "addpath('$here'); addpath('$root/matlab'); addpath('$(dirname "$mex")');
          part = 'recording'; velocart_robot_test" 2>&1
