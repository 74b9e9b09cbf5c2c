#!/usr/bin/env bash
# Two robots through two copies of the Octave module under different names
# (VelocartDriver.mex and RobotB.mex), each driving its own simulator at the
# same time; two_copies.m checks that each status comes from its own robot.
# Each copy keeps its own port only if the module's symbols are its own:
# it must export mexFunction alone.
#   test_two_copies.sh OCTAVE_MEX VELOCART_SIM
set -euo pipefail
mex=$(readlink -f "$1")
sim=$(readlink -f "$2")
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/simulators.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/velocart-copies-XXXXXX")
trap 'stop_sims; rm -rf "$work"' EXIT

exports=$(nm -D --defined-only "$mex" | awk '{ print $NF }')
if [ "$exports" != "mexFunction" ]; then
  echo "FAIL: $mex exports more than mexFunction: $(echo $exports | cut -c1-300)"
  exit 1
fi

mkdir "$work/modules"
cp "$mex" "$work/modules/VelocartDriver.mex"
cp "$mex" "$work/modules/RobotB.mex"
start_sim robot-a --stats "$work/robot-a.stats"
start_sim robot-b --stats "$work/robot-b.stats"

cd "$work"
VELOCART_ROBOT_A=$work/robot-a VELOCART_ROBOT_B=$work/robot-b \
  timeout -k 5 120 octave-cli --no-gui --norc --quiet --no-window-system \
  --eval "addpath('$work/modules'); source('$here/two_copies.m');" ||
  { show_sim_logs robot-a robot-b; exit 1; }

# Each robot was sent exactly what its copy sent.
for pair in a:1 b:3; do
  robot=${pair%%:*}
  grep -qx "frames_good ${pair#*:}" "$work/robot-$robot.stats" ||
    { echo "FAIL: robot $robot counters: $(tr '\n' ' ' <"$work/robot-$robot.stats")"; exit 1; }
done
echo "two copies drove two robots, each with its own port"
