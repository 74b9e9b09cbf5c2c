#!/usr/bin/env bash
# The same call script through both hosts: the Linux MATLAB module with the
# stand-in host, and the Octave module in Octave. Banner, command matching,
# refusals of bad input, close and frames while Closed must give the same
# results and the same console text, line for line.
#   test_like_octave.sh STANDIN_HOST MODULE OCTAVE_MEX_DIR CALLS
set -euo pipefail
host=$(readlink -f "$1")
module=$(readlink -f "$2")
octave_mex_dir=$(readlink -f "$3")
calls=$(readlink -f "$4")
windows_tests=$(cd "$(dirname "$0")/../windows" && pwd)
source "$windows_tests/transcript.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/velocart-linux-XXXXXX")
trap 'rm -rf "$work"' EXIT
transcript=$work/linux.txt

status=0
timeout -k 5 120 "$host" "$module" "$calls" </dev/null >"$transcript" 2>"$work/host.err" || status=$?
[ "$status" -eq 0 ] || fail "the stand-in host exited with $status: $(tail -n 5 "$work/host.err" | tr '\n' '|')"
expect_no_faults

status=0
(cd "$work" && timeout -k 5 120 octave-cli --no-gui --norc --quiet --no-window-system \
  --eval "addpath('$octave_mex_dir'); addpath('$windows_tests'); standin_script('$calls');" \
  </dev/null >"$work/octave.txt" 2>"$work/octave.err") || status=$?
[ "$status" -eq 0 ] || fail "Octave exited with $status: $(tail -n 5 "$work/octave.err" | tr '\n' '|')"

# Wall times differ between hosts and are compared only as a bound.
comparable() {
  grep -Ev '^@[^ ]+ (took|note) ' "$1"
}
if ! diff -u <(comparable "$work/octave.txt") <(comparable "$transcript") >"$work/diff.txt"; then
  fail "the Linux module under the stand-in host differs from Octave (- Octave, + Linux):"
  cat "$work/diff.txt"
fi
calls_made=$(grep -c '^@[^ ]* took ' "$transcript" || true)
[ "$calls_made" -ge 40 ] || fail "only $calls_made calls were made"
[ "$(took_of @frame-closed)" -ge 9 ] || fail "a frame while Closed took $(took_of @frame-closed) ms, not at least 9"
echo "$calls_made calls gave the same results and console text on both hosts"
finish
