#!/usr/bin/env bash
# The same call script through both hosts: a MATLAB module with the stand-in
# host, and the Octave module in Octave. Banner, command matching, refusals
# of bad input, close and frames while Closed must give the same results and
# the same console text, line for line.
#   like_octave.sh windows WIN_BUILD PREFIX OCTAVE_MEX_DIR CALLS
#   like_octave.sh linux STANDIN_HOST MODULE OCTAVE_MEX_DIR CALLS
set -euo pipefail
source "$(dirname "$0")/platform.sh"
use_platform "$1" "$2" "$3"
octave_mex_dir=$(readlink -f "$4")
calls=$(readlink -f "$5")

work=$(mktemp -d "${TMPDIR:-/tmp}/velocart-standin-XXXXXX")
trap 'rm -rf "$work"' EXIT
transcript=$work/$platform.txt

status=0
run_host "$calls" >"$transcript" 2>"$work/host.err" || status=$?
[ "$status" -eq 0 ] || fail "the stand-in host exited with $status: $(tail -n 5 "$work/host.err" | tr '\n' '|')"
expect_no_faults

status=0
(cd "$work" && timeout -k 5 120 octave-cli --no-gui --norc --quiet --no-window-system \
  --eval "addpath('$octave_mex_dir'); addpath('$standin_tests'); standin_script('$calls');" \
  </dev/null >"$work/octave.txt" 2>"$work/octave.err") || status=$?
[ "$status" -eq 0 ] || fail "Octave exited with $status: $(tail -n 5 "$work/octave.err" | tr '\n' '|')"

# Wall times differ between hosts and are compared only as a bound.
comparable() {
  grep -Ev '^@[^ ]+ (took|note) ' "$1"
}
if ! diff -u <(comparable "$work/octave.txt") <(comparable "$transcript") >"$work/diff.txt"; then
  fail "the $platform module under the stand-in host differs from Octave (- Octave, + $platform):"
  cat "$work/diff.txt"
fi
calls_made=$(grep -c '^@[^ ]* took ' "$transcript" || true)
[ "$calls_made" -ge 40 ] || fail "only $calls_made calls were made"
[ "$(took_of @frame-closed)" -ge 9 ] || fail "a frame while Closed took $(took_of @frame-closed) ms, not at least 9"
echo "$calls_made calls gave the same results and console text on both hosts"
finish
