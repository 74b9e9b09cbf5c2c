#!/usr/bin/env bash
# Writes the Octave package OUT_DIR/velocartdriver-VERSION.tar.gz, to be
# installed with "pkg install". It holds sources only; pkg builds them.
#   octave-package.sh OUT_DIR
# The package:
#   DESCRIPTION, INDEX, COPYING (LICENSE), NEWS
#   inst/      every matlab/*.m but the build script, which needs the source
#              tree, Contents.m and the help file VelocartDriver.m, and
#              examples/*.m in inst/examples/, off the path (pkg install
#              still puts it on the path while it indexes the help texts,
#              and warns of a name that hides one of Octave's)
#   inst/velocartdriver/Contents.m, with PKG_ADD and PKG_DEL, which put
#              that folder on the path while the package is loaded: help
#              NAME shows the Contents.m of a folder on the path named NAME
#   src/       Makefile, the module's sources (gateway, protocol, the POSIX
#              serial link), the simulator's, the export list, and in help/
#              the help file, which the Makefile puts beside the module: in
#              inst/ (or src/, whose .m files pkg copies there), the
#              package's folder, it would be what the name calls whenever
#              that folder is the current one (pkg test runs there)
set -euo pipefail
shopt -s extglob
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "$1" && cd "$1" && pwd)
version=$(head -n 1 "$root/VERSION")
name=velocartdriver-$version

# Archives keep the commit's time, so that the same commit gives the same bytes.
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)}
date=$(date -u -d "@$epoch" +%Y-%m-%d)

grep -q "^velocartdriver $version\$" "$root/scripts/octave-pkg/NEWS" ||
  { echo "octave-package: scripts/octave-pkg/NEWS has no entry for $version" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/velocart-package-XXXXXX")
trap 'rm -rf "$work"' EXIT
pkg=$work/$name
mkdir -p "$pkg/inst/examples/private" "$pkg/inst/velocartdriver" "$pkg/src/help" "$pkg/src/gateway" "$pkg/src/protocol" "$pkg/src/serial" "$pkg/src/sim"

cat >"$pkg/DESCRIPTION" <<EOF
Name: velocartdriver
Version: $version
Date: $date
Author: the VelocartDriver developers
Maintainer: the VelocartDriver developers
Title: Drive a wheeled mobile robot over a serial port
Description: VelocartDriver opens a serial port at 115200 baud 8N1, sends
 velocity, odometry and free-wheel commands to a wheeled mobile robot as
 checksummed frames and reads its status frames into a vector. The package
 also installs velocart-sim, a simulated robot at the far end of a
 pseudo-terminal, to try the driver without hardware.
Categories: Robotics
Depends: octave (>= 6.1.0)
SystemRequirements: a C++17 compiler (g++ 7 or newer); Linux or macOS
License: MIT
EOF

{
  echo "velocartdriver >> Drive a wheeled mobile robot over a serial port"
  echo "Robot driver"
  for file in "$root"/matlab/!(build_velocartdriver|Contents).m; do
    echo " $(basename "$file" .m)"
  done
} >"$pkg/INDEX"

cp "$root/LICENSE" "$pkg/COPYING"
cp "$root/scripts/octave-pkg/NEWS" "$pkg/NEWS"
cp "$root"/matlab/!(build_velocartdriver|Contents|VelocartDriver).m "$pkg/inst/"
cp "$root/matlab/Contents.m" "$pkg/inst/velocartdriver/"
cp "$root/scripts/octave-pkg/PKG_ADD" "$root/scripts/octave-pkg/PKG_DEL" "$pkg/inst/"
cp "$root"/examples/*.m "$pkg/inst/examples/"
cp "$root"/examples/private/*.m "$pkg/inst/examples/private/"

cp "$root/scripts/octave-pkg/Makefile" "$pkg/src/"
cp "$root/matlab/VelocartDriver.m" "$pkg/src/help/"
cp "$root"/src/gateway/*.cpp "$root"/src/gateway/*.h "$pkg/src/gateway/"
cp "$root"/src/protocol/*.cpp "$root"/src/protocol/*.h "$pkg/src/protocol/"
cp "$root"/src/serial/{serial_link,serial_platform,port_list}.h \
  "$root"/src/serial/{serial_link,port_list}{,_posix}.cpp "$pkg/src/serial/"
cp "$root"/sim/*.cpp "$root"/sim/*.h "$pkg/src/sim/"
# The module's exports: the names host/VelocartDriver.def lists.
{
  echo "{"
  echo "  global: $(awk 'found && NF && $1 !~ /^;/ { printf "%s%s;", sep, $1; sep = " " } /^EXPORTS/ { found = 1 }' \
    "$root/host/VelocartDriver.def")"
  echo "  local: *;"
  echo "};"
} >"$pkg/src/velocartdriver.map"

# Modes that do not depend on the umask of whoever packages it.
chmod -R u=rwX,go=rX "$pkg"
tar -C "$work" --sort=name --mtime="@$epoch" --owner=0 --group=0 --numeric-owner \
  -cf - "$name" | gzip -n -9 >"$out/$name.tar.gz"
echo "$out/$name.tar.gz"
