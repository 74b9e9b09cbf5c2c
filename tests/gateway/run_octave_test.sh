#!/usr/bin/env bash
# Runs one Octave test script against the built MEX, with a private temp
# folder for pty links and records. Usage:
#   run_octave_test.sh MEX_DIR PTY_PEER SCRIPT.m
set -euo pipefail
mex_dir=$1
peer=$2
script=$3
here=$(cd "$(dirname "$0")" && pwd)

work=$(mktemp -d /tmp/velocart-test-XXXXXX)
cleanup() {
  pkill -f -- "--link $work/" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

export VELOCART_TEST_DIR=$work
export VELOCART_PTY_PEER=$peer
export VELOCART_MEX_DIR=$mex_dir
export VELOCART_SOURCE_DIR=$(cd "$here/../.." && pwd)
cd "$work"
timeout 300 octave-cli --no-gui --norc --quiet --no-window-system \
  --eval "addpath('$mex_dir'); addpath('$here'); source('$script');"
