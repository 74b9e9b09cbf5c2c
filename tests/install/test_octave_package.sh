#!/usr/bin/env bash
# Installs the Octave package with the README's Quick start command into a
# temporary prefix, with a temporary HOME and no way to the network, then
# drives a pty with the installed module in a fresh Octave
# (octave_package.m), and runs the README's Octave snippets from its text
# against the simulators they start.
#   test_octave_package.sh PACKAGE_TARBALL PTY_PEER
set -euo pipefail
tarball=$(readlink -f "$1")
peer=$(readlink -f "$2")
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
gateway_tests=$(cd "$here/../gateway" && pwd)
source "$root/scripts/readme-block.sh"
source "$root/tests/support/simulators.sh"

[ -f "$tarball" ] || { echo "FAIL: $tarball does not exist; run 'make package' first"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/velocart-pkg-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home"
export HOME=$work/home
# Any download attempt fails at once.
export http_proxy=http://127.0.0.1:9 https_proxy=http://127.0.0.1:9 no_proxy=
# octave CODE: in a fresh octave-cli, in $work (or in $from, if set).
octave() {
  (cd "${from:-$work}" && timeout -k 5 300 octave-cli --no-gui --norc --quiet --no-window-system --eval "
    pkg prefix '$work/prefix' '$work/archprefix';
    pkg local_list '$work/octave_packages';
    $1")
}

# The Quick start's install line, from the clone's folder, where it names the
# package; every pkg install line of the README is the same.
quick=$(readme_block "$root/README.md" 'Quick start' 2)
install=$(grep '^pkg install' <<<"$quick" | sed 's/ *%.*//' || true)
[ "$(grep '^pkg install' "$root/README.md" | sed 's/ *%.*//' | sort -u)" = "$install" ] &&
  [ "$root/$(awk '{ print $4 }' <<<"$install")" -ef "$tarball" ] ||
  { echo "FAIL: the README's pkg install lines do not all install $tarball: $install"; exit 1; }
started=$(date +%s)
from=$root octave "$install" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; echo "FAIL: pkg install failed"; exit 1; }
echo "pkg install took $(($(date +%s) - started)) s"
# pkg install puts every folder of the package on the path while it indexes
# the help texts: a file there named like one of Octave's would hide it.
! grep -q shadows "$work/install.log" ||
  { cat "$work/install.log"; echo "FAIL: pkg install warns of a file that hides a function"; exit 1; }

VELOCART_TEST_DIR=$work VELOCART_PTY_PEER=$peer \
  octave "pkg load velocartdriver; addpath('$gateway_tests'); source('$here/octave_package.m');"

# The README's Octave snippets after the Quick start's install line, in one
# session, each with the simulators it starts logging and its /tmp/ paths in
# a folder of its own. Each robot moves and is left stopped.
snippet() {
  mkdir -p "$work/$1"
  sed -e "s|--link /tmp/\([A-Za-z]*\)|--link /tmp/\1 --log /tmp/\1.log|g" -e "s|/tmp/|$work/$1/|g"
}
octave "
  try
    $(grep -v '^pkg install' <<<"$quick" | snippet quick)
    assert(s.valid && abs(s.x - 0.5) < 0.002 && abs(s.heading - pi / 2) < 0.005, 'Quick start');
    $(readme_block "$root/README.md" 'GNU Octave' 3 | snippet octave)
    assert(isequal(s([1 5 6]), [1 0.5 0.25]), 'the simulator from Octave');
    $(readme_block "$root/README.md" 'Several robots' 1 | snippet several)
    assert(all(S(:, 1) == 1) && S(1, 3) > 0.1 && S(2, 3) < -0.1, 'two robots side by side');
    $(readme_block "$root/README.md" 'GNU Octave' 4 | snippet example)
    assert(exist(fullfile(pwd, 'figure_eight.png'), 'file') == 2, 'the installed example');
  catch failure
    for name = [who('sim'); who('sims')]'   % the simulators a snippet left running
      for pid = eval(name{1})
        kill(pid, 15);
      end
    end
    rethrow(failure);
  end" 2>&1
for robot in quick/robot octave/robot several/robotA several/robotB example/robot; do
  [ "$(told "$robot")" = stop ] ||
    { echo "FAIL: the README's robot $robot was last told '$(told "$robot")', not to stop"; exit 1; }
  [ ! -e "$work/$robot" ] || { echo "FAIL: the README's simulator $robot was left running"; exit 1; }
done
echo "the README's Octave snippets each moved their robots and left them stopped"
