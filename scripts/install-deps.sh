#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the demo and the
# benchmarks need, and only those that are missing. Safe to run again.
set -euo pipefail

packages=(
  g++ make cmake pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-format
  octave liboctave-dev octave-instrument-control gnuplot-nox fonts-freefont-otf
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
echo "install-deps: installing ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
