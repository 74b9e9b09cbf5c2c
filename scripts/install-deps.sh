#!/usr/bin/env bash
# Installs the Debian packages a make target needs, and only those that are
# missing. Safe to run again.
#   install-deps.sh octave the Octave package: Octave, its headers, a C++
#                          compiler and make, which pkg install builds with
#   install-deps.sh demo   the Octave module, the simulator and the plot
#   install-deps.sh all    also the tests, the Windows cross build and Wine,
#                          the sanitizers, fuzzers and benchmarks, QEMU and
#                          busybox for the kernel driver tier (default)
set -euo pipefail

profile=${1:-all}
packages=(g++ make octave liboctave-dev)
case $profile in
  octave) ;;
  demo) packages+=(cmake gnuplot-nox fonts-freefont-otf) ;;
  all)
    packages+=(
      cmake gnuplot-nox fonts-freefont-otf
      pkg-config libgtest-dev libgmock-dev libbenchmark-dev
      clang libclang-rt-14-dev clang-format
      octave-instrument-control zip
      g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64
      qemu-system-x86 busybox-static cpio xz-utils
    )
    ;;
  *)
    echo "usage: install-deps.sh [octave|demo|all]" >&2
    exit 2
    ;;
esac

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
