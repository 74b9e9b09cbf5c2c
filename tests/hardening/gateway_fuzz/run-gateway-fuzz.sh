#!/usr/bin/env bash
# The gateway fuzz in a real Octave against a pty peer.
#   run-gateway-fuzz.sh MEX_DIR PTY_PEER CALLS [SEED]
# CALLS is a number, or "full" for the long run of `make fuzz` (20000).
# SEED defaults to a new one each run; it is printed, so a failure can be
# replayed with the same calls.
set -euo pipefail
mex_dir=$(cd "$1" && pwd)
peer=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
calls=$3
seed=${4:-$(( $(date +%s) % 100000 ))}
[ "$calls" = full ] && calls=20000
here=$(cd "$(dirname "$0")" && pwd)

work=$(mktemp -d /tmp/velocart-gateway-fuzz-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
# The module's console lines (banners, refusals) go to a log; the verdict
# is printed at the end.
set +e
timeout 1200 octave-cli --no-gui --norc --quiet --no-window-system --eval \
  "addpath('$mex_dir'); addpath('$here');
   ok = gateway_fuzz($calls, $seed, '$peer', '$work');
   exit(~ok);" > "$work/octave.log" 2>&1
status=$?
set -e
grep '^gateway fuzz' "$work/octave.log" || true
if [ $status -ne 0 ]; then
  if ! grep -q '^gateway fuzz: FAIL' "$work/octave.log"; then
    echo "gateway fuzz: Octave stopped (status $status); last lines:" >&2
    tail -n 30 "$work/octave.log" >&2
  fi
  exit 1
fi
