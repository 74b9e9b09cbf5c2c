#!/usr/bin/env bash
# Installs the Octave package with "pkg install" into a temporary prefix,
# with a temporary HOME and no way to the network, then drives a pty with
# the installed module in a fresh Octave (octave_package.m); all as the README's snippets say.
#   test_octave_package.sh PACKAGE_TARBALL PTY_PEER
set -euo pipefail
tarball=$(readlink -f "$1")
peer=$(readlink -f "$2")
here=$(cd "$(dirname "$0")" && pwd)
gateway_tests=$(cd "$here/../gateway" && pwd)
root=$(cd "$here/../.." && pwd)
source "$root/scripts/readme-block.sh"
source "$root/tests/support/simulators.sh"

[ -f "$tarball" ] || { echo "FAIL: $tarball does not exist; run 'make package' first"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/velocart-pkg-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home"
export HOME=$work/home
# Any download attempt fails at once.
export http_proxy=http://127.0.0.1:9 https_proxy=http://127.0.0.1:9 no_proxy=
octave() {
  (cd "${from:-$work}" && timeout -k 5 300 octave-cli --no-gui --norc --quiet --no-window-system --eval "
    pkg prefix '$work/prefix' '$work/archprefix';
    pkg local_list '$work/octave_packages';
    $1")
}

# The Quick start's install line, run from the clone, names this package, as all such lines do.
install=$(readme_block "$root/README.md" 'Quick start' 2 | sed -n 's/^\(pkg install [^%]*[^ %]\) *%.*/\1/p')
[ "$(grep '^pkg install' "$root/README.md" | sed 's/ *%.*//' | sort -u)" = "$install" ] &&
  [ "$root/${install##* }" -ef "$tarball" ] || { echo "FAIL: the README installs: $install"; exit 1; }
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

# The README's Octave snippets in one session, each simulator logging and each /tmp/ path in a
# folder of the snippet's own: each robot moves, is left stopped, and its simulator is ended.
snippet() {
  mkdir -p "$work/$1"
  readme_block "$root/README.md" "$2" "$3" | grep -v '^pkg install' |
    sed -e "s|--link /tmp/\([A-Za-z]*\)|--link /tmp/\1 --log /tmp/\1.log|g" -e "s|/tmp/|$work/$1/|g"
}
octave "sim = []; sims = [];
  try
    $(snippet quick 'Quick start' 2)
    assert(s.valid && abs(s.x - 0.5) < 0.002 && abs(s.heading - pi / 2) < 0.005, 'Quick start');
    $(snippet octave 'GNU Octave' 3)
    assert(isequal(s([1 5 6]), [1 0.5 0.25]), 'the simulator from Octave');
    $(snippet several 'Several robots' 1)
    assert(all(S(:, 1) == 1) && S(1, 3) > 0.1 && S(2, 3) < -0.1, 'two robots side by side');
    $(snippet example 'GNU Octave' 4)
    assert(exist('figure_eight.png', 'file') == 2, 'the installed example');
  catch failure
    kill([sim sims], 15);   % what a snippet that failed left running
    rethrow(failure);
  end" 2>&1
for robot in quick/robot octave/robot several/robotA several/robotB example/robot; do
  [[ "$(told "$robot")" == stop* ]] && [ ! -e "$work/$robot" ] ||
    { echo "FAIL: the README's $robot is left '$(told "$robot")' or its simulator running"; exit 1; }
done
