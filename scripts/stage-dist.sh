#!/usr/bin/env bash
# Stages ready-to-use files: dist/octave for Octave on Linux, dist/windows
# for MATLAB on 64-bit Windows. Each folder is all a user needs on the path.
set -euo pipefail
build=${1:-build}
build_win=${2:-build-windows}

mkdir -p dist/octave dist/windows
cp "$build/octave/VelocartDriver.mex" matlab/VelocartDriver.m dist/octave/
if [ -f "$build_win/VelocartDriver.mexw64" ]; then
  cp "$build_win/VelocartDriver.mexw64" matlab/VelocartDriver.m dist/windows/
fi
echo "staged: $(cd dist && find . -type f | sort | tr '\n' ' ')"
