#!/usr/bin/env bash
# Stages ready-to-use files: dist/octave for Octave on Linux, dist/windows
# for MATLAB on 64-bit Windows, dist/linux-matlab for MATLAB on 64-bit
# Linux. Each folder is all a user needs on the path: the module, its help
# file and VelocartRobot; dist/linux-matlab also velocart-sim, the
# simulated robot built for the module's distributions.
set -euo pipefail
build=${1:-build}
build_win=${2:-build-windows}

# stage FOLDER MODULE [FILE...]: only modules that were built.
stage() {
  [ -f "$2" ] || return 0
  mkdir -p "$1"
  cp "$2" matlab/VelocartDriver.m matlab/VelocartRobot.m "${@:3}" "$1/"
}
stage dist/octave "$build/octave/VelocartDriver.mex"
stage dist/windows "$build_win/VelocartDriver.mexw64"
stage dist/linux-matlab "$build/mexa64/VelocartDriver.mexa64" "$build/mexa64/velocart-sim"
echo "staged: $(cd dist && find . -maxdepth 2 -path './*/*' -type f | sort | tr '\n' ' ')"
