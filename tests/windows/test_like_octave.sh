#!/usr/bin/env bash
# The same call script through both hosts: the Windows module under Wine
# with the stand-in host, and the Octave module in Octave. Banner, command
# matching, refusals of bad input, close and frames while Closed must give
# the same results and the same console text, line for line.
#   test_like_octave.sh WIN_BUILD PREFIX OCTAVE_MEX_DIR CALLS
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
win_build=$1
export WINE_PREFIX_DIR=$2
octave_mex_dir=$3
calls=$4
source "$here/wine_env.sh"
source "$here/transcript.sh"

host=$win_build/standin/standin-host.exe
module=$win_build/VelocartDriver.mexw64
prepare_wine_run "$host" "$module" "$octave_mex_dir/VelocartDriver.mex"

work=$(mktemp -d /tmp/velocart-wine-XXXXXX)
trap 'rm -rf "$work"' EXIT
transcript=$work/windows.txt

status=0
run_wine 120 "$host" "$(windows_path "$module")" "$(windows_path "$calls")" \
  >"$transcript" 2>"$work/wine.err" || status=$?
[ "$status" -eq 0 ] || fail "the stand-in host exited with $status: $(tail -n 5 "$work/wine.err" | tr '\n' '|')"
expect_no_faults

status=0
(cd "$work" && timeout -k 5 120 octave-cli --no-gui --norc --quiet --no-window-system \
  --eval "addpath('$octave_mex_dir'); addpath('$here'); standin_script('$calls');" \
  </dev/null >"$work/octave.txt" 2>"$work/octave.err") || status=$?
[ "$status" -eq 0 ] || fail "Octave exited with $status: $(tail -n 5 "$work/octave.err" | tr '\n' '|')"

# Wall times differ between hosts and are compared only as a bound.
comparable() {
  grep -Ev '^@[^ ]+ (took|note) ' "$1"
}
if ! diff -u <(comparable "$work/octave.txt") <(comparable "$transcript") >"$work/diff.txt"; then
  fail "the Windows module under the stand-in host differs from Octave (- Octave, + Windows):"
  cat "$work/diff.txt"
fi
calls_made=$(grep -c '^@[^ ]* took ' "$transcript" || true)
[ "$calls_made" -ge 40 ] || fail "only $calls_made calls were made"
[ "$(took_of @frame-closed)" -ge 9 ] || fail "a frame while Closed took $(took_of @frame-closed) ms, not at least 9"
echo "$calls_made calls gave the same results and console text on both hosts"
finish
