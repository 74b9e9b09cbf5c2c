#!/usr/bin/env bash
# VelocartRobot in octave-cli against simulated robots on the paced wire:
# one to move, one for a second module copy, one that falls silent.
#   run_robot_test.sh MEX_FILE SIM_EXECUTABLE
set -euo pipefail
mex=$1
sim=$2
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/velocart-robot-XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

declare -A args=(
  [main]="--wire"
  [second]="--wire"
  [silent]="--wire --fault-silent-after 5"
)
for name in "${!args[@]}"; do
  # shellcheck disable=SC2086
  "$sim" --link "$work/$name" --log "$work/$name.log" ${args[$name]} \
    > "$work/$name.out" 2> "$work/$name.err" &
  pids+=($!)
done
for name in "${!args[@]}"; do
  for _ in $(seq 100); do
    grep -q "^ready" "$work/$name.out" 2>/dev/null && break
    sleep 0.05
  done
  grep -q "^ready" "$work/$name.out" || { echo "velocart-sim ($name) did not start"; cat "$work/$name.err"; exit 1; }
done

# A second copy of the module under another name drives the second robot.
mkdir "$work/copies"
cp "$mex" "$work/copies/RobotB.mex"

cd "$work"
VELOCART_ROBOT_DIR=$work timeout 300 octave-cli --no-gui --norc --quiet --no-window-system \
  --eval "addpath('$here'); addpath('$root/matlab'); addpath('$work/copies');
          addpath('$(dirname "$mex")');
          velocart_robot_test" 2>&1
