#!/usr/bin/env bash
# VelocartRobot in octave-cli against simulated robots on the paced wire:
# one to move, one for a second module copy, one that falls silent.
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
start_sim silent --wire --fault-silent-after 5

# A second copy of the module under another name drives the second robot.
mkdir "$work/copies"
cp "$mex" "$work/copies/RobotB.mex"

cd "$work"
VELOCART_ROBOT_DIR=$work timeout 300 octave-cli --no-gui --norc --quiet --no-window-system \
  --eval "addpath('$here'); addpath('$root/matlab'); addpath('$work/copies');
          addpath('$(dirname "$mex")');
          velocart_robot_test" 2>&1
