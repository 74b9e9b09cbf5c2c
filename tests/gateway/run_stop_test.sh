#!/usr/bin/env bash
# Types test_stopping.m into an interactive octave-cli, line by line as at
# the prompt, with three simulated robots: one that answers every command,
# one that answers none, and one whose line dies after its first reply. Ctrl-C there ends only the line it interrupts.
#   run_stop_test.sh MEX_DIR SIM_EXECUTABLE
set -euo pipefail
mex_dir=$(readlink -f "$1")
sim=$2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/simulators.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/velocart-stop-XXXXXX")
trap 'stop_sims; rm -rf "$work"' EXIT
start_sim robot
start_sim silent --fault-silent-after 0
start_sim hangup --fault-hangup-after 1

cd "$work"
status=0
{ echo "addpath('$mex_dir'); addpath('$here');"; cat "$here/test_stopping.m"; } |
  VELOCART_TEST_DIR=$work timeout -k 5 120 octave-cli --interactive --no-line-editing --quiet \
    --norc --no-window-system >"$work/console.txt" 2>&1 || status=$?
cat "$work/console.txt"
interrupted=$(grep -c '^\(octave:[0-9]*> \)*VelocartDriver: interrupted; the robot was told to stop\.$' \
  "$work/console.txt" || true)
[ "$interrupted" -eq 1 ] || { echo "FAIL: Ctrl-C was reported $interrupted times, not once"; exit 1; }
# At the prompt an error ends only its own line: any but Octave's own at
# exit is a failure.
errors=$(grep 'error: ' "$work/console.txt" | grep -vc 'error: ignoring const execution_exception' || true)
grep -q 'test_stopping: all checks passed' "$work/console.txt" && [ "$status" -eq 0 ] &&
  [ "$errors" -eq 0 ] ||
  { show_sim_logs robot silent; echo "FAIL: exit status $status, $errors errors"; exit 1; }
