#!/usr/bin/env bash
# Stages ready-to-use files: dist/octave for Octave on Linux, dist/windows
# for MATLAB on 64-bit Windows, dist/linux-matlab for MATLAB on 64-bit
# Linux. Each folder is all a user needs on the path.
set -euo pipefail
build=${1:-build}
build_win=${2:-build-windows}

mkdir -p dist/octave
cp "$build/octave/VelocartDriver.mex" matlab/VelocartDriver.m dist/octave/
if [ -f "$build_win/VelocartDriver.mexw64" ]; then
  mkdir -p dist/windows
  cp "$build_win/VelocartDriver.mexw64" matlab/VelocartDriver.m dist/windows/
fi
if [ -f "$build/mexa64/VelocartDriver.mexa64" ]; then
  mkdir -p dist/linux-matlab
  cp "$build/mexa64/VelocartDriver.mexa64" matlab/VelocartDriver.m dist/linux-matlab/
fi
echo "staged: $(cd dist && find . -type f | sort | tr '\n' ' ')"
