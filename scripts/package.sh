#!/usr/bin/env bash
# `make package`: the release files in dist/.
#   velocartdriver-VERSION.tar.gz    the Octave package (pkg install)
#   package.sh BUILD BUILD_WIN
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
version=$(head -n 1 VERSION)

mkdir -p dist
bash scripts/octave-package.sh dist >/dev/null
echo "packaged:"
ls -l dist/velocartdriver-"$version"*
