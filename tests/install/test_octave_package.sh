#!/usr/bin/env bash
# Installs the Octave package with "pkg install" into a temporary prefix,
# with a temporary HOME and no way to the network, then drives a pty with
# the installed module in a fresh Octave (octave_package.m).
#   test_octave_package.sh PACKAGE_TARBALL PTY_PEER
set -euo pipefail
tarball=$(readlink -f "$1")
peer=$(readlink -f "$2")
here=$(cd "$(dirname "$0")" && pwd)
gateway_tests=$(cd "$here/../gateway" && pwd)

[ -f "$tarball" ] || { echo "FAIL: $tarball does not exist; run 'make package' first"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/velocart-pkg-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home"
export HOME=$work/home
# Any download attempt fails at once.
export http_proxy=http://127.0.0.1:9 https_proxy=http://127.0.0.1:9 no_proxy=
octave() {
  (cd "$work" && timeout -k 5 300 octave-cli --no-gui --norc --quiet --no-window-system --eval "
    pkg prefix '$work/prefix' '$work/archprefix';
    pkg local_list '$work/octave_packages';
    $1")
}

started=$(date +%s)
octave "pkg install -local '$tarball';" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; echo "FAIL: pkg install failed"; exit 1; }
echo "pkg install took $(($(date +%s) - started)) s"
# pkg install puts every folder of the package on the path while it indexes
# the help texts: a file there named like one of Octave's would hide it.
! grep -q shadows "$work/install.log" ||
  { cat "$work/install.log"; echo "FAIL: pkg install warns of a file that hides a function"; exit 1; }

VELOCART_TEST_DIR=$work VELOCART_PTY_PEER=$peer \
  octave "pkg load velocartdriver; addpath('$gateway_tests'); source('$here/octave_package.m');"
