#!/usr/bin/env bash
# The release files that 'make package' wrote: SHA256SUMS matches the three
# archives, and each MATLAB archive holds, in VelocartDriver-VERSION/, the
# module as built, its help file and every other matlab/*.m but the build
# script, LICENSE, README.txt, examples/*.m and examples/private/*.m (and velocart-sim in glnxa64).
#   check_release_archives.sh SOURCE_DIR DIST VERSION MEXW64 MEXA64 OCTAVE_MEX
set -euo pipefail
shopt -s extglob
root=$(readlink -f "$1")
dist=$(readlink -f "$2")
version=$3
mexw64=$(readlink -f "$4")
mexa64=$(readlink -f "$5")
octave_mex=$(readlink -f "$6")
name=VelocartDriver-$version

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

[ -f "$dist/SHA256SUMS" ] || { echo "FAIL: $dist/SHA256SUMS does not exist; run 'make package'"; exit 1; }
listed=$(awk '{ print $2 }' "$dist/SHA256SUMS" | LC_ALL=C sort | tr '\n' ' ')
[ "$listed" = "$(printf '%s ' "$name-matlab-glnxa64.tar.gz" "$name-matlab-win64.zip" "velocartdriver-$version.tar.gz")" ] ||
  fail "SHA256SUMS lists: $listed"
(cd "$dist" && sha256sum --check --quiet SHA256SUMS) || fail "SHA256SUMS does not match the archives"

work=$(mktemp -d "${TMPDIR:-/tmp}/velocart-release-XXXXXX")
trap 'rm -rf "$work"' EXIT

# Packaged again from the same modules, later, with another umask and time
# zone, the release files are the bytes SHA256SUMS lists.
(umask 0002 && TZ=XYZ-14 bash "$root/scripts/package.sh" "$(dirname "$(dirname "$mexa64")")" \
  "$(dirname "$mexw64")" "$work/rebuild" >/dev/null) ||
  fail "packaging again failed"
(cd "$work/rebuild" && sha256sum --check --quiet "$dist/SHA256SUMS") ||
  fail "packaged again, the release files differ from those SHA256SUMS lists"
mkdir "$work/win64" "$work/glnxa64"
cmake -E chdir "$work/win64" cmake -E tar xf "$dist/$name-matlab-win64.zip"
tar -C "$work/glnxa64" -xzf "$dist/$name-matlab-glnxa64.tar.gz"

for pair in win64:"$mexw64" glnxa64:"$mexa64"; do
  platform=${pair%%:*}
  module=${pair#*:}
  simulator=$([ "$platform" = win64 ] || echo velocart-sim)
  expected=$(
    cd "$root"
    printf '%s\n' "$(basename "$module")" LICENSE README.txt matlab/!(build_velocartdriver).m examples/*.m \
      examples/private/*.m $simulator |
      sed 's|^matlab/||' | sort
  )
  actual=$(cd "$work/$platform" && find . -type f | sed "s|^\./$name/||" | sort)
  [ "$actual" = "$expected" ] ||
    fail "$platform archive holds: $(echo $actual); expected: $(echo $expected)"
  cmp -s "$module" "$work/$platform/$name/$(basename "$module")" ||
    fail "$platform archive: the module differs from $module"
  grep -q "addpath('/path/to/$name')" "$work/$platform/$name/README.txt" ||
    fail "$platform archive: README.txt does not say how to install"
  { grep -q "VelocartDriver('readLatest', " "$work/$platform/$name/README.txt" &&
    grep -q "VelocartRobot(" "$work/$platform/$name/README.txt" &&
    ! grep -q "VelocartDriver('read')" "$work/$platform/$name/README.txt"; } ||
    fail "$platform archive: README.txt does not teach readLatest and VelocartRobot"
done

# The Linux archive's simulator needs no library (so no glibc newer than the module's), and
# README.txt's snippet drives it (through the Octave module here, in MATLAB's place).
folder=$work/glnxa64/$name
! readelf -d "$folder/velocart-sim" | grep -q NEEDED || fail "glnxa64 archive: velocart-sim needs libraries"
snippet=$(sed -n '/To try the driver without a robot:/,/^[^ ]/s/^    //p' "$folder/README.txt" |
  sed -e "s|/path/to/$name|$folder|" -e "s|/tmp/robot|$work/robot|")
(cd "$work" && timeout 60 octave-cli --no-gui --norc --quiet --no-window-system --eval "
  addpath('$folder'); addpath('$(dirname "$octave_mex")');
  try, $snippet
  catch failure, system(['kill ' pid]); rethrow(failure); end
  assert(abs(s.x - 0.5) < 0.002, 'the simulated robot went to x = %g', s.x);") >"$work/snippet.out" 2>&1 ||
  fail "glnxa64 archive: README.txt's snippet with velocart-sim: $(cat "$work/snippet.out")"

[ "$failures" -eq 0 ] || exit 1
echo "SHA256SUMS matches; both MATLAB archives hold the modules as built and their files"
